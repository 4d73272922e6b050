#include "platform/host/Errno.h"

#include "platform/api/LastError.h"

#include <cerrno>

namespace platform::host {

DWORD ErrorFromErrno(int err, IoDirection direction) {
    switch (err) {
    case 0:
        return ERROR_SUCCESS;
    case ENOENT:
        return ERROR_FILE_NOT_FOUND;
    case ENOTDIR:
        return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EISDIR:
    case ELOOP: // a symlink where we refuse to follow one
        return ERROR_ACCESS_DENIED;
    case EROFS:
        return ERROR_WRITE_PROTECT;
    case ENOSPC:
    case EDQUOT:
    case EFBIG:
        return ERROR_DISK_FULL;
    case EEXIST:
        return ERROR_ALREADY_EXISTS;
    case ETXTBSY:
        return ERROR_SHARING_VIOLATION;
    case ENAMETOOLONG:
        return ERROR_FILENAME_EXCED_RANGE;
    case EINVAL:
        return ERROR_INVALID_PARAMETER;
    case ENOTEMPTY:
        return ERROR_DIR_NOT_EMPTY;
    case EXDEV:
        return ERROR_NOT_SAME_DEVICE;
    case EBADF:
        return ERROR_INVALID_HANDLE;
    case EBUSY:
        return ERROR_BUSY;
    case EILSEQ:
        return ERROR_INVALID_NAME;
    case ENODEV:
    case ENXIO:
    case ENOMEDIUM:
        // The medium went away under us.
        return ERROR_NOT_READY;
    case EMFILE:
    case ENFILE:
        return ERROR_TOO_MANY_OPEN_FILES;
    case ENOMEM:
        return ERROR_NOT_ENOUGH_MEMORY;
    case ENOTSUP:
        return ERROR_NOT_SUPPORTED;
    case EIO:
        return direction == IoDirection::Read ? ERROR_READ_FAULT : ERROR_WRITE_FAULT;
    default:
        return direction == IoDirection::Read ? ERROR_READ_FAULT : ERROR_GEN_FAILURE;
    }
}

BOOL FailWithErrno(int err, IoDirection direction) {
    return Fail(ErrorFromErrno(err, direction));
}

} // namespace platform::host
