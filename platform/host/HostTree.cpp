#include "platform/host/HostTree.h"

#include "platform/common/WinPath.h"
#include "platform/host/Errno.h"

#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <system_error>

#ifdef __linux__
#include <linux/magic.h>
#include <sys/statfs.h>
#endif

namespace platform::host {

// Whether the kernel itself looks names up in dir without regard to case, so that a name it does
// not find has no twin in another case either. FAT (vfat, as cards are mounted) does, unless it
// was mounted with check=s, which no desktop does; its look-up folds at least the ASCII letters
// that EqualNoCase folds.
bool KernelFoldsCase(const std::string& dir) {
#ifdef __linux__
    struct statfs sfs {};
    return ::statfs(dir.c_str(), &sfs) == 0 && sfs.f_type == MSDOS_SUPER_MAGIC;
#else
    (void)dir;
    return false;
#endif
}

std::string JoinHost(const std::string& dir, const std::string& name) {
    if (!dir.empty() && dir.back() == '/') {
        return dir + name;
    }
    return dir + "/" + name;
}

std::string ParentOf(const std::string& path) {
    const auto slash = path.rfind('/');
    if (slash == std::string::npos) {
        return {};
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string BaseName(const std::string& path) {
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string RealPath(const std::string& path) {
    std::error_code missing; // the path comes back empty
    return std::filesystem::canonical(path, missing).string();
}

DWORD ListNames(const std::string& dir, std::vector<std::string>* names) {
    DIR* handle = ::opendir(dir.c_str());
    if (handle == nullptr) {
        return ErrorFromErrno(errno, IoDirection::Read);
    }
    errno = 0;
    while (dirent* e = ::readdir(handle)) {
        const std::string_view name(e->d_name);
        if (name != "." && name != "..") {
            names->emplace_back(name);
        }
    }
    const int readError = errno;
    ::closedir(handle);
    return readError == 0 ? ERROR_SUCCESS : ErrorFromErrno(readError, IoDirection::Read);
}

namespace {

int Fsync(const std::string& path, int flags) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | flags);
    if (fd < 0) {
        return errno;
    }
    const int err = ::fsync(fd) == 0 ? 0 : errno;
    ::close(fd);
    return err;
}

} // namespace

int SyncParent(const std::string& path) {
    const std::string parent = ParentOf(path);
    return parent.empty() ? 0 : Fsync(parent, O_DIRECTORY);
}

int SyncFile(const std::string& path) {
    return Fsync(path, O_NOFOLLOW);
}

DWORD RemoveTree(const std::string& path, const std::function<void(const struct stat&)>& removed) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) {
        return ErrorFromErrno(errno, IoDirection::Write);
    }
    if (!S_ISDIR(st.st_mode)) {
        if (::unlink(path.c_str()) != 0) {
            return ErrorFromErrno(errno, IoDirection::Write);
        }
        removed(st);
        return ERROR_SUCCESS;
    }
    std::vector<std::string> names;
    if (DWORD err = ListNames(path, &names)) {
        return err;
    }
    DWORD first = ERROR_SUCCESS;
    for (const std::string& name : names) {
        const DWORD err = RemoveTree(JoinHost(path, name), removed);
        if (first == ERROR_SUCCESS) {
            first = err;
        }
    }
    if (::rmdir(path.c_str()) != 0) {
        return first != ERROR_SUCCESS ? first : ErrorFromErrno(errno, IoDirection::Write);
    }
    removed(st);
    return first;
}

namespace {

// The first entry of dir equal to name without regard to case.
int ScanFolder(const std::string& dir, const std::string& name, std::string* actual) {
    DIR* handle = ::opendir(dir.c_str());
    if (handle == nullptr) {
        return errno;
    }
    errno = 0;
    bool found = false;
    while (dirent* e = ::readdir(handle)) {
        const std::string_view entry(e->d_name);
        if (entry != "." && entry != ".." && EqualNoCase(entry, name)) {
            *actual = e->d_name;
            found = true;
            break;
        }
    }
    const int readError = errno;
    ::closedir(handle);
    return found ? 0 : readError != 0 ? readError : ENOENT;
}

} // namespace

int FolderNames::Find(const std::string& dir, const std::string& name, std::string* actual) {
    struct stat ds {};
    if (::stat(dir.c_str(), &ds) != 0) {
        return errno;
    }
    const std::int64_t mtimeNs = std::int64_t{ds.st_mtim.tv_sec} * 1000000000 + ds.st_mtim.tv_nsec;
    auto it = tables_.find(dir);
    if (it == tables_.end() || it->second.mtimeNs != mtimeNs || it->second.inode != ds.st_ino) {
        DIR* handle = ::opendir(dir.c_str());
        if (handle == nullptr) {
            return errno;
        }
        if (tables_.size() >= 256) {
            tables_.clear(); // cheap to read again
        }
        Names& names = tables_[dir];
        names = Names{mtimeNs, ds.st_ino, {}};
        while (dirent* e = ::readdir(handle)) {
            const std::string entry = e->d_name;
            if (entry != "." && entry != "..") {
                names.byLower.emplace(ToLowerAscii(entry), entry);
            }
        }
        ::closedir(handle);
        it = tables_.find(dir);
    }
    const auto found = it->second.byLower.find(ToLowerAscii(name));
    if (found == it->second.byLower.end()) {
        return ENOENT;
    }
    *actual = found->second;
    return 0;
}

void FolderNames::Created(const std::string& hostPath) {
    const auto it = tables_.find(ParentOf(hostPath));
    struct stat ds {};
    if (it == tables_.end()) {
        return;
    }
    if (::stat(it->first.c_str(), &ds) != 0) {
        tables_.erase(it);
        return;
    }
    const std::string base = BaseName(hostPath);
    it->second.byLower.emplace(ToLowerAscii(base), base);
    it->second.mtimeNs = std::int64_t{ds.st_mtim.tv_sec} * 1000000000 + ds.st_mtim.tv_nsec;
    it->second.inode = ds.st_ino;
}

void FolderNames::Forget(const std::string& hostPath) {
    const std::string parent = ParentOf(hostPath);
    std::erase_if(tables_, [&](const auto& e) {
        return e.first == parent || e.first == hostPath ||
               (e.first.starts_with(hostPath) && e.first.size() > hostPath.size() &&
                e.first[hostPath.size()] == '/');
    });
}

int FindChild(const std::string& dir, const std::string& name, std::string* actual, struct stat* st,
              std::optional<bool> kernelFoldsCase, FolderNames* kept) {
    const std::string exact = JoinHost(dir, name);
    if (::lstat(exact.c_str(), st) == 0) {
        *actual = name;
        return 0;
    }
    if (errno != ENOENT) {
        return errno;
    }
    // A new file in a card's folder: reading the whole folder for every one of them would cost
    // time that grows with the square of the folder's size.
    if (kernelFoldsCase.has_value() ? *kernelFoldsCase : KernelFoldsCase(dir)) {
        return ENOENT;
    }
    if (const int err = kept != nullptr ? kept->Find(dir, name, actual) : ScanFolder(dir, name, actual)) {
        return err;
    }
    return ::lstat(JoinHost(dir, *actual).c_str(), st) == 0 ? 0 : errno;
}

} // namespace platform::host
