#include "platform/host/HostPlatform.h"

#include "platform/common/WinPath.h"
#include "platform/host/HostFileSystem.h"
#include "platform/host/HostTree.h"
#include "platform/host/HostWatcher.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <system_error>

#ifndef FK_INSTALL_DATADIR
#define FK_INSTALL_DATADIR "/usr/share/flashkeeper3"
#endif

namespace platform {

namespace host {

namespace {

bool InsideFolder(const std::string& path, const std::string& folder, std::string* rest) {
    if (folder.empty() || path.compare(0, folder.size(), folder) != 0) {
        return false;
    }
    if (path.size() == folder.size()) {
        rest->clear();
        return true;
    }
    if (path[folder.size()] != '/' && folder.back() != '/') {
        return false;
    }
    *rest = path.substr(folder.size() + (folder.back() == '/' ? 0 : 1));
    return true;
}

// Whether folder/rest, in its Windows form below the folder's drive path, names that same file:
// every component is a name Windows allows (no ':' or '\'), none is a link (the Windows form is
// never followed through one), and no other entry of its folder differs from it in case alone
// (the Windows form is looked up without regard to case, a Linux folder keeps both).
bool SameFileInWindowsForm(const std::string& folder, const std::string& rest) {
    std::string dir = folder;
    size_t start = 0;
    while (start < rest.size()) {
        size_t end = rest.find('/', start);
        if (end == std::string::npos) {
            end = rest.size();
        }
        const std::string name = rest.substr(start, end - start);
        start = end + 1;
        if (name.empty()) {
            continue;
        }
        if (name.find_first_of(":\\*?\"<>|") != std::string::npos) {
            return false;
        }
        // A folder that cannot be read (or read to its end) shows the twins it can.
        std::vector<std::string> names;
        (void)ListNames(dir, &names);
        if (std::any_of(names.begin(), names.end(), [&](const std::string& other) {
                return other != name && EqualNoCase(other, name);
            })) {
            return false;
        }
        dir += "/" + name;
        struct stat st {};
        if (lstat(dir.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
            return false;
        }
    }
    return true;
}

class HostPlatform final : public Platform {
public:
    HostPlatform(HostConfig config, std::unique_ptr<UdisksService> udisks)
        : volumes_(MakeVolumesConfig(config), std::move(udisks)),
          watcher_(volumes_, config.volumes.pollInterval, config.volumes.discover), files_(volumes_) {
        volumes_.SetBeforeUnmount([this] { files_.ReleaseCard(); });
    }

    FileSystem& Files() override { return files_; }
    Volumes& Drives() override { return volumes_; }
    DeviceWatcher& Devices() override { return watcher_; }

    std::string HostPathOf(std::string_view windowsPath) override { return files_.HostPathOf(windowsPath); }

    std::string WindowsPathOf(std::string_view hostPath) override {
        const std::string path(hostPath);
        // The drive whose folder holds the file, the deepest one when several do. A path whose
        // Windows form would name another file (or none) stays a host path.
        std::string best;
        size_t bestLength = 0;
        auto consider = [&](const std::string& folder, const std::string& windowsFolder) {
            std::string rest;
            if (folder.size() >= bestLength && InsideFolder(path, folder, &rest)) {
                bestLength = folder.size();
                best.clear();
                if (!SameFileInWindowsForm(folder, rest)) {
                    return;
                }
                best = windowsFolder;
                std::replace(rest.begin(), rest.end(), '/', '\\');
                if (!rest.empty()) {
                    best += (best.back() == '\\' ? "" : "\\") + rest;
                }
            }
        };
        std::vector<DriveMount> localMounts;
        (void)volumes_.MountsOf('C', &localMounts); // C:'s trees are always there
        for (const DriveMount& m : localMounts) {
            std::string windowsFolder = "C:\\";
            for (size_t i = 0; i < m.prefix.size(); ++i) {
                windowsFolder += (i == 0 ? "" : "\\") + m.prefix[i];
            }
            consider(m.hostFolder, windowsFolder);
        }
        volumes_.Refresh();
        for (char letter = 'D'; letter <= 'Z'; ++letter) {
            const HostDrive* d = volumes_.DriveAt(letter);
            if (d != nullptr && !d->mountPoint.empty()) {
                consider(d->mountPoint, std::string(1, letter) + ":\\");
            }
        }
        return best.empty() ? path : best;
    }

private:
    static VolumesConfig MakeVolumesConfig(const HostConfig& config) {
        VolumesConfig v = config.volumes;
        v.localMounts = {
            {{"ZEL", "VoxHarbor", "Prompts"}, config.dataDir + "/Prompts"},
            {{"ZEL", "VoxHarbor", "Data"}, config.dataDir + "/Data"},
            {{"ZEL", "VoxHarbor", "Backup"}, config.backupDir},
        };
        return v;
    }

    HostVolumes volumes_;
    HostWatcher watcher_;
    HostFileSystem files_;
};

} // namespace

HostConfig DefaultHostConfig() {
    HostConfig config;
    const char* data = std::getenv("FLASHKEEPER3_DATA_DIR");
    if (data != nullptr && *data != '\0') {
        config.dataDir = data;
    } else {
        // An installed program finds its data beside it (<prefix>/bin/flashkeeper3 and
        // <prefix>/share/flashkeeper3), wherever the prefix is; otherwise where it was built to go.
        config.dataDir = FK_INSTALL_DATADIR;
        char exe[4096];
        const ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
        if (n > 0) {
            std::string prefix(exe, static_cast<size_t>(n));
            prefix = prefix.substr(0, prefix.rfind('/')); // bin
            prefix = prefix.substr(0, prefix.rfind('/')); // the prefix
            struct stat st {};
            const std::string beside = prefix + "/share/flashkeeper3";
            if (!prefix.empty() && stat((beside + "/Prompts").c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
                config.dataDir = beside;
            }
        }
    }
    const char* xdg = std::getenv("XDG_DATA_HOME");
    const char* home = std::getenv("HOME");
    std::string base;
    if (xdg != nullptr && xdg[0] == '/') {
        base = xdg;
    } else if (home != nullptr && *home != '\0') {
        base = std::string(home) + "/.local/share";
    }
    config.backupDir = base.empty() ? "" : base + "/flashkeeper3/Backup";
    return config;
}

std::unique_ptr<Platform> CreateHostPlatform(HostConfig config, std::unique_ptr<UdisksService> udisks,
                                             std::string* error) {
    if (config.backupDir.empty()) {
        *error = "No folder for backups: neither XDG_DATA_HOME nor HOME is set.";
        return nullptr;
    }
    // mkdir -p; a file in the way is ENOTDIR.
    std::error_code made;
    std::filesystem::create_directories(config.backupDir, made);
    if (made) {
        *error = "Cannot create the backup folder " + config.backupDir + ": " + made.message();
        return nullptr;
    }
    if (udisks == nullptr && config.useUdisks) {
        std::string why;
        // Without udisks2 the drives come from the mount table and udev; the reason is
        // not an error of the program, so it is not reported.
        udisks = ConnectUdisks(config.busAddress, &why);
    }
    return std::make_unique<HostPlatform>(std::move(config), std::move(udisks));
}

std::unique_ptr<Platform> CreateFolderPlatform(std::vector<FolderDrive> drives, const std::string& dataDir,
                                               const std::string& backupDir, std::string* error) {
    HostConfig config;
    config.volumes.discover = false;
    config.volumes.folderDrives = std::move(drives);
    config.useUdisks = false;
    config.dataDir = dataDir;
    config.backupDir = backupDir;
    return CreateHostPlatform(std::move(config), nullptr, error);
}

} // namespace host

std::unique_ptr<Platform> CreateHostPlatform(std::string* error) {
    return host::CreateHostPlatform(host::DefaultHostConfig(), nullptr, error);
}

} // namespace platform
