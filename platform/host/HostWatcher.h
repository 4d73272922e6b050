// Device-change notifications of the Linux host: the drives are read again when udisks2 says
// something changed, and at least every poll interval, and the difference to what was last
// reported becomes a removal and/or an arrival.
#pragma once

#include "platform/api/Volumes.h"
#include "platform/host/HostVolumes.h"

#include <chrono>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace platform::host {

class HostWatcher final : public DeviceWatcher {
public:
    HostWatcher(HostVolumes& volumes, std::chrono::milliseconds pollInterval)
        : volumes_(volumes), pollInterval_(pollInterval) {}

    std::vector<UINT> Poll() override;

private:
    HostVolumes& volumes_;
    std::chrono::milliseconds pollInterval_;
    std::chrono::steady_clock::time_point lastPollRefresh_{};
    // Per letter: the drive's key and whether it had a medium, as last reported.
    std::map<char, std::pair<std::string, bool>> reported_;
    bool lastReportValid_ = false;
};

} // namespace platform::host
