// errno values of the Linux calls as the Windows error codes the program examines.
#pragma once

#include "platform/common/ErrnoMap.h"

namespace platform::host {

// Codes beside the ones in WinTypes.h and platform/common/ErrnoMap.h that only a host failure
// can produce.
inline constexpr DWORD ERROR_TOO_MANY_OPEN_FILES = 4;
inline constexpr DWORD ERROR_NOT_ENOUGH_MEMORY = 8;
inline constexpr DWORD ERROR_BUSY = 170;

// The shared mapping of platform/common/ErrnoMap.h, then the host's own: every errno has a code.
DWORD WindowsErrorFromErrno(int err, IoDirection direction = IoDirection::Other);

// Sets the last error from errno (or from err) and returns FALSE, for "return Fail();".
BOOL FailWithErrno(int err, IoDirection direction = IoDirection::Other);
BOOL Fail(DWORD code);

} // namespace platform::host
