// The Windows rules that every platform's file services keep alike: share modes between two
// opens of one file, the attribute word an entry reads back with, how times are handed out, the
// label a format gives a volume, and how a find or volume enumeration steps on.
#pragma once

#include "platform/api/LastError.h"
#include "platform/api/WinTypes.h"
#include "platform/common/WinPath.h"

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

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

// GetFileTime's answer: each time whose pointer is not null.
inline void StoreTimes(const FILETIME& creation, const FILETIME& lastAccess, const FILETIME& lastWrite,
                       FILETIME* creationOut, FILETIME* lastAccessOut, FILETIME* lastWriteOut) {
    if (creationOut != nullptr) {
        *creationOut = creation;
    }
    if (lastAccessOut != nullptr) {
        *lastAccessOut = lastAccess;
    }
    if (lastWriteOut != nullptr) {
        *lastWriteOut = lastWrite;
    }
}

// The label a FAT format writes for the one asked for: at most 11 characters, in upper case,
// without the blanks FAT pads it with. ERROR_INVALID_NAME for a character FAT refuses in a label.
inline DWORD FatVolumeLabel(std::string_view requested, std::string* label) {
    for (const char c : requested) {
        if (static_cast<unsigned char>(c) < 0x20 ||
            std::string_view("*?/\\|.,;:+=[]<>\"").find(c) != std::string_view::npos) {
            return ERROR_INVALID_NAME;
        }
    }
    *label = ToUpperAscii(requested.substr(0, 11));
    label->erase(label->find_last_not_of(' ') + 1);
    return ERROR_SUCCESS;
}

// What FindFirstFile or FindFirstVolume found, handed out one at a time by the Next calls.
template <typename Item> struct Enumeration {
    std::vector<Item> items;
    std::size_t next = 0;

    // FALSE with ERROR_NO_MORE_FILES after the last item, ERROR_INVALID_PARAMETER without a place
    // to put it.
    BOOL Next(Item* out) {
        if (next >= items.size()) {
            return Fail(ERROR_NO_MORE_FILES);
        }
        if (out == nullptr) {
            return Fail(ERROR_INVALID_PARAMETER);
        }
        *out = items[next++];
        return TRUE;
    }
};

} // namespace platform
