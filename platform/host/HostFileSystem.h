// File services with Windows semantics over host folders: each drive letter is one or more host
// folders (a card's mount point, or the pieces of C:'s installation tree).
#pragma once

#include "platform/api/FileSystem.h"

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace platform::host {

// A host folder that appears at a place inside a drive: prefix {} is the whole drive,
// {"ZEL", "VoxHarbor", "Backup"} puts the folder at C:\ZEL\VoxHarbor\Backup. The folders above
// a prefix exist only as names.
struct DriveMount {
    std::vector<std::string> prefix;
    std::string hostFolder;
};

// Where the file services find the drives.
class DriveMap {
public:
    virtual ~DriveMap() = default;
    // ERROR_SUCCESS with the drive's mounts; ERROR_PATH_NOT_FOUND for a letter with no drive;
    // ERROR_NOT_READY for a drive without a usable medium (this is where a card that is
    // attached but not mounted gets mounted).
    virtual DWORD MountsOf(char drive, std::vector<DriveMount>* mounts) = 0;
};

class HostFileSystem final : public FileSystem {
public:
    explicit HostFileSystem(DriveMap& drives);
    ~HostFileSystem() override;

    Handle CreateFile(std::string_view path, DWORD access, DWORD shareMode, DWORD disposition,
                      DWORD flags) override;
    BOOL ReadFile(Handle h, void* buffer, DWORD toRead, DWORD* read) override;
    BOOL WriteFile(Handle h, const void* buffer, DWORD toWrite, DWORD* written) override;
    BOOL CloseHandle(Handle h) override;
    BOOL GetFileSize(Handle h, std::uint64_t* size) override;
    DWORD GetFileAttributes(std::string_view path) override;
    BOOL SetFileAttributes(std::string_view path, DWORD attributes) override;
    BOOL GetFileTime(Handle h, FILETIME* creation, FILETIME* lastAccess, FILETIME* lastWrite) override;
    BOOL SetFileTime(Handle h, const FILETIME* creation, const FILETIME* lastAccess,
                     const FILETIME* lastWrite) override;
    BOOL CreateDirectory(std::string_view path) override;
    BOOL DeleteFile(std::string_view path) override;
    BOOL MoveFileReplace(std::string_view from, std::string_view to) override;
    DWORD DeleteTree(std::string_view path) override;
    Handle FindFirstFile(std::string_view pattern, FindData* data) override;
    BOOL FindNextFile(Handle h, FindData* data) override;
    BOOL FindClose(Handle h) override;
    BOOL BackupRead(Handle h, std::uint8_t* buffer, DWORD toRead, DWORD* read, BOOL abort,
                    void** context) override;
    BOOL BackupWrite(Handle h, const std::uint8_t* buffer, DWORD toWrite, DWORD* written, BOOL abort,
                     void** context) override;
    BOOL FlushVolume(std::string_view root) override;

    // Host path that a Windows path resolves to ("" when it names no host folder or file).
    std::string HostPathOf(std::string_view windowsPath);

    struct OpenFile;
    struct Listing;

private:
    struct Entry;
    DWORD Resolve(std::string_view path, Entry* entry, bool allowWildcards = false);
    // Resolve for a path that must lead to an existing entry: ERROR_FILE_NOT_FOUND otherwise.
    DWORD ResolveExisting(std::string_view path, Entry* entry);
    OpenFile* FileOf(Handle h);
    // The file (not a directory) behind h for reading or writing its data, opened with access:
    // ERROR_INVALID_HANDLE or ERROR_ACCESS_DENIED otherwise.
    DWORD DataFileOf(Handle h, DWORD access, OpenFile** file);
    bool ShareConflict(const OpenFile& candidate) const;
    bool InUse(std::uint64_t dev, std::uint64_t ino) const;

    DriveMap& drives_;
    std::map<Handle, std::unique_ptr<OpenFile>> files_;
    std::map<Handle, std::unique_ptr<Listing>> listings_;
    Handle nextHandle_ = 0x100;
};

// FILETIME <-> Unix time (seconds and nanoseconds since 1970), exact to the 100 ns unit.
FILETIME FileTimeFromUnix(std::int64_t seconds, std::int64_t nanoseconds);
void UnixFromFileTime(FILETIME ft, std::int64_t* seconds, std::int64_t* nanoseconds);

} // namespace platform::host
