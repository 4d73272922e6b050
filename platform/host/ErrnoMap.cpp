#include "platform/host/ErrnoMap.h"

#include "platform/api/LastError.h"

#include <cerrno>

namespace platform::host {

DWORD WindowsErrorFromErrno(int err, IoDirection direction) {
    if (const std::optional<DWORD> shared = SharedErrorFromErrno(err, direction)) {
        return *shared;
    }
    // What only the host reports: a real card and a real kernel fail in more ways.
    switch (err) {
    case 0:
        return ERROR_SUCCESS;
    case EBADF:
        return ERROR_INVALID_HANDLE;
    case EFBIG:
        return ERROR_DISK_FULL;
    case EBUSY:
        return ERROR_BUSY;
    case EILSEQ:
        return ERROR_INVALID_NAME;
    case ENODEV:
    case ENXIO:
    case ENOMEDIUM:
        // The card went away under us.
        return ERROR_NOT_READY;
    case EMFILE:
    case ENFILE:
        return ERROR_TOO_MANY_OPEN_FILES;
    case ENOMEM:
        return ERROR_NOT_ENOUGH_MEMORY;
    case ENOTSUP:
        return ERROR_NOT_SUPPORTED;
    default:
        return direction == IoDirection::Read ? ERROR_READ_FAULT : ERROR_GEN_FAILURE;
    }
}

BOOL FailWithErrno(int err, IoDirection direction) {
    return Fail(WindowsErrorFromErrno(err, direction));
}

BOOL Fail(DWORD code) {
    SetLastError(code);
    return FALSE;
}

} // namespace platform::host
