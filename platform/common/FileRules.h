// The Windows rules that every platform's file services keep alike: how CreateFile opens an
// entry that exists, share modes between two opens of one file, the attribute word an entry
// reads back with, how times are handed out, the label a format gives a volume, how a volume
// serial is written, and how a find or volume enumeration steps on.
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

// CreateFile on an entry that exists, with a valid disposition: either the error the open
// fails with, or the open to make. Directories open only with backup semantics, and only as
// they are; a name with a trailing separator must be a directory; a read-only file opens
// neither for writing nor to be emptied.
struct OpenOfExisting {
    DWORD error = ERROR_SUCCESS;
    DWORD successCode = ERROR_SUCCESS; // the last error a successful open leaves
    bool truncate = false;             // the file is emptied
    bool replaceAttributes = false;    // CREATE_ALWAYS: the attribute word starts anew
};
inline OpenOfExisting PlanOpenOfExisting(bool isDirectory, bool isRoot, bool trailingSeparator, bool readOnly,
                                         DWORD access, DWORD disposition, DWORD flags) {
    OpenOfExisting open;
    if (isDirectory) {
        if ((flags & FILE_FLAG_BACKUP_SEMANTICS) == 0) {
            open.error = ERROR_ACCESS_DENIED;
        } else if (disposition == CREATE_NEW) {
            open.error = isRoot ? ERROR_ACCESS_DENIED : ERROR_FILE_EXISTS;
        } else if (disposition != OPEN_EXISTING && disposition != OPEN_ALWAYS) {
            open.error = ERROR_ACCESS_DENIED;
        }
        open.successCode = disposition == OPEN_ALWAYS ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS;
        return open;
    }
    open.truncate = disposition == CREATE_ALWAYS || disposition == TRUNCATE_EXISTING;
    open.replaceAttributes = disposition == CREATE_ALWAYS;
    const bool writing = (access & GENERIC_WRITE) != 0;
    if (trailingSeparator) {
        open.error = ERROR_INVALID_NAME;
    } else if (disposition == CREATE_NEW) {
        open.error = ERROR_FILE_EXISTS;
    } else if (disposition == TRUNCATE_EXISTING && !writing) {
        open.error = ERROR_INVALID_PARAMETER;
    } else if ((writing || open.truncate) && readOnly) {
        open.error = ERROR_ACCESS_DENIED;
    }
    open.successCode =
        disposition == CREATE_ALWAYS || disposition == OPEN_ALWAYS ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS;
    return open;
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

// A volume serial in the form Windows shows and FAT tools print it ("1A2B-3C4D"), and back.
// Reading accepts either case and refuses anything else.
inline std::string VolumeSerialText(DWORD serial) {
    static constexpr char Hex[] = "0123456789ABCDEF";
    std::string text(9, '-');
    for (int i = 0; i < 8; ++i) {
        text[static_cast<std::size_t>(i < 4 ? i : i + 1)] = Hex[(serial >> (28 - 4 * i)) & 0xF];
    }
    return text;
}
inline bool ParseVolumeSerial(std::string_view text, DWORD* serial) {
    if (text.size() != 9 || text[4] != '-') {
        return false;
    }
    DWORD value = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (i == 4) {
            continue;
        }
        const char c = text[i];
        const int digit = c >= '0' && c <= '9'   ? c - '0'
                          : c >= 'A' && c <= 'F' ? c - 'A' + 10
                          : c >= 'a' && c <= 'f' ? c - 'a' + 10
                                                 : -1;
        if (digit < 0) {
            return false;
        }
        value = (value << 4) | static_cast<DWORD>(digit);
    }
    *serial = value;
    return true;
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
