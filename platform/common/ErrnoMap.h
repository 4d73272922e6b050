// errno values as Windows error codes: the part every drive, host or simulated, reports alike.
#pragma once

#include "platform/api/WinTypes.h"

#include <optional>

namespace platform {

// Codes beside the ones in WinTypes.h that a failed host call can produce.
inline constexpr DWORD ERROR_NOT_SAME_DEVICE = 17;
inline constexpr DWORD ERROR_WRITE_PROTECT = 19;
inline constexpr DWORD ERROR_GEN_FAILURE = 31;

// What the failing call was doing decides how EIO reads: a read fault or a write fault.
enum class IoDirection { Read, Write, Other };

// The code of err where all drives agree on it; nothing for the values each drive maps its
// own way (EBUSY among them) or not at all.
std::optional<DWORD> SharedErrorFromErrno(int err, IoDirection direction);

} // namespace platform
