// errno values of the Linux calls as the Windows error codes the program examines.
#pragma once

#include "platform/api/WinTypes.h"

namespace platform::host {

// Codes beside the ones in WinTypes.h that a host failure can produce.
inline constexpr DWORD ERROR_TOO_MANY_OPEN_FILES = 4;
inline constexpr DWORD ERROR_NOT_ENOUGH_MEMORY = 8;
inline constexpr DWORD ERROR_NOT_SAME_DEVICE = 17;
inline constexpr DWORD ERROR_WRITE_PROTECT = 19;
inline constexpr DWORD ERROR_GEN_FAILURE = 31;
inline constexpr DWORD ERROR_BUSY = 170;

// What the failing call was doing decides how EIO reads: a read fault or a write fault.
enum class IoDirection { Read, Write, Other };

DWORD WindowsErrorFromErrno(int err, IoDirection direction = IoDirection::Other);

// Sets the last error from errno (or from err) and returns FALSE, for "return Fail();".
BOOL FailWithErrno(int err, IoDirection direction = IoDirection::Other);
BOOL Fail(DWORD code);

} // namespace platform::host
