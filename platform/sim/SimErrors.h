// errno values as the simulated PC reports them.
#pragma once

#include "platform/posix/Errno.h"

namespace platform::sim {

// A busy host entry is another program of the simulated PC holding it: a sharing violation.
inline DWORD SimErrorOf(DWORD hostError) {
    return hostError == ERROR_BUSY ? ERROR_SHARING_VIOLATION : hostError;
}

// The shared mapping, with a busy host file read as above.
inline DWORD ErrorFromErrno(int e, posix::IoDirection direction = posix::IoDirection::Other) {
    return SimErrorOf(posix::ErrorFromErrno(e, direction));
}

} // namespace platform::sim
