#include "platform/PlatformFactory.h"
#include "platform/win32/Win32Platform.h"

namespace platform {

// On Windows the program always works on the PC's own drives.
std::unique_ptr<Platform> CreatePlatformFromEnvironment(std::string* /*error*/) {
    return win32::CreateWin32Platform();
}

} // namespace platform
