// The Linux host: removable block devices as drive letters, the installation tree in the
// data directories, vfat attributes and times on real cards.
#pragma once

#include "platform/api/Platform.h"

#include <memory>
#include <string>

namespace platform {

std::unique_ptr<Platform> CreateHostPlatform(std::string* error);

} // namespace platform
