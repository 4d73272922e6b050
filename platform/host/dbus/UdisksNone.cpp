// Built when Qt's D-Bus module is not available: the host then reads the mount table and
// udev's block devices itself.
#include "platform/host/Udisks.h"

namespace platform::host {

std::unique_ptr<UdisksService> ConnectUdisks(const std::string&, std::string* why) {
    *why = "built without D-Bus support";
    return nullptr;
}

} // namespace platform::host
