// The simulated PC: a folder with a description file (pc.ini) and one folder per drive.
#pragma once

#include "platform/api/Platform.h"

#include <memory>
#include <string>

namespace platform {

// Opens the simulated PC in folder; null with *error set when its description cannot be read.
std::unique_ptr<Platform> OpenSimulatedPc(const std::string& folder, std::string* error);

} // namespace platform
