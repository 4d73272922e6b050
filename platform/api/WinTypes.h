// Windows-style base types and constants; the error codes are in WinError.h.
//
// Everything above platform/ is written against Windows semantics (error codes, attribute
// words, FILETIMEs, dispositions, drive types), so the algorithms read as they would on
// Windows. These are our own definitions with the documented Windows values.
#pragma once

#include "platform/api/WinError.h"

#include <cstdint>

using DWORD = std::uint32_t;
using UINT = std::uint32_t;
using BOOL = int;
using WPARAM = std::uintptr_t;
using LPARAM = std::intptr_t;
using LRESULT = std::intptr_t;
using INT_PTR = std::intptr_t;

inline constexpr BOOL TRUE = 1;
inline constexpr BOOL FALSE = 0;

// 100-nanosecond intervals since 1 January 1601 UTC, split into halves.
struct FILETIME {
    DWORD dwLowDateTime = 0;
    DWORD dwHighDateTime = 0;

    std::uint64_t Value() const { return (std::uint64_t{dwHighDateTime} << 32) | dwLowDateTime; }
    static FILETIME From(std::uint64_t v) {
        return FILETIME{static_cast<DWORD>(v & 0xFFFFFFFFu), static_cast<DWORD>(v >> 32)};
    }
    friend bool operator==(const FILETIME&, const FILETIME&) = default;
};

// File attribute words.
inline constexpr DWORD FILE_ATTRIBUTE_READONLY = 0x01;
inline constexpr DWORD FILE_ATTRIBUTE_HIDDEN = 0x02;
inline constexpr DWORD FILE_ATTRIBUTE_SYSTEM = 0x04;
inline constexpr DWORD FILE_ATTRIBUTE_DIRECTORY = 0x10;
inline constexpr DWORD FILE_ATTRIBUTE_ARCHIVE = 0x20;
inline constexpr DWORD FILE_ATTRIBUTE_NORMAL = 0x80;
inline constexpr DWORD FILE_ATTRIBUTE_REPARSE_POINT = 0x400;
inline constexpr DWORD INVALID_FILE_ATTRIBUTES = 0xFFFFFFFF;

// Access rights, share modes, dispositions and flags of CreateFile.
inline constexpr DWORD GENERIC_READ = 0x80000000;
inline constexpr DWORD GENERIC_WRITE = 0x40000000;
inline constexpr DWORD FILE_SHARE_NONE = 0;
inline constexpr DWORD FILE_SHARE_READ = 1;
inline constexpr DWORD FILE_SHARE_WRITE = 2;
inline constexpr DWORD CREATE_NEW = 1;
inline constexpr DWORD CREATE_ALWAYS = 2;
inline constexpr DWORD OPEN_EXISTING = 3;
inline constexpr DWORD OPEN_ALWAYS = 4;
inline constexpr DWORD TRUNCATE_EXISTING = 5;
inline constexpr DWORD FILE_FLAG_BACKUP_SEMANTICS = 0x02000000;
inline constexpr DWORD FILE_FLAG_NO_BUFFERING = 0x20000000;

// Drive types of GetDriveType.
inline constexpr UINT DRIVE_UNKNOWN = 0;
inline constexpr UINT DRIVE_NO_ROOT_DIR = 1;
inline constexpr UINT DRIVE_REMOVABLE = 2;
inline constexpr UINT DRIVE_FIXED = 3;
inline constexpr UINT DRIVE_REMOTE = 4;
inline constexpr UINT DRIVE_CDROM = 5;
inline constexpr UINT DRIVE_RAMDISK = 6;

// Backup stream record (WIN32_STREAM_ID) stream ids.
inline constexpr DWORD BACKUP_INVALID = 0;
inline constexpr DWORD BACKUP_DATA = 1;
inline constexpr DWORD BACKUP_EA_DATA = 2;
inline constexpr DWORD BACKUP_SECURITY_DATA = 3;
inline constexpr DWORD BACKUP_ALTERNATE_DATA = 4;
inline constexpr DWORD BACKUP_LINK = 5;
inline constexpr DWORD BACKUP_OBJECT_ID = 7;
inline constexpr DWORD BACKUP_REPARSE_DATA = 8;
inline constexpr DWORD BACKUP_SPARSE_BLOCK = 9;
// Size of a WIN32_STREAM_ID header: id, attributes, 64-bit size, name size (all little-endian).
inline constexpr DWORD BackupStreamHeaderSize = 20;

// Device-change events (WM_DEVICECHANGE wParam).
inline constexpr UINT DBT_DEVNODES_CHANGED = 0x0007;
inline constexpr UINT DBT_DEVICEARRIVAL = 0x8000;
inline constexpr UINT DBT_DEVICEQUERYREMOVE = 0x8001;
inline constexpr UINT DBT_DEVICEREMOVECOMPLETE = 0x8004;

// Window messages the dialogs route.
inline constexpr UINT WM_PAINT = 0x000F;
inline constexpr UINT WM_SETCURSOR = 0x0020;
inline constexpr UINT WM_QUERYDRAGICON = 0x0037;
inline constexpr UINT WM_INITDIALOG = 0x0110;
inline constexpr UINT WM_COMMAND = 0x0111;
inline constexpr UINT WM_SYSCOMMAND = 0x0112;
inline constexpr UINT WM_DEVICECHANGE = 0x0219;
inline constexpr UINT BN_CLICKED = 0;
inline constexpr UINT CBN_SELCHANGE = 1;
inline constexpr UINT SC_CLOSE = 0xF060;

// Dialog results and message-box styles/answers.
inline constexpr int IDOK = 1;
inline constexpr int IDCANCEL = 2;
inline constexpr int IDYES = 6;
inline constexpr int IDNO = 7;
inline constexpr UINT MB_OK = 0x0;
inline constexpr UINT MB_YESNOCANCEL = 0x3;
inline constexpr UINT MB_YESNO = 0x4;

// Combo box errors.
inline constexpr int CB_ERR = -1;

// Open/save dialog options.
inline constexpr DWORD OFN_OVERWRITEPROMPT = 0x00000002;
inline constexpr DWORD OFN_HIDEREADONLY = 0x00000004;
inline constexpr DWORD OFN_FILEMUSTEXIST = 0x00001000;

inline constexpr WPARAM MAKEWPARAM(UINT lo, UINT hi) {
    return (WPARAM{hi} << 16) | (lo & 0xFFFF);
}
inline constexpr UINT LOWORD(WPARAM w) {
    return static_cast<UINT>(w & 0xFFFF);
}
inline constexpr UINT HIWORD(WPARAM w) {
    return static_cast<UINT>((w >> 16) & 0xFFFF);
}
