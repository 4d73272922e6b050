// The Win32 calls the Windows platform makes, behind plain C++ types.
//
// <windows.h> defines DWORD, BOOL, TRUE and the error codes as its own types and macros, and
// maps CreateFile, GetFileAttributes, MessageBox and others to their -A names; our interfaces
// use the same names with our own definitions. So only the Sys*.cpp files include
// <windows.h>, and everything else reaches Windows through these functions.
//
// Every function that fails leaves the Win32 error in the thread's Win32 last error; callers
// read it with LastWin32Error() and hand it on as the platform's last error.
//
// FileCalls gathers the calls that name a path, for the file services: the system's own by
// default; the tests put a strict double in its place that enforces documented Windows rules
// the system underneath may not (Wine does not).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace platform::win32 {

// A Win32 HANDLE (or a FindFirstFile/FindFirstVolume search handle) as an integer; -1 is
// INVALID_HANDLE_VALUE.
using NativeHandle = std::intptr_t;
inline constexpr NativeHandle InvalidNative = -1;

std::uint32_t LastWin32Error();
void SetLastWin32Error(std::uint32_t code);

// Files. CreateFileA passes FILE_ATTRIBUTE_NORMAL unless flags carry attributes of their own.
NativeHandle CreateFileA(const std::string& path, std::uint32_t access, std::uint32_t share,
                         std::uint32_t disposition, std::uint32_t flags);
bool ReadFile(NativeHandle h, void* buffer, std::uint32_t count, std::uint32_t* got);
// ReadFile at an offset (an OVERLAPPED position on a synchronous handle).
bool ReadFileAt(NativeHandle h, std::uint64_t offset, void* buffer, std::uint32_t count, std::uint32_t* got);
bool WriteFile(NativeHandle h, const void* buffer, std::uint32_t count, std::uint32_t* written);
bool CloseHandle(NativeHandle h);
bool FlushFileBuffers(NativeHandle h);
// Page-aligned memory (VirtualAlloc), as reads of a handle opened without buffering need it.
void* AllocateAligned(std::size_t size);
void FreeAligned(void* memory);
// SetFilePointerEx from the beginning.
bool SetFilePointerEx(NativeHandle h, std::uint64_t position);
bool GetFileSizeEx(NativeHandle h, std::uint64_t* size);
// Attributes of an open handle (GetFileInformationByHandle).
bool GetHandleAttributes(NativeHandle h, std::uint32_t* attributes);
std::uint32_t GetFileAttributesA(const std::string& path);
bool SetFileAttributesA(const std::string& path, std::uint32_t attributes);
// FILETIMEs as 64-bit values. GetFileTime fills all three; a null pointer given to SetFileTime
// leaves that time alone.
bool GetFileTime(NativeHandle h, std::uint64_t* creation, std::uint64_t* access, std::uint64_t* write);
bool SetFileTime(NativeHandle h, const std::uint64_t* creation, const std::uint64_t* access,
                 const std::uint64_t* write);
bool CreateDirectoryA(const std::string& path);
bool RemoveDirectoryA(const std::string& path);
bool DeleteFileA(const std::string& path);
bool MoveFileReplace(const std::string& from, const std::string& to);

struct FindEntry {
    std::uint32_t attributes = 0;
    std::uint64_t creation = 0, access = 0, write = 0;
    std::uint64_t size = 0;
    std::string name;
};
NativeHandle FindFirstFileA(const std::string& pattern, FindEntry* entry);
bool FindNextFileA(NativeHandle h, FindEntry* entry);
bool FindClose(NativeHandle h);

class FileCalls {
public:
    virtual ~FileCalls() = default;
    virtual NativeHandle CreateFileA(const std::string& path, std::uint32_t access, std::uint32_t share,
                                     std::uint32_t disposition, std::uint32_t flags) {
        return win32::CreateFileA(path, access, share, disposition, flags);
    }
    virtual std::uint32_t GetFileAttributesA(const std::string& path) {
        return win32::GetFileAttributesA(path);
    }
    virtual bool SetFileAttributesA(const std::string& path, std::uint32_t attributes) {
        return win32::SetFileAttributesA(path, attributes);
    }
    virtual bool CreateDirectoryA(const std::string& path) { return win32::CreateDirectoryA(path); }
    virtual bool RemoveDirectoryA(const std::string& path) { return win32::RemoveDirectoryA(path); }
    virtual bool DeleteFileA(const std::string& path) { return win32::DeleteFileA(path); }
    virtual bool MoveFileReplace(const std::string& from, const std::string& to) {
        return win32::MoveFileReplace(from, to);
    }
    virtual NativeHandle FindFirstFileA(const std::string& pattern, FindEntry* entry) {
        return win32::FindFirstFileA(pattern, entry);
    }
    virtual bool FindNextFileA(NativeHandle h, FindEntry* entry) { return win32::FindNextFileA(h, entry); }
    virtual bool FindClose(NativeHandle h) { return win32::FindClose(h); }
};
// The system's own calls.
FileCalls& SystemFileCalls();

// Drives and volumes.
std::uint32_t GetLogicalDrives();
std::uint32_t GetDriveTypeA(const std::string& root);
// GetVolumeInformationA: the label and the volume serial.
bool GetVolumeLabel(const std::string& root, std::string* label, std::uint32_t* serial);
bool GetDiskFreeSpaceA(const std::string& root, std::uint32_t* sectorsPerCluster,
                       std::uint32_t* bytesPerSector, std::uint32_t* freeClusters,
                       std::uint32_t* totalClusters);
NativeHandle FindFirstVolumeA(std::string* name);
bool FindNextVolumeA(NativeHandle h, std::string* name);
bool FindVolumeClose(NativeHandle h);
// Opens the volume device (no access, no sharing) and asks IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS.
bool QueryVolumeDiskExtents(const std::string& device);

// The environment.
std::string GetEnvironmentVariableA(const std::string& name);

} // namespace platform::win32
