// The platform as the program sees it: file services, volume queries and device changes,
// plus the mapping of the local installation tree.
#pragma once

#include "platform/api/FileSystem.h"
#include "platform/api/Volumes.h"

#include <memory>
#include <string>

namespace platform {

class Platform {
public:
    virtual ~Platform() = default;
    virtual FileSystem& Files() = 0;
    virtual Volumes& Drives() = 0;
    virtual DeviceWatcher& Devices() = 0;
    // Host folder that a Windows path maps to, for showing it in a file dialog ("" when none).
    virtual std::string HostPathOf(std::string_view windowsPath) = 0;
    // Windows-form (or host) path of a file chosen in a host file dialog.
    virtual std::string WindowsPathOf(std::string_view hostPath) = 0;
};

// Process-wide registry of named window messages (RegisterWindowMessage): the same name always
// gives the same non-zero identifier in the range 0xC000 to 0xFFFF.
UINT RegisterWindowMessage(std::string_view name);

} // namespace platform
