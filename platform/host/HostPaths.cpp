#include "platform/host/HostPaths.h"

#include "platform/host/Errno.h"

#include <algorithm>
#include <cerrno>
#include <optional>

namespace platform::host {

namespace {

bool StartsWithNoCase(const std::vector<std::string>& path, const std::vector<std::string>& prefix) {
    return prefix.size() <= path.size() &&
           std::equal(prefix.begin(), prefix.end(), path.begin(), EqualNoCase);
}

// The key of the folder that components [first, end) lead to below a mount's host folder.
std::string FolderKey(const std::string& mountFolder, const std::vector<std::string>& comps, size_t first,
                      size_t end) {
    std::string key = mountFolder;
    for (size_t i = first; i < end; ++i) {
        key += '/';
        key += ToLowerAscii(comps[i]);
    }
    return key;
}

} // namespace

bool FolderCache::Find(const std::string& key, std::string* host, bool* foldsCase, dev_t* device) const {
    const auto it = folders_.find(key);
    if (it == folders_.end()) {
        return false;
    }
    // Still the same folder at the same place: the same inode, reached by the same names. Had a
    // folder on the way become a link to another place, the path would lead to another inode
    // (a folder has one place only); had the folder itself become a link, lstat shows the link.
    struct stat st {};
    if (lstat(it->second.host.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_dev != it->second.dev ||
        st.st_ino != it->second.ino) {
        return false;
    }
    *host = it->second.host;
    *foldsCase = it->second.foldsCase;
    *device = st.st_dev;
    return true;
}

void FolderCache::Remember(const std::string& key, const std::string& host, const struct stat& st,
                           bool foldsCase) {
    if (folders_.size() >= MaxFolders) {
        folders_.clear();
    }
    folders_[key] = Folder{host, st.st_dev, st.st_ino, foldsCase};
}

// A file chosen in a host file dialog: taken as it is, but never with "..".
DWORD HostPathResolver::ResolveHostPath(HostEntry* entry) {
    std::string host = entry->path.hostPath;
    if (host.find("/../") != std::string::npos || host.ends_with("/..")) {
        return ERROR_ACCESS_DENIED;
    }
    while (host.size() > 1 && host.back() == '/') {
        host.pop_back();
    }
    entry->host = host;
    entry->name = host.substr(host.rfind('/') + 1);
    entry->isRoot = host == "/";
    if (stat(host.c_str(), &entry->st) == 0) {
        entry->exists = true;
        entry->isDirectory = S_ISDIR(entry->st.st_mode);
        return ERROR_SUCCESS;
    }
    if (errno != ENOENT) {
        return ErrorFromErrno(errno);
    }
    struct stat parent {};
    const std::string dir = host.substr(0, std::max<size_t>(1, host.rfind('/')));
    if (stat(dir.c_str(), &parent) != 0 || !S_ISDIR(parent.st_mode)) {
        return ERROR_PATH_NOT_FOUND;
    }
    return ERROR_SUCCESS;
}

// Above the mounts: a folder that exists only as a name, or a missing entry in one.
DWORD HostPathResolver::ResolveAboveMounts(const std::vector<DriveMount>& mounts, HostEntry* entry) {
    const std::vector<std::string>& comps = entry->path.components;
    for (const DriveMount& m : mounts) {
        if (m.prefix.size() > comps.size() && StartsWithNoCase(m.prefix, comps)) {
            const std::string& child = m.prefix[comps.size()];
            if (std::none_of(entry->virtualChildren.begin(), entry->virtualChildren.end(),
                             [&](const std::string& c) { return EqualNoCase(c, child); })) {
                entry->virtualChildren.push_back(child);
            }
        }
    }
    if (!entry->virtualChildren.empty()) {
        entry->isVirtual = entry->exists = entry->isDirectory = true;
        entry->name = comps.empty() ? "" : comps.back();
        return ERROR_SUCCESS;
    }
    std::vector<std::string> parent(comps.begin(), comps.end() - (comps.empty() ? 0 : 1));
    for (const DriveMount& m : mounts) {
        if (m.prefix.size() > parent.size() && StartsWithNoCase(m.prefix, parent)) {
            entry->parentVirtual = true;
            entry->name = comps.back();
            return ERROR_SUCCESS;
        }
    }
    return ERROR_PATH_NOT_FOUND;
}

DWORD HostPathResolver::Resolve(std::string_view path, HostEntry* entry) {
    return Resolve(path, entry, false);
}

DWORD HostPathResolver::ResolveForOpen(std::string_view path, HostEntry* entry) {
    return Resolve(path, entry, true);
}

DWORD HostPathResolver::Resolve(std::string_view text, HostEntry* entry, bool forCreate) {
    *entry = HostEntry{};
    DWORD err = ParseWinPath(text, &entry->path);
    if (err != ERROR_SUCCESS) {
        return err;
    }
    if (std::string drivePath; entry->path.isHost && drives_.DrivePathOf(entry->path.hostPath, &drivePath)) {
        const bool trailing = entry->path.trailingSeparator || (text.size() > 1 && text.back() == '/');
        if (err = ParseWinPath(drivePath, &entry->path); err != ERROR_SUCCESS) {
            return err;
        }
        entry->path.trailingSeparator = entry->path.trailingSeparator || trailing;
    }
    const WinPath& wp = entry->path;
    if (wp.isHost) {
        return ResolveHostPath(entry);
    }

    std::vector<DriveMount> mounts;
    err = drives_.UncheckedMountsOf(wp.drive, &mounts);
    if (err != ERROR_SUCCESS) {
        return err;
    }
    const std::vector<std::string>& comps = wp.components;
    entry->isRoot = comps.empty();
    const DriveMount* best = nullptr;
    for (const DriveMount& m : mounts) {
        if (StartsWithNoCase(comps, m.prefix) && (best == nullptr || m.prefix.size() > best->prefix.size())) {
            best = &m;
        }
    }
    if (best == nullptr) {
        return ResolveAboveMounts(mounts, entry);
    }

    std::string current = best->hostFolder;
    while (current.size() > 1 && current.back() == '/') {
        current.pop_back();
    }
    // The folder holding the last component, when an earlier call found it: still there on the
    // drive's device, it stands for the drive's folder as well (the card is still mounted there).
    const std::string mountFolder = current;
    size_t first = best->prefix.size();
    std::string cachedFolder;
    bool cachedFolds = false;
    dev_t cachedDevice = 0;
    const bool cached = comps.size() - first > 1 &&
                        folders_.Find(FolderKey(mountFolder, comps, first, comps.size() - 1), &cachedFolder,
                                      &cachedFolds, &cachedDevice) &&
                        (best->device == 0 || cachedDevice == best->device);
    if (best->checked) {
        // The drive map has just looked at it.
        entry->st = best->folderStat;
    } else if (cached) {
        entry->st.st_dev = cachedDevice;
    } else if (stat(current.c_str(), &entry->st) != 0 || !S_ISDIR(entry->st.st_mode) ||
               (best->device != 0 && entry->st.st_dev != best->device)) {
        if (best->prefix.empty()) {
            // A drive's folder vanishing means its medium went away.
            return ERROR_NOT_READY;
        }
        // A folder of C:'s installation tree that is not there (yet).
        if (best->prefix.size() != comps.size()) {
            return ERROR_PATH_NOT_FOUND;
        }
        entry->host = current;
        entry->name = comps.back();
        entry->st = {};
        return ERROR_SUCCESS;
    }
    if (best->prefix.size() == comps.size()) {
        entry->isMountFolder = true;
        entry->host = current;
        entry->exists = entry->isDirectory = true;
        entry->name = comps.empty() ? "" : comps.back();
        return ERROR_SUCCESS;
    }
    // Whether current's file system folds case, once known: a folder below on the same device
    // shares it.
    std::optional<bool> foldsCase;
    dev_t currentDev = entry->st.st_dev;
    if (cached) {
        current = cachedFolder;
        first = comps.size() - 1;
        foldsCase = cachedFolds;
        if (forCreate && cachedFolds) {
            entry->existenceUnknown = entry->onFoldingFolder = true;
            entry->host = JoinHost(current, comps.back());
            entry->name = comps.back();
            return ERROR_SUCCESS;
        }
    }
    bool exact = true;
    for (size_t i = first; i < comps.size(); ++i) {
        const bool last = i + 1 == comps.size();
        std::string found;
        struct stat st {};
        const int e = FindChild(current, comps[i], &found, &st, foldsCase, keepNames_ ? &names_ : nullptr);
        if (e == ENOENT) {
            if (!last) {
                return ERROR_PATH_NOT_FOUND;
            }
            entry->host = JoinHost(current, comps[i]);
            entry->name = comps[i];
            entry->onFoldingFolder = foldsCase.value_or(false);
            return ERROR_SUCCESS;
        }
        if (e != 0) {
            return ErrorFromErrno(e); // ENOTDIR: ERROR_PATH_NOT_FOUND
        }
        if (S_ISLNK(st.st_mode)) {
            // A symlink could lead out of the drive: refused, never followed.
            return ERROR_ACCESS_DENIED;
        }
        current = JoinHost(current, found);
        if (!last && !S_ISDIR(st.st_mode)) {
            return ERROR_PATH_NOT_FOUND;
        }
        exact = exact && found == comps[i];
        if (st.st_dev != currentDev) {
            foldsCase.reset(); // another file system is mounted here
            currentDev = st.st_dev;
        }
        if (exact && !last && first == best->prefix.size()) {
            if (!foldsCase.has_value()) {
                foldsCase = KernelFoldsCase(current);
            }
            folders_.Remember(FolderKey(mountFolder, comps, best->prefix.size(), i + 1), current, st,
                              *foldsCase);
        }
        if (last) {
            entry->onFoldingFolder = foldsCase.value_or(false);
            entry->host = current;
            entry->name = found;
            entry->exists = true;
            entry->isDirectory = S_ISDIR(st.st_mode);
            entry->st = st;
        }
    }
    return ERROR_SUCCESS;
}

DWORD HostPathResolver::ResolveExisting(std::string_view path, HostEntry* entry) {
    const DWORD err = Resolve(path, entry);
    return err == ERROR_SUCCESS && !entry->exists ? ERROR_FILE_NOT_FOUND : err;
}

} // namespace platform::host
