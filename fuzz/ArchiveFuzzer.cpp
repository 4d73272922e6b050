// Untrusted archive bytes onto a card: the input is put on the local disk as an archive and
// extracted onto the simulated card E: twice, once whole (the card holds prompts of another
// version, so the prompt deletion runs too) and once keeping the card's prompts. Checked after
// each: nothing exists outside the card's folder but what was there (the archive unchanged),
// nothing on the card is a link or special file, and the keep-prompts extraction left the
// card's version file alone. Crashes, sanitizer reports and hangs are libFuzzer's to catch.
#include "archive/Archive.h"
#include "fuzz/FuzzSupport.h"
#include "platform/api/LastError.h"

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace {

namespace stdfs = std::filesystem;

// Small enough that an archive can fill it: the card-full stop is part of what is fuzzed.
constexpr std::uint64_t CardBytes = 256 * 1024;
constexpr const char* ArchivePath = "C:\\IN.VHB";
constexpr const char* CardVersionFile = "E:\\VM\\PROMPTS\\0\\0\\0\\VERSION.TXT";
constexpr const char* CardVersionText = "0120\r\n";

std::string pcFolder;

std::string ReadHostFile(const stdfs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string ReadCardFile(platform::FileSystem& fs, const std::string& path) {
    const platform::Handle h = fs.CreateFile(path, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, 0);
    if (h == platform::InvalidHandle) {
        return "<missing>";
    }
    std::string content(4096, '\0');
    DWORD read = 0;
    fs.ReadFile(h, content.data(), static_cast<DWORD>(content.size()), &read);
    fs.CloseHandle(h);
    content.resize(read);
    return content;
}

// Everything in the PC folder must be one of its own files, or lie on the card.
void CheckNothingOutsideTheCard(const std::string& archiveBytes) {
    const stdfs::path pc(pcFolder);
    const stdfs::path card = pc / "E";
    for (auto it = stdfs::recursive_directory_iterator(pc.parent_path());
         it != stdfs::recursive_directory_iterator(); ++it) {
        const stdfs::path& p = it->path();
        const auto rel = p.lexically_relative(pc).string();
        const bool onCard = rel == "E" || rel.rfind("E/", 0) == 0;
        if (onCard) {
            if (it->is_symlink() || !(it->is_regular_file() || it->is_directory())) {
                fuzz::Die("the card holds something other than files and folders: " + rel);
            }
            continue;
        }
        const bool known = p == pc || rel == "pc.ini" || rel == ".meta" || rel == ".meta/C.tsv" ||
                           rel == ".meta/E.tsv" || rel == "C" || rel == "C/IN.VHB";
        if (!known) {
            fuzz::Die("written outside the card: " + p.string());
        }
    }
    if (ReadHostFile(pc / "C" / "IN.VHB") != archiveBytes) {
        fuzz::Die("the archive file was changed");
    }
}

void ExtractOnce(const std::string& bytes, bool keepPrompts) {
    fuzz::WipeDrive(pcFolder, 'E');
    std::string error;
    auto pc = platform::OpenSimulatedPc(pcFolder, &error);
    if (pc == nullptr) {
        fuzz::Die("cannot open the simulated PC: " + error);
    }
    platform::FileSystem& fs = pc->Files();
    fuzz::PutFile(fs, CardVersionFile, CardVersionText);
    fuzz::PutFile(fs, "E:\\VM\\MSG\\M0001.WAV", "a message");

    static_cast<void>(archive::ReadArchiveVersion(fs, ArchivePath));
    const platform::Handle h = fs.CreateFile(ArchivePath, GENERIC_READ, FILE_SHARE_NONE, OPEN_EXISTING, 0);
    std::uint64_t size = 0;
    if (h == platform::InvalidHandle || !fs.GetFileSize(h, &size)) {
        fuzz::Die("cannot open the archive");
    }
    archive::ExtractCallbacks callbacks;
    callbacks.deleteCardPrompts = [&fs] { fs.DeleteTree("E:\\VM\\PROMPTS"); };
    // Messages (card full, write error) are expected outcomes of hostile input.
    callbacks.showMessage = [](const std::string&) {};
    if (keepPrompts) {
        archive::ExtractArchiveKeepPrompts(fs, h, size, "E:\\", "1.20", false, callbacks);
        if (ReadCardFile(fs, CardVersionFile) != CardVersionText) {
            fuzz::Die("keeping the card's prompts changed its version file");
        }
    } else {
        archive::ExtractArchive(fs, h, size, "E:\\", "1.20", false, callbacks);
    }
    fs.CloseHandle(h);
    pc.reset(); // everything written reaches the host folders
    CheckNothingOutsideTheCard(bytes);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    pcFolder = fuzz::MakePcFolder(CardBytes);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    {
        std::ofstream out(stdfs::path(pcFolder) / "C" / "IN.VHB", std::ios::binary | std::ios::trunc);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        if (!out) {
            fuzz::Die("cannot write the archive file");
        }
    }
    ExtractOnce(bytes, false);
    ExtractOnce(bytes, true);
    return 0;
}
