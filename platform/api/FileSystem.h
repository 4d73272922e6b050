// File services with Windows semantics.
//
// Paths are Windows paths ("E:\\VM\\PROMPTS\\0\\0\\0\\VERSION.TXT", "C:\\ZEL\\VoxHarbor\\Backup"):
// case-insensitive, doubled backslashes accepted, names keep the case they were created with.
// A host path (beginning with '/') is accepted too, for files chosen in a file dialog.
// Every call that fails sets the calling thread's last error (LastError.h); a call that
// succeeds may leave it unchanged, as on Windows, except where noted.
#pragma once

#include "platform/api/WinTypes.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace platform {

// Opaque handle of an open file, directory, listing or volume enumeration.
using Handle = std::intptr_t;
inline constexpr Handle InvalidHandle = -1;

// One entry of a directory listing (WIN32_FIND_DATA).
struct FindData {
    DWORD attributes = 0;
    FILETIME creationTime;
    FILETIME lastAccessTime;
    FILETIME lastWriteTime;
    std::uint64_t fileSize = 0;
    std::string fileName; // name only, no path
};

class FileSystem {
public:
    virtual ~FileSystem() = default;

    // CreateFile: access GENERIC_READ/GENERIC_WRITE, share FILE_SHARE_*, disposition
    // CREATE_NEW/CREATE_ALWAYS/OPEN_EXISTING/OPEN_ALWAYS/TRUNCATE_EXISTING, flags
    // FILE_FLAG_BACKUP_SEMANTICS (needed to open a directory), FILE_FLAG_NO_BUFFERING (a file
    // opened for reading is read from its medium, not from what the system keeps of it in
    // memory, where the system allows it; reads of any size and position work). Errors as Windows gives them:
    // a drive root whose medium is absent gives ERROR_NOT_READY (21); a missing last component
    // ERROR_FILE_NOT_FOUND (2); a missing directory above it ERROR_PATH_NOT_FOUND (3); an
    // existing directory opened without backup semantics ERROR_ACCESS_DENIED (5); a second
    // open that the first one's share mode forbids ERROR_SHARING_VIOLATION (32); a path
    // that would leave its drive (.., symlinks) ERROR_ACCESS_DENIED.
    // OPEN_ALWAYS and CREATE_ALWAYS on an existing file succeed with last error ERROR_ALREADY_EXISTS.
    virtual Handle CreateFile(std::string_view path, DWORD access, DWORD shareMode, DWORD disposition,
                              DWORD flags) = 0;
    virtual BOOL ReadFile(Handle h, void* buffer, DWORD toRead, DWORD* read) = 0;
    // A write that does not fit the drive's free space writes nothing and fails with ERROR_DISK_FULL.
    virtual BOOL WriteFile(Handle h, const void* buffer, DWORD toWrite, DWORD* written) = 0;
    virtual BOOL CloseHandle(Handle h) = 0;
    // FlushFileBuffers of a file opened for writing: its data, and its entry in its folder, are
    // on the medium when it returns, on whatever drive it lies. FALSE with the write error when
    // the medium did not take them. Platforms whose writes reach the medium at once have
    // nothing to do.
    virtual BOOL FlushFileBuffers(Handle h) {
        static_cast<void>(h);
        return TRUE;
    }
    // SetFilePointerEx from the file's beginning: the next read or write starts at position.
    // File services that cannot move the position fail with ERROR_NOT_SUPPORTED, and their
    // callers read through instead.
    virtual BOOL SetFilePointer(Handle h, std::uint64_t position);
    // GetFileSizeEx.
    virtual BOOL GetFileSize(Handle h, std::uint64_t* size) = 0;

    virtual DWORD GetFileAttributes(std::string_view path) = 0;
    virtual BOOL SetFileAttributes(std::string_view path, DWORD attributes) = 0;
    // Any of the pointers may be null (that time is not read / not changed).
    virtual BOOL GetFileTime(Handle h, FILETIME* creation, FILETIME* lastAccess, FILETIME* lastWrite) = 0;
    virtual BOOL SetFileTime(Handle h, const FILETIME* creation, const FILETIME* lastAccess,
                             const FILETIME* lastWrite) = 0;

    // CreateDirectory: fails with ERROR_ALREADY_EXISTS when it exists, ERROR_PATH_NOT_FOUND when
    // its parent is missing.
    virtual BOOL CreateDirectory(std::string_view path) = 0;
    virtual BOOL DeleteFile(std::string_view path) = 0;
    // MoveFileEx with MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH: puts a finished file
    // in place of another, and the change of the folder is on the medium when it returns. FALSE
    // when the move was not made, or when it was made but could not be put on the medium (the
    // source is gone then).
    virtual BOOL MoveFileReplace(std::string_view from, std::string_view to) = 0;
    // Deletes a directory with everything below it, silently (the shell's FO_DELETE with
    // FOF_SILENT | FOF_NOCONFIRMATION | FOF_NOERRORUI, no recycle bin). Returns 0 on success,
    // otherwise an error code.
    virtual DWORD DeleteTree(std::string_view path) = 0;

    // FindFirstFile/FindNextFile/FindClose. The pattern is a directory path followed by "*.*"
    // (every entry) or a full file path (that entry only). A non-root directory lists "." and
    // ".." first; a root lists neither. Listing order is the file system's own (deterministic).
    // No match: InvalidHandle with ERROR_FILE_NOT_FOUND; FindNextFile at the end: FALSE with
    // ERROR_NO_MORE_FILES.
    virtual Handle FindFirstFile(std::string_view pattern, FindData* data) = 0;
    virtual BOOL FindNextFile(Handle h, FindData* data) = 0;
    virtual BOOL FindClose(Handle h) = 0;

    // BackupRead/BackupWrite (without security data). The stream of a file is one BACKUP_DATA
    // record: the 20-byte WIN32_STREAM_ID header followed by the file's bytes; the stream of a
    // directory is empty. *context starts as nullptr, is kept across the calls for one entry
    // and released by a call with abort set. BackupWrite consumes whole records; bytes that do
    // not continue the stream validly (for example a zero header where a record should begin)
    // fail with ERROR_INVALID_DATA; a full drive fails with ERROR_DISK_FULL; a handle that is
    // not open fails with ERROR_INVALID_HANDLE.
    virtual BOOL BackupRead(Handle h, std::uint8_t* buffer, DWORD toRead, DWORD* read, BOOL abort,
                            void** context) = 0;
    virtual BOOL BackupWrite(Handle h, const std::uint8_t* buffer, DWORD toWrite, DWORD* written, BOOL abort,
                             void** context) = 0;

    // Puts everything written to the drive of root ("E:\") so far, data, attributes and times,
    // on its medium (FlushFileBuffers of a volume). FALSE with the write error when the medium
    // did not take it. Platforms whose writes reach the medium at once have nothing to do.
    virtual BOOL FlushVolume(std::string_view root) {
        static_cast<void>(root);
        return TRUE;
    }
};

} // namespace platform
