#include "fuzz/FuzzSupport.h"

#include "platform/api/LastError.h"

#include <cstdio>
#include <cstdlib>

namespace fuzz {

void Die(const std::string& message) {
    std::fprintf(stderr, "fuzz check failed: %s\n", message.c_str());
    std::fflush(stderr);
    std::abort();
}

std::unique_ptr<platform::MemoryPc> MakePc(std::uint64_t cardBytes) {
    platform::MemoryDriveConfig local;
    local.letter = 'C';
    local.type = DRIVE_FIXED;
    local.sectorsPerCluster = 8;
    local.totalClusters = 1u << 21;
    platform::MemoryDriveConfig card;
    card.letter = 'E';
    card.label = "VOXCARD";
    card.sectorsPerCluster = 1;
    card.totalClusters = static_cast<DWORD>(cardBytes / 512);
    auto pc = platform::CreateMemoryPc({local, card});
    pc->SetClock(0x01DA000000000000ULL);
    return pc;
}

void PutFile(platform::FileSystem& fs, const std::string& windowsPath, std::string_view content,
             bool makeFolders) {
    for (std::size_t pos = makeFolders ? windowsPath.find('\\', 3) : std::string::npos;
         pos != std::string::npos; pos = windowsPath.find('\\', pos + 1)) {
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
        Die("cannot write " + windowsPath + " (error " + std::to_string(platform::GetLastError()) + ")");
    }
}

platform::Handle OpenForReading(platform::FileSystem& fs, const std::string& windowsPath,
                                std::uint64_t* size) {
    const platform::Handle h = fs.CreateFile(windowsPath, GENERIC_READ, FILE_SHARE_NONE, OPEN_EXISTING, 0);
    if (h == platform::InvalidHandle || !fs.GetFileSize(h, size)) {
        Die("cannot open " + windowsPath + " (error " + std::to_string(platform::GetLastError()) + ")");
    }
    return h;
}

} // namespace fuzz
