// Untrusted archive bytes onto a card: the input is put on the local disk as an archive and
// extracted onto the card E: twice, once whole (the card holds prompts of another version, so
// the prompt deletion runs too) and once keeping the card's prompts. Checked after each: the
// local disk holds the archive alone and unchanged, every handle is closed again, the card holds
// nothing under a path the extractor refuses, and the keep-prompts
// extraction left the card's version file alone. Crashes, sanitizer reports and hangs are
// libFuzzer's to catch.
#include "archive/Archive.h"
#include "archive/Format.h"
#include "fuzz/FuzzSupport.h"

#include <cstdint>
#include <string>

namespace {

// Small enough that an archive can fill it: the card-full stop is part of what is fuzzed.
constexpr std::uint64_t CardBytes = 256 * 1024;
constexpr const char* ArchivePath = "C:\\IN.VHB";
constexpr const char* CardVersionFile = "E:\\VM\\PROMPTS\\0\\0\\0\\VERSION.TXT";
constexpr const char* CardVersionText = "0120\r\n";

void CheckDrives(platform::MemoryPc& pc, const std::string& archiveBytes, bool keptPrompts) {
    if (pc.OpenHandles() != 0) {
        fuzz::Die("the extraction left " + std::to_string(pc.OpenHandles()) + " handles open");
    }
    unsigned localEntries = 0;
    pc.Walk('C', [&](const platform::MemoryEntryView& e) {
        if (++localEntries > 1 || e.path != ArchivePath || e.data != archiveBytes) {
            fuzz::Die("the local disk changed: it holds " + e.path);
        }
    });
    if (localEntries != 1) {
        fuzz::Die("the archive is gone from the local disk");
    }
    bool versionKept = false;
    pc.Walk('E', [&](const platform::MemoryEntryView& e) {
        if (const std::string reason = archive::UnsafePathReason(e.path); !reason.empty()) {
            fuzz::Die("the card holds " + e.path + ", whose path " + reason);
        }
        versionKept = versionKept || (e.path == CardVersionFile && e.data == CardVersionText);
    });
    if (keptPrompts && !versionKept) {
        fuzz::Die("keeping the card's prompts changed its version file");
    }
}

void ExtractOnce(platform::MemoryPc& pc, const std::string& bytes, bool keepPrompts) {
    platform::FileSystem& fs = pc.Files();
    pc.Wipe('E');
    for (const char* folder : {"E:\\VM", "E:\\VM\\MSG", "E:\\VM\\PROMPTS", "E:\\VM\\PROMPTS\\0",
                               "E:\\VM\\PROMPTS\\0\\0", "E:\\VM\\PROMPTS\\0\\0\\0"}) {
        if (!fs.CreateDirectory(folder)) {
            fuzz::Die(std::string("cannot create ") + folder);
        }
    }
    fuzz::PutFile(fs, CardVersionFile, CardVersionText, false);
    fuzz::PutFile(fs, "E:\\VM\\MSG\\M0001.WAV", "a message", false);

    if (archive::ReadArchiveVersion(fs, ArchivePath).size() > archive::VersionFieldSize) {
        fuzz::Die("an archive version of more than six characters");
    }
    std::uint64_t size = 0;
    const platform::Handle h = fuzz::OpenForReading(fs, ArchivePath, &size);
    archive::ExtractCallbacks callbacks;
    callbacks.deleteCardPrompts = [&fs] {
        if (const DWORD err = fs.DeleteTree("E:\\VM\\PROMPTS")) {
            fuzz::Die("the card's prompts could not be deleted (error " + std::to_string(err) + ")");
        }
    };
    // Messages (card full, write error) are expected outcomes of hostile input.
    callbacks.showMessage = [](const std::string&) {};
    // Whether it completed is the input's business; what it left behind is checked below.
    if (keepPrompts) {
        archive::ExtractArchiveKeepPrompts(fs, h, size, "E:\\", "1.20", false, callbacks);
    } else {
        archive::ExtractArchive(fs, h, size, "E:\\", "1.20", false, callbacks);
    }
    fs.CloseHandle(h);
    CheckDrives(pc, bytes, keepPrompts);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    auto pc = fuzz::MakePc(CardBytes);
    fuzz::PutFile(pc->Files(), ArchivePath, bytes);
    ExtractOnce(*pc, bytes, false);
    ExtractOnce(*pc, bytes, true);
    return 0;
}
