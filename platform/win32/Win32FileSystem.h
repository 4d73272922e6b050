// The file services on the Win32 API: CreateFileA, ReadFile/WriteFile, the attribute, time,
// listing, directory and move calls. Paths are checked and normalised by the shared path
// parser first ("..", embedded NULs and characters Windows refuses never reach the API), so a
// path behaves here as on the other platforms. Backup streams are made and consumed by the
// shared stream code over ReadFile and WriteFile: a file on a FAT card has one unnamed data
// stream and no security data, which is exactly the one BACKUP_DATA record that code yields.
#pragma once

#include "platform/api/FileSystem.h"
#include "platform/win32/Sys.h"

#include <map>
#include <memory>

namespace platform::win32 {

class Win32FileSystem final : public FileSystem {
public:
    explicit Win32FileSystem(FileCalls& sys = SystemFileCalls());
    ~Win32FileSystem() override;

    Handle CreateFile(std::string_view path, DWORD access, DWORD shareMode, DWORD disposition,
                      DWORD flags) override;
    BOOL ReadFile(Handle h, void* buffer, DWORD toRead, DWORD* read) override;
    BOOL WriteFile(Handle h, const void* buffer, DWORD toWrite, DWORD* written) override;
    BOOL CloseHandle(Handle h) override;
    BOOL FlushFileBuffers(Handle h) override;
    BOOL SetFilePointer(Handle h, std::uint64_t position) override;
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

    // FindFirstFile with the caller saying whether the folder listed is a drive's root, which
    // lists no dot entries: a folder shown as a drive is one.
    Handle FindFirstFileListing(std::string_view pattern, bool driveRoot, FindData* data);

private:
    struct OpenFile;
    struct Listing;
    OpenFile* Find(Handle h);
    Handle FindFirstNative(const std::string& pattern, bool driveRoot, FindData* data);
    DWORD DeleteTreeAt(const std::string& path);

    FileCalls& sys_;
    std::map<Handle, std::unique_ptr<OpenFile>> files_;
    std::map<Handle, std::unique_ptr<Listing>> listings_;
};

// Hands the Win32 error of the call that just failed on as the platform's last error; FALSE.
BOOL Win32Failed();

// The path the Win32 calls get for a path of ours, or the error that refuses it. *inDriveRoot
// (when asked for): the path names an entry of a drive's root folder.
DWORD NormalisePath(std::string_view path, std::string* out, bool allowWildcards = false,
                    bool* inDriveRoot = nullptr);

} // namespace platform::win32
