#include "platform/common/FaultInjection.h"

#include "platform/api/LastError.h"

#include <cctype>
#include <optional>

namespace platform {

DWORD FaultInjectingFileSystem::Ask(FileCall call, std::string_view path) const {
    return hook_ ? hook_(call, path) : ERROR_SUCCESS;
}

DWORD FaultInjectingFileSystem::AskFile(FileCall call, Handle h, DWORD access) const {
    if (!hook_) {
        return ERROR_SUCCESS;
    }
    const auto it = files_.find(h);
    if (it == files_.end() || (it->second.access & access) != access) {
        return ERROR_SUCCESS;
    }
    return hook_(call, it->second.path);
}

Handle FaultInjectingFileSystem::CreateFile(std::string_view path, DWORD access, DWORD shareMode,
                                            DWORD disposition, DWORD flags) {
    if (DWORD err = Ask(FileCall::Open, path)) {
        return FailHandle(err);
    }
    const Handle h = inner_.CreateFile(path, access, shareMode, disposition, flags);
    if (h != InvalidHandle) {
        const DWORD created = GetLastError(); // the open's own result, kept for the caller
        Opened& opened = files_[h] = Opened{std::string(path), access};
        if (hook_ && (access & GENERIC_WRITE) && !inner_.GetFileSize(h, &opened.onMedium)) {
            opened.onMedium = UINT64_MAX; // unknown: nothing is taken back
        }
        SetLastError(created);
    }
    return h;
}

BOOL FaultInjectingFileSystem::ReadFile(Handle h, void* buffer, DWORD toRead, DWORD* read) {
    if (DWORD err = AskFile(FileCall::Read, h, GENERIC_READ)) {
        if (read != nullptr) {
            *read = 0;
        }
        return Fail(err);
    }
    return inner_.ReadFile(h, buffer, toRead, read);
}

BOOL FaultInjectingFileSystem::WriteFile(Handle h, const void* buffer, DWORD toWrite, DWORD* written) {
    if (DWORD err = AskFile(FileCall::Write, h, GENERIC_WRITE)) {
        if (written != nullptr) {
            *written = 0;
        }
        files_[h].losing = true;
        return Fail(err);
    }
    return inner_.WriteFile(h, buffer, toWrite, written);
}

BOOL FaultInjectingFileSystem::FlushFileBuffers(Handle h) {
    const auto it = files_.find(h);
    if (DWORD err = AskFile(FileCall::Flush, h, GENERIC_WRITE)) {
        it->second.losing = true;
        return Fail(err);
    }
    const BOOL flushed = inner_.FlushFileBuffers(h);
    if (flushed && it != files_.end() && !inner_.GetFileSize(h, &it->second.onMedium)) {
        it->second.onMedium = UINT64_MAX;
    }
    return flushed;
}

BOOL FaultInjectingFileSystem::CloseHandle(Handle h) {
    // The handle is released whatever the hook says; its error is what the close reports.
    const DWORD injected = AskFile(FileCall::Close, h, 0);
    const auto it = files_.find(h);
    const std::optional<Opened> opened =
        it == files_.end() ? std::nullopt : std::optional<Opened>(std::move(it->second));
    files_.erase(h);
    listings_.erase(h);
    const BOOL closed = inner_.CloseHandle(h);
    if (opened && (opened->access & GENERIC_WRITE) && (injected != ERROR_SUCCESS || opened->losing)) {
        LoseUnflushed(opened->path, opened->onMedium);
    }
    if (injected != ERROR_SUCCESS) {
        return Fail(injected);
    }
    return closed;
}

void FaultInjectingFileSystem::LoseUnflushed(const std::string& path, std::uint64_t size) {
    // Directories and files whose size was not known keep what they hold: only a file's bytes
    // can be taken back. What fails here leaves the file as it is (a test double, nothing to report).
    std::string kept(size == UINT64_MAX ? 0 : size, '\0');
    const Handle r = inner_.CreateFile(path, GENERIC_READ, FILE_SHARE_NONE, OPEN_EXISTING, 0);
    std::uint64_t now = 0;
    if (r == InvalidHandle || size == UINT64_MAX || !inner_.GetFileSize(r, &now) || now <= size) {
        if (r != InvalidHandle) {
            inner_.CloseHandle(r);
        }
        return;
    }
    DWORD got = 0;
    const bool read =
        size == 0 || (inner_.ReadFile(r, kept.data(), static_cast<DWORD>(size), &got) && got == size);
    inner_.CloseHandle(r);
    if (!read) {
        return;
    }
    const Handle w = inner_.CreateFile(path, GENERIC_WRITE, FILE_SHARE_NONE, TRUNCATE_EXISTING, 0);
    if (w != InvalidHandle) {
        DWORD written = 0;
        inner_.WriteFile(w, kept.data(), static_cast<DWORD>(size), &written);
        inner_.CloseHandle(w);
    }
}

DWORD FaultInjectingFileSystem::GetFileAttributes(std::string_view path) {
    if (DWORD err = Ask(FileCall::GetAttributes, path)) {
        SetLastError(err);
        return INVALID_FILE_ATTRIBUTES;
    }
    return inner_.GetFileAttributes(path);
}

BOOL FaultInjectingFileSystem::SetFileAttributes(std::string_view path, DWORD attributes) {
    if (DWORD err = Ask(FileCall::SetAttributes, path)) {
        return Fail(err);
    }
    return inner_.SetFileAttributes(path, attributes);
}

BOOL FaultInjectingFileSystem::GetFileTime(Handle h, FILETIME* creation, FILETIME* lastAccess,
                                           FILETIME* lastWrite) {
    if (DWORD err = AskFile(FileCall::GetTimes, h, 0)) {
        return Fail(err);
    }
    return inner_.GetFileTime(h, creation, lastAccess, lastWrite);
}

BOOL FaultInjectingFileSystem::SetFileTime(Handle h, const FILETIME* creation, const FILETIME* lastAccess,
                                           const FILETIME* lastWrite) {
    if (DWORD err = AskFile(FileCall::SetTimes, h, GENERIC_WRITE)) {
        return Fail(err);
    }
    return inner_.SetFileTime(h, creation, lastAccess, lastWrite);
}

BOOL FaultInjectingFileSystem::CreateDirectory(std::string_view path) {
    if (DWORD err = Ask(FileCall::CreateDirectory, path)) {
        return Fail(err);
    }
    return inner_.CreateDirectory(path);
}

BOOL FaultInjectingFileSystem::DeleteFile(std::string_view path) {
    if (DWORD err = Ask(FileCall::Delete, path)) {
        return Fail(err);
    }
    return inner_.DeleteFile(path);
}

BOOL FaultInjectingFileSystem::MoveFileReplace(std::string_view from, std::string_view to) {
    if (DWORD err = Ask(FileCall::Move, from)) {
        return Fail(err);
    }
    return inner_.MoveFileReplace(from, to);
}

DWORD FaultInjectingFileSystem::DeleteTree(std::string_view path) {
    if (DWORD err = Ask(FileCall::Delete, path)) {
        return err;
    }
    return inner_.DeleteTree(path);
}

Handle FaultInjectingFileSystem::FindFirstFile(std::string_view pattern, FindData* data) {
    if (DWORD err = Ask(FileCall::FindFirst, pattern)) {
        return FailHandle(err);
    }
    const Handle h = inner_.FindFirstFile(pattern, data);
    if (h != InvalidHandle) {
        listings_[h] = std::string(pattern);
    }
    return h;
}

BOOL FaultInjectingFileSystem::FindNextFile(Handle h, FindData* data) {
    const auto it = listings_.find(h);
    if (it != listings_.end()) {
        if (DWORD err = Ask(FileCall::FindNext, it->second)) {
            return Fail(err);
        }
    }
    return inner_.FindNextFile(h, data);
}

BOOL FaultInjectingFileSystem::FindClose(Handle h) {
    listings_.erase(h);
    return inner_.FindClose(h);
}

BOOL FaultInjectingFileSystem::BackupRead(Handle h, std::uint8_t* buffer, DWORD toRead, DWORD* read,
                                          BOOL abort, void** context) {
    if (abort == FALSE) {
        if (DWORD err = AskFile(FileCall::BackupRead, h, GENERIC_READ)) {
            if (read != nullptr) {
                *read = 0;
            }
            return Fail(err);
        }
    }
    return inner_.BackupRead(h, buffer, toRead, read, abort, context);
}

BOOL FaultInjectingFileSystem::BackupWrite(Handle h, const std::uint8_t* buffer, DWORD toWrite,
                                           DWORD* written, BOOL abort, void** context) {
    if (abort == FALSE) {
        if (DWORD err = AskFile(FileCall::BackupWrite, h, GENERIC_WRITE)) {
            if (written != nullptr) {
                *written = 0;
            }
            return Fail(err);
        }
    }
    return inner_.BackupWrite(h, buffer, toWrite, written, abort, context);
}

void FaultInjectingVolumes::SetFault(VolumeCall call, char letter, DWORD error) {
    const auto key =
        std::make_pair(call, static_cast<char>(std::toupper(static_cast<unsigned char>(letter))));
    if (error == ERROR_SUCCESS) {
        faults_.erase(key);
    } else {
        faults_[key] = error;
    }
}

DWORD FaultInjectingVolumes::FaultOf(VolumeCall call, std::string_view root) const {
    if (root.size() < 2 || root[1] != ':') {
        return ERROR_SUCCESS;
    }
    const auto it = faults_.find(
        std::make_pair(call, static_cast<char>(std::toupper(static_cast<unsigned char>(root[0])))));
    return it == faults_.end() ? ERROR_SUCCESS : it->second;
}

BOOL FaultInjectingVolumes::GetVolumeLabel(std::string_view root, std::string* label, DWORD maxLength,
                                           DWORD* serial) {
    if (const DWORD error = FaultOf(VolumeCall::Label, root)) {
        return Fail(error);
    }
    return inner_.GetVolumeLabel(root, label, maxLength, serial);
}

BOOL FaultInjectingVolumes::GetDiskFreeSpace(std::string_view root, DWORD* sectorsPerCluster,
                                             DWORD* bytesPerSector, DWORD* freeClusters,
                                             DWORD* totalClusters) {
    if (const DWORD error = FaultOf(VolumeCall::Geometry, root)) {
        return Fail(error);
    }
    return inner_.GetDiskFreeSpace(root, sectorsPerCluster, bytesPerSector, freeClusters, totalClusters);
}

} // namespace platform
