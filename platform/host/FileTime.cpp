#include "platform/host/FileTime.h"

#include <algorithm>

namespace platform::host {

namespace {

constexpr std::uint64_t FileTimeOfUnixEpoch = 116444736000000000ULL;
constexpr std::uint64_t TicksPerSecond = 10000000;

} // namespace

std::uint64_t FileTimeFromTimespec(const timespec& ts) {
    constexpr std::int64_t maxSeconds =
        static_cast<std::int64_t>((UINT64_MAX - FileTimeOfUnixEpoch) / TicksPerSecond) - 1;
    constexpr std::int64_t minSeconds = -static_cast<std::int64_t>(FileTimeOfUnixEpoch / TicksPerSecond);
    const std::int64_t seconds = std::clamp<std::int64_t>(ts.tv_sec, minSeconds, maxSeconds);
    const std::uint64_t fraction =
        static_cast<std::uint64_t>(std::clamp<long>(ts.tv_nsec, 0, 999999999)) / 100;
    if (seconds >= 0) {
        return FileTimeOfUnixEpoch + static_cast<std::uint64_t>(seconds) * TicksPerSecond + fraction;
    }
    return FileTimeOfUnixEpoch - static_cast<std::uint64_t>(-seconds) * TicksPerSecond + fraction;
}

timespec TimespecFromFileTime(std::uint64_t ft) {
    timespec ts{};
    if (ft >= FileTimeOfUnixEpoch) {
        const std::uint64_t rel = ft - FileTimeOfUnixEpoch;
        ts.tv_sec = static_cast<time_t>(rel / TicksPerSecond);
        ts.tv_nsec = static_cast<long>((rel % TicksPerSecond) * 100);
    } else {
        const std::uint64_t before = FileTimeOfUnixEpoch - ft;
        ts.tv_sec = -static_cast<time_t>((before + TicksPerSecond - 1) / TicksPerSecond);
        ts.tv_nsec = static_cast<long>(((TicksPerSecond - before % TicksPerSecond) % TicksPerSecond) * 100);
    }
    return ts;
}

std::uint64_t NowFileTime() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return FileTimeFromTimespec(ts);
}

} // namespace platform::host
