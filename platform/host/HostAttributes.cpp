#include "platform/host/HostAttributes.h"

#include "platform/common/FileRules.h"
#include "platform/host/Errno.h"
#include "platform/host/FileTime.h"

#include <cerrno>
#include <fcntl.h>
#include <linux/magic.h>
#include <linux/msdos_fs.h>
#include <sys/ioctl.h>
#include <sys/statfs.h>
#include <sys/sysmacros.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace platform::host {

namespace {

// Where the file system is not FAT, the attribute word and the creation time are kept in user
// extended attributes (as 4 and 8 little-endian bytes) when it has them.
constexpr const char* AttributesXattr = "user.flashkeeper3.attributes";
constexpr const char* CreationXattr = "user.flashkeeper3.creation";

class Fd {
public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

// The entry at host (relative to dirFd) opened for its metadata: never through a link, and never
// waiting for the other end of a fifo.
int OpenForMetadata(int dirFd, const std::string& host, const struct stat& st) {
    return openat(dirFd, host.c_str(),
                  O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | (S_ISDIR(st.st_mode) ? O_DIRECTORY : 0));
}

void PutLe(std::uint8_t* p, std::uint64_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) {
        p[i] = static_cast<std::uint8_t>(v >> (8 * i));
    }
}

std::uint64_t GetLe(const std::uint8_t* p, int bytes) {
    std::uint64_t v = 0;
    for (int i = bytes - 1; i >= 0; --i) {
        v = (v << 8) | p[i];
    }
    return v;
}

bool ReadXattr(int fd, const char* name, std::uint64_t* value, int bytes) {
    std::uint8_t buf[8] = {};
    if (fgetxattr(fd, name, buf, static_cast<size_t>(bytes)) != bytes) {
        return false;
    }
    *value = GetLe(buf, bytes);
    return true;
}

timespec TimespecOf(const struct statx_timestamp& t) {
    return timespec{static_cast<time_t>(t.tv_sec), static_cast<long>(t.tv_nsec)};
}

// Creation: what we stored where the file system cannot set it (not on FAT, which keeps its own),
// else the birth time the kernel reports (btime, when the caller has it), else the last write
// time (the closest a file system without one has).
FileTimes TimesFrom(int fd, const struct stat& st, bool fat, const struct statx* known) {
    FileTimes t;
    t.lastAccess = FileTimeOf(st.st_atim);
    t.lastWrite = FileTimeOf(st.st_mtim);
    std::uint64_t stored = 0;
    struct statx sx {};
    if (!fat && fd >= 0 && ReadXattr(fd, CreationXattr, &stored, 8)) {
        t.creation = FILETIME::From(stored);
    } else if (known != nullptr && (known->stx_mask & STATX_BTIME)) {
        t.creation = FileTimeOf(TimespecOf(known->stx_btime));
    } else if (known == nullptr && fd >= 0 && statx(fd, "", AT_EMPTY_PATH, STATX_BTIME, &sx) == 0 &&
               (sx.stx_mask & STATX_BTIME)) {
        t.creation = FileTimeOf(TimespecOf(sx.stx_btime));
    } else {
        t.creation = t.lastWrite;
    }
    return t;
}

DWORD SynthesisedAttributes(const struct stat& st) {
    const bool directory = S_ISDIR(st.st_mode);
    DWORD synthesised = directory ? 0 : FILE_ATTRIBUTE_ARCHIVE;
    if (!directory && !(st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH))) {
        synthesised |= FILE_ATTRIBUTE_READONLY;
    }
    return synthesised;
}

// The attribute word through fd. *fat tells whether fd lies on FAT. The FAT ioctl is tried first
// on files and folders: FAT answers it, every other file system refuses it with ENOTTY, so a card
// costs one call and no file system query.
DWORD AttributesOf(int fd, const struct stat& st, bool* fat) {
    const bool directory = S_ISDIR(st.st_mode);
    const DWORD synthesised = SynthesisedAttributes(st);
    *fat = false;
    if (fd < 0) {
        // Unreadable: the type and permissions are all there is to go on.
        return NormalizeAttributes(synthesised, directory);
    }
    if (S_ISREG(st.st_mode) || directory) {
        std::uint32_t word = 0;
        if (ioctl(fd, FAT_IOCTL_GET_ATTRIBUTES, &word) == 0) {
            *fat = true;
            return NormalizeAttributes(word, directory);
        }
        *fat = errno != ENOTTY && IsVfat(fd);
    } else {
        *fat = IsVfat(fd);
    }
    if (*fat) {
        // A word is all a caller can take; the mode bits are the best answer left.
        return NormalizeAttributes(synthesised, directory);
    }
    std::uint64_t stored = 0;
    if (ReadXattr(fd, AttributesXattr, &stored, 4)) {
        DWORD word = static_cast<DWORD>(stored);
        if (!directory) {
            // Permissions stay the truth about writing a file.
            word = (word & ~FILE_ATTRIBUTE_READONLY) | (synthesised & FILE_ATTRIBUTE_READONLY);
        }
        return NormalizeAttributes(word, directory);
    }
    return NormalizeAttributes(synthesised, directory);
}

} // namespace

bool IsVfat(int fd) {
    struct statfs sfs {};
    return fstatfs(fd, &sfs) == 0 && sfs.f_type == MSDOS_SUPER_MAGIC;
}

DWORD ReadAttributes(const std::string& host, const struct stat& st) {
    Fd fd(OpenForMetadata(AT_FDCWD, host, st));
    bool fat = false;
    return AttributesOf(fd.get(), st, &fat);
}

int ReadFatAttributes(int dirFd, const std::string& host, DWORD* attributes) {
    Fd fd(openat(dirFd, host.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
    std::uint32_t word = 0;
    if (fd.get() < 0 || ioctl(fd.get(), FAT_IOCTL_GET_ATTRIBUTES, &word) != 0) {
        return errno;
    }
    *attributes = NormalizeAttributes(word, (word & FILE_ATTRIBUTE_DIRECTORY) != 0);
    return 0;
}

void ReadMetadata(const std::string& host, const struct stat& st, DWORD* attributes, FileTimes* times) {
    Fd fd(OpenForMetadata(AT_FDCWD, host, st));
    bool fat = false;
    *attributes = AttributesOf(fd.get(), st, &fat);
    *times = TimesFrom(fd.get(), st, fat, nullptr);
}

bool ReadEntryMetadata(int dirFd, const std::string& name, struct stat* st, DWORD* attributes,
                       FileTimes* times) {
    struct statx sx {};
    if (statx(dirFd, name.c_str(), AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT, STATX_BASIC_STATS | STATX_BTIME,
              &sx) != 0) {
        return false;
    }
    *st = {};
    st->st_dev = makedev(sx.stx_dev_major, sx.stx_dev_minor);
    st->st_ino = sx.stx_ino;
    st->st_mode = sx.stx_mode;
    st->st_size = static_cast<off_t>(sx.stx_size);
    st->st_atim = TimespecOf(sx.stx_atime);
    st->st_mtim = TimespecOf(sx.stx_mtime);
    if (!(S_ISREG(st->st_mode) || S_ISDIR(st->st_mode))) {
        return true; // not a card's entry: the caller passes it over
    }
    Fd fd(OpenForMetadata(dirFd, name, *st));
    bool fat = false;
    *attributes = AttributesOf(fd.get(), *st, &fat);
    *times = TimesFrom(fd.get(), *st, fat, &sx);
    return true;
}

namespace {

// WriteAttributes through an open descriptor of the entry whose stat is st.
DWORD WriteAttributesThrough(int fd, const struct stat& st, DWORD attributes) {
    const bool directory = S_ISDIR(st.st_mode);
    const DWORD word = attributes & SettableAttributes;
    // As in AttributesOf: FAT takes the ioctl, every other file system refuses it with ENOTTY.
    if (S_ISREG(st.st_mode) || directory) {
        std::uint32_t fat = word | (directory ? ATTR_DIR : 0);
        if (ioctl(fd, FAT_IOCTL_SET_ATTRIBUTES, &fat) == 0) {
            return ERROR_SUCCESS;
        }
        const int err = errno;
        if (err != ENOTTY && IsVfat(fd)) {
            return ErrorFromErrno(err, IoDirection::Write);
        }
    } else if (IsVfat(fd)) {
        std::uint32_t fat = word;
        if (ioctl(fd, FAT_IOCTL_SET_ATTRIBUTES, &fat) != 0) {
            return ErrorFromErrno(errno, IoDirection::Write);
        }
        return ERROR_SUCCESS;
    }
    if (!directory) {
        // Read-only is the write permission; the folders' read-only bit is only a mark, as on Windows.
        mode_t mode = st.st_mode & 07777;
        mode = (word & FILE_ATTRIBUTE_READONLY) ? (mode & ~(S_IWUSR | S_IWGRP | S_IWOTH)) : (mode | S_IWUSR);
        if (fchmod(fd, mode) != 0) {
            return ErrorFromErrno(errno, IoDirection::Write);
        }
    }
    std::uint8_t buf[4];
    PutLe(buf, word, 4);
    if (fsetxattr(fd, AttributesXattr, buf, sizeof buf, 0) != 0 && errno != ENOTSUP && errno != EPERM) {
        return ErrorFromErrno(errno, IoDirection::Write);
    }
    // Without extended attributes hidden, system and archive cannot be kept; they read back
    // as the type and permissions give them.
    return ERROR_SUCCESS;
}

} // namespace

DWORD WriteAttributes(const std::string& host, const struct stat& st, DWORD attributes) {
    Fd fd(OpenForMetadata(AT_FDCWD, host, st));
    if (fd.get() < 0) {
        return ErrorFromErrno(errno);
    }
    return WriteAttributesThrough(fd.get(), st, attributes);
}

DWORD WriteAttributesOfSameFile(const std::string& host, std::uint64_t dev, std::uint64_t ino,
                                DWORD attributes, bool* same, int heldFd) {
    *same = false;
    Fd opened(heldFd >= 0 ? -1 : open(host.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
    const int fd = heldFd >= 0 ? heldFd : opened.get();
    struct stat st {};
    const bool found = heldFd >= 0 ? lstat(host.c_str(), &st) == 0 : fd >= 0 && fstat(fd, &st) == 0;
    if (!found || !S_ISREG(st.st_mode) || st.st_dev != dev || st.st_ino != ino) {
        return ERROR_SUCCESS; // not (or no longer) that file: the caller looks the path up
    }
    *same = true;
    return WriteAttributesThrough(fd, st, attributes);
}

bool ReadTimes(int fd, FileTimes* times, bool knownOnVfat) {
    struct statx sx {};
    if (statx(fd, "", AT_EMPTY_PATH, STATX_BASIC_STATS | STATX_BTIME, &sx) != 0) {
        return false;
    }
    struct stat st {};
    st.st_atim = TimespecOf(sx.stx_atime);
    st.st_mtim = TimespecOf(sx.stx_mtime);
    // FAT keeps its own creation time: no stored one to look for.
    *times = TimesFrom(fd, st, knownOnVfat, &sx);
    return true;
}

DWORD WriteTimes(int fd, const FILETIME* creation, const FILETIME* lastAccess, const FILETIME* lastWrite,
                 bool knownOnVfat) {
    auto timespecOf = [](const FILETIME* ft) {
        return ft == nullptr ? timespec{0, UTIME_OMIT} : TimespecFromFileTime(ft->Value());
    };
    const struct timespec ts[2] = {timespecOf(lastAccess), timespecOf(lastWrite)};
    if ((lastAccess != nullptr || lastWrite != nullptr) && futimens(fd, ts) != 0) {
        return ErrorFromErrno(errno, IoDirection::Write);
    }
    if (creation != nullptr && !knownOnVfat && !IsVfat(fd)) {
        // No system call sets a birth time; keep it beside the file where the file system can.
        // On FAT the creation stamp stays as the card has it.
        std::uint8_t buf[8];
        PutLe(buf, creation->Value(), 8);
        if (fsetxattr(fd, CreationXattr, buf, sizeof buf, 0) != 0 && errno != ENOTSUP && errno != EPERM) {
            return ErrorFromErrno(errno, IoDirection::Write);
        }
    }
    return ERROR_SUCCESS;
}

} // namespace platform::host
