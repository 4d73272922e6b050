// Path resolution on the Linux host: a Windows path (or a host path from a file dialog) to the
// host folder or file it names. Each drive letter is one or more host folders (a card's mount
// point, or the pieces of C:'s installation tree); a path never leaves them through "..", a
// link or an absolute host path hidden in a name.
#pragma once

#include "platform/api/WinTypes.h"
#include "platform/common/WinPath.h"
#include "platform/host/HostTree.h"

#include <string>
#include <string_view>
#include <sys/stat.h>
#include <unordered_map>
#include <vector>

namespace platform::host {

// A host folder that appears at a place inside a drive: prefix {} is the whole drive,
// {"ZEL", "VoxHarbor", "Backup"} puts the folder at C:\ZEL\VoxHarbor\Backup. The folders above
// a prefix exist only as names.
struct DriveMount {
    std::vector<std::string> prefix;
    std::string hostFolder;
    // The drive map has just seen hostFolder as a folder, and this is its stat.
    bool checked = false;
    struct stat folderStat {};
    // The device the folder must be on (a card's), 0 where any will do.
    dev_t device = 0;
};

// Where the file services find the drives.
class DriveMap {
public:
    virtual ~DriveMap() = default;
    // ERROR_SUCCESS with the drive's mounts; ERROR_PATH_NOT_FOUND for a letter with no drive;
    // ERROR_NOT_READY for a drive without a usable medium (this is where a card that is
    // attached but not mounted gets mounted).
    virtual DWORD MountsOf(char drive, std::vector<DriveMount>* mounts) = 0;
    // As MountsOf, without looking at the drive's folder: the caller checks it (or a folder below
    // it on its device) before relying on it.
    virtual DWORD UncheckedMountsOf(char drive, std::vector<DriveMount>* mounts) {
        return MountsOf(drive, mounts);
    }
    // The drive path of a host path inside a drive's folder, where this map's drives take such
    // paths by their drive's rules; false: a host path is taken as it is.
    virtual bool DrivePathOf(const std::string& /*hostPath*/, std::string* /*drivePath*/) { return false; }
};

// Where a path leads.
struct HostEntry {
    WinPath path;
    bool isVirtual = false; // a folder that exists only as a name above a mount
    bool parentVirtual = false;
    bool exists = false;
    bool isDirectory = false;
    bool isRoot = false;
    bool isMountFolder = false; // a drive's folder or one of C:'s installation folders
    // Only from ResolveForOpen: the last name was not looked for because its folder folds case
    // itself (FAT), so the caller's open tells whether it exists; host is where it would be.
    bool existenceUnknown = false;
    // The entry's folder is known to fold case (FAT), and so is the entry.
    bool onFoldingFolder = false;
    std::string host;
    std::string name;
    std::vector<std::string> virtualChildren;
    struct stat st {};
};

// Folders that earlier look-ups found, each checked again with one lstat before it is used, so
// that the files of one folder do not each walk the whole path from the drive's folder. Only
// folders whose every name was found as given are kept: a look-up that had to ignore case reads
// the folders again, since another entry may match better by then.
class FolderCache {
public:
    // The key is the mount's host folder and the lower-case components below it.
    // *foldsCase: whether the folder's file system folds case itself (FAT).
    bool Find(const std::string& key, std::string* host, bool* foldsCase, dev_t* device) const;
    void Remember(const std::string& key, const std::string& host, const struct stat& st, bool foldsCase);

private:
    struct Folder {
        std::string host;
        dev_t dev = 0;
        ino_t ino = 0;
        bool foldsCase = false;
    };
    static constexpr std::size_t MaxFolders = 64;
    std::unordered_map<std::string, Folder> folders_;
};

class HostPathResolver {
public:
    explicit HostPathResolver(DriveMap& drives) : drives_(drives) {}
    // Keeps the names of folders between look-ups (FileHooks::KeepsFolderNames).
    void KeepFolderNames() { keepNames_ = true; }
    // The file services made hostPath, or are about to remove or rename it (kept names only).
    void Created(const std::string& hostPath) {
        if (keepNames_) {
            names_.Created(hostPath);
        }
    }
    void Forget(const std::string& hostPath) {
        if (keepNames_) {
            names_.Forget(hostPath);
        }
    }

    DWORD Resolve(std::string_view path, HostEntry* entry);
    // Resolve for a path the caller opens next: where the last name's folder folds case itself and
    // was found before, the name is not looked for (existenceUnknown), and the open (an exclusive
    // create, or a plain open of an existing file) is the look-up. A FAT look-up of a missing
    // name reads the whole folder, and of any name costs a path walk more.
    DWORD ResolveForOpen(std::string_view path, HostEntry* entry);
    // Resolve for a path that must lead to an existing entry: ERROR_FILE_NOT_FOUND otherwise.
    DWORD ResolveExisting(std::string_view path, HostEntry* entry);

private:
    DWORD Resolve(std::string_view path, HostEntry* entry, bool forCreate);
    DWORD ResolveHostPath(HostEntry* entry);
    DWORD ResolveAboveMounts(const std::vector<DriveMount>& mounts, HostEntry* entry);

    DriveMap& drives_;
    FolderCache folders_;
    bool keepNames_ = false;
    FolderNames names_;
};

} // namespace platform::host
