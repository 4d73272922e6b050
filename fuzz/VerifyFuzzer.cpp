// What `vhbtool verify` and `vhbtool list` make of untrusted bytes, held against the extractor.
// The input is an archive on the local disk, walked as both commands walk it. Checked: entries
// come in the order of their offsets, each at the start of a block inside the archive; a
// problem's offset lies within the archive; and an archive that verify calls well formed is
// restored onto an empty card without any entry refused or found damaged, with one directory or
// file handled for each entry listed.
#include "archive/Archive.h"
#include "fuzz/FuzzSupport.h"
#include "tools/vhbtool/Inspect.h"

#include <cstdint>
#include <string>

namespace {

constexpr const char* ArchivePath = "C:\\IN.VHB";

platform::Handle OpenArchive(platform::FileSystem& fs, std::uint64_t* size) {
    const platform::Handle h = fs.CreateFile(ArchivePath, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, 0);
    if (h == platform::InvalidHandle || !fs.GetFileSize(h, size)) {
        fuzz::Die("cannot open the archive");
    }
    return h;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // A card far larger than any input, so that a sound archive always fits.
    auto pc = fuzz::MakePc(64'028'672);
    pc->SetClock(0x01DA000000000000ULL);
    platform::FileSystem& fs = pc->Files();
    fuzz::PutFile(fs, ArchivePath, std::string_view(reinterpret_cast<const char*>(data), size));

    std::uint64_t archiveSize = 0;
    platform::Handle h = OpenArchive(fs, &archiveSize);
    unsigned listed = 0;
    std::uint64_t lastOffset = 0;
    const vhbtool::Inspection inspection =
        vhbtool::InspectArchive(fs, h, archiveSize, [&](const vhbtool::ListedEntry& entry) {
            if (entry.offset % archive::BlockSize != 0 || entry.offset >= archiveSize ||
                (listed > 0 && entry.offset <= lastOffset)) {
                fuzz::Die("an entry listed at offset " + std::to_string(entry.offset));
            }
            lastOffset = entry.offset;
            ++listed;
        });
    fs.CloseHandle(h);
    if (inspection.problem && inspection.problem->offset > archiveSize) {
        fuzz::Die("a problem reported past the end, at " + std::to_string(inspection.problem->offset));
    }
    if (inspection.problem) {
        return 0;
    }

    h = OpenArchive(fs, &archiveSize);
    archive::ExtractStats stats;
    archive::versionBlockSeen = false;
    const bool extracted =
        archive::ExtractArchive(fs, h, archiveSize, "E:\\", "", archive::ExtractCallbacks{}, &stats);
    fs.CloseHandle(h);
    const unsigned handled = stats.directoriesRestored + stats.filesRestored + stats.filesIncomplete;
    if (!extracted || stats.entriesRefused != 0 || stats.entriesDamaged != 0 || handled != listed) {
        fuzz::Die("verify passed an archive that the extractor did not restore whole: " +
                  std::to_string(listed) + " entries listed, " + std::to_string(handled) + " handled, " +
                  std::to_string(stats.entriesRefused) + " refused, " + std::to_string(stats.entriesDamaged) +
                  " damaged");
    }
    return 0;
}
