// The POSIX calls the simulated PC (and the tests' temporary folders) use, on the Win32 API, so
// that the same simulated PC runs in the Windows build: vhbtool maps folders as drives with it
// and the scenario suites run on it under Wine. Included before everything else in those
// targets only (compiler option -include); the program itself never uses it.
//
// What differs from POSIX, on purpose: there are no symbolic links (lstat is stat, O_NOFOLLOW
// means nothing), file locks are whole-file LockFileEx locks, inode numbers are 0 (the callers
// then compare sizes and nanosecond times only), and rename replaces an existing target.
#pragma once

#ifndef _WIN32
#error "PosixOnWindows.h is for Windows builds only"
#endif

// The standard headers that might name these functions come first, untouched by the macros.
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <direct.h>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <io.h>
#include <string>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#ifndef O_CLOEXEC
#define O_CLOEXEC 0 // Win32 handles are not inherited unless asked for
#endif
#ifndef O_NOFOLLOW
#define O_NOFOLLOW 0 // no symbolic links
#endif
#ifndef O_DIRECTORY
#define O_DIRECTORY 0 // the C library cannot open folders: such an open fails, as it may
#endif
#ifndef EDQUOT
#define EDQUOT 1133 // Windows has no quota error among the C library's; no call returns this
#endif
#ifndef ENOMEDIUM
#define ENOMEDIUM 1134 // nor a no-medium error; Win32 calls say ERROR_NOT_READY instead
#endif
#ifndef S_ISLNK
#define S_ISLNK(mode) 0
#endif

#define LOCK_SH 1
#define LOCK_EX 2
#define LOCK_NB 4
#define LOCK_UN 8
int flock(int fd, int operation);

ssize_t pread(int fd, void* buffer, size_t count, off_t offset);
ssize_t pwrite(int fd, const void* buffer, size_t count, off_t offset);

// stat with nanosecond times (100 ns steps, as NTFS and Wine keep them).
struct fk_posix_stat {
    unsigned long long st_dev = 0;
    unsigned long long st_ino = 0;
    unsigned st_mode = 0;
    unsigned st_nlink = 1;
    long long st_size = 0;
    struct timespec st_atim {};
    struct timespec st_mtim {};
    struct timespec st_ctim {};
};
int fk_posix_stat(const char* path, struct fk_posix_stat* st);
int fk_posix_fstat(int fd, struct fk_posix_stat* st);
#undef stat
#undef fstat
#define stat fk_posix_stat
#define lstat fk_posix_stat
#define fstat fk_posix_fstat

#define UTIME_NOW ((1l << 30) - 1l)
#define UTIME_OMIT ((1l << 30) - 2l)
#define AT_FDCWD (-100)
#define AT_SYMLINK_NOFOLLOW 0x100
int futimens(int fd, const struct timespec times[2]);
int utimensat(int dirfd, const char* path, const struct timespec times[2], int flags);

inline int fsync(int fd) {
    return _commit(fd);
}

char* realpath(const char* path, char* resolved);

// POSIX rename replaces an existing target.
int fk_posix_rename(const char* from, const char* to);
namespace std {
using ::fk_posix_rename; // std::rename too
}
#define rename fk_posix_rename

inline int mkdir(const char* path, unsigned /*mode*/) {
    return _mkdir(path);
}

char* mkdtemp(char* pattern);
int setenv(const char* name, const char* value, int overwrite);
