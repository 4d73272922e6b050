#include "platform/PlatformFactory.h"
#include "platform/common/SlowFiles.h"
#include "platform/win32/Win32Platform.h"

namespace platform {

// On Windows the program always works on the PC's own drives; VOXHARBOR_SIM_CALL_DELAY_MS slows
// their file calls down as it does the simulated PC's, for watching the window during operations.
std::unique_ptr<Platform> CreatePlatformFromEnvironment(std::string* error) {
    std::chrono::milliseconds delay{0};
    if (!CallDelayFromEnvironment(&delay, error)) {
        return nullptr;
    }
    return WithSlowFiles(win32::CreateWin32Platform(), delay);
}

} // namespace platform
