// errno values of the POSIX calls as the Windows error codes the program examines: one map for
// the host and the simulated PC alike.
#pragma once

#include "platform/api/WinTypes.h"

namespace platform::host {

// What the failing call was doing decides how EIO and an unknown errno read: a read fault, a
// write fault or a general failure.
enum class IoDirection { Read, Write, Other };

DWORD ErrorFromErrno(int err, IoDirection direction = IoDirection::Other);

// Sets the last error from errno and returns FALSE, for "return FailWithErrno(errno);".
BOOL FailWithErrno(int err, IoDirection direction = IoDirection::Other);

} // namespace platform::host
