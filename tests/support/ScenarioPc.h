// The simulated PC a scenario runs on when it is given no other PC, made from the scenario's
// description in its folder. The Linux build has one (ScenarioPc_linux.cpp); the Windows build has
// none (ScenarioPc_win32.cpp): there a scenario runs on the Win32 PC (HostPc over Wine's drives).
#pragma once

#include "platform/sim/SimulatedPc.h"

#include <memory>
#include <string>

namespace fktest {

// The simulated PC of description in folder; null with the reason in *error.
std::unique_ptr<platform::SimulatedPc> OpenScenarioSimPc(const std::string& folder,
                                                         const platform::SimPcDescription& description,
                                                         std::string* error);

} // namespace fktest
