// The Windows rules that every platform's file services keep alike: share modes between two
// opens of one file, and the attribute word an entry reads back with.
#pragma once

#include "platform/api/WinTypes.h"

namespace platform {

// Whether two opens of one file may coexist, each with its access and share mode. Opens
// without data access (attribute or time queries) take no part in sharing.
inline bool SharingAllows(DWORD accessA, DWORD shareA, DWORD accessB, DWORD shareB) {
    if ((accessA & (GENERIC_READ | GENERIC_WRITE)) == 0 || (accessB & (GENERIC_READ | GENERIC_WRITE)) == 0) {
        return true;
    }
    auto conflicts = [](DWORD access, DWORD otherShare) {
        return ((access & GENERIC_READ) != 0 && (otherShare & FILE_SHARE_READ) == 0) ||
               ((access & GENERIC_WRITE) != 0 && (otherShare & FILE_SHARE_WRITE) == 0);
    };
    return !conflicts(accessA, shareB) && !conflicts(accessB, shareA);
}

// The bits SetFileAttributes can change.
inline constexpr DWORD SettableAttributes =
    FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE;

// An attribute word as it reads back: the settable bits, the directory bit from the entry's
// type, and FILE_ATTRIBUTE_NORMAL for a file with none of them.
inline DWORD NormalizeAttributes(DWORD attributes, bool isDirectory) {
    const DWORD a = attributes & SettableAttributes;
    if (isDirectory) {
        return a | FILE_ATTRIBUTE_DIRECTORY;
    }
    return a == 0 ? FILE_ATTRIBUTE_NORMAL : a;
}

} // namespace platform
