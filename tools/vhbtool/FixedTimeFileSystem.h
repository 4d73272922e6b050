// A file system that reports one fixed time and plain attribute words (directory or archive)
// for every entry, so that `create --time` gives the
// same archive for the same tree wherever and whenever it runs.
#pragma once

#include "platform/common/ForwardingFileSystem.h"

namespace vhbtool {

class FixedTimeFileSystem : public platform::ForwardingFileSystem {
public:
    FixedTimeFileSystem(platform::FileSystem& inner, FILETIME time)
        : ForwardingFileSystem(inner), time_(time) {}

    DWORD GetFileAttributes(std::string_view path) override;
    BOOL GetFileTime(platform::Handle h, FILETIME* creation, FILETIME* lastAccess,
                     FILETIME* lastWrite) override;

private:
    FILETIME time_;
};

} // namespace vhbtool
