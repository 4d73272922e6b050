// Fault injection as a decorator over any FileSystem: a hook sees every file call (with the
// Windows path it concerns) before the wrapped file services do, and may fail it with an error
// code, in which case nothing is done. Used by the fault-injection tests on the simulated PC
// and on the host alike; without a hook every call passes straight through.
#pragma once

#include "platform/api/FileSystem.h"
#include "platform/api/Platform.h"

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>

namespace platform {

// The calls a hook is asked about. SetFilePointer, GetFileSize, FindClose, FlushVolume and
// aborting backup-stream calls always pass; DeleteFile and DeleteTree are both Delete.
// A failed write, flush or close of a file loses what was written to it since it was opened or
// last flushed, as a medium that did not take it would: the bytes added since are gone once it
// is closed (bytes written over earlier ones keep their new value).
enum class FileCall {
    Open,
    Read,
    Write,
    Close,
    BackupRead,
    BackupWrite,
    SetAttributes,
    SetTimes,
    GetAttributes,
    GetTimes,
    CreateDirectory,
    FindFirst,
    FindNext,
    Delete,
    Move,
    Flush
};
// Returns 0 to let the call run, or the error code the call fails with. path is the Windows
// path of the call (for handle calls, the path the handle was opened with).
using FileCallFault = std::function<DWORD(FileCall call, std::string_view path)>;

class FaultInjectingFileSystem final : public FileSystem {
public:
    explicit FaultInjectingFileSystem(FileSystem& inner) : inner_(inner) {}

    // An empty function removes the hook.
    void SetCallFault(FileCallFault hook) { hook_ = std::move(hook); }

    // Each call asks the hook first (the kind of call and its path), then runs.
    Handle CreateFile(std::string_view path, DWORD access, DWORD shareMode, DWORD disposition,
                      DWORD flags) override;
    BOOL ReadFile(Handle h, void* buffer, DWORD toRead, DWORD* read) override;
    BOOL BackupRead(Handle h, std::uint8_t* buffer, DWORD toRead, DWORD* read, BOOL abort,
                    void** context) override;
    BOOL WriteFile(Handle h, const void* buffer, DWORD toWrite, DWORD* written) override;
    BOOL BackupWrite(Handle h, const std::uint8_t* buffer, DWORD toWrite, DWORD* written, BOOL abort,
                     void** context) override;
    BOOL CloseHandle(Handle h) override;
    BOOL FlushFileBuffers(Handle h) override;
    BOOL SetFilePointer(Handle h, std::uint64_t position) override;
    BOOL GetFileSize(Handle h, std::uint64_t* size) override;
    BOOL GetFileTime(Handle h, FILETIME* creation, FILETIME* lastAccess, FILETIME* lastWrite) override;
    BOOL SetFileTime(Handle h, const FILETIME* creation, const FILETIME* lastAccess,
                     const FILETIME* lastWrite) override;
    DWORD GetFileAttributes(std::string_view path) override;
    BOOL SetFileAttributes(std::string_view path, DWORD attributes) override;
    BOOL CreateDirectory(std::string_view path) override;
    BOOL MoveFileReplace(std::string_view from, std::string_view to) override;
    BOOL DeleteFile(std::string_view path) override;
    DWORD DeleteTree(std::string_view path) override;
    Handle FindFirstFile(std::string_view pattern, FindData* data) override;
    BOOL FindNextFile(Handle h, FindData* data) override;
    BOOL FindClose(Handle h) override;
    BOOL FlushVolume(std::string_view root) override { return inner_.FlushVolume(root); }

private:
    struct Opened {
        std::string path;
        DWORD access = 0;
        std::uint64_t onMedium = 0; // the file's size when opened or last flushed
        bool losing = false;        // a write or flush failed: the close loses what followed onMedium
    };
    // Cuts the closed file at path back to its first size bytes.
    void LoseUnflushed(const std::string& path, std::uint64_t size);
    DWORD Ask(FileCall call, std::string_view path) const;
    // The hook's answer for a call through an open file that needs access (0: none): a handle
    // that is not ours, or lacks the access, goes to the wrapped services, which refuse it.
    DWORD AskFile(FileCall call, Handle h, DWORD access) const;

    FileSystem& inner_;
    FileCallFault hook_;
    std::unordered_map<Handle, Opened> files_;
    std::unordered_map<Handle, std::string> listings_;
};

// A platform whose file services go through a FaultInjectingFileSystem; the rest is the wrapped
// platform's own.
class FaultInjectingPlatform final : public Platform {
public:
    explicit FaultInjectingPlatform(std::unique_ptr<Platform> inner)
        : inner_(std::move(inner)), files_(inner_->Files()) {}

    void SetCallFault(FileCallFault hook) { files_.SetCallFault(std::move(hook)); }

    FileSystem& Files() override { return files_; }
    Volumes& Drives() override { return inner_->Drives(); }
    DeviceWatcher& Devices() override { return inner_->Devices(); }
    std::string HostPathOf(std::string_view windowsPath) override { return inner_->HostPathOf(windowsPath); }
    std::string WindowsPathOf(std::string_view hostPath) override { return inner_->WindowsPathOf(hostPath); }

private:
    std::unique_ptr<Platform> inner_;
    FaultInjectingFileSystem files_;
};

} // namespace platform
