#include "fuzz/FuzzSupport.h"

#include "platform/api/LastError.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <system_error>

namespace fuzz {

namespace {

std::string temporaryRoot;

void RemoveTemporaryRoot() {
    std::error_code ignored; // a leftover temporary folder costs nothing but space
    std::filesystem::remove_all(temporaryRoot, ignored);
}

} // namespace

void Die(const std::string& message) {
    std::fprintf(stderr, "fuzz check failed: %s\n", message.c_str());
    std::fflush(stderr);
    std::abort();
}

std::string MakePcFolder(std::uint64_t cardBytes) {
    std::string pattern = (std::filesystem::temp_directory_path() / "fk-fuzz-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
        Die("cannot create a temporary folder");
    }
    temporaryRoot = pattern;
    std::atexit(RemoveTemporaryRoot);

    platform::SimPcDescription description;
    platform::SimDriveConfig local;
    local.letter = 'C';
    local.type = platform::SimDriveType::Fixed;
    local.folder = "C";
    local.totalClusters = 0x00FFFFFF;
    description.drives.push_back(local);
    platform::SimDriveConfig card;
    card.letter = 'E';
    card.type = platform::SimDriveType::Removable;
    card.folder = "E";
    card.label = "VOXCARD";
    card.bytesPerSector = 512;
    card.sectorsPerCluster = 1;
    card.totalClusters = static_cast<DWORD>(cardBytes / 512);
    description.drives.push_back(card);

    const std::string pc = pattern + "/pc";
    std::string error;
    std::filesystem::create_directories(pc);
    if (!platform::CreateSimulatedPcFolder(pc, description, &error)) {
        Die("cannot create the simulated PC: " + error);
    }
    return pc;
}

void WipeDrive(const std::string& pcFolder, char letter) {
    const std::filesystem::path drive = std::filesystem::path(pcFolder) / std::string(1, letter);
    std::filesystem::remove_all(drive);
    std::filesystem::create_directory(drive);
    std::filesystem::remove(std::filesystem::path(pcFolder) / ".meta" / (std::string(1, letter) + ".tsv"));
}

void PutFile(platform::FileSystem& fs, const std::string& windowsPath, std::string_view content) {
    for (std::size_t pos = windowsPath.find('\\', 3); pos != std::string::npos;
         pos = windowsPath.find('\\', pos + 1)) {
        if (!fs.CreateDirectory(windowsPath.substr(0, pos)) &&
            platform::GetLastError() != ERROR_ALREADY_EXISTS) {
            Die("cannot create the folders of " + windowsPath);
        }
    }
    const platform::Handle h = fs.CreateFile(windowsPath, GENERIC_WRITE, FILE_SHARE_NONE, CREATE_ALWAYS, 0);
    DWORD written = 0;
    if (h == platform::InvalidHandle ||
        !fs.WriteFile(h, content.data(), static_cast<DWORD>(content.size()), &written) ||
        !fs.CloseHandle(h)) {
        Die("cannot write " + windowsPath);
    }
}

} // namespace fuzz
