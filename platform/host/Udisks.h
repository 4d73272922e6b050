// udisks2, the desktop's service for removable media, as the host platform needs it. The D-Bus
// side lives behind this interface so that discovery can be tested without a bus.
#pragma once

#include "platform/api/WinTypes.h"
#include "platform/host/Discovery.h"

#include <memory>
#include <string>

namespace platform::host {

class UdisksService {
public:
    virtual ~UdisksService() = default;
    // Drives and block devices as udisks2 sees them now; false when it cannot be asked.
    virtual bool Snapshot(UdisksSnapshot* out) = 0;
    // Mounts the file system of a block object; an already mounted one counts as success. Both
    // give its mount point. Otherwise a Windows error code.
    virtual DWORD Mount(const std::string& block, std::string* mountPoint) = 0;
    virtual DWORD Unmount(const std::string& block) = 0;
    // Makes a new file system ("vfat" with fatBits 16 or 32) with the label on the block device;
    // a full (not quick) format first writes zeros over the whole device. ERROR_NOT_SUPPORTED,
    // with the device untouched, when this udisks2 cannot make the FAT size asked for.
    virtual DWORD Format(const std::string& block, const std::string& type, const std::string& label,
                         int fatBits, bool quick) = 0;
    // True once after udisks2 announced a change since the last call (where signals can arrive).
    virtual bool TakeChanged() = 0;
};

// Connects to udisks2 on the system bus, or on the bus at busAddress when it is not empty.
// Null, with the reason in *why, when there is no bus, no udisks2, or no D-Bus support built in.
std::unique_ptr<UdisksService> ConnectUdisks(const std::string& busAddress, std::string* why);

} // namespace platform::host
