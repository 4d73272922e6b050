#include "platform/host/HostWatcher.h"

namespace platform::host {

std::vector<UINT> HostWatcher::Poll() {
    const auto now = std::chrono::steady_clock::now();
    const bool signalled = volumes_.TakeUdisksChanged();
    if (signalled || !volumes_.Refreshed() || now - lastPollRefresh_ >= pollInterval_) {
        volumes_.Refresh();
        lastPollRefresh_ = now;
    }
    std::map<char, std::pair<std::string, bool>> state;
    for (const auto& [letter, drive] : volumes_.Current()) {
        state[letter] = {drive.key, drive.mediaPresent};
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
    for (const auto& entry : state) {
        if (reported_.count(entry.first) == 0) {
            arrived = true;
        }
    }
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
