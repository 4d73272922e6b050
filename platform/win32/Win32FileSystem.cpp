#include "platform/win32/Win32FileSystem.h"

#include "platform/api/LastError.h"
#include "platform/common/BackupStream.h"
#include "platform/common/FileRules.h"
#include "platform/common/WinPath.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <vector>

namespace platform::win32 {

namespace {

FindData ToFindData(const FindEntry& e) {
    FindData d;
    d.attributes = e.attributes;
    d.creationTime = FILETIME::From(e.creation);
    d.lastAccessTime = FILETIME::From(e.access);
    d.lastWriteTime = FILETIME::From(e.write);
    d.fileSize = e.size;
    d.fileName = e.name;
    return d;
}

// A time as the Win32 calls take it: no value, no pointer (that time is left alone).
std::optional<std::uint64_t> ValueOf(const FILETIME* t) {
    return t != nullptr ? std::optional<std::uint64_t>(t->Value()) : std::nullopt;
}
const std::uint64_t* PointerTo(const std::optional<std::uint64_t>& t) {
    return t ? &*t : nullptr;
}

bool IsDotEntry(const std::string& name) {
    return name == "." || name == "..";
}

// The backup-stream state machines' view of an open handle.
class Win32BackupFile final : public BackupFile {
public:
    Win32BackupFile(NativeHandle h, bool directory) : h_(h), directory_(directory) {}
    bool IsDirectory() const override { return directory_; }
    DWORD Size(std::uint64_t* size) override {
        return GetFileSizeEx(h_, size) ? ERROR_SUCCESS : LastWin32Error();
    }
    DWORD ReadAt(std::uint64_t offset, void* buffer, std::uint32_t count, std::uint32_t* got) override {
        auto* bytes = static_cast<std::uint8_t*>(buffer);
        *got = 0;
        while (*got < count) {
            std::uint32_t n = 0;
            if (!ReadFileAt(h_, offset + *got, bytes + *got, count - *got, &n)) {
                return LastWin32Error();
            }
            if (n == 0) {
                break;
            }
            *got += n;
        }
        return ERROR_SUCCESS;
    }
    DWORD Write(const void* buffer, std::uint32_t count) override {
        std::uint32_t written = 0;
        if (!WriteFile(h_, buffer, count, &written)) {
            return LastWin32Error();
        }
        // WriteFile writes less than asked only when the volume is full.
        return written == count ? ERROR_SUCCESS : ERROR_DISK_FULL;
    }

private:
    NativeHandle h_;
    bool directory_;
};

bool IsSeparator(char c) {
    return c == '\\' || c == '/';
}

// "\\server\share" of a UNC path ("\\server\share\rest", either separator), without the rest;
// nothing for other paths, among them the device and long-path forms "\\.\" and "\\?\".
std::optional<std::string> UncShareOf(std::string_view path) {
    if (path.size() < 5 || !IsSeparator(path[0]) || !IsSeparator(path[1]) || path[2] == '.' ||
        path[2] == '?') {
        return std::nullopt;
    }
    std::size_t end = 2;
    std::string share = "\\\\";
    for (int part = 0; part < 2; ++part) {
        const std::size_t start = end;
        while (end < path.size() && !IsSeparator(path[end])) {
            const char c = path[end];
            if (static_cast<unsigned char>(c) < 0x20 ||
                std::string_view("<>:\"|*?").find(c) != std::string_view::npos) {
                return std::nullopt;
            }
            ++end;
        }
        const std::string_view name = path.substr(start, end - start);
        if (name.empty() || name == "." || name == "..") {
            return std::nullopt;
        }
        share.append(name);
        if (part == 0) {
            if (end == path.size()) {
                return std::nullopt; // a server without a share
            }
            share += '\\';
            ++end; // the separator between server and share
        }
    }
    return share;
}

// A read-only file refuses being opened for writing, replaced or deleted. Windows checks this
// itself; Wine leaves it to the Linux permission bits, which do not hold for root.
bool IsReadOnlyFile(FileCalls& sys, const std::string& native) {
    const DWORD attributes = sys.GetFileAttributesA(native);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0 &&
           (attributes & FILE_ATTRIBUTE_READONLY) != 0;
}

} // namespace

BOOL Win32Failed() {
    return Fail(LastWin32Error());
}

DWORD NormalisePath(std::string_view path, std::string* out, bool allowWildcards, bool* inDriveRoot) {
    if (const std::optional<std::string> share = UncShareOf(path)) {
        // \\server\share\rest: the share stands where a drive would, the rest is checked as on a drive.
        WinPath below;
        if (const DWORD err =
                ParseWinPath("X:" + std::string(path.substr(share->size())), &below, allowWildcards);
            err != ERROR_SUCCESS) {
            return err;
        }
        *out = *share;
        for (const std::string& component : below.components) {
            *out += "\\" + component;
        }
        if (below.components.empty()) {
            *out += "\\";
        }
        if (inDriveRoot != nullptr) {
            *inDriveRoot = false;
        }
        return ERROR_SUCCESS;
    }
    WinPath parsed;
    const DWORD err = ParseWinPath(path, &parsed, allowWildcards);
    if (err != ERROR_SUCCESS) {
        return err;
    }
    *out = parsed.isHost ? parsed.hostPath : parsed.ToString();
    if (inDriveRoot != nullptr) {
        *inDriveRoot = !parsed.isHost && parsed.components.size() == 1;
    }
    return ERROR_SUCCESS;
}

// A file read without the system's cache: its reads go through whole sectors read into
// page-aligned memory, at a position of its own.
struct UnbufferedReads {
    static constexpr std::uint32_t Sector = 4096; // a multiple of every sector size
    static constexpr std::uint32_t Size = 256 * 1024;
    std::uint8_t* memory = static_cast<std::uint8_t*>(AllocateAligned(Size));
    std::uint64_t position = 0;
    UnbufferedReads() = default;
    UnbufferedReads(const UnbufferedReads&) = delete;
    UnbufferedReads& operator=(const UnbufferedReads&) = delete;
    ~UnbufferedReads() { FreeAligned(memory); }

    bool Read(NativeHandle h, std::uint8_t* out, std::uint32_t count, std::uint32_t* got) {
        *got = 0;
        while (*got < count) {
            const std::uint32_t skip = static_cast<std::uint32_t>(position % Sector);
            const std::uint64_t wanted = std::uint64_t{skip} + (count - *got) + Sector - 1;
            const auto size =
                static_cast<std::uint32_t>(std::min<std::uint64_t>(Size, wanted - wanted % Sector));
            std::uint32_t n = 0;
            if (!ReadFileAt(h, position - skip, memory, size, &n)) {
                return false;
            }
            if (n <= skip) {
                return true; // the end of the file
            }
            const std::uint32_t take = std::min(n - skip, count - *got);
            std::memcpy(out + *got, memory + skip, take);
            *got += take;
            position += take;
        }
        return true;
    }
};

struct Win32FileSystem::OpenFile {
    NativeHandle native = InvalidNative;
    DWORD access = 0;
    std::unique_ptr<UnbufferedReads> unbuffered;
    std::unique_ptr<Win32BackupFile> backup;
    // Times set through this handle, set again when it closes if data was written after them:
    // Windows keeps times set through a handle against later writes on it, Wine does not.
    std::optional<std::uint64_t> creation, lastAccess, lastWrite;
    bool writtenSinceTimes = false;
    void Written() { writtenSinceTimes = creation || lastAccess || lastWrite; }
};

struct Win32FileSystem::Listing {
    NativeHandle native = InvalidNative;
    bool root = false; // a drive root: its dot entries are not listed, as on a FAT card
};

Win32FileSystem::Win32FileSystem(FileCalls& sys) : sys_(sys) {}

Win32FileSystem::~Win32FileSystem() {
    for (auto& [h, file] : files_) {
        win32::CloseHandle(file->native);
    }
    for (auto& [h, listing] : listings_) {
        sys_.FindClose(listing->native);
    }
}

Win32FileSystem::OpenFile* Win32FileSystem::Find(Handle h) {
    auto it = files_.find(h);
    if (it == files_.end()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return it->second.get();
}

Handle Win32FileSystem::CreateFile(std::string_view path, DWORD access, DWORD shareMode, DWORD disposition,
                                   DWORD flags) {
    std::string native;
    if (const DWORD err = NormalisePath(path, &native); err != ERROR_SUCCESS) {
        return FailHandle(err);
    }
    if ((access & GENERIC_WRITE) != 0 && disposition != CREATE_NEW && IsReadOnlyFile(sys_, native)) {
        return FailHandle(ERROR_ACCESS_DENIED);
    }
    // Only reading goes around the cache; a write would need whole sectors from its caller.
    const bool unbuffered = (flags & FILE_FLAG_NO_BUFFERING) != 0 && access == GENERIC_READ;
    if (!unbuffered) {
        flags &= ~FILE_FLAG_NO_BUFFERING;
    }
    if (disposition == CREATE_ALWAYS) {
        // Windows refuses to replace a hidden or system file unless the call asks for the same
        // attributes (Wine does not check this): a file a backup restores is often such a file.
        const DWORD existing = sys_.GetFileAttributesA(native);
        if (existing != INVALID_FILE_ATTRIBUTES && (existing & FILE_ATTRIBUTE_DIRECTORY) == 0) {
            flags |= existing & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
        }
    }
    const NativeHandle h = sys_.CreateFileA(native, access, shareMode, disposition, flags);
    if (h == InvalidNative) {
        return FailHandle(LastWin32Error());
    }
    const DWORD openError = LastWin32Error(); // ERROR_ALREADY_EXISTS or 0, as CreateFile left it
    std::uint32_t attributes = 0;
    if (!GetHandleAttributes(h, &attributes)) {
        const DWORD err = LastWin32Error();
        win32::CloseHandle(h);
        return FailHandle(err);
    }
    auto file = std::make_unique<OpenFile>();
    file->native = h;
    file->access = access;
    file->backup = std::make_unique<Win32BackupFile>(h, (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0);
    if (unbuffered) {
        file->unbuffered = std::make_unique<UnbufferedReads>();
        if (file->unbuffered->memory == nullptr) {
            win32::CloseHandle(h);
            return FailHandle(ERROR_NOT_ENOUGH_MEMORY);
        }
    }
    files_.emplace(h, std::move(file));
    SetLastError(openError);
    return h;
}

BOOL Win32FileSystem::ReadFile(Handle h, void* buffer, DWORD toRead, DWORD* read) {
    OpenFile* f = Find(h);
    if (f == nullptr) {
        *read = 0;
        return FALSE;
    }
    std::uint32_t got = 0;
    const bool ok = f->unbuffered
                        ? f->unbuffered->Read(f->native, static_cast<std::uint8_t*>(buffer), toRead, &got)
                        : win32::ReadFile(f->native, buffer, toRead, &got);
    *read = got;
    return ok ? TRUE : Win32Failed();
}

BOOL Win32FileSystem::WriteFile(Handle h, const void* buffer, DWORD toWrite, DWORD* written) {
    OpenFile* f = Find(h);
    if (f == nullptr) {
        *written = 0;
        return FALSE;
    }
    std::uint32_t n = 0;
    const bool ok = win32::WriteFile(f->native, buffer, toWrite, &n);
    *written = n;
    f->Written();
    return ok ? TRUE : Win32Failed();
}

BOOL Win32FileSystem::CloseHandle(Handle h) {
    auto it = files_.find(h);
    if (it == files_.end()) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    const std::unique_ptr<OpenFile> f = std::move(it->second);
    files_.erase(it);
    if (f->writtenSinceTimes && !win32::SetFileTime(f->native, PointerTo(f->creation),
                                                    PointerTo(f->lastAccess), PointerTo(f->lastWrite))) {
        const DWORD err = LastWin32Error();
        win32::CloseHandle(f->native); // the handle goes all the same; the times' error is reported
        return Fail(err);
    }
    // CloseHandle reports what the file system could not write back when the file closed.
    return win32::CloseHandle(f->native) ? TRUE : Win32Failed();
}

BOOL Win32FileSystem::SetFilePointer(Handle h, std::uint64_t position) {
    OpenFile* f = Find(h);
    if (f == nullptr) {
        return FALSE;
    }
    if (f->unbuffered) {
        f->unbuffered->position = position;
        return TRUE;
    }
    return SetFilePointerEx(f->native, position) ? TRUE : Win32Failed();
}

BOOL Win32FileSystem::FlushFileBuffers(Handle h) {
    OpenFile* f = Find(h);
    if (f == nullptr) {
        return FALSE;
    }
    return win32::FlushFileBuffers(f->native) ? TRUE : Win32Failed();
}

BOOL Win32FileSystem::GetFileSize(Handle h, std::uint64_t* size) {
    OpenFile* f = Find(h);
    if (f == nullptr) {
        return FALSE;
    }
    return GetFileSizeEx(f->native, size) ? TRUE : Win32Failed();
}

DWORD Win32FileSystem::GetFileAttributes(std::string_view path) {
    std::string native;
    if (const DWORD err = NormalisePath(path, &native); err != ERROR_SUCCESS) {
        SetLastError(err);
        return INVALID_FILE_ATTRIBUTES;
    }
    const DWORD attributes = sys_.GetFileAttributesA(native);
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        Win32Failed();
    }
    return attributes;
}

BOOL Win32FileSystem::SetFileAttributes(std::string_view path, DWORD attributes) {
    std::string native;
    if (const DWORD err = NormalisePath(path, &native); err != ERROR_SUCCESS) {
        return Fail(err);
    }
    return sys_.SetFileAttributesA(native, attributes) ? TRUE : Win32Failed();
}

BOOL Win32FileSystem::GetFileTime(Handle h, FILETIME* creation, FILETIME* lastAccess, FILETIME* lastWrite) {
    OpenFile* f = Find(h);
    if (f == nullptr) {
        return FALSE;
    }
    std::uint64_t c = 0, a = 0, w = 0;
    if (!win32::GetFileTime(f->native, &c, &a, &w)) {
        return Win32Failed();
    }
    StoreTimes(FILETIME::From(c), FILETIME::From(a), FILETIME::From(w), creation, lastAccess, lastWrite);
    return TRUE;
}

BOOL Win32FileSystem::SetFileTime(Handle h, const FILETIME* creation, const FILETIME* lastAccess,
                                  const FILETIME* lastWrite) {
    OpenFile* f = Find(h);
    if (f == nullptr) {
        return FALSE;
    }
    // Times change only through a handle opened for writing (Wine does not check this).
    if ((f->access & GENERIC_WRITE) == 0) {
        return Fail(ERROR_ACCESS_DENIED);
    }
    const std::optional<std::uint64_t> c = ValueOf(creation), a = ValueOf(lastAccess), w = ValueOf(lastWrite);
    if (!win32::SetFileTime(f->native, PointerTo(c), PointerTo(a), PointerTo(w))) {
        return Win32Failed();
    }
    f->creation = c ? c : f->creation;
    f->lastAccess = a ? a : f->lastAccess;
    f->lastWrite = w ? w : f->lastWrite;
    f->writtenSinceTimes = false;
    return TRUE;
}

BOOL Win32FileSystem::CreateDirectory(std::string_view path) {
    std::string native;
    if (const DWORD err = NormalisePath(path, &native); err != ERROR_SUCCESS) {
        return Fail(err);
    }
    return sys_.CreateDirectoryA(native) ? TRUE : Win32Failed();
}

BOOL Win32FileSystem::DeleteFile(std::string_view path) {
    std::string native;
    if (const DWORD err = NormalisePath(path, &native); err != ERROR_SUCCESS) {
        return Fail(err);
    }
    if (IsReadOnlyFile(sys_, native)) {
        return Fail(ERROR_ACCESS_DENIED);
    }
    return sys_.DeleteFileA(native) ? TRUE : Win32Failed();
}

BOOL Win32FileSystem::MoveFileReplace(std::string_view from, std::string_view to) {
    std::string src, dst;
    DWORD err = NormalisePath(from, &src);
    if (err == ERROR_SUCCESS) {
        err = NormalisePath(to, &dst);
    }
    if (err != ERROR_SUCCESS) {
        return Fail(err);
    }
    if (IsReadOnlyFile(sys_, dst)) {
        return Fail(ERROR_ACCESS_DENIED);
    }
    return sys_.MoveFileReplace(src, dst) ? TRUE : Win32Failed();
}

DWORD Win32FileSystem::DeleteTree(std::string_view path) {
    std::string native;
    if (const DWORD err = NormalisePath(path, &native); err != ERROR_SUCCESS) {
        return err;
    }
    return DeleteTreeAt(native);
}

// Everything below first, then the folder itself; read-only entries are deleted too, as the
// shell's silent delete does. A junction or symbolic link is removed as the link it is: what it
// points at (perhaps on another drive) is never entered. Stops at the first entry that cannot be
// deleted.
DWORD Win32FileSystem::DeleteTreeAt(const std::string& path) {
    const DWORD attributes = sys_.GetFileAttributesA(path);
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        return LastWin32Error();
    }
    if ((attributes & FILE_ATTRIBUTE_READONLY) != 0 &&
        !sys_.SetFileAttributesA(path, attributes & ~FILE_ATTRIBUTE_READONLY)) {
        return LastWin32Error();
    }
    const bool directory = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        const bool removed = directory ? sys_.RemoveDirectoryA(path) : sys_.DeleteFileA(path);
        return removed ? ERROR_SUCCESS : LastWin32Error();
    }
    if (!directory) {
        return sys_.DeleteFileA(path) ? ERROR_SUCCESS : LastWin32Error();
    }
    std::vector<std::string> children;
    FindEntry entry;
    const NativeHandle h = sys_.FindFirstFileA(path + "\\*", &entry);
    if (h == InvalidNative) {
        if (LastWin32Error() != ERROR_FILE_NOT_FOUND) {
            return LastWin32Error();
        }
    } else {
        do {
            if (!IsDotEntry(entry.name)) {
                children.push_back(path + "\\" + entry.name);
            }
        } while (sys_.FindNextFileA(h, &entry));
        const DWORD end = LastWin32Error();
        sys_.FindClose(h);
        if (end != ERROR_NO_MORE_FILES) {
            return end;
        }
    }
    for (const std::string& child : children) {
        if (const DWORD err = DeleteTreeAt(child); err != ERROR_SUCCESS) {
            return err;
        }
    }
    return sys_.RemoveDirectoryA(path) ? ERROR_SUCCESS : LastWin32Error();
}

Handle Win32FileSystem::FindFirstFile(std::string_view pattern, FindData* data) {
    std::string native;
    bool driveRoot = false;
    if (const DWORD err = NormalisePath(pattern, &native, true, &driveRoot); err != ERROR_SUCCESS) {
        return FailHandle(err);
    }
    return FindFirstNative(native, driveRoot, data);
}

Handle Win32FileSystem::FindFirstFileListing(std::string_view pattern, bool driveRoot, FindData* data) {
    std::string native;
    if (const DWORD err = NormalisePath(pattern, &native, true); err != ERROR_SUCCESS) {
        return FailHandle(err);
    }
    return FindFirstNative(native, driveRoot, data);
}

Handle Win32FileSystem::FindFirstNative(const std::string& pattern, bool driveRoot, FindData* data) {
    FindEntry entry;
    const NativeHandle h = sys_.FindFirstFileA(pattern, &entry);
    if (h == InvalidNative) {
        return FailHandle(LastWin32Error());
    }
    auto listing = std::make_unique<Listing>();
    listing->native = h;
    listing->root = driveRoot;
    // A drive root has no dot entries on FAT; some file systems list them there all the same.
    while (listing->root && IsDotEntry(entry.name)) {
        if (!sys_.FindNextFileA(h, &entry)) {
            const DWORD err = LastWin32Error();
            sys_.FindClose(h);
            return FailHandle(err == ERROR_NO_MORE_FILES ? ERROR_FILE_NOT_FOUND : err);
        }
    }
    *data = ToFindData(entry);
    listings_.emplace(h, std::move(listing));
    return h;
}

BOOL Win32FileSystem::FindNextFile(Handle h, FindData* data) {
    auto it = listings_.find(h);
    if (it == listings_.end()) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    FindEntry entry;
    do {
        if (!sys_.FindNextFileA(it->second->native, &entry)) {
            return Win32Failed();
        }
    } while (it->second->root && IsDotEntry(entry.name));
    *data = ToFindData(entry);
    return TRUE;
}

BOOL Win32FileSystem::FindClose(Handle h) {
    auto it = listings_.find(h);
    if (it == listings_.end()) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    const NativeHandle native = it->second->native;
    listings_.erase(it);
    return sys_.FindClose(native) ? TRUE : Win32Failed();
}

BOOL Win32FileSystem::BackupRead(Handle h, std::uint8_t* buffer, DWORD toRead, DWORD* read, BOOL abort,
                                 void** context) {
    OpenFile* f = files_.count(h) != 0 ? files_.at(h).get() : nullptr;
    return BackupReadStream(f != nullptr ? f->backup.get() : nullptr, buffer, toRead, read, abort, context);
}

BOOL Win32FileSystem::BackupWrite(Handle h, const std::uint8_t* buffer, DWORD toWrite, DWORD* written,
                                  BOOL abort, void** context) {
    OpenFile* f = files_.count(h) != 0 ? files_.at(h).get() : nullptr;
    if (f != nullptr) {
        f->Written();
    }
    return BackupWriteStream(f != nullptr ? f->backup.get() : nullptr, buffer, toWrite, written, abort,
                             context);
}

} // namespace platform::win32
