// A slow drive for trying the program as a real card reader would make it feel: every file call
// of a platform waits a fixed time before it runs.
#pragma once

#include "platform/api/Platform.h"

#include <chrono>
#include <memory>

namespace platform {

// The platform with its file calls delayed by delay each (all but the size query, the end of a
// listing and aborting a backup stream); volumes, device changes and path mapping are the
// platform's own.
std::unique_ptr<Platform> WithSlowFiles(std::unique_ptr<Platform> platform, std::chrono::milliseconds delay);

// The delay that VOXHARBOR_SIM_CALL_DELAY_MS asks for (milliseconds, at most 10000); zero when
// it is unset. False with *error when it is set to anything but such a number.
bool CallDelayFromEnvironment(std::chrono::milliseconds* delay, std::string* error);

} // namespace platform
