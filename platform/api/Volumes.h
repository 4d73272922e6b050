// Drive and volume queries with Windows semantics.
#pragma once

#include "platform/api/FileSystem.h"
#include "platform/api/WinTypes.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

// What the format dialog asked for. Every format makes a new, empty file system; one that is not
// quick first overwrites the whole card (where the platform can).
struct FormatRequest {
    enum class FileSystemKind { Fat, Fat32 };
    FileSystemKind fileSystem = FileSystemKind::Fat;
    std::string label;
    bool quick = false;
};

class Volumes {
public:
    virtual ~Volumes() = default;

    // GetLogicalDrives: bit 0 is A:, bit 25 is Z:.
    virtual DWORD GetLogicalDrives() = 0;
    // GetDriveType of a root "X:\" or of a volume name from the volume enumeration.
    virtual UINT GetDriveType(std::string_view root) = 0;
    // GetVolumeInformation: the volume label, at most maxLength characters, and the volume's
    // serial number (FAT's volume ID, new with every format; 0 where the platform cannot tell),
    // each only where a place for it is given. FALSE with the last error set when the medium is
    // absent (ERROR_NOT_READY) or the volume cannot be read.
    virtual BOOL GetVolumeLabel(std::string_view root, std::string* label, DWORD maxLength = 255,
                                DWORD* serialNumber = nullptr) = 0;
    // GetDiskFreeSpace.
    virtual BOOL GetDiskFreeSpace(std::string_view root, DWORD* sectorsPerCluster, DWORD* bytesPerSector,
                                  DWORD* freeClusters, DWORD* totalClusters) = 0;

    // FindFirstVolume/FindNextVolume/FindVolumeClose: volume names end in a backslash.
    virtual Handle FindFirstVolume(std::string* volumeName) = 0;
    virtual BOOL FindNextVolume(Handle h, std::string* volumeName) = 0;
    virtual BOOL FindVolumeClose(Handle h) = 0;
    // Opens the volume device (name without its trailing backslash, no access, no sharing),
    // asks IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS and closes it again: TRUE when the request succeeds.
    virtual BOOL QueryVolumeDiskExtents(std::string_view volumeNameWithoutBackslash) = 0;

    // Formats the drive (drive number: A: = 0) as asked; the medium then holds an empty file
    // system with the label. Returns 0 on success, otherwise an error code; on failure the drive
    // is left as it was.
    virtual DWORD FormatDrive(UINT driveNumber, const FormatRequest& request) = 0;
};

// Device-change notifications: arrival / removal-complete events for the main dialog.
class DeviceWatcher {
public:
    virtual ~DeviceWatcher() = default;
    // Looks for changes since the last call and returns the events to deliver, in order
    // (DBT_DEVICEARRIVAL, DBT_DEVICEREMOVECOMPLETE). Called regularly by the event loop.
    virtual std::vector<UINT> Poll() = 0;
};

} // namespace platform
