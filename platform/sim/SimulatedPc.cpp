#include "platform/sim/SimulatedPc.h"

namespace platform {

std::unique_ptr<SimulatedPc> OpenSimulatedPc(const std::string& folder, std::string* error) {
    *error = "the simulated PC is not built yet: " + folder;
    return nullptr;
}

std::unique_ptr<SimulatedPc> MapFolderAsDrive(const std::string& hostFolder, char, std::string* error) {
    *error = "the simulated PC is not built yet: " + hostFolder;
    return nullptr;
}

} // namespace platform
