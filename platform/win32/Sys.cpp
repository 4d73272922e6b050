#include "platform/win32/Sys.h"

#include <windows.h>
#include <winioctl.h>

#include <vector>

namespace platform::win32 {

namespace {

HANDLE Native(NativeHandle h) {
    return reinterpret_cast<HANDLE>(h);
}
NativeHandle FromNative(HANDLE h) {
    return reinterpret_cast<NativeHandle>(h);
}
std::uint64_t FromFiletime(const ::FILETIME& t) {
    return (std::uint64_t{t.dwHighDateTime} << 32) | t.dwLowDateTime;
}
::FILETIME ToFiletime(std::uint64_t v) {
    ::FILETIME t;
    t.dwLowDateTime = static_cast<DWORD>(v & 0xFFFFFFFFu);
    t.dwHighDateTime = static_cast<DWORD>(v >> 32);
    return t;
}
void FromFindData(const WIN32_FIND_DATAA& d, FindEntry* entry) {
    entry->attributes = d.dwFileAttributes;
    entry->creation = FromFiletime(d.ftCreationTime);
    entry->access = FromFiletime(d.ftLastAccessTime);
    entry->write = FromFiletime(d.ftLastWriteTime);
    entry->size = (std::uint64_t{d.nFileSizeHigh} << 32) | d.nFileSizeLow;
    entry->name = d.cFileName;
}

} // namespace

std::uint32_t LastWin32Error() {
    return ::GetLastError();
}
void SetLastWin32Error(std::uint32_t code) {
    ::SetLastError(code);
}

NativeHandle CreateFileA(const std::string& path, std::uint32_t access, std::uint32_t share,
                         std::uint32_t disposition, std::uint32_t flags) {
    // FILE_ATTRIBUTE_NORMAL is valid only alone.
    constexpr std::uint32_t AttributeBits = 0xFFFF;
    if ((flags & AttributeBits) == 0) {
        flags |= FILE_ATTRIBUTE_NORMAL;
    }
    return FromNative(::CreateFileA(path.c_str(), access, share, nullptr, disposition, flags, nullptr));
}

bool ReadFile(NativeHandle h, void* buffer, std::uint32_t count, std::uint32_t* got) {
    DWORD n = 0;
    const BOOL ok = ::ReadFile(Native(h), buffer, count, &n, nullptr);
    *got = n;
    return ok != FALSE;
}

bool ReadFileAt(NativeHandle h, std::uint64_t offset, void* buffer, std::uint32_t count, std::uint32_t* got) {
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset & 0xFFFFFFFFu);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD n = 0;
    const BOOL ok = ::ReadFile(Native(h), buffer, count, &n, &at);
    *got = n;
    // Reading at or past the end of a synchronous handle reports the end as an error.
    if (!ok && ::GetLastError() == ERROR_HANDLE_EOF) {
        *got = 0;
        return true;
    }
    return ok != FALSE;
}

bool WriteFile(NativeHandle h, const void* buffer, std::uint32_t count, std::uint32_t* written) {
    DWORD n = 0;
    const BOOL ok = ::WriteFile(Native(h), buffer, count, &n, nullptr);
    *written = n;
    return ok != FALSE;
}

bool CloseHandle(NativeHandle h) {
    return ::CloseHandle(Native(h)) != FALSE;
}

bool FlushFileBuffers(NativeHandle h) {
    return ::FlushFileBuffers(Native(h)) != FALSE;
}

void* AllocateAligned(std::size_t size) {
    return ::VirtualAlloc(nullptr, size, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
}

void FreeAligned(void* memory) {
    if (memory != nullptr) {
        ::VirtualFree(memory, 0, MEM_RELEASE);
    }
}

bool SetFilePointerEx(NativeHandle h, std::uint64_t position) {
    LARGE_INTEGER to{};
    to.QuadPart = static_cast<LONGLONG>(position);
    return ::SetFilePointerEx(Native(h), to, nullptr, FILE_BEGIN) != FALSE;
}

bool GetFileSizeEx(NativeHandle h, std::uint64_t* size) {
    LARGE_INTEGER n{};
    if (!::GetFileSizeEx(Native(h), &n)) {
        return false;
    }
    *size = static_cast<std::uint64_t>(n.QuadPart);
    return true;
}

bool GetHandleAttributes(NativeHandle h, std::uint32_t* attributes) {
    BY_HANDLE_FILE_INFORMATION info{};
    if (!::GetFileInformationByHandle(Native(h), &info)) {
        return false;
    }
    *attributes = info.dwFileAttributes;
    return true;
}

std::uint32_t GetFileAttributesA(const std::string& path) {
    return ::GetFileAttributesA(path.c_str());
}

bool SetFileAttributesA(const std::string& path, std::uint32_t attributes) {
    return ::SetFileAttributesA(path.c_str(), attributes) != FALSE;
}

bool GetFileTime(NativeHandle h, std::uint64_t* creation, std::uint64_t* access, std::uint64_t* write) {
    ::FILETIME c{}, a{}, w{};
    if (!::GetFileTime(Native(h), &c, &a, &w)) {
        return false;
    }
    *creation = FromFiletime(c);
    *access = FromFiletime(a);
    *write = FromFiletime(w);
    return true;
}

bool SetFileTime(NativeHandle h, const std::uint64_t* creation, const std::uint64_t* access,
                 const std::uint64_t* write) {
    ::FILETIME c{}, a{}, w{};
    if (creation != nullptr) {
        c = ToFiletime(*creation);
    }
    if (access != nullptr) {
        a = ToFiletime(*access);
    }
    if (write != nullptr) {
        w = ToFiletime(*write);
    }
    return ::SetFileTime(Native(h), creation != nullptr ? &c : nullptr, access != nullptr ? &a : nullptr,
                         write != nullptr ? &w : nullptr) != FALSE;
}

bool CreateDirectoryA(const std::string& path) {
    return ::CreateDirectoryA(path.c_str(), nullptr) != FALSE;
}
bool RemoveDirectoryA(const std::string& path) {
    return ::RemoveDirectoryA(path.c_str()) != FALSE;
}
bool DeleteFileA(const std::string& path) {
    return ::DeleteFileA(path.c_str()) != FALSE;
}
bool MoveFileReplace(const std::string& from, const std::string& to) {
    return ::MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) !=
           FALSE;
}

NativeHandle FindFirstFileA(const std::string& pattern, FindEntry* entry) {
    WIN32_FIND_DATAA d{};
    const HANDLE h = ::FindFirstFileA(pattern.c_str(), &d);
    if (h != INVALID_HANDLE_VALUE) {
        FromFindData(d, entry);
    }
    return FromNative(h);
}
bool FindNextFileA(NativeHandle h, FindEntry* entry) {
    WIN32_FIND_DATAA d{};
    if (!::FindNextFileA(Native(h), &d)) {
        return false;
    }
    FromFindData(d, entry);
    return true;
}
bool FindClose(NativeHandle h) {
    return ::FindClose(Native(h)) != FALSE;
}

FileCalls& SystemFileCalls() {
    static FileCalls calls;
    return calls;
}

std::uint32_t GetLogicalDrives() {
    return ::GetLogicalDrives();
}
std::uint32_t GetDriveTypeA(const std::string& root) {
    return ::GetDriveTypeA(root.c_str());
}
bool GetVolumeLabel(const std::string& root, std::string* label, std::uint32_t* serial) {
    char name[MAX_PATH + 1] = {};
    DWORD volumeSerial = 0;
    if (!::GetVolumeInformationA(root.c_str(), name, sizeof name, &volumeSerial, nullptr, nullptr, nullptr,
                                 0)) {
        return false;
    }
    *label = name;
    *serial = volumeSerial;
    return true;
}
bool GetDiskFreeSpaceA(const std::string& root, std::uint32_t* sectorsPerCluster,
                       std::uint32_t* bytesPerSector, std::uint32_t* freeClusters,
                       std::uint32_t* totalClusters) {
    DWORD spc = 0, bps = 0, fc = 0, tc = 0;
    if (!::GetDiskFreeSpaceA(root.c_str(), &spc, &bps, &fc, &tc)) {
        return false;
    }
    *sectorsPerCluster = spc;
    *bytesPerSector = bps;
    *freeClusters = fc;
    *totalClusters = tc;
    return true;
}

NativeHandle FindFirstVolumeA(std::string* name) {
    char buffer[MAX_PATH + 1] = {};
    const HANDLE h = ::FindFirstVolumeA(buffer, sizeof buffer);
    if (h != INVALID_HANDLE_VALUE) {
        *name = buffer;
    }
    return FromNative(h);
}
bool FindNextVolumeA(NativeHandle h, std::string* name) {
    char buffer[MAX_PATH + 1] = {};
    if (!::FindNextVolumeA(Native(h), buffer, sizeof buffer)) {
        return false;
    }
    *name = buffer;
    return true;
}
bool FindVolumeClose(NativeHandle h) {
    return ::FindVolumeClose(Native(h)) != FALSE;
}

bool QueryVolumeDiskExtents(const std::string& device) {
    const HANDLE h = ::CreateFileA(device.c_str(), 0, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        return false;
    }
    // Room for a volume that spans a few disks; one extent is the usual answer.
    std::vector<unsigned char> out(sizeof(VOLUME_DISK_EXTENTS) + 8 * sizeof(DISK_EXTENT));
    DWORD returned = 0;
    const BOOL ok = ::DeviceIoControl(h, IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS, nullptr, 0, out.data(),
                                      static_cast<DWORD>(out.size()), &returned, nullptr);
    const DWORD error = ::GetLastError();
    ::CloseHandle(h);
    ::SetLastError(error);
    return ok != FALSE;
}

std::string GetEnvironmentVariableA(const std::string& name) {
    const DWORD size = ::GetEnvironmentVariableA(name.c_str(), nullptr, 0);
    if (size == 0) {
        return {};
    }
    std::string value(size, '\0');
    const DWORD got = ::GetEnvironmentVariableA(name.c_str(), value.data(), size);
    value.resize(got < size ? got : 0);
    return value;
}

} // namespace platform::win32
