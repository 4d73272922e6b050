#include "platform/host/HostPlatform.h"

namespace platform {

std::unique_ptr<Platform> CreateHostPlatform(std::string* error) {
    *error = "the Linux host platform is not built yet";
    return nullptr;
}

} // namespace platform
