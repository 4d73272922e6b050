#include "platform/win32/Win32Platform.h"

#include "platform/api/LastError.h"
#include "platform/win32/Sys.h"
#include "platform/win32/Win32FileSystem.h"

namespace platform::win32 {

namespace {

class Win32Platform final : public Platform {
public:
    FileSystem& Files() override { return files_; }
    Volumes& Drives() override { return volumes_; }
    DeviceWatcher& Devices() override { return watcher_; }
    // Windows paths are the host's own paths.
    std::string HostPathOf(std::string_view windowsPath) override { return std::string(windowsPath); }
    std::string WindowsPathOf(std::string_view hostPath) override { return std::string(hostPath); }

private:
    Win32FileSystem files_;
    Win32Volumes volumes_;
    NoPollWatcher watcher_;
};

// The root the drive calls get: "E:\" for "E:", "e:" or "E:\"; volume names pass unchanged.
std::string RootOf(std::string_view root) {
    std::string r(root);
    if (r.size() == 2 && r[1] == ':') {
        r += '\\';
    }
    return r;
}

} // namespace

DWORD Win32Volumes::GetLogicalDrives() {
    return win32::GetLogicalDrives();
}

UINT Win32Volumes::GetDriveType(std::string_view root) {
    return win32::GetDriveTypeA(RootOf(root));
}

BOOL Win32Volumes::GetVolumeLabel(std::string_view root, std::string* label, DWORD maxLength,
                                  DWORD* serialNumber) {
    std::string name;
    std::uint32_t serial = 0;
    if (!win32::GetVolumeLabel(RootOf(root), &name, &serial)) {
        return Win32Failed();
    }
    if (name.size() > maxLength) {
        name.resize(maxLength);
    }
    if (label != nullptr) {
        *label = name;
    }
    if (serialNumber != nullptr) {
        *serialNumber = serial;
    }
    return TRUE;
}

BOOL Win32Volumes::GetDiskFreeSpace(std::string_view root, DWORD* sectorsPerCluster, DWORD* bytesPerSector,
                                    DWORD* freeClusters, DWORD* totalClusters) {
    // The values are written only when the call succeeds.
    return win32::GetDiskFreeSpaceA(RootOf(root), sectorsPerCluster, bytesPerSector, freeClusters,
                                    totalClusters)
               ? TRUE
               : Win32Failed();
}

Handle Win32Volumes::FindFirstVolume(std::string* volumeName) {
    const NativeHandle h = win32::FindFirstVolumeA(volumeName);
    if (h == InvalidNative) {
        return FailHandle(LastWin32Error());
    }
    return h;
}

BOOL Win32Volumes::FindNextVolume(Handle h, std::string* volumeName) {
    return win32::FindNextVolumeA(h, volumeName) ? TRUE : Win32Failed();
}

BOOL Win32Volumes::FindVolumeClose(Handle h) {
    return win32::FindVolumeClose(h) ? TRUE : Win32Failed();
}

BOOL Win32Volumes::QueryVolumeDiskExtents(std::string_view volumeNameWithoutBackslash) {
    return win32::QueryVolumeDiskExtents(std::string(volumeNameWithoutBackslash)) ? TRUE : Win32Failed();
}

DWORD Win32Volumes::FormatDrive(UINT /*driveNumber*/, const FormatRequest& /*request*/) {
    return ERROR_NOT_SUPPORTED;
}

std::unique_ptr<Platform> CreateWin32Platform() {
    return std::make_unique<Win32Platform>();
}

} // namespace platform::win32
