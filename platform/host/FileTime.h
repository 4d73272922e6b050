// FILETIME (100 ns units since 1601) and POSIX times (timespec, since 1970), exact to the 100 ns
// unit. Host times outside the FILETIME range (a file touched to the year 600000, or before
// 1601) are clamped to its ends instead of overflowing.
#pragma once

#include "platform/api/WinTypes.h"

#include <cstdint>
#include <ctime>

namespace platform::host {

std::uint64_t FileTimeFromTimespec(const timespec& ts);
timespec TimespecFromFileTime(std::uint64_t fileTime);
// The current time as a FILETIME value.
std::uint64_t NowFileTime();

inline FILETIME FileTimeOf(const timespec& ts) {
    return FILETIME::From(FileTimeFromTimespec(ts));
}

} // namespace platform::host
