// What a volume's own superblock says its label is (libblkid), read from the device without
// mounting it.
#pragma once

#include <string>

namespace platform::host {

struct VolumeProbe {
    std::string label; // as the file system stores it, "" when it has none
};

// False when the device (or image file) cannot be read, or holds no file system libblkid knows.
bool ProbeVolume(const std::string& device, VolumeProbe* out);

} // namespace platform::host
