#include "platform/PlatformFactory.h"

#include "platform/host/HostPlatform.h"
#include "platform/sim/SimulatedPc.h"
#include "platform/common/SlowFiles.h"

#include <cstdlib>

namespace platform {

std::unique_ptr<Platform> CreatePlatformFromEnvironment(std::string* error) {
    const char* folder = std::getenv("VOXHARBOR_SIMULATED_PC");
    if (folder != nullptr && *folder != '\0') {
        // A slow card, for trying the window during long operations.
        std::chrono::milliseconds delay{0};
        if (!CallDelayFromEnvironment(&delay, error)) {
            return nullptr;
        }
        return WithSlowFiles(OpenSimulatedPc(folder, error), delay);
    }
    return CreateHostPlatform(error);
}

} // namespace platform
