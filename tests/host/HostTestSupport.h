// Temporary folders and small file helpers for the host platform tests.
#pragma once

#include "platform/host/HostPlatform.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

namespace hosttest {

class TempDir {
public:
    TempDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "fkhost-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) {
            ADD_FAILURE() << "mkdtemp failed";
        }
        path_ = pattern;
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::add, ec);
        std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string operator/(const std::string& rel) const { return path_ + "/" + rel; }

private:
    std::string path_;
};

inline void WriteText(const std::string& path, const std::string& text) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path, std::ios::binary) << text;
}

inline std::string ReadText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// A host platform on plain folders as drives, without discovery or udisks2; C:'s Prompts and Data
// come from <base>/data, its Backup from backupDir. A failure to create it fails the test.
inline std::unique_ptr<platform::Platform> FolderPlatform(const std::string& base,
                                                          std::vector<platform::host::FolderDrive> drives,
                                                          const std::string& backupDir = "") {
    std::string error;
    auto p = platform::host::CreateFolderPlatform(std::move(drives), base + "/data",
                                                  backupDir.empty() ? base + "/backup" : backupDir, &error);
    if (p == nullptr) {
        ADD_FAILURE() << error;
    }
    return p;
}

inline bool HaveProgram(const char* name) {
    return std::system((std::string("command -v ") + name + " >/dev/null 2>&1").c_str()) == 0;
}

} // namespace hosttest
