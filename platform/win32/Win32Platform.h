// The platform on Windows itself: the Win32 file services, the drives and volumes as Windows
// reports them. Device changes arrive as WM_DEVICECHANGE at the main window (the window code
// hands them to the dialog), so the watcher has nothing to poll.
#pragma once

#include "platform/api/Platform.h"

#include <memory>
#include <string>
#include <vector>

namespace platform::win32 {

// The device watcher of the platforms on Windows itself: nothing to poll.
class NoPollWatcher final : public DeviceWatcher {
public:
    std::vector<UINT> Poll() override { return {}; }
};

class Win32Volumes final : public Volumes {
public:
    DWORD GetLogicalDrives() override;
    UINT GetDriveType(std::string_view root) override;
    BOOL GetVolumeLabel(std::string_view root, std::string* label, DWORD maxLength,
                        DWORD* serialNumber) override;
    BOOL GetDiskFreeSpace(std::string_view root, DWORD* sectorsPerCluster, DWORD* bytesPerSector,
                          DWORD* freeClusters, DWORD* totalClusters) override;
    Handle FindFirstVolume(std::string* volumeName) override;
    BOOL FindNextVolume(Handle h, std::string* volumeName) override;
    BOOL FindVolumeClose(Handle h) override;
    BOOL QueryVolumeDiskExtents(std::string_view volumeNameWithoutBackslash) override;
    // Formatting is the shell's format dialog on Windows (the window code calls SHFormatDrive);
    // the program never formats by itself here.
    DWORD FormatDrive(UINT driveNumber, const FormatRequest& request) override;
};

std::unique_ptr<Platform> CreateWin32Platform();

} // namespace platform::win32
