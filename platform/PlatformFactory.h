// The program's choice of platform, made once at start-up.
#pragma once

#include "platform/api/Platform.h"

#include <memory>
#include <string>

namespace platform {

// The simulated PC named by VOXHARBOR_SIMULATED_PC when it is set, otherwise the real host.
// Returns null with a message in *error when the platform cannot be set up.
std::unique_ptr<Platform> CreatePlatformFromEnvironment(std::string* error);

} // namespace platform
