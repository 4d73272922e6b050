// The kernel's mount table, read with libmount: what is mounted where, and a monitor that says
// when that changed.
#pragma once

#include <string>
#include <string_view>
#include <vector>

struct libmnt_monitor;

namespace platform::host {

// One line of /proc/self/mountinfo.
struct MountEntry {
    unsigned major = 0;
    unsigned minor = 0;
    std::string root;
    std::string mountPoint;
    std::string fsType;
    std::string source;
    std::string options; // the file system's own options ("flush" for vfat, ...)
};

// Whether a mount's own options hold name as one of their words.
bool HasOption(const MountEntry& entry, std::string_view name);

// Whether the vfat file system on the block device major:minor is mounted with "flush" in this
// process's mount table: then every release of a file written on it waits in the kernel.
bool FatFlushesEachClose(unsigned major, unsigned minor);

// Parses mountinfo text; escapes (\040 for a blank) are decoded. Malformed lines are skipped.
std::vector<MountEntry> ParseMountInfo(std::string_view text);
// Reads and parses a mountinfo file; an unreadable one has no mounts.
std::vector<MountEntry> ReadMountInfo(const std::string& path);

// Changes of this process's mount table. Where the monitor cannot be set up, it never reports a
// change and the watcher's regular re-reading is what notices mounts.
class MountMonitor {
public:
    MountMonitor();
    ~MountMonitor();
    MountMonitor(const MountMonitor&) = delete;
    MountMonitor& operator=(const MountMonitor&) = delete;

    // True once after the mount table changed since the last call; never blocks.
    bool TakeChanged();

private:
    libmnt_monitor* monitor_ = nullptr;
};

} // namespace platform::host
