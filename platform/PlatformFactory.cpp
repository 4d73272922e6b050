#include "platform/PlatformFactory.h"

#include "platform/host/HostPlatform.h"
#include "platform/sim/SimulatedPc.h"

#include <cstdlib>

namespace platform {

std::unique_ptr<Platform> CreatePlatformFromEnvironment(std::string* error) {
    const char* folder = std::getenv("VOXHARBOR_SIMULATED_PC");
    if (folder != nullptr && *folder != '\0') {
        return OpenSimulatedPc(folder, error);
    }
    return CreateHostPlatform(error);
}

} // namespace platform
