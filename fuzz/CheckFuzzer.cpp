// The whole-archive check that Restore, Prompt update and Initialize run before the first change
// to a card, and that `vhbtool verify` and `list` report, on untrusted bytes, held against the
// extractor. The input is an archive on the local disk. It is checked twice: as the operations
// do (file data passed over by moving the file position) and as verify does (every byte read, the
// integrity record's checksums compared). Checked: both see the same entries, in the order of
// their offsets, each at the start of a block inside the archive; a problem lies within the
// archive; the quick check finds no problem the full one does not; and an archive found sound is
// restored onto an empty card whole, with no entry refused or found damaged, one directory or
// file handled for each entry the check counted, and what the extraction read tallied as the
// check tallied it.
#include "archive/Archive.h"
#include "archive/Check.h"
#include "fuzz/FuzzSupport.h"

#include <cstdint>
#include <string>
#include <vector>

namespace {

constexpr const char* ArchivePath = "C:\\IN.VHB";

struct Checked {
    archive::ArchiveCheck check;
    std::vector<std::uint64_t> offsets;
};

Checked Check(platform::FileSystem& fs, bool verifyChecksum) {
    std::uint64_t size = 0;
    const platform::Handle h = fuzz::OpenForReading(fs, ArchivePath, &size);
    Checked result;
    result.check =
        archive::CheckArchive(fs, h, size, verifyChecksum, [&](const archive::CheckedEntry& entry) {
            if (entry.offset % archive::BlockSize != 0 || entry.offset >= size ||
                (!result.offsets.empty() && entry.offset <= result.offsets.back())) {
                fuzz::Die("an entry checked at offset " + std::to_string(entry.offset));
            }
            result.offsets.push_back(entry.offset);
        });
    fs.CloseHandle(h);
    if (result.check.problem && result.check.problem->offset > size) {
        fuzz::Die("a problem reported past the end, at " + std::to_string(result.check.problem->offset));
    }
    return result;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // A card far larger than any input, so that a sound archive always fits.
    auto pc = fuzz::MakePc(64'028'672);
    platform::FileSystem& fs = pc->Files();
    fuzz::PutFile(fs, ArchivePath, std::string_view(reinterpret_cast<const char*>(data), size));

    const Checked quick = Check(fs, false);
    const Checked full = Check(fs, true);
    if (quick.offsets != full.offsets) {
        fuzz::Die("the quick check and verify see different entries");
    }
    if (quick.check.problem && !full.check.problem) {
        fuzz::Die("the quick check refuses what verify passes: " + quick.check.problem->text);
    }
    if (!full.check.Sound()) {
        return 0;
    }

    std::uint64_t archiveSize = 0;
    const platform::Handle h = fuzz::OpenForReading(fs, ArchivePath, &archiveSize);
    archive::ExtractCallbacks callbacks;
    callbacks.checked = &full.check.sums;
    const archive::ExtractResult result =
        archive::ExtractArchive(fs, h, archiveSize, "E:\\", "", false, callbacks);
    fs.CloseHandle(h);
    const std::uint64_t handled = result.directoriesRestored + result.filesRestored + result.filesIncomplete;
    if (!result.completed || result.changedSinceCheck || result.entriesRefused != 0 ||
        result.entriesDamaged != 0 || handled != full.check.entries) {
        fuzz::Die("an archive found sound was not restored whole: " + std::to_string(full.check.entries) +
                  " entries checked, " + std::to_string(handled) + " handled, " +
                  std::to_string(result.entriesRefused) + " refused, " +
                  std::to_string(result.entriesDamaged) + " damaged");
    }
    return 0;
}
