// Device-change notifications of the Linux host: the drives are read again when udisks2, the
// mount table (libmount) or, without udisks2, udev says something changed, and at least every
// poll interval; the difference to what was last reported becomes a removal and/or an arrival.
#pragma once

#include "platform/api/Volumes.h"
#include "platform/host/HostVolumes.h"
#include "platform/host/MountTable.h"
#include "platform/host/UdevMonitor.h"

#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace platform::host {

class HostWatcher final : public DeviceWatcher {
public:
    // With watchSystem, the machine's mount table and (without udisks2) udev are watched too.
    HostWatcher(HostVolumes& volumes, std::chrono::milliseconds pollInterval, bool watchSystem = false);

    std::vector<UINT> Poll() override;

private:
    // Whether anything announced a change since the last look.
    bool Announced();

    HostVolumes& volumes_;
    std::chrono::milliseconds pollInterval_;
    std::unique_ptr<MountMonitor> mounts_;
    std::unique_ptr<UdevMonitor> devices_;
    std::chrono::steady_clock::time_point lastPollRefresh_{};
    // Per letter: the drive's key and whether it had a medium, as last reported.
    std::map<char, std::pair<std::string, bool>> reported_;
    bool lastReportValid_ = false;
};

} // namespace platform::host
