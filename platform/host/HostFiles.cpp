// Open files of the host: CreateFile and what is done through a handle (data, size, backup
// streams), each on the file's descriptor. Attribute words and times: HostFileMeta.cpp.
#include "platform/host/HostFileSystem.h"

#include "platform/api/LastError.h"
#include "platform/common/BackupStream.h"
#include "platform/common/FileRules.h"
#include "platform/host/HostAttributes.h"
#include "platform/host/MountTable.h"
#include "platform/posix/Errno.h"
#include "platform/posix/FileTime.h"
#include "platform/posix/HostTree.h"
#include "platform/posix/IoLoops.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <limits>
#include <string_view>
#include <utility>

namespace platform::host {

using posix::FailWithErrno;
using posix::IoDirection;

namespace {

// All writes go through here: either every byte lands or nothing does. A drive that fills up
// during the write fails it with ERROR_DISK_FULL, and what it took of this write is taken back.
// (Asking the file system for its free space before every write would cost a call per write, for
// an answer the write gives anyway.) The cursor saves asking for the position and size again
// between writes that follow each other.
DWORD WriteWhole(int fd, const void* buffer, std::uint32_t count, WriteCursor* cursor) {
    if (count == 0) {
        return ERROR_SUCCESS;
    }
    if (!cursor->known) {
        struct stat st {};
        const off_t position = lseek(fd, 0, SEEK_CUR);
        if (position < 0 || fstat(fd, &st) != 0) {
            return posix::ErrorFromErrno(errno, IoDirection::Write);
        }
        cursor->position = static_cast<std::uint64_t>(position);
        cursor->size = static_cast<std::uint64_t>(st.st_size);
        cursor->known = true;
    }
    std::size_t done = 0;
    const DWORD err = posix::WriteAll(fd, buffer, count, &done);
    if (err != ERROR_SUCCESS) {
        cursor->known = false;
        // Take back what this call added so that a failed write leaves no partial data.
        if (ftruncate(fd, static_cast<off_t>(std::max(cursor->size, cursor->position))) != 0 ||
            lseek(fd, static_cast<off_t>(cursor->position), SEEK_SET) < 0) {
            return posix::ErrorFromErrno(errno, IoDirection::Write);
        }
        return err;
    }
    cursor->position += count;
    cursor->size = std::max(cursor->size, cursor->position);
    return ERROR_SUCCESS;
}

} // namespace

class HostBackupFile final : public BackupFile {
public:
    HostBackupFile(int fd, bool directory, StickyTimes* sticky, WriteCursor* cursor, bool* writeFailed)
        : fd_(fd), directory_(directory), sticky_(sticky), cursor_(cursor), writeFailed_(writeFailed) {}
    bool IsDirectory() const override { return directory_; }
    DWORD Size(std::uint64_t* size) override {
        if (cursor_->known) {
            // What the open found (or this handle's writes left): a stream begins right after
            // the open, and the archive writer asks for the size again once the stream has ended.
            *size = cursor_->size;
            return ERROR_SUCCESS;
        }
        struct stat st {};
        if (fstat(fd_, &st) != 0) {
            return posix::ErrorFromErrno(errno, IoDirection::Read);
        }
        *size = static_cast<std::uint64_t>(st.st_size);
        return ERROR_SUCCESS;
    }
    DWORD ReadAt(std::uint64_t offset, void* buffer, std::uint32_t count, std::uint32_t* got) override {
        std::size_t n = 0;
        const DWORD err = posix::PreadAll(fd_, buffer, count, offset, &n);
        *got = static_cast<std::uint32_t>(n);
        return err;
    }
    DWORD Write(const void* buffer, std::uint32_t count) override {
        const DWORD err = WriteWhole(fd_, buffer, count, cursor_);
        sticky_->Reapply(fd_);
        *writeFailed_ = *writeFailed_ || err != ERROR_SUCCESS;
        return err;
    }

private:
    int fd_;
    bool directory_;
    StickyTimes* sticky_;
    WriteCursor* cursor_;
    bool* writeFailed_;
};

HostFileSystem::OpenFile::OpenFile() = default;
HostFileSystem::OpenFile::~OpenFile() = default;

namespace {

// FLASHKEEPER3_CARD_FLUSH=each flushes every file and folder written on a card when its handle
// closes, as a backup archive is, instead of the whole card once per operation: a switch for
// measuring the two against power cuts, not a setting for users.
bool FlushEachOnCard() {
    static const bool each = [] {
        const char* policy = std::getenv("FLASHKEEPER3_CARD_FLUSH");
        return policy != nullptr && std::string_view(policy) == "each";
    }();
    return each;
}

} // namespace

HostFileSystem::HostFileSystem(DriveMap& drives) : drives_(drives), paths_(drives) {}

HostFileSystem::~HostFileSystem() {
    ReleaseCard();
    for (auto& [h, f] : files_) {
        if (f->fd >= 0) {
            ::close(f->fd);
        }
    }
}

void HostFileSystem::ReleaseHeldFile() {
    if (justClosed_.has_value() && justClosed_->heldFd >= 0) {
        CloseHeld(justClosed_->heldFd, justClosed_->dev);
        justClosed_->heldFd = -1;
    }
}

void HostFileSystem::ReleaseCard() {
    ReleaseHeldFile();
    closer_.Wait();
    flushesEachClose_.clear();
}

void HostFileSystem::CloseHeld(int fd, std::uint64_t dev) {
    auto known = flushesEachClose_.find(dev);
    if (known == flushesEachClose_.end()) {
        known = flushesEachClose_.emplace(dev, FatFlushesEachClose(major(dev), minor(dev))).first;
    }
    // The close of a file on FAT has nothing to report (see ClosedFile).
    if (known->second) {
        closer_.Close(fd);
    } else {
        (void)::close(fd);
    }
}

void HostFileSystem::ForgetClosedFile() {
    ReleaseHeldFile();
    justClosed_.reset();
}

std::string HostFileSystem::HostPathOf(std::string_view windowsPath) {
    ReleaseHeldFile();
    HostEntry e;
    if (paths_.Resolve(windowsPath, &e) != ERROR_SUCCESS) {
        return {};
    }
    return e.host;
}

HostFileSystem::OpenFile* HostFileSystem::FileOf(Handle h) {
    auto it = files_.find(h);
    return it == files_.end() ? nullptr : it->second.get();
}

DWORD HostFileSystem::DataFileOf(Handle h, DWORD access, OpenFile** file) {
    OpenFile* f = FileOf(h);
    if (f == nullptr) {
        return ERROR_INVALID_HANDLE;
    }
    if (f->isDirectory || !(f->access & access)) {
        return ERROR_ACCESS_DENIED;
    }
    *file = f;
    return ERROR_SUCCESS;
}

bool HostFileSystem::ShareConflict(const OpenFile& c) const {
    return std::any_of(files_.begin(), files_.end(), [&](const auto& kv) {
        const OpenFile& f = *kv.second;
        return !f.isVirtual && f.dev == c.dev && f.ino == c.ino &&
               !SharingAllows(c.access, c.share, f.access, f.share);
    });
}

bool HostFileSystem::InUse(std::uint64_t dev, std::uint64_t ino) const {
    return std::any_of(files_.begin(), files_.end(), [&](const auto& kv) {
        return !kv.second->isVirtual && kv.second->dev == dev && kv.second->ino == ino;
    });
}

Handle HostFileSystem::CreateFile(std::string_view path, DWORD access, DWORD shareMode, DWORD disposition,
                                  DWORD flags) {
    if (disposition < CREATE_NEW || disposition > TRUNCATE_EXISTING ||
        (disposition == TRUNCATE_EXISTING && !(access & GENERIC_WRITE))) {
        Fail(ERROR_INVALID_PARAMETER);
        return InvalidHandle;
    }
    // A file backed up from a card is read as it is: its open can be its look-up too.
    const bool plainRead =
        disposition == OPEN_EXISTING && access == GENERIC_READ && !(flags & FILE_FLAG_BACKUP_SEMANTICS);
    HostEntry e;
    int created = -1;           // the descriptor of a file this call made, or found by its open alone
    struct stat createdStat {}; // when known: createdStatKnown
    bool createdStatKnown = false;
    ForgetClosedFile();
    int mode = O_RDONLY;
    if ((access & GENERIC_WRITE) && (access & GENERIC_READ)) {
        mode = O_RDWR;
    } else if (access & GENERIC_WRITE) {
        mode = O_WRONLY;
    }
    const bool mayCreate =
        disposition == CREATE_NEW || disposition == CREATE_ALWAYS || disposition == OPEN_ALWAYS;
    DWORD err = ERROR_SUCCESS;
    if (plainRead && OpenReturnedFile(path, &e, &created, &createdStat)) {
        createdStatKnown = true;
    } else {
        err = mayCreate || plainRead ? paths_.ResolveForOpen(path, &e) : paths_.Resolve(path, &e);
    }
    if (err == ERROR_SUCCESS && e.existenceUnknown && mayCreate) {
        // A file restored onto a card is new: the exclusive create is its only look-up.
        created = open(e.host.c_str(), mode | O_CLOEXEC | O_NOFOLLOW | O_CREAT | O_EXCL, 0666);
        if (created < 0 && errno != EEXIST) {
            Fail(posix::ErrorFromErrno(errno));
            return InvalidHandle;
        }
        if (created < 0) {
            err = paths_.Resolve(path, &e); // it exists: the ordinary checks apply
        }
    } else if (err == ERROR_SUCCESS && e.existenceUnknown) {
        created = open(e.host.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
        if (created < 0 && errno == ENOENT) {
            Fail(ERROR_FILE_NOT_FOUND);
            return InvalidHandle;
        }
        createdStatKnown = created >= 0 && fstat(created, &createdStat) == 0;
        if (createdStatKnown && S_ISREG(createdStat.st_mode)) {
            e.exists = true;
            e.st = createdStat;
        } else {
            // A folder, or what the open refused: the ordinary checks say what it is.
            if (created >= 0) {
                ::close(created);
                created = -1;
            }
            createdStatKnown = false;
            err = paths_.Resolve(path, &e);
        }
    }
    if (err != ERROR_SUCCESS) {
        Fail(err);
        return InvalidHandle;
    }
    auto file = std::make_unique<OpenFile>();
    file->access = access;
    file->share = shareMode;
    file->onFat = e.onFoldingFolder;
    bool existed = e.exists;

    if (e.exists && e.isDirectory) {
        if (!(flags & FILE_FLAG_BACKUP_SEMANTICS)) {
            Fail(ERROR_ACCESS_DENIED);
            return InvalidHandle;
        }
        if (disposition == CREATE_NEW) {
            Fail(ERROR_FILE_EXISTS);
            return InvalidHandle;
        }
        if (disposition == CREATE_ALWAYS || disposition == TRUNCATE_EXISTING) {
            Fail(ERROR_ACCESS_DENIED);
            return InvalidHandle;
        }
        file->isDirectory = true;
        if (e.isVirtual) {
            file->isVirtual = true;
        } else {
            file->fd =
                open(e.host.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | (e.path.isHost ? 0 : O_NOFOLLOW));
            if (file->fd < 0) {
                FailWithErrno(errno);
                return InvalidHandle;
            }
        }
    } else if (e.exists) {
        if (!e.isVirtual && !S_ISREG(e.st.st_mode)) {
            // Devices, fifos and sockets are no files of a card; opening a fifo would block.
            Fail(ERROR_ACCESS_DENIED);
            return InvalidHandle;
        }
        if (disposition == CREATE_NEW) {
            Fail(ERROR_FILE_EXISTS);
            return InvalidHandle;
        }
        const bool writes =
            (access & GENERIC_WRITE) || disposition == CREATE_ALWAYS || disposition == TRUNCATE_EXISTING;
        if (writes && (ReadAttributes(e.host, e.st) & FILE_ATTRIBUTE_READONLY)) {
            Fail(ERROR_ACCESS_DENIED);
            return InvalidHandle;
        }
        file->dev = e.st.st_dev;
        file->ino = e.st.st_ino;
        if (ShareConflict(*file)) {
            if (created >= 0) {
                ::close(created); // opened as its look-up: never handed out
            }
            Fail(ERROR_SHARING_VIOLATION);
            return InvalidHandle;
        }
    } else {
        if (disposition == OPEN_EXISTING || disposition == TRUNCATE_EXISTING) {
            Fail(ERROR_FILE_NOT_FOUND);
            return InvalidHandle;
        }
        if (e.parentVirtual || e.isRoot) {
            Fail(ERROR_ACCESS_DENIED);
            return InvalidHandle;
        }
    }

    if (!file->isDirectory) {
        int oflags = mode | O_CLOEXEC | (e.path.isHost ? 0 : O_NOFOLLOW);
        if (!existed) {
            oflags |= O_CREAT | O_EXCL;
        } else if (disposition == CREATE_ALWAYS || disposition == TRUNCATE_EXISTING) {
            // Truncation needs a writable descriptor even when only reading was asked for.
            oflags = (oflags & ~O_ACCMODE) | (mode == O_RDONLY ? O_RDWR : mode) | O_TRUNC;
        }
        file->fd = created >= 0 ? created : open(e.host.c_str(), oflags, 0666);
        if (file->fd < 0 && errno == EEXIST && !existed) {
            Fail(ERROR_FILE_EXISTS);
            return InvalidHandle;
        }
        if (file->fd < 0) {
            FailWithErrno(errno);
            return InvalidHandle;
        }
        struct stat st = createdStat;
        if ((!createdStatKnown && fstat(file->fd, &st) != 0) || !S_ISREG(st.st_mode)) {
            // Devices, fifos and sockets are no files of a card.
            ::close(file->fd);
            Fail(ERROR_ACCESS_DENIED);
            return InvalidHandle;
        }
        file->dev = st.st_dev;
        file->ino = st.st_ino;
        // A file just opened is written from its start: the first write need not ask.
        file->cursor = WriteCursor{true, 0, static_cast<std::uint64_t>(st.st_size)};
    } else if (file->fd >= 0) {
        struct stat st {};
        if (fstat(file->fd, &st) != 0) {
            const int err = errno;
            ::close(file->fd);
            FailWithErrno(err, IoDirection::Read);
            return InvalidHandle;
        }
        file->dev = st.st_dev;
        file->ino = st.st_ino;
        if (ShareConflict(*file)) {
            ::close(file->fd);
            Fail(ERROR_SHARING_VIOLATION);
            return InvalidHandle;
        }
    }
    if ((flags & FILE_FLAG_NO_BUFFERING) && access == GENERIC_READ && !file->isDirectory && file->fd >= 0) {
        // What the system keeps of the file in memory is let go, so that its reads come from the
        // medium. Pages not yet written back stay; a file flushed before has none.
        (void)posix_fadvise(file->fd, 0, 0, POSIX_FADV_DONTNEED);
    }
    file->host = e.host;
    file->windowsPath = std::string(path);
    file->onCard = !e.path.isHost && e.path.drive != 'C';
    file->backup = std::make_unique<HostBackupFile>(file->fd, file->isDirectory, &file->sticky, &file->cursor,
                                                    &file->writeFailed);
    const Handle h = nextHandle_++;
    files_.emplace(h, std::move(file));
    SetLastError(existed && (disposition == OPEN_ALWAYS || disposition == CREATE_ALWAYS)
                     ? ERROR_ALREADY_EXISTS
                     : ERROR_SUCCESS);
    return h;
}

bool HostFileSystem::OpenReturnedFile(std::string_view path, HostEntry* e, int* fd, struct stat* st) {
    const std::string* name = nullptr;
    const Listing* listing = ListingOfReturnedFile(path, &name);
    if (listing == nullptr) {
        return false;
    }
    const int opened = openat(dirfd(listing->folder), name->c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (opened < 0 || fstat(opened, st) != 0 || !S_ISREG(st->st_mode)) {
        if (opened >= 0) {
            ::close(opened); // never handed out
        }
        return false;
    }
    e->path.drive = listing->drive;
    e->host = listing->hostFolder + "/" + *name;
    e->name = *name;
    e->exists = true;
    e->onFoldingFolder = true;
    e->st = *st;
    *fd = opened;
    return true;
}

BOOL HostFileSystem::ReadFile(Handle h, void* buffer, DWORD toRead, DWORD* read) {
    ReleaseHeldFile();
    if (read != nullptr) {
        *read = 0;
    }
    OpenFile* f = nullptr;
    if (DWORD err = DataFileOf(h, GENERIC_READ, &f)) {
        return Fail(err);
    }
    std::size_t done = 0;
    f->cursor.known = false; // the read moves the position
    const DWORD err = posix::ReadAll(f->fd, buffer, toRead, &done);
    if (read != nullptr) {
        *read = static_cast<DWORD>(done);
    }
    return err == ERROR_SUCCESS ? TRUE : Fail(err);
}

BOOL HostFileSystem::WriteFile(Handle h, const void* buffer, DWORD toWrite, DWORD* written) {
    ReleaseHeldFile();
    if (written != nullptr) {
        *written = 0;
    }
    OpenFile* f = nullptr;
    if (DWORD err = DataFileOf(h, GENERIC_WRITE, &f)) {
        return Fail(err);
    }
    const DWORD err = WriteWhole(f->fd, buffer, toWrite, &f->cursor);
    f->sticky.Reapply(f->fd);
    f->writeFailed = f->writeFailed || err != ERROR_SUCCESS;
    if (err != ERROR_SUCCESS) {
        return Fail(err);
    }
    if (written != nullptr) {
        *written = toWrite;
    }
    return TRUE;
}

BOOL HostFileSystem::CloseHandle(Handle h) {
    ForgetClosedFile();
    auto it = files_.find(h);
    if (it == files_.end()) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    const int fd = it->second->fd;
    it->second->sticky.ReapplyAtClose(fd);
    int err = 0;
    if (fd >= 0 && (it->second->access & GENERIC_WRITE) && (!it->second->onCard || FlushEachOnCard())) {
        // Windows writes through to removable drives; Linux keeps the data in memory for a while.
        // A file written outside a card (a backup archive) is on its disk when its handle
        // closes, with its directory entry. What goes to a card is put on it once at the end of
        // the operation (FlushVolume): against power cuts a flush per file bought nothing where
        // it was measured (udisks2's mounts write each file's data as it closes), and what an
        // interrupted operation leaves safe is the order of its writes.
        if (fsync(fd) != 0) {
            err = errno;
        }
        posix::SyncParent(it->second->host);
    }
    const OpenFile& closing = *it->second;
    const bool hold = fd >= 0 && !closing.isDirectory && (closing.access & GENERIC_WRITE) && closing.onCard &&
                      closing.onFat && !closing.writeFailed && !FlushEachOnCard();
    if (fd >= 0 && !closing.isDirectory) {
        justClosed_ = ClosedFile{closing.windowsPath, closing.host, closing.dev, closing.ino, hold ? fd : -1};
    }
    files_.erase(it);
    if (hold) {
        return TRUE; // closed by the next call (see ClosedFile)
    }
    if (fd >= 0 && ::close(fd) != 0 && errno != EINTR && err == 0) {
        err = errno;
    }
    // A failing flush or close on a card is a write that did not reach it.
    return err == 0 ? TRUE : FailWithErrno(err, IoDirection::Write);
}

BOOL HostFileSystem::FlushFileBuffers(Handle h) {
    ReleaseHeldFile();
    OpenFile* f = nullptr;
    if (DWORD err = DataFileOf(h, GENERIC_WRITE, &f)) {
        return Fail(err);
    }
    // The file's data, then its entry in its folder, on whatever drive holds it: a backup on a
    // stick is no card, whose files go on it once per operation (FlushVolume).
    if (fsync(f->fd) != 0) {
        return FailWithErrno(errno, IoDirection::Write);
    }
    const int err = posix::SyncParent(f->host);
    return err == 0 ? TRUE : FailWithErrno(err, IoDirection::Write);
}

BOOL HostFileSystem::FlushVolume(std::string_view root) {
    // The closes still under way start the write-back of their files; they end before the flush.
    ReleaseCard();
    WinPath wp;
    if (ParseWinPath(root, &wp) != ERROR_SUCCESS || wp.isHost) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    std::vector<DriveMount> mounts;
    if (const DWORD err = drives_.MountsOf(wp.drive, &mounts); err != ERROR_SUCCESS) {
        return Fail(err);
    }
    for (const DriveMount& m : mounts) {
        const int fd = open(m.hostFolder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0) {
            return FailWithErrno(errno, IoDirection::Write);
        }
        // One flush of the file system: every file's data, its directory entry, attribute byte
        // and times, and the FAT itself.
        const int err = syncfs(fd) == 0 ? 0 : errno;
        ::close(fd);
        if (err != 0) {
            return FailWithErrno(err, IoDirection::Write);
        }
    }
    return TRUE;
}

BOOL HostFileSystem::SetFilePointer(Handle h, std::uint64_t position) {
    ReleaseHeldFile();
    OpenFile* f = FileOf(h);
    if (f == nullptr) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    if (f->isVirtual || position > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    f->cursor.known = false;
    if (lseek(f->fd, static_cast<off_t>(position), SEEK_SET) < 0) {
        return FailWithErrno(errno, IoDirection::Read);
    }
    return TRUE;
}

BOOL HostFileSystem::GetFileSize(Handle h, std::uint64_t* size) {
    ReleaseHeldFile();
    OpenFile* f = FileOf(h);
    if (f == nullptr) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    if (f->isVirtual) {
        *size = 0;
        return TRUE;
    }
    struct stat st {};
    if (fstat(f->fd, &st) != 0) {
        return FailWithErrno(errno, IoDirection::Read);
    }
    *size = S_ISDIR(st.st_mode) ? 0 : static_cast<std::uint64_t>(st.st_size);
    return TRUE;
}

BOOL HostFileSystem::BackupRead(Handle h, std::uint8_t* buffer, DWORD toRead, DWORD* read, BOOL abort,
                                void** context) {
    ReleaseHeldFile();
    OpenFile* f = FileOf(h);
    if (f != nullptr && !abort && (f->isVirtual || !(f->access & GENERIC_READ))) {
        return Fail(ERROR_ACCESS_DENIED);
    }
    return BackupReadStream(f == nullptr ? nullptr : f->backup.get(), buffer, toRead, read, abort, context);
}

BOOL HostFileSystem::BackupWrite(Handle h, const std::uint8_t* buffer, DWORD toWrite, DWORD* written,
                                 BOOL abort, void** context) {
    ReleaseHeldFile();
    OpenFile* f = FileOf(h);
    if (f != nullptr && !abort && (f->isVirtual || !(f->access & GENERIC_WRITE))) {
        return Fail(ERROR_ACCESS_DENIED);
    }
    return BackupWriteStream(f == nullptr ? nullptr : f->backup.get(), buffer, toWrite, written, abort,
                             context);
}

} // namespace platform::host
