// statvfs on Windows (GetDiskFreeSpaceExA), for the simulated PC; see PosixOnWindows.h.
#pragma once

struct statvfs {
    unsigned long long f_bsize = 0;
    unsigned long long f_frsize = 0;
    unsigned long long f_blocks = 0;
    unsigned long long f_bfree = 0;
    unsigned long long f_bavail = 0;
};
int statvfs(const char* path, struct statvfs* out);
