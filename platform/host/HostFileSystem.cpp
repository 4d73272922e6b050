#include "platform/host/HostFileSystem.h"

#include "platform/api/LastError.h"
#include "platform/common/BackupStream.h"
#include "platform/common/WinPath.h"
#include "platform/host/ErrnoMap.h"
#include "platform/host/HostAttributes.h"

#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

namespace platform::host {

namespace {

// Seconds between 1601-01-01 and 1970-01-01.
constexpr std::int64_t EpochDifference = 11644473600LL;
constexpr std::int64_t UnitsPerSecond = 10000000LL;

std::string Join(const std::string& dir, const std::string& name) {
    if (!dir.empty() && dir.back() == '/') {
        return dir + name;
    }
    return dir + "/" + name;
}

// Looks a name up in a host directory the way Windows does: the name as given first (on FAT
// the file system itself ignores case), otherwise the first entry equal to it without regard to
// case. 0, ENOENT or another errno.
int FindChild(const std::string& dir, const std::string& name, std::string* found, struct stat* st) {
    if (lstat(Join(dir, name).c_str(), st) == 0) {
        *found = name;
        return 0;
    }
    if (errno != ENOENT) {
        return errno;
    }
    DIR* d = opendir(dir.c_str());
    if (d == nullptr) {
        return errno;
    }
    std::string match;
    errno = 0;
    while (dirent* e = readdir(d)) {
        const std::string_view entry(e->d_name);
        if (entry != "." && entry != ".." && EqualNoCase(entry, name)) {
            match = e->d_name;
            break;
        }
    }
    const int readError = errno;
    closedir(d);
    if (match.empty()) {
        return readError != 0 ? readError : ENOENT;
    }
    if (lstat(Join(dir, match).c_str(), st) != 0) {
        return errno;
    }
    *found = match;
    return 0;
}

bool StartsWithNoCase(const std::vector<std::string>& path, const std::vector<std::string>& prefix) {
    if (prefix.size() > path.size()) {
        return false;
    }
    for (size_t i = 0; i < prefix.size(); ++i) {
        if (!EqualNoCase(path[i], prefix[i])) {
            return false;
        }
    }
    return true;
}

FindData FindDataOf(const std::string& host, const std::string& name, const struct stat& st) {
    FindData d;
    d.fileName = name;
    d.attributes = ReadAttributes(host, st);
    FileTimes times = ReadTimes(host, st);
    d.creationTime = times.creation;
    d.lastAccessTime = times.lastAccess;
    d.lastWriteTime = times.lastWrite;
    d.fileSize = S_ISDIR(st.st_mode) ? 0 : static_cast<std::uint64_t>(st.st_size);
    return d;
}

FindData VirtualFolderData(const std::string& name) {
    FindData d;
    d.fileName = name;
    d.attributes = FILE_ATTRIBUTE_DIRECTORY;
    return d;
}

// Deletes everything below and including host, never following a symlink. Returns the first
// errno met, after trying everything else.
int RemoveTree(const std::string& host) {
    struct stat st {};
    if (lstat(host.c_str(), &st) != 0) {
        return errno;
    }
    if (!S_ISDIR(st.st_mode)) {
        return unlink(host.c_str()) == 0 ? 0 : errno;
    }
    int first = 0;
    std::vector<std::string> names;
    if (DIR* d = opendir(host.c_str())) {
        while (dirent* e = readdir(d)) {
            const std::string_view n(e->d_name);
            if (n != "." && n != "..") {
                names.emplace_back(n);
            }
        }
        closedir(d);
    } else {
        return errno;
    }
    for (const std::string& n : names) {
        const int err = RemoveTree(Join(host, n));
        if (first == 0) {
            first = err;
        }
    }
    if (rmdir(host.c_str()) != 0 && first == 0) {
        first = errno;
    }
    return first;
}

// Flushes the directory holding path, so that a new or renamed entry is on the medium.
void SyncParent(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        return;
    }
    const std::string parent = slash == 0 ? "/" : path.substr(0, slash);
    const int fd = open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        // Best effort: the entry itself was made; a directory that cannot be flushed here is
        // flushed by the kernel shortly, and the file's own flush has reported its errors.
        (void)fsync(fd);
        ::close(fd);
    }
}

} // namespace

FILETIME FileTimeFromUnix(std::int64_t seconds, std::int64_t nanoseconds) {
    // Times outside the FILETIME range (a file touched to the year 600000, or before 1601) are
    // clamped to its ends instead of overflowing.
    constexpr std::int64_t maxSeconds =
        static_cast<std::int64_t>(UINT64_MAX / UnitsPerSecond) - EpochDifference - 1;
    if (seconds < -EpochDifference) {
        return FILETIME::From(0);
    }
    const std::int64_t fraction = std::clamp<std::int64_t>(nanoseconds, 0, 999'999'999) / 100;
    const std::uint64_t whole = static_cast<std::uint64_t>(std::min(seconds, maxSeconds) + EpochDifference);
    return FILETIME::From(whole * UnitsPerSecond + static_cast<std::uint64_t>(fraction));
}

void UnixFromFileTime(FILETIME ft, std::int64_t* seconds, std::int64_t* nanoseconds) {
    const std::uint64_t v = ft.Value();
    *seconds = static_cast<std::int64_t>(v / UnitsPerSecond) - EpochDifference;
    *nanoseconds = static_cast<std::int64_t>(v % UnitsPerSecond) * 100;
}

struct HostFileSystem::Entry {
    WinPath path;
    bool isVirtual = false; // a folder that exists only as a name above a mount
    bool parentVirtual = false;
    bool exists = false;
    bool isDirectory = false;
    bool isRoot = false;
    bool isMountFolder = false; // a drive's folder or one of C:'s installation folders
    std::string host;
    std::string name;
    std::vector<std::string> virtualChildren;
    struct stat st {};
};

// All writes go through here: either every byte lands or nothing does, and a full drive is
// ERROR_DISK_FULL before anything is written.
static DWORD WriteAll(int fd, const void* buffer, std::uint32_t count) {
    if (count == 0) {
        return ERROR_SUCCESS;
    }
    struct stat st {};
    const off_t position = lseek(fd, 0, SEEK_CUR);
    if (position < 0 || fstat(fd, &st) != 0) {
        return WindowsErrorFromErrno(errno, IoDirection::Write);
    }
    const std::uint64_t oldSize = static_cast<std::uint64_t>(st.st_size);
    const std::uint64_t end = static_cast<std::uint64_t>(position) + count;
    struct statvfs vfs {};
    if (end > oldSize && fstatvfs(fd, &vfs) == 0 && vfs.f_bsize > 0) {
        const std::uint64_t cluster = vfs.f_bsize;
        auto roundUp = [cluster](std::uint64_t v) { return (v + cluster - 1) / cluster * cluster; };
        const std::uint64_t needed = roundUp(end) - roundUp(oldSize);
        const std::uint64_t available = static_cast<std::uint64_t>(vfs.f_bavail) * vfs.f_frsize;
        if (needed > available) {
            return ERROR_DISK_FULL;
        }
    }
    const auto* bytes = static_cast<const std::uint8_t*>(buffer);
    std::uint32_t done = 0;
    while (done < count) {
        const ssize_t n = write(fd, bytes + done, count - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            const int err = n < 0 ? errno : ENOSPC;
            // Take back what this call added so that a failed write leaves no partial data.
            if (ftruncate(fd, static_cast<off_t>(std::max<std::uint64_t>(oldSize, position))) != 0 ||
                lseek(fd, position, SEEK_SET) < 0) {
                return WindowsErrorFromErrno(errno, IoDirection::Write);
            }
            return WindowsErrorFromErrno(err, IoDirection::Write);
        }
        done += static_cast<std::uint32_t>(n);
    }
    return ERROR_SUCCESS;
}

// Reads until count bytes have arrived or the file ends, retrying interrupted reads; *got is
// what arrived, also when a read fails. readSome(done) reads the bytes after the first done.
template <typename ReadSome> DWORD ReadAll(std::uint32_t count, std::uint32_t* got, ReadSome readSome) {
    *got = 0;
    while (*got < count) {
        const ssize_t n = readSome(*got);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return WindowsErrorFromErrno(errno, IoDirection::Read);
        }
        if (n == 0) {
            break;
        }
        *got += static_cast<std::uint32_t>(n);
    }
    return ERROR_SUCCESS;
}

// Times set through a handle stay as set while data follows through the same handle, as on
// Windows: a restore sets a file's times first and writes its data afterwards.
struct StickyTimes {
    bool active = false;
    struct timespec times[2] = {{0, UTIME_OMIT}, {0, UTIME_OMIT}};

    void Reapply(int fd) const {
        if (active && fd >= 0) {
            // Best effort: the data is written; a time that cannot be put back is not worth
            // failing the write for, and the times were accepted once already.
            (void)futimens(fd, times);
        }
    }
};

namespace {

class HostBackupFile final : public BackupFile {
public:
    HostBackupFile(int fd, bool directory, const StickyTimes* sticky)
        : fd_(fd), directory_(directory), sticky_(sticky) {}
    bool IsDirectory() const override { return directory_; }
    DWORD Size(std::uint64_t* size) override {
        struct stat st {};
        if (fstat(fd_, &st) != 0) {
            return WindowsErrorFromErrno(errno, IoDirection::Read);
        }
        *size = static_cast<std::uint64_t>(st.st_size);
        return ERROR_SUCCESS;
    }
    DWORD ReadAt(std::uint64_t offset, void* buffer, std::uint32_t count, std::uint32_t* got) override {
        auto* bytes = static_cast<std::uint8_t*>(buffer);
        return ReadAll(count, got, [&](std::uint32_t done) {
            return pread(fd_, bytes + done, count - done, static_cast<off_t>(offset + done));
        });
    }
    DWORD Write(const void* buffer, std::uint32_t count) override {
        const DWORD err = WriteAll(fd_, buffer, count);
        sticky_->Reapply(fd_);
        return err;
    }

private:
    int fd_;
    bool directory_;
    const StickyTimes* sticky_;
};

} // namespace

struct HostFileSystem::OpenFile {
    int fd = -1;
    bool isDirectory = false;
    bool isVirtual = false;
    DWORD access = 0;
    DWORD share = 0;
    std::uint64_t dev = 0;
    std::uint64_t ino = 0;
    std::string host;
    // On a card (any drive but C:): flushed with the whole card by FlushVolume, not one by one.
    bool onCard = false;
    StickyTimes sticky;
    std::unique_ptr<HostBackupFile> backup;
};

struct HostFileSystem::Listing {
    std::vector<FindData> entries;
    size_t next = 0;
};

HostFileSystem::HostFileSystem(DriveMap& drives) : drives_(drives) {}

HostFileSystem::~HostFileSystem() {
    for (auto& [h, f] : files_) {
        if (f->fd >= 0) {
            ::close(f->fd);
        }
    }
}

DWORD HostFileSystem::Resolve(std::string_view text, Entry* entry, bool allowWildcards) {
    *entry = Entry{};
    DWORD err = ParseWinPath(text, &entry->path, allowWildcards);
    if (err != ERROR_SUCCESS) {
        return err;
    }
    const WinPath& wp = entry->path;
    if (wp.isHost) {
        // A file chosen in a host file dialog: taken as it is, but never with "..".
        std::string host = wp.hostPath;
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
            return WindowsErrorFromErrno(errno);
        }
        struct stat parent {};
        const std::string dir = host.substr(0, std::max<size_t>(1, host.rfind('/')));
        if (stat(dir.c_str(), &parent) != 0 || !S_ISDIR(parent.st_mode)) {
            return ERROR_PATH_NOT_FOUND;
        }
        return ERROR_SUCCESS;
    }

    std::vector<DriveMount> mounts;
    err = drives_.MountsOf(wp.drive, &mounts);
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
        // Above the mounts: a folder that exists only as a name, or a missing entry in one.
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

    std::string current = best->hostFolder;
    while (current.size() > 1 && current.back() == '/') {
        current.pop_back();
    }
    if (stat(current.c_str(), &entry->st) != 0 || !S_ISDIR(entry->st.st_mode)) {
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
    for (size_t i = best->prefix.size(); i < comps.size(); ++i) {
        const bool last = i + 1 == comps.size();
        std::string found;
        struct stat st {};
        const int e = FindChild(current, comps[i], &found, &st);
        if (e == ENOENT) {
            if (!last) {
                return ERROR_PATH_NOT_FOUND;
            }
            entry->host = Join(current, comps[i]);
            entry->name = comps[i];
            return ERROR_SUCCESS;
        }
        if (e != 0) {
            return e == ENOTDIR || e == ENOENT ? ERROR_PATH_NOT_FOUND : WindowsErrorFromErrno(e);
        }
        if (S_ISLNK(st.st_mode)) {
            // A symlink could lead out of the drive: refused, never followed.
            return ERROR_ACCESS_DENIED;
        }
        current = Join(current, found);
        if (!last && !S_ISDIR(st.st_mode)) {
            return ERROR_PATH_NOT_FOUND;
        }
        if (last) {
            entry->host = current;
            entry->name = found;
            entry->exists = true;
            entry->isDirectory = S_ISDIR(st.st_mode);
            entry->st = st;
        }
    }
    return ERROR_SUCCESS;
}

DWORD HostFileSystem::ResolveExisting(std::string_view path, Entry* entry) {
    const DWORD err = Resolve(path, entry);
    return err == ERROR_SUCCESS && !entry->exists ? ERROR_FILE_NOT_FOUND : err;
}

std::string HostFileSystem::HostPathOf(std::string_view windowsPath) {
    Entry e;
    if (Resolve(windowsPath, &e) != ERROR_SUCCESS) {
        return {};
    }
    return e.host;
}

HostFileSystem::OpenFile* HostFileSystem::FileOf(Handle h) {
    auto it = files_.find(h);
    return it == files_.end() ? nullptr : it->second.get();
}

DWORD HostFileSystem::DataFileOf(Handle h, DWORD access, OpenFile** file) {
    OpenFile* f = FileOf(h);
    if (f == nullptr) {
        return ERROR_INVALID_HANDLE;
    }
    if (f->isDirectory || !(f->access & access)) {
        return ERROR_ACCESS_DENIED;
    }
    *file = f;
    return ERROR_SUCCESS;
}

bool HostFileSystem::ShareConflict(const OpenFile& c) const {
    for (const auto& [h, f] : files_) {
        if (f->isVirtual || f->dev != c.dev || f->ino != c.ino) {
            continue;
        }
        if (((c.access & GENERIC_READ) && !(f->share & FILE_SHARE_READ)) ||
            ((c.access & GENERIC_WRITE) && !(f->share & FILE_SHARE_WRITE)) ||
            ((f->access & GENERIC_READ) && !(c.share & FILE_SHARE_READ)) ||
            ((f->access & GENERIC_WRITE) && !(c.share & FILE_SHARE_WRITE))) {
            return true;
        }
    }
    return false;
}

bool HostFileSystem::InUse(std::uint64_t dev, std::uint64_t ino) const {
    return std::any_of(files_.begin(), files_.end(), [&](const auto& kv) {
        return !kv.second->isVirtual && kv.second->dev == dev && kv.second->ino == ino;
    });
}

Handle HostFileSystem::CreateFile(std::string_view path, DWORD access, DWORD shareMode, DWORD disposition,
                                  DWORD flags) {
    if (disposition < CREATE_NEW || disposition > TRUNCATE_EXISTING ||
        (disposition == TRUNCATE_EXISTING && !(access & GENERIC_WRITE))) {
        Fail(ERROR_INVALID_PARAMETER);
        return InvalidHandle;
    }
    Entry e;
    const DWORD err = Resolve(path, &e);
    if (err != ERROR_SUCCESS) {
        Fail(err);
        return InvalidHandle;
    }
    auto file = std::make_unique<OpenFile>();
    file->access = access;
    file->share = shareMode;
    bool existed = e.exists;

    if (e.exists && e.isDirectory) {
        if (!(flags & FILE_FLAG_BACKUP_SEMANTICS)) {
            Fail(ERROR_ACCESS_DENIED);
            return InvalidHandle;
        }
        if (disposition == CREATE_NEW) {
            Fail(ERROR_FILE_EXISTS);
            return InvalidHandle;
        }
        if (disposition == CREATE_ALWAYS || disposition == TRUNCATE_EXISTING) {
            Fail(ERROR_ACCESS_DENIED);
            return InvalidHandle;
        }
        file->isDirectory = true;
        if (e.isVirtual) {
            file->isVirtual = true;
        } else {
            file->fd =
                open(e.host.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | (e.path.isHost ? 0 : O_NOFOLLOW));
            if (file->fd < 0) {
                FailWithErrno(errno);
                return InvalidHandle;
            }
        }
    } else if (e.exists) {
        if (!e.isVirtual && !S_ISREG(e.st.st_mode)) {
            // Devices, fifos and sockets are no files of a card; opening a fifo would block.
            Fail(ERROR_ACCESS_DENIED);
            return InvalidHandle;
        }
        if (disposition == CREATE_NEW) {
            Fail(ERROR_FILE_EXISTS);
            return InvalidHandle;
        }
        const bool writes =
            (access & GENERIC_WRITE) || disposition == CREATE_ALWAYS || disposition == TRUNCATE_EXISTING;
        if (writes && (ReadAttributes(e.host, e.st) & FILE_ATTRIBUTE_READONLY)) {
            Fail(ERROR_ACCESS_DENIED);
            return InvalidHandle;
        }
        file->dev = e.st.st_dev;
        file->ino = e.st.st_ino;
        if (ShareConflict(*file)) {
            Fail(ERROR_SHARING_VIOLATION);
            return InvalidHandle;
        }
    } else {
        if (disposition == OPEN_EXISTING || disposition == TRUNCATE_EXISTING) {
            Fail(ERROR_FILE_NOT_FOUND);
            return InvalidHandle;
        }
        if (e.parentVirtual || e.isRoot) {
            Fail(ERROR_ACCESS_DENIED);
            return InvalidHandle;
        }
    }

    if (!file->isDirectory) {
        int mode = O_RDONLY;
        if ((access & GENERIC_WRITE) && (access & GENERIC_READ)) {
            mode = O_RDWR;
        } else if (access & GENERIC_WRITE) {
            mode = O_WRONLY;
        }
        int oflags = mode | O_CLOEXEC | (e.path.isHost ? 0 : O_NOFOLLOW);
        if (!existed) {
            oflags |= O_CREAT | O_EXCL;
        } else if (disposition == CREATE_ALWAYS || disposition == TRUNCATE_EXISTING) {
            // Truncation needs a writable descriptor even when only reading was asked for.
            oflags = (oflags & ~O_ACCMODE) | (mode == O_RDONLY ? O_RDWR : mode) | O_TRUNC;
        }
        file->fd = open(e.host.c_str(), oflags, 0666);
        if (file->fd < 0 && errno == EEXIST && !existed) {
            Fail(ERROR_FILE_EXISTS);
            return InvalidHandle;
        }
        if (file->fd < 0) {
            FailWithErrno(errno);
            return InvalidHandle;
        }
        struct stat st {};
        if (fstat(file->fd, &st) != 0 || !S_ISREG(st.st_mode)) {
            // Devices, fifos and sockets are no files of a card.
            ::close(file->fd);
            Fail(ERROR_ACCESS_DENIED);
            return InvalidHandle;
        }
        file->dev = st.st_dev;
        file->ino = st.st_ino;
    } else if (file->fd >= 0) {
        struct stat st {};
        if (fstat(file->fd, &st) != 0) {
            const int err = errno;
            ::close(file->fd);
            FailWithErrno(err, IoDirection::Read);
            return InvalidHandle;
        }
        file->dev = st.st_dev;
        file->ino = st.st_ino;
        if (ShareConflict(*file)) {
            ::close(file->fd);
            Fail(ERROR_SHARING_VIOLATION);
            return InvalidHandle;
        }
    }
    file->host = e.host;
    file->onCard = !e.path.isHost && e.path.drive != 'C';
    file->backup = std::make_unique<HostBackupFile>(file->fd, file->isDirectory, &file->sticky);
    const Handle h = nextHandle_++;
    files_.emplace(h, std::move(file));
    SetLastError(existed && (disposition == OPEN_ALWAYS || disposition == CREATE_ALWAYS)
                     ? ERROR_ALREADY_EXISTS
                     : ERROR_SUCCESS);
    return h;
}

BOOL HostFileSystem::ReadFile(Handle h, void* buffer, DWORD toRead, DWORD* read) {
    if (read != nullptr) {
        *read = 0;
    }
    OpenFile* f = nullptr;
    if (DWORD err = DataFileOf(h, GENERIC_READ, &f)) {
        return Fail(err);
    }
    auto* bytes = static_cast<std::uint8_t*>(buffer);
    DWORD done = 0;
    const DWORD err =
        ReadAll(toRead, &done, [&](std::uint32_t got) { return ::read(f->fd, bytes + got, toRead - got); });
    if (read != nullptr) {
        *read = done;
    }
    return err == ERROR_SUCCESS ? TRUE : Fail(err);
}

BOOL HostFileSystem::WriteFile(Handle h, const void* buffer, DWORD toWrite, DWORD* written) {
    if (written != nullptr) {
        *written = 0;
    }
    OpenFile* f = nullptr;
    if (DWORD err = DataFileOf(h, GENERIC_WRITE, &f)) {
        return Fail(err);
    }
    const DWORD err = WriteAll(f->fd, buffer, toWrite);
    f->sticky.Reapply(f->fd);
    if (err != ERROR_SUCCESS) {
        return Fail(err);
    }
    if (written != nullptr) {
        *written = toWrite;
    }
    return TRUE;
}

BOOL HostFileSystem::CloseHandle(Handle h) {
    auto it = files_.find(h);
    if (it == files_.end()) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    const int fd = it->second->fd;
    it->second->sticky.Reapply(fd);
    int err = 0;
    if (fd >= 0 && (it->second->access & GENERIC_WRITE) && !it->second->onCard) {
        // Windows writes through to removable drives; Linux keeps the data in memory for a while.
        // A file written outside a card (a backup archive) is on its disk when its handle
        // closes, with its directory entry. What goes to a card is put on it once at the end of
        // the operation (FlushVolume), which costs far less than a flush per file.
        if (fsync(fd) != 0) {
            err = errno;
        }
        SyncParent(it->second->host);
    }
    files_.erase(it);
    if (fd >= 0 && ::close(fd) != 0 && errno != EINTR && err == 0) {
        err = errno;
    }
    // A failing flush or close on a card is a write that did not reach it.
    return err == 0 ? TRUE : FailWithErrno(err, IoDirection::Write);
}

BOOL HostFileSystem::FlushVolume(std::string_view root) {
    WinPath wp;
    if (ParseWinPath(root, &wp) != ERROR_SUCCESS || wp.isHost) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    std::vector<DriveMount> mounts;
    if (const DWORD err = drives_.MountsOf(wp.drive, &mounts); err != ERROR_SUCCESS) {
        return Fail(err);
    }
    for (const DriveMount& m : mounts) {
        const int fd = open(m.hostFolder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0) {
            return FailWithErrno(errno, IoDirection::Write);
        }
        // One flush of the file system: every file's data, its directory entry, attribute byte
        // and times, and the FAT itself.
        const int err = syncfs(fd) == 0 ? 0 : errno;
        ::close(fd);
        if (err != 0) {
            return FailWithErrno(err, IoDirection::Write);
        }
    }
    return TRUE;
}

BOOL HostFileSystem::GetFileSize(Handle h, std::uint64_t* size) {
    OpenFile* f = FileOf(h);
    if (f == nullptr) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    if (f->isVirtual) {
        *size = 0;
        return TRUE;
    }
    struct stat st {};
    if (fstat(f->fd, &st) != 0) {
        return FailWithErrno(errno, IoDirection::Read);
    }
    *size = S_ISDIR(st.st_mode) ? 0 : static_cast<std::uint64_t>(st.st_size);
    return TRUE;
}

DWORD HostFileSystem::GetFileAttributes(std::string_view path) {
    Entry e;
    const DWORD err = ResolveExisting(path, &e);
    if (err != ERROR_SUCCESS) {
        Fail(err);
        return INVALID_FILE_ATTRIBUTES;
    }
    if (e.isVirtual) {
        return FILE_ATTRIBUTE_DIRECTORY;
    }
    return ReadAttributes(e.host, e.st);
}

BOOL HostFileSystem::SetFileAttributes(std::string_view path, DWORD attributes) {
    Entry e;
    const DWORD err = ResolveExisting(path, &e);
    if (err != ERROR_SUCCESS) {
        return Fail(err);
    }
    if (e.isVirtual) {
        return Fail(ERROR_ACCESS_DENIED);
    }
    const DWORD result = WriteAttributes(e.host, e.st, attributes);
    return result == ERROR_SUCCESS ? TRUE : Fail(result);
}

BOOL HostFileSystem::GetFileTime(Handle h, FILETIME* creation, FILETIME* lastAccess, FILETIME* lastWrite) {
    OpenFile* f = FileOf(h);
    if (f == nullptr) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    FileTimes times;
    if (!f->isVirtual) {
        struct stat st {};
        if (fstat(f->fd, &st) != 0) {
            return FailWithErrno(errno, IoDirection::Read);
        }
        times = ReadTimes(f->fd, st);
    }
    if (creation != nullptr) {
        *creation = times.creation;
    }
    if (lastAccess != nullptr) {
        *lastAccess = times.lastAccess;
    }
    if (lastWrite != nullptr) {
        *lastWrite = times.lastWrite;
    }
    return TRUE;
}

BOOL HostFileSystem::SetFileTime(Handle h, const FILETIME* creation, const FILETIME* lastAccess,
                                 const FILETIME* lastWrite) {
    OpenFile* f = FileOf(h);
    if (f == nullptr) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    if (f->isVirtual || !(f->access & GENERIC_WRITE)) {
        return Fail(ERROR_ACCESS_DENIED);
    }
    const DWORD err = WriteTimes(f->fd, creation, lastAccess, lastWrite);
    if (err != ERROR_SUCCESS) {
        return Fail(err);
    }
    struct stat st {};
    if ((lastAccess != nullptr || lastWrite != nullptr) && fstat(f->fd, &st) == 0) {
        // Keep what the file system made of them (FAT rounds), to put back after writes.
        f->sticky.active = true;
        if (lastAccess != nullptr) {
            f->sticky.times[0] = st.st_atim;
        }
        if (lastWrite != nullptr) {
            f->sticky.times[1] = st.st_mtim;
        }
    }
    return TRUE;
}

BOOL HostFileSystem::CreateDirectory(std::string_view path) {
    Entry e;
    const DWORD err = Resolve(path, &e);
    if (err != ERROR_SUCCESS) {
        return Fail(err);
    }
    if (e.exists) {
        return Fail(ERROR_ALREADY_EXISTS);
    }
    if (e.parentVirtual) {
        return Fail(ERROR_ACCESS_DENIED);
    }
    if (mkdir(e.host.c_str(), 0777) != 0) {
        return FailWithErrno(errno == ENOENT ? ENOTDIR : errno, IoDirection::Write);
    }
    SyncParent(e.host);
    return TRUE;
}

BOOL HostFileSystem::DeleteFile(std::string_view path) {
    Entry e;
    const DWORD err = ResolveExisting(path, &e);
    if (err != ERROR_SUCCESS) {
        return Fail(err);
    }
    if (e.isDirectory || (ReadAttributes(e.host, e.st) & FILE_ATTRIBUTE_READONLY)) {
        return Fail(ERROR_ACCESS_DENIED);
    }
    if (InUse(e.st.st_dev, e.st.st_ino)) {
        return Fail(ERROR_SHARING_VIOLATION);
    }
    if (unlink(e.host.c_str()) != 0) {
        return FailWithErrno(errno, IoDirection::Write);
    }
    SyncParent(e.host);
    return TRUE;
}

BOOL HostFileSystem::MoveFileReplace(std::string_view from, std::string_view to) {
    Entry source;
    Entry target;
    DWORD err = ResolveExisting(from, &source);
    if (err != ERROR_SUCCESS) {
        return Fail(err);
    }
    err = Resolve(to, &target);
    if (err != ERROR_SUCCESS) {
        return Fail(err);
    }
    if (source.isVirtual || source.isRoot || source.isMountFolder || target.parentVirtual ||
        target.isVirtual || target.isMountFolder) {
        return Fail(ERROR_ACCESS_DENIED);
    }
    if (target.exists) {
        if (target.isDirectory || (ReadAttributes(target.host, target.st) & FILE_ATTRIBUTE_READONLY)) {
            return Fail(ERROR_ACCESS_DENIED);
        }
        if (InUse(target.st.st_dev, target.st.st_ino)) {
            return Fail(ERROR_SHARING_VIOLATION);
        }
    }
    if (InUse(source.st.st_dev, source.st.st_ino)) {
        return Fail(ERROR_SHARING_VIOLATION);
    }
    if (rename(source.host.c_str(), target.host.c_str()) != 0) {
        return FailWithErrno(errno, IoDirection::Write);
    }
    SyncParent(target.host);
    SyncParent(source.host);
    return TRUE;
}

DWORD HostFileSystem::DeleteTree(std::string_view path) {
    Entry e;
    const DWORD err = ResolveExisting(path, &e);
    if (err != ERROR_SUCCESS) {
        return err;
    }
    // A drive root or a mounted folder is never deleted whole.
    if (e.isRoot || e.isVirtual || e.isMountFolder || e.host.empty() || e.host == "/") {
        return ERROR_ACCESS_DENIED;
    }
    const int result = RemoveTree(e.host);
    SyncParent(e.host);
    return result == 0 ? ERROR_SUCCESS : WindowsErrorFromErrno(result, IoDirection::Write);
}

Handle HostFileSystem::FindFirstFile(std::string_view pattern, FindData* data) {
    WinPath parsed;
    DWORD err = ParseWinPath(pattern, &parsed, true);
    if (err != ERROR_SUCCESS) {
        Fail(err);
        return InvalidHandle;
    }
    // Split into the folder to list and the name pattern.
    std::string folder;
    std::string namePattern;
    if (parsed.isHost) {
        const size_t slash = parsed.hostPath.rfind('/');
        folder = parsed.hostPath.substr(0, std::max<size_t>(slash, 1));
        namePattern = parsed.hostPath.substr(slash + 1);
    } else {
        if (parsed.components.empty() || parsed.trailingSeparator) {
            Fail(ERROR_FILE_NOT_FOUND);
            return InvalidHandle;
        }
        namePattern = parsed.components.back();
        parsed.components.pop_back();
        folder = parsed.ToString();
    }
    if (namePattern.empty()) {
        Fail(ERROR_FILE_NOT_FOUND);
        return InvalidHandle;
    }
    Entry dir;
    err = Resolve(folder, &dir);
    if (err != ERROR_SUCCESS) {
        Fail(err);
        return InvalidHandle;
    }
    if (!dir.exists || !dir.isDirectory) {
        Fail(ERROR_PATH_NOT_FOUND);
        return InvalidHandle;
    }
    const bool wildcard = HasWildcards(namePattern);
    auto matches = [&](const std::string& name) {
        return wildcard ? MatchesPattern(name, namePattern) : EqualNoCase(name, namePattern);
    };
    auto listing = std::make_unique<Listing>();
    FindData self = dir.isVirtual ? VirtualFolderData(".") : FindDataOf(dir.host, ".", dir.st);
    if (!dir.isRoot && wildcard) {
        for (const char* dot : {".", ".."}) {
            if (matches(dot)) {
                self.fileName = dot;
                listing->entries.push_back(self);
            }
        }
    }
    if (dir.isVirtual) {
        for (const std::string& child : dir.virtualChildren) {
            if (!matches(child)) {
                continue;
            }
            Entry sub;
            const std::string childPath = (dir.isRoot ? folder : folder + "\\") + child;
            if (Resolve(childPath, &sub) == ERROR_SUCCESS && sub.exists && !sub.isVirtual) {
                listing->entries.push_back(FindDataOf(sub.host, child, sub.st));
            } else {
                listing->entries.push_back(VirtualFolderData(child));
            }
        }
    } else if (DIR* d = opendir(dir.host.c_str())) {
        while (dirent* ent = readdir(d)) {
            const std::string name = ent->d_name;
            if (name == "." || name == ".." || !matches(name)) {
                continue;
            }
            struct stat st {};
            const std::string host = Join(dir.host, name);
            // Only files and folders are a card's entries; symlinks, devices and the like are
            // passed over so nothing outside the drive is ever reached through a listing.
            if (lstat(host.c_str(), &st) != 0 || !(S_ISREG(st.st_mode) || S_ISDIR(st.st_mode))) {
                continue;
            }
            listing->entries.push_back(FindDataOf(host, name, st));
            if (!wildcard) {
                break;
            }
        }
        closedir(d);
    } else {
        FailWithErrno(errno, IoDirection::Read);
        return InvalidHandle;
    }
    if (listing->entries.empty()) {
        Fail(ERROR_FILE_NOT_FOUND);
        return InvalidHandle;
    }
    *data = listing->entries[0];
    listing->next = 1;
    const Handle h = nextHandle_++;
    listings_.emplace(h, std::move(listing));
    SetLastError(ERROR_SUCCESS);
    return h;
}

BOOL HostFileSystem::FindNextFile(Handle h, FindData* data) {
    auto it = listings_.find(h);
    if (it == listings_.end()) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    Listing& l = *it->second;
    if (l.next >= l.entries.size()) {
        return Fail(ERROR_NO_MORE_FILES);
    }
    *data = l.entries[l.next++];
    return TRUE;
}

BOOL HostFileSystem::FindClose(Handle h) {
    return listings_.erase(h) == 1 ? TRUE : Fail(ERROR_INVALID_HANDLE);
}

BOOL HostFileSystem::BackupRead(Handle h, std::uint8_t* buffer, DWORD toRead, DWORD* read, BOOL abort,
                                void** context) {
    OpenFile* f = FileOf(h);
    if (f != nullptr && !abort && (f->isVirtual || !(f->access & GENERIC_READ))) {
        return Fail(ERROR_ACCESS_DENIED);
    }
    return BackupReadStream(f == nullptr ? nullptr : f->backup.get(), buffer, toRead, read, abort, context);
}

BOOL HostFileSystem::BackupWrite(Handle h, const std::uint8_t* buffer, DWORD toWrite, DWORD* written,
                                 BOOL abort, void** context) {
    OpenFile* f = FileOf(h);
    if (f != nullptr && !abort && (f->isVirtual || !(f->access & GENERIC_WRITE))) {
        return Fail(ERROR_ACCESS_DENIED);
    }
    return BackupWriteStream(f == nullptr ? nullptr : f->backup.get(), buffer, toWrite, written, abort,
                             context);
}

} // namespace platform::host
