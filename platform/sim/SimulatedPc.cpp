#include "platform/sim/SimulatedPc.h"

namespace platform {

std::unique_ptr<Platform> OpenSimulatedPc(const std::string& folder, std::string* error) {
    *error = "the simulated PC is not built yet: " + folder;
    return nullptr;
}

} // namespace platform
