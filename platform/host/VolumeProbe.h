// What a volume's own superblock says it is (libblkid): file-system type, label and UUID, read
// from the device without mounting it.
#pragma once

#include <string>

namespace platform::host {

struct VolumeProbe {
    std::string fsType; // "vfat", "ext4", ...
    std::string label;  // as the file system stores it, "" when it has none
    std::string uuid;
};

// False when the device (or image file) cannot be read, or holds no file system libblkid knows.
bool ProbeVolume(const std::string& device, VolumeProbe* out);

} // namespace platform::host
