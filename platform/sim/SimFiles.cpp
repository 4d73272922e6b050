// Handles of the simulated PC and the I/O through them: opening, reading ahead, buffering
// writes, sharing, and the checks every call on a handle makes (the medium still in, the
// drive's injected read or write fault).
#include "platform/sim/SimFiles.h"

#include "platform/common/FileRules.h"
#include "platform/posix/FileTime.h"
#include "platform/posix/IoLoops.h"
#include "platform/sim/SimErrors.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>
#include <utility>

namespace platform::sim {

using posix::NowFileTime;
using posix::PreadAll;

namespace {

constexpr std::size_t IoBufferSize = 256 * 1024;
// Reads and writes of at least this much bypass the handle's buffers: passing them through
// would only add a memory copy of every byte (the extractor's and writer's pieces are this big).
constexpr std::size_t DirectIoSize = 64 * 1024;
// What a read just after a seek reads into the buffer at least.
constexpr std::size_t SeekReadSize = 4 * 1024;

} // namespace

SimFiles::~SimFiles() {
    FlushAll();
    for (auto& [h, obj] : files_) {
        if (obj->fd >= 0) {
            ::close(obj->fd);
        }
    }
}

Handle SimFiles::CreateFile(std::string_view path, DWORD access, DWORD shareMode, DWORD disposition,
                            DWORD flags) {
    if (disposition < CREATE_NEW || disposition > TRUNCATE_EXISTING) {
        return FailHandle(ERROR_INVALID_PARAMETER);
    }
    Location loc;
    if (DWORD err = Resolve(path, &loc)) {
        return FailHandle(err);
    }
    if (loc.exists) {
        const bool directory = loc.isRoot || loc.IsDirectory();
        const OpenOfExisting open = PlanOpenOfExisting(directory, loc.isRoot, loc.trailingSeparator,
                                                       (AttributesOf(loc) & FILE_ATTRIBUTE_READONLY) != 0,
                                                       access, disposition, flags);
        if (open.error != ERROR_SUCCESS) {
            return FailHandle(open.error);
        }
        if (!directory && ((access & GENERIC_WRITE) != 0 || open.truncate) &&
            SimDrives::IsWriteProtected(loc.drive)) {
            return FailHandle(ERROR_WRITE_PROTECT);
        }
        return OpenObject(loc, access, shareMode, directory, open.truncate, open.successCode,
                          open.replaceAttributes);
    }

    // The last component does not exist (its directory does).
    if (disposition == OPEN_EXISTING || disposition == TRUNCATE_EXISTING) {
        return FailHandle(ERROR_FILE_NOT_FOUND);
    }
    if (loc.trailingSeparator) {
        return FailHandle(ERROR_INVALID_NAME);
    }
    if (SimDrives::IsWriteProtected(loc.drive)) {
        return FailHandle(ERROR_WRITE_PROTECT);
    }
    const int fd = ::open(loc.host.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0) {
        return FailHandle(ErrorFromErrno(errno));
    }
    names_.NoteCreated(loc.host);
    if (::fstat(fd, &loc.st) != 0) {
        const DWORD err = ErrorFromErrno(errno);
        ::close(fd);
        return FailHandle(err);
    }
    loc.exists = true;
    if (loc.drive != nullptr) {
        const std::uint64_t now = NowFileTime();
        loc.drive->meta.Set(loc.rel,
                            EntryMeta{FILE_ATTRIBUTE_ARCHIVE, now, now, now, loc.drive->meta.NextSequence()});
    } else {
        hostMeta_.erase(loc.host);
    }
    Handle h = OpenObject(loc, access, shareMode, false, false, ERROR_SUCCESS, false, fd);
    if (h != InvalidHandle) {
        files_[h]->metaDirty = true;
    }
    return h;
}

BOOL SimFiles::ReadFile(Handle h, void* buffer, DWORD toRead, DWORD* read) {
    FileObject* f = nullptr;
    if (DWORD err = StartTransfer(h, Use::Reading, buffer, toRead, read, &f)) {
        return Fail(err);
    }
    if (DWORD err = FlushNode(*f)) {
        return Fail(err);
    }
    auto* out = static_cast<std::uint8_t*>(buffer);
    std::size_t done = 0;
    while (done < toRead) {
        const std::uint64_t pos = f->position;
        if (pos >= f->readOffset && pos < f->readOffset + f->readLength) {
            const std::size_t n = std::min<std::size_t>(toRead - done, f->readOffset + f->readLength - pos);
            std::memcpy(out + done, f->readBuffer.data() + (pos - f->readOffset), n);
            done += n;
            f->position += n;
            continue;
        }
        std::size_t got = 0;
        DWORD err;
        if (toRead - done >= DirectIoSize) {
            err = PreadAll(f->fd, out + done, toRead - done, pos, &got);
            done += got;
            f->position += got;
            f->moved = false; // a reader of large pieces again
        } else {
            // Once the position was moved (the check before a restore skips from header to header)
            // only what is asked for, at least a page, until large reads follow: reading ahead
            // there would read the data that is skipped.
            const std::size_t ahead =
                f->moved ? std::max<std::size_t>(toRead - done, SeekReadSize) : IoBufferSize;
            f->readBuffer.resize(IoBufferSize);
            err = PreadAll(f->fd, f->readBuffer.data(), ahead, pos, &got);
            f->readOffset = pos;
            f->readLength = err == ERROR_SUCCESS ? got : 0;
        }
        if (err != ERROR_SUCCESS) {
            if (done > 0) {
                break;
            }
            return Fail(err);
        }
        if (got == 0) {
            break; // end of file
        }
    }
    *read = static_cast<DWORD>(done);
    return TRUE;
}

BOOL SimFiles::WriteFile(Handle h, const void* buffer, DWORD toWrite, DWORD* written) {
    FileObject* f = nullptr;
    if (DWORD err = StartTransfer(h, Use::Writing, buffer, toWrite, written, &f)) {
        return Fail(err);
    }
    if (DWORD err = WriteAt(*f, static_cast<const std::uint8_t*>(buffer), toWrite)) {
        return Fail(err);
    }
    *written = toWrite;
    return TRUE;
}

BOOL SimFiles::CloseHandle(Handle h) {
    auto it = files_.find(h);
    if (it == files_.end()) {
        if (finds_.erase(h) != 0) {
            return TRUE; // CloseHandle on a listing is tolerated, as FindClose
        }
        return Fail(ERROR_INVALID_HANDLE);
    }
    std::unique_ptr<FileObject> f = std::move(it->second);
    files_.erase(it);
    // The handle is released whatever happens; the first problem is reported.
    const DWORD flushed = FlushWrites(*f);
    DWORD result = flushed != ERROR_SUCCESS ? flushed : f->deferredError;
    const DWORD persisted = FinishMeta(*f);
    if (result == ERROR_SUCCESS) {
        result = persisted;
    }
    Release(*f);
    if (result != ERROR_SUCCESS) {
        return Fail(result);
    }
    return TRUE;
}

BOOL SimFiles::FlushFileBuffers(Handle h) {
    FileObject* f = nullptr;
    DWORD done = 0;
    if (DWORD err = StartTransfer(h, Use::Writing, nullptr, 0, &done, &f)) {
        return Fail(err);
    }
    // What the handle holds back goes to the file; a write that failed after its call returned
    // is reported here, as the close would.
    DWORD err = FlushReporting(*f);
    if (err == ERROR_SUCCESS) {
        err = std::exchange(f->deferredError, ERROR_SUCCESS);
    }
    return err == ERROR_SUCCESS ? TRUE : Fail(err);
}

BOOL SimFiles::SetFilePointer(Handle h, std::uint64_t position) {
    FileObject* f = FileOf(h);
    if (f == nullptr) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    if (f->directory) {
        return Fail(ERROR_ACCESS_DENIED);
    }
    // Buffered writes know their own offset, and the read-ahead is kept by position.
    f->moved = f->moved || position != f->position;
    f->position = position;
    return TRUE;
}

BOOL SimFiles::GetFileSize(Handle h, std::uint64_t* size) {
    FileObject* f = FileOf(h);
    if (f == nullptr) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    if (DWORD err = CheckHandle(*f, Use::Metadata)) {
        return Fail(err);
    }
    if (size == nullptr) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    *size = f->directory ? 0 : f->node->size;
    return TRUE;
}

BOOL SimFiles::BackupRead(Handle h, std::uint8_t* buffer, DWORD toRead, DWORD* read, BOOL abort,
                          void** context) {
    FileObject* f = FileOf(h);
    if (abort == FALSE && f != nullptr) {
        if (read != nullptr) {
            *read = 0;
        }
        if (DWORD err = CheckFileCall(*f, GENERIC_READ, Use::Reading)) {
            return Fail(err);
        }
    }
    return BackupReadStream(f, buffer, toRead, read, abort, context);
}

BOOL SimFiles::BackupWrite(Handle h, const std::uint8_t* buffer, DWORD toWrite, DWORD* written, BOOL abort,
                           void** context) {
    FileObject* f = FileOf(h);
    if (abort == FALSE && f != nullptr) {
        if (written != nullptr) {
            *written = 0;
        }
        if (DWORD err = CheckFileCall(*f, GENERIC_WRITE, Use::Writing)) {
            return Fail(err);
        }
    }
    return BackupWriteStream(f, buffer, toWrite, written, abort, context);
}

DWORD SimFiles::ReadAtFor(FileObject& f, std::uint64_t offset, void* buffer, std::uint32_t count,
                          std::uint32_t* got) {
    if (DWORD err = FlushNode(f)) {
        return err;
    }
    std::size_t n = 0;
    const DWORD err = PreadAll(f.fd, static_cast<std::uint8_t*>(buffer), count, offset, &n);
    *got = static_cast<std::uint32_t>(n);
    return err;
}

DWORD SimFiles::WriteFor(FileObject& f, const void* buffer, std::uint32_t count) {
    return WriteAt(f, static_cast<const std::uint8_t*>(buffer), count);
}

FileObject* SimFiles::FileOf(Handle h) {
    auto it = files_.find(h);
    return it == files_.end() ? nullptr : it->second.get();
}

// The medium is still there (and the same one), and the drive has no injected fault.
DWORD SimFiles::CheckHandle(FileObject& f, Use use) {
    const bool writing = use == Use::Writing;
    const bool reading = use == Use::Reading;
    if (f.letter == 0) {
        return ERROR_SUCCESS;
    }
    drives_.RefreshIfDue();
    Drive* d = drives_.DriveOf(f.letter);
    if (d == nullptr || !d->config.media || d->mediaGeneration != f.mediaGeneration) {
        return ERROR_NOT_READY;
    }
    if (writing && SimDrives::IsWriteProtected(d)) {
        return ERROR_WRITE_PROTECT;
    }
    if (writing && d->config.fault == SimFault::Write) {
        return ERROR_WRITE_FAULT;
    }
    if (reading && d->config.fault == SimFault::Read) {
        return ERROR_READ_FAULT;
    }
    return ERROR_SUCCESS;
}

DWORD SimFiles::MetadataFileOf(Handle h, DWORD neededAccess, FileObject** file) {
    FileObject* f = FileOf(h);
    if (f == nullptr) {
        return ERROR_INVALID_HANDLE;
    }
    *file = f;
    return CheckFileCall(*f, neededAccess, Use::Metadata);
}

DWORD SimFiles::CheckFileCall(FileObject& f, DWORD neededAccess, Use use) {
    if ((f.access & neededAccess) != neededAccess) {
        return ERROR_ACCESS_DENIED;
    }
    return CheckHandle(f, use);
}

// ReadFile's (Use::Reading) and WriteFile's (Use::Writing) checks before a byte moves, in
// the order they report: the handle, a file rather than a directory, the checks of
// CheckFileCall, then the arguments. *done is 0 from here on.
DWORD SimFiles::StartTransfer(Handle h, Use use, const void* buffer, DWORD count, DWORD* done,
                              FileObject** file) {
    if (done != nullptr) {
        *done = 0;
    }
    FileObject* f = FileOf(h);
    if (f == nullptr) {
        return ERROR_INVALID_HANDLE;
    }
    if (f->directory) {
        return ERROR_ACCESS_DENIED;
    }
    const bool writing = use == Use::Writing;
    if (DWORD err = CheckFileCall(*f, writing ? GENERIC_WRITE : GENERIC_READ, use)) {
        return err;
    }
    if (done == nullptr || (buffer == nullptr && count != 0)) {
        return ERROR_INVALID_PARAMETER;
    }
    *file = f;
    return ERROR_SUCCESS;
}

Handle SimFiles::OpenObject(Location& loc, DWORD access, DWORD share, bool directory, bool truncate,
                            DWORD successCode, bool resetAttributes, int createdFd) {
    auto nodeIt = nodes_.find(loc.host);
    if (nodeIt != nodes_.end()) {
        for (const FileObject* other : nodeIt->second.opens) {
            if (!SharingAllows(access, share, other->access, other->share)) {
                if (createdFd >= 0) {
                    ::close(createdFd);
                }
                return FailHandle(ERROR_SHARING_VIOLATION);
            }
        }
    }
    int fd = createdFd;
    if (fd < 0 && !directory) {
        const bool writable = (access & GENERIC_WRITE) != 0 || truncate;
        fd = ::open(loc.host.c_str(), (writable ? O_RDWR : O_RDONLY) | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0) {
            return FailHandle(ErrorFromErrno(errno));
        }
    }
    auto f = std::make_unique<FileObject>();
    f->files = this;
    f->letter = loc.drive != nullptr ? loc.drive->config.letter : 0;
    f->mediaGeneration = loc.drive != nullptr ? loc.drive->mediaGeneration : 0;
    f->windows = loc.windows;
    f->rel = loc.rel;
    f->host = loc.host;
    f->fd = fd;
    f->directory = directory;
    f->access = access;
    f->share = share;
    f->nodeKey = loc.host;
    OpenNode& node = nodes_[loc.host];
    if (node.opens.empty()) {
        node.size = directory ? 0 : static_cast<std::uint64_t>(loc.st.st_size);
    }
    if (truncate && node.size > 0) {
        if (::ftruncate(fd, 0) != 0) {
            const DWORD err = ErrorFromErrno(errno);
            ::close(fd);
            if (node.opens.empty()) {
                nodes_.erase(loc.host);
            }
            return FailHandle(err);
        }
        if (loc.drive != nullptr) {
            loc.drive->Freed(loc.drive->Rounded(node.size));
        }
        node.size = 0;
    }
    node.opens.push_back(f.get());
    f->node = &node;
    FileObject* raw = f.get();
    const Handle h = nextHandle_++;
    files_[h] = std::move(f);
    if (truncate) {
        EntryMeta& m = MetaOfObjectMutable(*raw);
        if (resetAttributes) {
            m.attributes = FILE_ATTRIBUTE_ARCHIVE; // CREATE_ALWAYS replaces the attributes
        }
        raw->wroteData = true;
        raw->metaDirty = true;
    }
    SetLastError(successCode);
    return h;
}

void SimFiles::Release(FileObject& f) {
    auto it = nodes_.find(f.nodeKey);
    if (it != nodes_.end()) {
        std::erase(it->second.opens, &f);
        if (it->second.opens.empty()) {
            nodes_.erase(it);
        }
    }
    if (f.fd >= 0) {
        ::close(f.fd);
        f.fd = -1;
    }
}

DWORD SimFiles::WriteAt(FileObject& f, const std::uint8_t* data, std::uint32_t count) {
    if (f.deferredError != ERROR_SUCCESS) {
        const DWORD err = f.deferredError;
        f.deferredError = ERROR_SUCCESS;
        return err;
    }
    if (count == 0) {
        return ERROR_SUCCESS;
    }
    Drive* d = f.letter != 0 ? drives_.DriveOf(f.letter) : nullptr;
    const std::uint64_t end = f.position + count;
    const std::uint64_t oldSize = f.node->size;
    std::uint64_t grown = 0;
    if (d != nullptr && end > oldSize) {
        grown = d->Rounded(end) - d->Rounded(oldSize);
        // A write that does not fit writes nothing.
        if (grown > 0 && grown > d->FreeBytes()) {
            return ERROR_DISK_FULL;
        }
    }
    // Other handles of the file must not read stale bytes from their read-ahead.
    for (FileObject* other : f.node->opens) {
        other->readLength = 0;
    }
    if (!f.writeBuffer.empty() && f.writeOffset + f.writeBuffer.size() != f.position) {
        if (DWORD err = FlushReporting(f)) {
            return err;
        }
    }
    if (f.writeBuffer.empty()) {
        f.writeOffset = f.position;
    }
    if (count >= DirectIoSize) {
        // What is buffered goes first, so the file's bytes land in order.
        if (DWORD err = FlushReporting(f)) {
            return err;
        }
        std::size_t moved = 0;
        if (DWORD err = posix::PwriteAll(f.fd, data, count, f.position, &moved)) {
            return err;
        }
    } else {
        f.writeBuffer.insert(f.writeBuffer.end(), data, data + count);
        if (f.writeBuffer.size() >= IoBufferSize) {
            if (DWORD err = FlushReporting(f)) {
                return err;
            }
        }
    }
    if (d != nullptr) {
        d->used += grown;
    }
    f.position = end;
    f.node->size = std::max(oldSize, end);
    f.wroteData = true;
    return ERROR_SUCCESS;
}

// A flush whose failure this call reports itself (it is not reported again later).
DWORD SimFiles::FlushReporting(FileObject& f) {
    const DWORD err = FlushWrites(f);
    if (err != ERROR_SUCCESS) {
        f.deferredError = ERROR_SUCCESS;
    }
    return err;
}

DWORD SimFiles::FlushWrites(FileObject& f) {
    if (f.writeBuffer.empty()) {
        return ERROR_SUCCESS;
    }
    std::size_t moved = 0;
    const DWORD err =
        posix::PwriteAll(f.fd, f.writeBuffer.data(), f.writeBuffer.size(), f.writeOffset, &moved);
    f.writeBuffer.clear();
    if (err != ERROR_SUCCESS && f.deferredError == ERROR_SUCCESS) {
        f.deferredError = err; // reported by the next write or the close
    }
    return err;
}

// Buffered writes of every handle of the file reach the host file before it is read.
DWORD SimFiles::FlushNode(FileObject& f) {
    DWORD result = ERROR_SUCCESS;
    for (FileObject* other : f.node->opens) {
        const DWORD err = FlushWrites(*other);
        if (result == ERROR_SUCCESS) {
            result = err;
        }
    }
    return result;
}

void SimFiles::FlushAll() {
    for (auto& [h, f] : files_) {
        (void)FlushWrites(*f); // the error stays in the handle and comes back at close
        if (f->metaDirty || f->wroteData) {
            (void)FinishMeta(*f);
        }
    }
}

void SimFiles::FlushDrive(char letter) {
    for (auto& [h, f] : files_) {
        if (f->letter == letter) {
            (void)FlushWrites(*f); // the error stays in the handle and comes back at close
        }
    }
}

bool SimFiles::IsOpenBelow(const std::string& host) const {
    for (const auto& [key, node] : nodes_) {
        if (key == host ||
            (key.size() > host.size() && key.compare(0, host.size(), host) == 0 && key[host.size()] == '/')) {
            return true;
        }
    }
    return false;
}

DWORD FileObject::ReadAt(std::uint64_t offset, void* buffer, std::uint32_t count, std::uint32_t* got) {
    return files->ReadAtFor(*this, offset, buffer, count, got);
}

DWORD FileObject::Write(const void* buffer, std::uint32_t count) {
    return files->WriteFor(*this, buffer, count);
}

} // namespace platform::sim
