// What the FileSystem interface does for file services that do not do it themselves.
#include "platform/api/FileSystem.h"
#include "platform/api/LastError.h"

namespace platform {

BOOL FileSystem::SetFilePointer(Handle, std::uint64_t) {
    return Fail(ERROR_NOT_SUPPORTED);
}

} // namespace platform
