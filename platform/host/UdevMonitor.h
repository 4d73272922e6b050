// Block devices coming and going, as udev announces them (libudev): what tells the watcher about
// card readers and cards when udisks2 is not there to.
#pragma once

struct udev;
struct udev_monitor;

namespace platform::host {

// Where the monitor cannot be set up (no netlink socket, as in some containers), it never
// reports a change and the watcher's regular re-reading is what notices devices.
class UdevMonitor {
public:
    UdevMonitor();
    ~UdevMonitor();
    UdevMonitor(const UdevMonitor&) = delete;
    UdevMonitor& operator=(const UdevMonitor&) = delete;

    // True once after a block device was added, removed or changed since the last call; never
    // blocks.
    bool TakeChanged();

private:
    udev* udev_ = nullptr;
    udev_monitor* monitor_ = nullptr;
};

} // namespace platform::host
