// Paths of the simulated PC: a Windows path (or a host path) to its drive, its host path and its
// key in the drive's metadata, without ever leaving the drive's folder.
#include "platform/sim/SimFiles.h"

#include "platform/sim/SimErrors.h"

#include <algorithm>
#include <cerrno>

namespace platform::sim {

using posix::BaseName;
using posix::JoinHost;
using posix::ParentOf;
using posix::RealPath;

namespace {

std::string JoinRel(const std::string& rel, const std::string& name) {
    return rel.empty() ? name : rel + "/" + name;
}

} // namespace

std::string SimFiles::HostPathOf(std::string_view windowsPath) {
    drives_.RefreshIfDue();
    WinPath p;
    if (ParseWinPath(windowsPath, &p) != ERROR_SUCCESS) {
        return {};
    }
    if (p.isHost) {
        return p.hostPath;
    }
    Drive* drive = drives_.DriveOf(p.drive);
    if (drive == nullptr) {
        return {};
    }
    // Resolve as far as the path exists (case-insensitively), append the rest as given.
    std::string host = drive->hostRoot;
    bool existing = true;
    for (const std::string& name : p.components) {
        std::string actual = name;
        if (existing) {
            struct stat st {};
            if (names_.Find(host, name, &actual, &st) != 0 || S_ISLNK(st.st_mode)) {
                existing = false;
                actual = name;
            }
        }
        host = JoinHost(host, actual);
    }
    if (p.trailingSeparator || p.components.empty()) {
        host += '/';
    }
    return host;
}

std::string SimFiles::WindowsPathOf(std::string_view hostPath) {
    drives_.RefreshIfDue();
    std::string text(hostPath);
    if (!IsHostAbsolute(text)) {
        return text;
    }
    std::string converted;
    if (HostToWindows(text, &converted)) {
        return converted;
    }
    return text;
}

// A host path inside a drive folder, as "X:\...".
bool SimFiles::HostToWindows(const std::string& hostPath, std::string* windows) {
    std::string parent = ParentOf(hostPath);
    std::string name = BaseName(hostPath);
    std::string canonical;
    if (name.empty() || name == ".") {
        canonical = RealPath(parent.empty() ? "/" : parent);
    } else {
        const std::string realParent = RealPath(parent.empty() ? "/" : parent);
        if (realParent.empty()) {
            return false;
        }
        canonical = name == ".." ? ParentOf(realParent) : JoinHost(realParent, name);
    }
    if (canonical.empty()) {
        return false;
    }
    for (size_t i = 0; i < drives_.Slots().size(); ++i) {
        const Drive* d = drives_.Slots()[i].get();
        if (d == nullptr) {
            continue;
        }
        const std::string& root = d->hostRoot;
        if (canonical == root ||
            (canonical.size() > root.size() && canonical.compare(0, root.size(), root) == 0 &&
             canonical[root.size()] == '/')) {
            std::string rest = canonical.substr(root.size());
            std::replace(rest.begin(), rest.end(), '/', '\\');
            if (!rest.empty() && rest[0] == '\\') {
                rest.erase(0, 1);
            }
            *windows = std::string(1, static_cast<char>('A' + i)) + ":\\" + rest;
            return true;
        }
    }
    return false;
}

DWORD SimFiles::Resolve(std::string_view path, Location* loc) {
    drives_.RefreshIfDue();
    WinPath p;
    if (DWORD err = ParseWinPath(path, &p)) {
        return err;
    }
    loc->windows = std::string(path);
    if (p.isHost) {
        std::string windows;
        if (HostToWindows(p.hostPath, &windows)) {
            if (DWORD err = ParseWinPath(windows, &p)) {
                return err;
            }
            p.trailingSeparator = p.trailingSeparator || (path.size() > 1 && path.back() == '/');
        } else {
            return ResolveHost(p, loc);
        }
    }
    loc->trailingSeparator = p.trailingSeparator;
    Drive* d = drives_.DriveOf(p.drive);
    if (d == nullptr) {
        return ERROR_PATH_NOT_FOUND;
    }
    if (!d->config.media) {
        return ERROR_NOT_READY;
    }
    loc->drive = d;
    struct stat st {};
    if (::lstat(d->hostRoot.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        return ERROR_NOT_READY; // the drive's folder is gone: nothing to read
    }
    std::string host = d->hostRoot;
    std::string rel;
    for (size_t i = 0; i < p.components.size(); ++i) {
        const bool last = i + 1 == p.components.size();
        std::string actual;
        if (const int e = names_.Find(host, p.components[i], &actual, &st); e != 0) {
            if (e != ENOENT) {
                return ErrorFromErrno(e);
            }
            if (!last) {
                return ERROR_PATH_NOT_FOUND;
            }
            loc->host = JoinHost(host, p.components[i]);
            loc->rel = JoinRel(rel, p.components[i]);
            loc->exists = false;
            return ERROR_SUCCESS;
        }
        if (S_ISLNK(st.st_mode)) {
            return ERROR_ACCESS_DENIED; // a link could lead out of the drive
        }
        if (!S_ISDIR(st.st_mode) && !S_ISREG(st.st_mode)) {
            return ERROR_ACCESS_DENIED; // devices, sockets, pipes are no part of a FAT drive
        }
        if (!last && !S_ISDIR(st.st_mode)) {
            return ERROR_PATH_NOT_FOUND;
        }
        host = JoinHost(host, actual);
        rel = JoinRel(rel, actual);
    }
    loc->host = host;
    loc->rel = rel;
    loc->isRoot = p.components.empty();
    loc->exists = true;
    loc->st = st;
    return ERROR_SUCCESS;
}

// Resolve for a path that must lead to an existing entry: ERROR_FILE_NOT_FOUND otherwise.
DWORD SimFiles::ResolveExisting(std::string_view path, Location* loc) {
    const DWORD err = Resolve(path, loc);
    return err == ERROR_SUCCESS && !loc->exists ? ERROR_FILE_NOT_FOUND : err;
}

DWORD SimFiles::ResolveHost(const WinPath& p, Location* loc) {
    std::string host = p.hostPath;
    while (host.size() > 1 && host.back() == '/') {
        host.pop_back();
    }
    loc->host = host;
    loc->trailingSeparator = p.trailingSeparator;
    loc->isRoot = host == "/";
    if (::stat(host.c_str(), &loc->st) == 0) {
        loc->exists = true;
        return ERROR_SUCCESS;
    }
    if (errno != ENOENT) {
        return ErrorFromErrno(errno);
    }
    struct stat parent {};
    if (::stat(ParentOf(host).c_str(), &parent) != 0 || !S_ISDIR(parent.st_mode)) {
        return ERROR_PATH_NOT_FOUND;
    }
    loc->exists = false;
    return ERROR_SUCCESS;
}
} // namespace platform::sim
