#include "platform/host/HostWatcher.h"

#include <algorithm>

namespace platform::host {

HostWatcher::HostWatcher(HostVolumes& volumes, std::chrono::milliseconds pollInterval, bool watchSystem)
    : volumes_(volumes), pollInterval_(pollInterval) {
    if (watchSystem) {
        mounts_ = std::make_unique<MountMonitor>();
        if (!volumes_.HasUdisks()) {
            devices_ = std::make_unique<UdevMonitor>();
        }
    }
}

bool HostWatcher::Announced() {
    // Every source is asked, so that each forgets what it announced.
    const bool udisks = volumes_.TakeUdisksChanged();
    const bool mounts = mounts_ != nullptr && mounts_->TakeChanged();
    const bool devices = devices_ != nullptr && devices_->TakeChanged();
    return udisks || mounts || devices;
}

std::vector<UINT> HostWatcher::Poll() {
    const auto now = std::chrono::steady_clock::now();
    const bool signalled = Announced();
    if (signalled || !volumes_.Refreshed() || now - lastPollRefresh_ >= pollInterval_) {
        volumes_.Refresh();
        lastPollRefresh_ = now;
    }
    // A drive's identity includes its volume's serial: a card swapped for another in the same
    // reader between two looks is a removal and an arrival, not "no change".
    std::map<char, std::pair<std::string, bool>> state;
    for (const auto& [letter, drive] : volumes_.Current()) {
        state[letter] = {drive.key + "#" + drive.serial, drive.mediaPresent};
    }
    std::vector<UINT> events;
    bool removed = false;
    bool arrived = false;
    for (const auto& [letter, before] : reported_) {
        auto it = state.find(letter);
        if (it == state.end() || it->second.first != before.first) {
            removed = true;
            arrived = arrived || it != state.end();
        } else if (before.second && !it->second.second) {
            removed = true;
        } else if (!before.second && it->second.second) {
            arrived = true;
        }
    }
    arrived = arrived || std::any_of(state.begin(), state.end(),
                                     [&](const auto& entry) { return reported_.count(entry.first) == 0; });
    // The first look only establishes what is there.
    const bool first = !lastReportValid_;
    reported_ = std::move(state);
    lastReportValid_ = true;
    if (first) {
        return events;
    }
    if (removed) {
        events.push_back(DBT_DEVICEREMOVECOMPLETE);
    }
    if (arrived) {
        events.push_back(DBT_DEVICEARRIVAL);
    }
    return events;
}

} // namespace platform::host
