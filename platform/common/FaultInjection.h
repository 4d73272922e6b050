// Fault injection as a decorator over any platform: a hook sees every file call (with the
// Windows path it concerns) before the wrapped file services do, and may fail it with an error
// code, in which case nothing is done; a drive's volume-label or geometry query can be made to
// fail too. The one way the tests inject faults, on every PC (simulated, host, memory); without
// a hook or a volume fault every call passes straight through.
#pragma once

#include "platform/api/Platform.h"
#include "platform/api/Volumes.h"
#include "platform/common/ForwardingFileSystem.h"

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>

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

class FaultInjectingFileSystem final : public ForwardingFileSystem {
public:
    using ForwardingFileSystem::ForwardingFileSystem;

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

    FileCallFault hook_;
    std::unordered_map<Handle, Opened> files_;
    std::unordered_map<Handle, std::string> listings_;
};

// The volume queries a fault can be set on: a drive's label (GetVolumeLabel) and its geometry
// (GetDiskFreeSpace).
enum class VolumeCall { Label, Geometry };

// Volumes whose label and geometry queries fail, for the drives given a fault, with that error;
// every other call goes to the wrapped volumes.
class FaultInjectingVolumes final : public Volumes {
public:
    explicit FaultInjectingVolumes(Volumes& inner) : inner_(inner) {}

    // The query of the drive (either case) fails with error from now on; 0 removes the fault.
    void SetFault(VolumeCall call, char letter, DWORD error);

    DWORD GetLogicalDrives() override { return inner_.GetLogicalDrives(); }
    UINT GetDriveType(std::string_view root) override { return inner_.GetDriveType(root); }
    BOOL GetVolumeLabel(std::string_view root, std::string* label, DWORD maxLength, DWORD* serial) override;
    BOOL GetDiskFreeSpace(std::string_view root, DWORD* sectorsPerCluster, DWORD* bytesPerSector,
                          DWORD* freeClusters, DWORD* totalClusters) override;
    Handle FindFirstVolume(std::string* volumeName) override { return inner_.FindFirstVolume(volumeName); }
    BOOL FindNextVolume(Handle h, std::string* volumeName) override {
        return inner_.FindNextVolume(h, volumeName);
    }
    BOOL FindVolumeClose(Handle h) override { return inner_.FindVolumeClose(h); }
    BOOL QueryVolumeDiskExtents(std::string_view volumeNameWithoutBackslash) override {
        return inner_.QueryVolumeDiskExtents(volumeNameWithoutBackslash);
    }
    DWORD FormatDrive(UINT driveNumber, const FormatRequest& request) override {
        return inner_.FormatDrive(driveNumber, request);
    }

private:
    DWORD FaultOf(VolumeCall call, std::string_view root) const;

    Volumes& inner_;
    std::map<std::pair<VolumeCall, char>, DWORD> faults_;
};

// A platform whose file services and volumes go through the decorators above; the device
// watcher and the path mapping are the wrapped platform's own. It owns the wrapped platform, or
// (the reference form) leaves it to the caller, who keeps it alive as long as this.
class FaultInjectingPlatform final : public Platform {
public:
    explicit FaultInjectingPlatform(std::unique_ptr<Platform> inner)
        : owned_(std::move(inner)), inner_(*owned_), files_(inner_.Files()), volumes_(inner_.Drives()) {}
    explicit FaultInjectingPlatform(Platform& inner)
        : inner_(inner), files_(inner_.Files()), volumes_(inner_.Drives()) {}

    void SetCallFault(FileCallFault hook) { files_.SetCallFault(std::move(hook)); }
    void SetVolumeFault(VolumeCall call, char letter, DWORD error) { volumes_.SetFault(call, letter, error); }
    // The wrapped platform, without the faults.
    Platform& Inner() { return inner_; }

    FileSystem& Files() override { return files_; }
    Volumes& Drives() override { return volumes_; }
    DeviceWatcher& Devices() override { return inner_.Devices(); }
    std::string HostPathOf(std::string_view windowsPath) override { return inner_.HostPathOf(windowsPath); }
    std::string WindowsPathOf(std::string_view hostPath) override { return inner_.WindowsPathOf(hostPath); }

private:
    std::unique_ptr<Platform> owned_;
    Platform& inner_;
    FaultInjectingFileSystem files_;
    FaultInjectingVolumes volumes_;
};

} // namespace platform
