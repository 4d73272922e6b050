#include "platform/common/SlowFiles.h"

#include "platform/common/FaultInjection.h"

#include <charconv>
#include <cstdlib>
#include <string>
#include <string_view>
#include <thread>

namespace platform {

std::unique_ptr<Platform> WithSlowFiles(std::unique_ptr<Platform> platform, std::chrono::milliseconds delay) {
    if (platform == nullptr || delay.count() <= 0) {
        return platform;
    }
    // The fault hook that never fails a call, only waits before it.
    auto slow = std::make_unique<FaultInjectingPlatform>(std::move(platform));
    slow->SetCallFault([delay](FileCall, std::string_view) -> DWORD {
        std::this_thread::sleep_for(delay);
        return ERROR_SUCCESS;
    });
    return slow;
}

bool CallDelayFromEnvironment(std::chrono::milliseconds* delay, std::string* error) {
    constexpr unsigned MaxDelayMs = 10000;
    *delay = std::chrono::milliseconds(0);
    const char* value = std::getenv("VOXHARBOR_SIM_CALL_DELAY_MS");
    if (value == nullptr || *value == '\0') {
        return true;
    }
    const std::string_view text(value);
    unsigned ms = 0;
    const auto [end, status] = std::from_chars(text.data(), text.data() + text.size(), ms);
    if (status != std::errc() || end != text.data() + text.size() || ms > MaxDelayMs) {
        if (error != nullptr) {
            *error = "VOXHARBOR_SIM_CALL_DELAY_MS must be a number of milliseconds from 0 to 10000, not \"" +
                     std::string(text) + "\"";
        }
        return false;
    }
    *delay = std::chrono::milliseconds(ms);
    return true;
}

} // namespace platform
