// A file system that hands every call to another one: the base of views that change a few
// calls of the file services under them and leave the rest as they are.
#pragma once

#include "platform/api/FileSystem.h"

namespace platform {

class ForwardingFileSystem : public FileSystem {
public:
    explicit ForwardingFileSystem(FileSystem& inner) : inner_(inner) {}

    Handle CreateFile(std::string_view path, DWORD access, DWORD shareMode, DWORD disposition,
                      DWORD flags) override {
        return inner_.CreateFile(path, access, shareMode, disposition, flags);
    }
    BOOL ReadFile(Handle h, void* buffer, DWORD toRead, DWORD* read) override {
        return inner_.ReadFile(h, buffer, toRead, read);
    }
    BOOL WriteFile(Handle h, const void* buffer, DWORD toWrite, DWORD* written) override {
        return inner_.WriteFile(h, buffer, toWrite, written);
    }
    BOOL CloseHandle(Handle h) override { return inner_.CloseHandle(h); }
    BOOL FlushFileBuffers(Handle h) override { return inner_.FlushFileBuffers(h); }
    BOOL SetFilePointer(Handle h, std::uint64_t position) override {
        return inner_.SetFilePointer(h, position);
    }
    BOOL GetFileSize(Handle h, std::uint64_t* size) override { return inner_.GetFileSize(h, size); }
    DWORD GetFileAttributes(std::string_view path) override { return inner_.GetFileAttributes(path); }
    BOOL SetFileAttributes(std::string_view path, DWORD attributes) override {
        return inner_.SetFileAttributes(path, attributes);
    }
    BOOL GetFileTime(Handle h, FILETIME* creation, FILETIME* lastAccess, FILETIME* lastWrite) override {
        return inner_.GetFileTime(h, creation, lastAccess, lastWrite);
    }
    BOOL SetFileTime(Handle h, const FILETIME* creation, const FILETIME* lastAccess,
                     const FILETIME* lastWrite) override {
        return inner_.SetFileTime(h, creation, lastAccess, lastWrite);
    }
    BOOL CreateDirectory(std::string_view path) override { return inner_.CreateDirectory(path); }
    BOOL DeleteFile(std::string_view path) override { return inner_.DeleteFile(path); }
    BOOL MoveFileReplace(std::string_view from, std::string_view to) override {
        return inner_.MoveFileReplace(from, to);
    }
    DWORD DeleteTree(std::string_view path) override { return inner_.DeleteTree(path); }
    Handle FindFirstFile(std::string_view pattern, FindData* data) override {
        return inner_.FindFirstFile(pattern, data);
    }
    BOOL FindNextFile(Handle h, FindData* data) override { return inner_.FindNextFile(h, data); }
    BOOL FindClose(Handle h) override { return inner_.FindClose(h); }
    BOOL BackupRead(Handle h, std::uint8_t* buffer, DWORD toRead, DWORD* read, BOOL abort,
                    void** context) override {
        return inner_.BackupRead(h, buffer, toRead, read, abort, context);
    }
    BOOL BackupWrite(Handle h, const std::uint8_t* buffer, DWORD toWrite, DWORD* written, BOOL abort,
                     void** context) override {
        return inner_.BackupWrite(h, buffer, toWrite, written, abort, context);
    }
    BOOL FlushVolume(std::string_view root) override { return inner_.FlushVolume(root); }

protected:
    FileSystem& inner_;
};

} // namespace platform
