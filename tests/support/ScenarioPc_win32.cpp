#include "tests/support/ScenarioPc.h"

namespace fktest {

std::unique_ptr<platform::SimulatedPc> OpenScenarioSimPc(const std::string& /*folder*/,
                                                         const platform::SimPcDescription& /*description*/,
                                                         std::string* error) {
    *error =
        "the Windows build has no simulated PC: its scenarios run on the Win32 PC (FK_WIN32_TEST_DRIVE=E)";
    return nullptr;
}

} // namespace fktest
