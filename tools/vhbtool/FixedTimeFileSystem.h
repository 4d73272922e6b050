// A file system that reports one fixed time and plain attribute words (directory or archive)
// for every entry, so that `create --time` gives the
// same archive for the same tree wherever and whenever it runs.
#pragma once

#include "platform/api/FileSystem.h"

namespace vhbtool {

class FixedTimeFileSystem : public platform::FileSystem {
public:
    FixedTimeFileSystem(platform::FileSystem& inner, FILETIME time) : inner_(inner), time_(time) {}

    platform::Handle CreateFile(std::string_view path, DWORD access, DWORD shareMode, DWORD disposition,
                                DWORD flags) override {
        return inner_.CreateFile(path, access, shareMode, disposition, flags);
    }
    BOOL ReadFile(platform::Handle h, void* buffer, DWORD toRead, DWORD* read) override {
        return inner_.ReadFile(h, buffer, toRead, read);
    }
    BOOL WriteFile(platform::Handle h, const void* buffer, DWORD toWrite, DWORD* written) override {
        return inner_.WriteFile(h, buffer, toWrite, written);
    }
    BOOL CloseHandle(platform::Handle h) override { return inner_.CloseHandle(h); }
    BOOL GetFileSize(platform::Handle h, std::uint64_t* size) override { return inner_.GetFileSize(h, size); }
    DWORD GetFileAttributes(std::string_view path) override;
    BOOL SetFileAttributes(std::string_view path, DWORD attributes) override {
        return inner_.SetFileAttributes(path, attributes);
    }
    BOOL GetFileTime(platform::Handle h, FILETIME* creation, FILETIME* lastAccess,
                     FILETIME* lastWrite) override;
    BOOL SetFileTime(platform::Handle h, const FILETIME* creation, const FILETIME* lastAccess,
                     const FILETIME* lastWrite) override {
        return inner_.SetFileTime(h, creation, lastAccess, lastWrite);
    }
    BOOL CreateDirectory(std::string_view path) override { return inner_.CreateDirectory(path); }
    BOOL DeleteFile(std::string_view path) override { return inner_.DeleteFile(path); }
    BOOL MoveFileReplace(std::string_view from, std::string_view to) override {
        return inner_.MoveFileReplace(from, to);
    }
    DWORD DeleteTree(std::string_view path) override { return inner_.DeleteTree(path); }
    platform::Handle FindFirstFile(std::string_view pattern, platform::FindData* data) override {
        return inner_.FindFirstFile(pattern, data);
    }
    BOOL FindNextFile(platform::Handle h, platform::FindData* data) override {
        return inner_.FindNextFile(h, data);
    }
    BOOL FindClose(platform::Handle h) override { return inner_.FindClose(h); }
    BOOL BackupRead(platform::Handle h, std::uint8_t* buffer, DWORD toRead, DWORD* read, BOOL abort,
                    void** context) override {
        return inner_.BackupRead(h, buffer, toRead, read, abort, context);
    }
    BOOL BackupWrite(platform::Handle h, const std::uint8_t* buffer, DWORD toWrite, DWORD* written,
                     BOOL abort, void** context) override {
        return inner_.BackupWrite(h, buffer, toWrite, written, abort, context);
    }

private:
    platform::FileSystem& inner_;
    FILETIME time_;
};

} // namespace vhbtool
