// errno values as the simulated PC reports them.
#pragma once

#include "platform/posix/Errno.h"

#include <cerrno>

namespace platform::sim {

// The shared mapping, except that a busy host file reads as a sharing violation: another
// program of the simulated PC has it open.
inline DWORD ErrorFromErrno(int e, posix::IoDirection direction = posix::IoDirection::Other) {
    return e == EBUSY ? ERROR_SHARING_VIOLATION : posix::ErrorFromErrno(e, direction);
}

} // namespace platform::sim
