#include "platform/common/ErrnoMap.h"

#include <cerrno>

namespace platform {

std::optional<DWORD> SharedErrorFromErrno(int err, IoDirection direction) {
    switch (err) {
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
#ifdef EDQUOT // a quota is not a C library error everywhere (Windows' has none)
    case EDQUOT:
#endif
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
    case EIO:
        return direction == IoDirection::Read ? ERROR_READ_FAULT : ERROR_WRITE_FAULT;
    default:
        return std::nullopt;
    }
}

} // namespace platform
