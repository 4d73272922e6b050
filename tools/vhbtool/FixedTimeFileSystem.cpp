#include "FixedTimeFileSystem.h"

namespace vhbtool {

DWORD FixedTimeFileSystem::GetFileAttributes(std::string_view path) {
    // Host permissions vary between checkouts; a reproducible archive keeps only the kind.
    const DWORD attributes = inner_.GetFileAttributes(path);
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        return attributes;
    }
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE;
}

BOOL FixedTimeFileSystem::GetFileTime(platform::Handle h, FILETIME* creation, FILETIME* lastAccess,
                                      FILETIME* lastWrite) {
    // Asked of the inner system first, so that a failure still shows.
    if (!inner_.GetFileTime(h, creation, lastAccess, lastWrite)) {
        return FALSE;
    }
    for (FILETIME* t : {creation, lastAccess, lastWrite}) {
        if (t != nullptr) {
            *t = time_;
        }
    }
    return TRUE;
}

} // namespace vhbtool
