#include "tests/support/ScenarioPc.h"

namespace fktest {

std::unique_ptr<platform::SimulatedPc> OpenScenarioSimPc(const std::string& folder,
                                                         const platform::SimPcDescription& description,
                                                         std::string* error) {
    if (!platform::CreateSimulatedPcFolder(folder, description, error)) {
        return nullptr;
    }
    return platform::OpenSimulatedPc(folder, error);
}

} // namespace fktest
