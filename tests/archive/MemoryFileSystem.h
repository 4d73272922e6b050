// An in-memory file system with Windows semantics for the archive tests: drives of directories
// and files with attribute words and three times, listings in creation order, backup streams,
// a free-space limit and a hook that makes chosen calls fail.
#pragma once

#include "platform/api/FileSystem.h"

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace test {

class MemoryFileSystem : public platform::FileSystem {
public:
    struct Node {
        std::string name; // as created
        bool directory = false;
        DWORD attributes = 0;
        FILETIME creation, lastAccess, lastWrite;
        std::vector<std::uint8_t> data;
        std::vector<std::string> children; // keys, in creation order
    };

    MemoryFileSystem();

    // Test set-up and inspection; paths as the program writes them.
    void AddDrive(char letter);
    void MakeDirectory(const std::string& path, DWORD attributes = FILE_ATTRIBUTE_DIRECTORY, FILETIME t = {});
    void MakeFile(const std::string& path, const std::vector<std::uint8_t>& data,
                  DWORD attributes = FILE_ATTRIBUTE_ARCHIVE, FILETIME t = {});
    void MakeFile(const std::string& path, const std::string& text, DWORD attributes = FILE_ATTRIBUTE_ARCHIVE,
                  FILETIME t = {}) {
        MakeFile(path, std::vector<std::uint8_t>(text.begin(), text.end()), attributes, t);
    }
    const Node* Find(const std::string& path) const;
    bool Exists(const std::string& path) const { return Find(path) != nullptr; }
    std::vector<std::uint8_t> Contents(const std::string& path) const;
    // Every path of a drive below its root ("E:\VM\X", single backslashes), in walk order.
    std::vector<std::string> AllPaths(char letter) const;
    // Opens a file for the test's own reading or writing (the archive).
    platform::Handle OpenForTest(const std::string& path, DWORD access, DWORD disposition);

    // Bytes that BackupWrite may still add before it fails with ERROR_DISK_FULL.
    std::uint64_t freeBytes = UINT64_MAX;
    // Called with the call's name and path (or "" for handle calls); a non-zero result makes
    // the call fail with that error.
    std::function<DWORD(const std::string& call, const std::string& path)> fault;
    // Everything handed to BackupWrite (without the abort calls), per call.
    std::vector<std::size_t> backupWriteSizes;
    int openHandles() const { return static_cast<int>(handles_.size()); }

    platform::Handle CreateFile(std::string_view path, DWORD access, DWORD shareMode, DWORD disposition,
                                DWORD flags) override;
    BOOL ReadFile(platform::Handle h, void* buffer, DWORD toRead, DWORD* read) override;
    BOOL WriteFile(platform::Handle h, const void* buffer, DWORD toWrite, DWORD* written) override;
    BOOL CloseHandle(platform::Handle h) override;
    BOOL GetFileSize(platform::Handle h, std::uint64_t* size) override;
    DWORD GetFileAttributes(std::string_view path) override;
    BOOL SetFileAttributes(std::string_view path, DWORD attributes) override;
    BOOL GetFileTime(platform::Handle h, FILETIME* creation, FILETIME* lastAccess,
                     FILETIME* lastWrite) override;
    BOOL SetFileTime(platform::Handle h, const FILETIME* creation, const FILETIME* lastAccess,
                     const FILETIME* lastWrite) override;
    BOOL CreateDirectory(std::string_view path) override;
    BOOL DeleteFile(std::string_view path) override;
    BOOL MoveFileReplace(std::string_view from, std::string_view to) override;
    DWORD DeleteTree(std::string_view path) override;
    platform::Handle FindFirstFile(std::string_view pattern, platform::FindData* data) override;
    BOOL FindNextFile(platform::Handle h, platform::FindData* data) override;
    BOOL FindClose(platform::Handle h) override;
    BOOL BackupRead(platform::Handle h, std::uint8_t* buffer, DWORD toRead, DWORD* read, BOOL abort,
                    void** context) override;
    BOOL BackupWrite(platform::Handle h, const std::uint8_t* buffer, DWORD toWrite, DWORD* written,
                     BOOL abort, void** context) override;

private:
    struct Open {
        std::string key;
        bool write = false;
        std::uint64_t position = 0;
        std::vector<platform::FindData> listing; // for listings
        std::size_t next = 0;
    };
    struct BackupState {
        std::uint64_t offset = 0;         // read: bytes of the stream handed out
        std::vector<std::uint8_t> header; // write: bytes of the record header so far
        std::uint64_t skip = 0, data = 0; // write: name bytes, then data bytes of the record
        DWORD id = 0;
    };

    // Normalised key "E:\VM\X" (upper case); empty with *error set when the path is bad.
    std::string Key(std::string_view path, DWORD* error) const;
    static std::string Parent(const std::string& key);
    BOOL Fail(DWORD error);
    bool Faulted(const std::string& call, const std::string& path);
    Node* NodeOf(platform::Handle h);
    platform::FindData FindDataOf(const Node& node, const std::string& name) const;

    std::map<std::string, Node> nodes_;
    std::map<platform::Handle, Open> handles_;
    platform::Handle nextHandle_ = 100;
};

} // namespace test
