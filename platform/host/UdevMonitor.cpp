#include "platform/host/UdevMonitor.h"

#include <libudev.h>

namespace platform::host {

UdevMonitor::UdevMonitor() : udev_(udev_new()) {
    if (udev_ == nullptr) {
        return;
    }
    monitor_ = udev_monitor_new_from_netlink(udev_, "udev");
    if (monitor_ == nullptr ||
        udev_monitor_filter_add_match_subsystem_devtype(monitor_, "block", nullptr) < 0 ||
        udev_monitor_enable_receiving(monitor_) < 0) {
        udev_monitor_unref(monitor_);
        monitor_ = nullptr;
    }
}

UdevMonitor::~UdevMonitor() {
    udev_monitor_unref(monitor_);
    udev_unref(udev_);
}

bool UdevMonitor::TakeChanged() {
    if (monitor_ == nullptr) {
        return false;
    }
    // The monitor's socket does not block: each call takes one pending event, null when none is.
    bool changed = false;
    while (udev_device* device = udev_monitor_receive_device(monitor_)) {
        changed = true;
        udev_device_unref(device);
    }
    return changed;
}

} // namespace platform::host
