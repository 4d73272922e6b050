#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <direct.h>
#include <fcntl.h>
#include <io.h>
#include <string>
#include <sys/types.h>
#include <windows.h>

#include "platform/win32/posix/sys/statvfs.h"

#include "platform/win32/posix/PosixOnWindows.h"
// The C library's own calls below, not the replacements.
#undef stat
#undef lstat
#undef fstat
#undef rename

namespace {

// Files are binary, as on POSIX: no CR-LF translation in any open or fopen of the process.
const int binaryMode = (_fmode = _O_BINARY, 0);

// 100-ns ticks between 1601-01-01 and 1970-01-01.
constexpr long long EpochTicks = 116444736000000000LL;

int Fail(DWORD win32) {
    switch (win32) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_BAD_NETPATH:
        errno = ENOENT;
        break;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
        errno = EACCES;
        break;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
        errno = ENOSPC;
        break;
    case ERROR_ALREADY_EXISTS:
    case ERROR_FILE_EXISTS:
        errno = EEXIST;
        break;
    case ERROR_DIR_NOT_EMPTY:
        errno = ENOTEMPTY;
        break;
    case ERROR_INVALID_HANDLE:
        errno = EBADF;
        break;
    case ERROR_NOT_READY:
    case ERROR_WRITE_FAULT:
    case ERROR_READ_FAULT:
    case ERROR_GEN_FAILURE:
        errno = EIO;
        break;
    default:
        errno = EINVAL;
        break;
    }
    return -1;
}

timespec ToTimespec(const FILETIME& t) {
    const long long ticks =
        static_cast<long long>((std::uint64_t{t.dwHighDateTime} << 32) | t.dwLowDateTime) - EpochTicks;
    timespec ts{};
    long long seconds = ticks / 10000000;
    long long rest = ticks % 10000000;
    if (rest < 0) {
        rest += 10000000;
        --seconds;
    }
    ts.tv_sec = static_cast<time_t>(seconds);
    ts.tv_nsec = static_cast<long>(rest * 100);
    return ts;
}

FILETIME ToFiletime(const timespec& ts) {
    const std::uint64_t ticks = static_cast<std::uint64_t>(static_cast<long long>(ts.tv_sec) * 10000000 +
                                                           ts.tv_nsec / 100 + EpochTicks);
    FILETIME t;
    t.dwLowDateTime = static_cast<DWORD>(ticks & 0xFFFFFFFFu);
    t.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
    return t;
}

void Fill(DWORD attributes, const FILETIME& created, const FILETIME& accessed, const FILETIME& written,
          std::uint64_t size, struct fk_posix_stat* st) {
    *st = {};
    const bool directory = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    st->st_mode = directory ? (_S_IFDIR | 0755) : (_S_IFREG | 0644);
    if ((attributes & FILE_ATTRIBUTE_READONLY) != 0 && !directory) {
        st->st_mode &= ~0222u;
    }
    st->st_size = directory ? 0 : static_cast<long long>(size);
    st->st_atim = ToTimespec(accessed);
    st->st_mtim = ToTimespec(written);
    st->st_ctim = ToTimespec(created);
}

HANDLE Native(int fd) {
    return reinterpret_cast<HANDLE>(_get_osfhandle(fd));
}

// The OVERLAPPED position of a positioned read or write.
OVERLAPPED At(off_t offset) {
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(static_cast<std::uint64_t>(offset) & 0xFFFFFFFFu);
    at.OffsetHigh = static_cast<DWORD>(static_cast<std::uint64_t>(offset) >> 32);
    return at;
}

// One ReadFile or WriteFile moves at most 1 GiB; POSIX lets pread and pwrite move less than asked.
DWORD Chunk(size_t count) {
    return count > 0x40000000u ? 0x40000000u : static_cast<DWORD>(count);
}

} // namespace

int fk_posix_stat(const char* path, struct fk_posix_stat* st) {
    WIN32_FILE_ATTRIBUTE_DATA d{};
    if (!GetFileAttributesExA(path, GetFileExInfoStandard, &d)) {
        return Fail(GetLastError());
    }
    Fill(d.dwFileAttributes, d.ftCreationTime, d.ftLastAccessTime, d.ftLastWriteTime,
         (std::uint64_t{d.nFileSizeHigh} << 32) | d.nFileSizeLow, st);
    return 0;
}

int fk_posix_fstat(int fd, struct fk_posix_stat* st) {
    BY_HANDLE_FILE_INFORMATION info{};
    const HANDLE h = Native(fd);
    if (h == INVALID_HANDLE_VALUE || !GetFileInformationByHandle(h, &info)) {
        return Fail(GetLastError());
    }
    Fill(info.dwFileAttributes, info.ftCreationTime, info.ftLastAccessTime, info.ftLastWriteTime,
         (std::uint64_t{info.nFileSizeHigh} << 32) | info.nFileSizeLow, st);
    return 0;
}

int flock(int fd, int operation) {
    const HANDLE h = Native(fd);
    OVERLAPPED whole{};
    if ((operation & LOCK_UN) != 0) {
        return UnlockFileEx(h, 0, MAXDWORD, MAXDWORD, &whole) ? 0 : Fail(GetLastError());
    }
    // A change between shared and exclusive is an unlock and a new lock, as flock allows. The
    // unlock fails (ERROR_NOT_LOCKED) when no lock is held, which is no error; a bad handle
    // fails the lock below as well.
    UnlockFileEx(h, 0, MAXDWORD, MAXDWORD, &whole);
    DWORD flags = (operation & LOCK_EX) != 0 ? LOCKFILE_EXCLUSIVE_LOCK : 0;
    if ((operation & LOCK_NB) != 0) {
        flags |= LOCKFILE_FAIL_IMMEDIATELY;
    }
    if (!LockFileEx(h, flags, 0, MAXDWORD, MAXDWORD, &whole)) {
        const DWORD err = GetLastError();
        if (err == ERROR_LOCK_VIOLATION || err == ERROR_IO_PENDING) {
            errno = EWOULDBLOCK;
            return -1;
        }
        return Fail(err);
    }
    return 0;
}

ssize_t pread(int fd, void* buffer, size_t count, off_t offset) {
    OVERLAPPED at = At(offset);
    DWORD got = 0;
    if (!ReadFile(Native(fd), buffer, Chunk(count), &got, &at)) {
        const DWORD err = GetLastError();
        return err == ERROR_HANDLE_EOF ? 0 : Fail(err);
    }
    return static_cast<ssize_t>(got);
}

ssize_t pwrite(int fd, const void* buffer, size_t count, off_t offset) {
    OVERLAPPED at = At(offset);
    DWORD done = 0;
    if (!WriteFile(Native(fd), buffer, Chunk(count), &done, &at)) {
        return Fail(GetLastError());
    }
    return static_cast<ssize_t>(done);
}

namespace {

int SetTimes(HANDLE h, const timespec times[2]) {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    FILETIME access{}, write{};
    const FILETIME* a = nullptr;
    const FILETIME* w = nullptr;
    if (times == nullptr) {
        a = w = &now;
    } else {
        if (times[0].tv_nsec != UTIME_OMIT) {
            access = times[0].tv_nsec == UTIME_NOW ? now : ToFiletime(times[0]);
            a = &access;
        }
        if (times[1].tv_nsec != UTIME_OMIT) {
            write = times[1].tv_nsec == UTIME_NOW ? now : ToFiletime(times[1]);
            w = &write;
        }
    }
    return SetFileTime(h, nullptr, a, w) ? 0 : Fail(GetLastError());
}

} // namespace

int futimens(int fd, const timespec times[2]) {
    return SetTimes(Native(fd), times);
}

int utimensat(int /*dirfd*/, const char* path, const timespec times[2], int /*flags*/) {
    const HANDLE h =
        CreateFileA(path, FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        return Fail(GetLastError());
    }
    const int result = SetTimes(h, times);
    const int saved = errno;
    CloseHandle(h);
    errno = saved;
    return result;
}

char* realpath(const char* path, char* resolved) {
    if (GetFileAttributesA(path) == INVALID_FILE_ATTRIBUTES) {
        Fail(GetLastError());
        return nullptr;
    }
    char full[MAX_PATH + 1] = {};
    const DWORD n = GetFullPathNameA(path, sizeof full, full, nullptr);
    if (n == 0 || n > MAX_PATH) {
        Fail(GetLastError());
        return nullptr;
    }
    // Forward slashes, as the callers split and join host paths at '/'.
    for (char* c = full; *c != '\0'; ++c) {
        if (*c == '\\') {
            *c = '/';
        }
    }
    if (resolved == nullptr) {
        return _strdup(full);
    }
    std::strcpy(resolved, full);
    return resolved;
}

int fk_posix_rename(const char* from, const char* to) {
    return MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING) ? 0 : Fail(GetLastError());
}

char* mkdtemp(char* pattern) {
    const std::size_t length = std::strlen(pattern);
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string candidate(pattern, length);
        if (_mktemp_s(candidate.data(), candidate.size() + 1) != 0) {
            errno = EINVAL;
            return nullptr;
        }
        if (_mkdir(candidate.c_str()) == 0) {
            std::memcpy(pattern, candidate.data(), length);
            return pattern;
        }
        if (errno != EEXIST) {
            return nullptr;
        }
    }
    return nullptr;
}

int setenv(const char* name, const char* value, int overwrite) {
    if (overwrite == 0 && std::getenv(name) != nullptr) {
        return 0;
    }
    return _putenv_s(name, value) == 0 ? 0 : -1;
}

int statvfs(const char* path, struct statvfs* out) {
    ULARGE_INTEGER available{}, total{}, free{};
    if (!GetDiskFreeSpaceExA(path, &available, &total, &free)) {
        return Fail(GetLastError());
    }
    // Sizes in 4096-byte blocks, the usual fragment size of a host disk.
    const unsigned long long block = 4096;
    out->f_bsize = out->f_frsize = block;
    out->f_blocks = total.QuadPart / block;
    out->f_bfree = free.QuadPart / block;
    out->f_bavail = available.QuadPart / block;
    return 0;
}
