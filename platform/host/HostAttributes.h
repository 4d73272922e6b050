// Attribute words and the three times of host files: the FAT attribute byte through the vfat
// ioctls on a card, a user extended attribute elsewhere where the file system has them, and
// otherwise words made up from the file type and permissions.
#pragma once

#include "platform/api/WinTypes.h"

#include <cstdint>
#include <string>
#include <sys/stat.h>

namespace platform::host {

struct FileTimes {
    FILETIME creation;
    FILETIME lastAccess;
    FILETIME lastWrite;
};

DWORD ReadAttributes(const std::string& host, const struct stat& st);
// The attribute word of the entry at host on FAT, with one open and FAT's own ioctl (which tells
// a folder from a file too): 0, or the errno that stopped it (ENOTTY: not on FAT).
// host is relative to the folder dirFd (AT_FDCWD: as it is).
int ReadFatAttributes(int dirFd, const std::string& host, DWORD* attributes);
// Sets read-only, hidden, system and archive; the directory bit follows the entry's type.
// Returns ERROR_SUCCESS or a Windows error code.
DWORD WriteAttributes(const std::string& host, const struct stat& st, DWORD attributes);
// WriteAttributes for the regular file at host if it still is the file dev/ino (one just closed):
// *same tells whether it was; when not, nothing was written. heldFd, when not -1, is a descriptor
// of that file still open: written through, instead of opening host again.
DWORD WriteAttributesOfSameFile(const std::string& host, std::uint64_t dev, std::uint64_t ino,
                                DWORD attributes, bool* same, int heldFd = -1);

// Both, with one open of the entry.
void ReadMetadata(const std::string& host, const struct stat& st, DWORD* attributes, FileTimes* times);
// The entry name in the folder dirFd, as a listing needs it: its lstat, and for a file or folder
// its attribute word and times. False (with errno) when it cannot be looked at; for anything but
// a file or folder only *st is filled.
bool ReadEntryMetadata(int dirFd, const std::string& name, struct stat* st, DWORD* attributes,
                       FileTimes* times);
// The times of an open file or folder; false (with errno) when they cannot be read.
bool ReadTimes(int fd, FileTimes* times, bool knownOnVfat);
// Null pointers leave that time alone. Last access and last write are set exactly (to what the
// file system can hold); creation where the file system lets us, otherwise it is left.
// knownOnVfat: the caller knows fd lies on FAT (otherwise it is asked when it matters).
DWORD WriteTimes(int fd, const FILETIME* creation, const FILETIME* lastAccess, const FILETIME* lastWrite,
                 bool knownOnVfat = false);

// True when fd lies on a vfat (FAT12/16/32) mount.
bool IsVfat(int fd);

} // namespace platform::host
