// Open files of the host: CreateFile and what is done through a handle (data, size, backup
// streams), each on the file's descriptor. Attribute words and times: HostFileMeta.cpp.
#include "platform/host/HostFileSystem.h"

#include "platform/api/LastError.h"
#include "platform/common/BackupStream.h"
#include "platform/common/FileRules.h"
#include "platform/host/Errno.h"
#include "platform/host/HostTree.h"
#include "platform/host/IoLoops.h"
#include "platform/host/MountTable.h"

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

class HostBackupFile final : public BackupFile {
public:
    HostBackupFile(HostFileSystem& files, HostFileSystem::OpenFile& file) : files_(files), file_(file) {}
    bool IsDirectory() const override { return file_.isDirectory; }
    DWORD Size(std::uint64_t* size) override {
        if (file_.cursor.known) {
            // What the open found (or this handle's writes left): a stream begins right after
            // the open, and the archive writer asks for the size again once the stream has ended.
            *size = file_.cursor.size;
            return ERROR_SUCCESS;
        }
        struct stat st {};
        if (fstat(file_.fd, &st) != 0) {
            return ErrorFromErrno(errno, IoDirection::Read);
        }
        *size = static_cast<std::uint64_t>(st.st_size);
        return ERROR_SUCCESS;
    }
    DWORD ReadAt(std::uint64_t offset, void* buffer, std::uint32_t count, std::uint32_t* got) override {
        *got = 0;
        if (DWORD err = files_.FlushPendingOf(file_)) {
            return err;
        }
        std::size_t n = 0;
        const DWORD err = PreadAll(file_.fd, buffer, count, offset, &n);
        *got = static_cast<std::uint32_t>(n);
        return err;
    }
    DWORD Write(const void* buffer, std::uint32_t count) override {
        return files_.WriteData(file_, buffer, count);
    }

private:
    HostFileSystem& files_;
    HostFileSystem::OpenFile& file_;
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

HostFileSystem::HostFileSystem(DriveMap& drives, FileHooks* hooks)
    : drives_(drives), hooks_(hooks != nullptr ? *hooks : hostHooks_), paths_(drives) {
    if (hooks_.KeepsFolderNames()) {
        paths_.KeepFolderNames();
    }
}

HostFileSystem::~HostFileSystem() {
    FlushAllPending(); // a failure has no caller left to go to
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
        return FailHandle(ERROR_INVALID_PARAMETER);
    }
    // A file backed up from a card is read as it is: its open can be its look-up too.
    const bool plainRead =
        disposition == OPEN_EXISTING && access == GENERIC_READ && !(flags & FILE_FLAG_BACKUP_SEMANTICS);
    HostEntry e;
    int created = -1;           // the descriptor of a file this call made, or found by its open alone
    struct stat createdStat {}; // when known: createdStatKnown
    bool createdStatKnown = false;
    ForgetClosedFile();
    const int mode = !(access & GENERIC_WRITE) ? O_RDONLY : (access & GENERIC_READ) ? O_RDWR : O_WRONLY;
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
            return FailHandle(ErrorFromErrno(errno));
        }
        if (created < 0) {
            err = paths_.Resolve(path, &e); // it exists: the ordinary checks apply
        }
    } else if (err == ERROR_SUCCESS && e.existenceUnknown) {
        created = open(e.host.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
        if (created < 0 && errno == ENOENT) {
            return FailHandle(ERROR_FILE_NOT_FOUND);
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
        return FailHandle(err);
    }
    auto file = std::make_unique<OpenFile>();
    file->access = access;
    file->share = shareMode;
    file->onFat = e.onFoldingFolder;
    bool existed = e.exists;

    if (e.exists && e.isDirectory) {
        if (!(flags & FILE_FLAG_BACKUP_SEMANTICS)) {
            return FailHandle(ERROR_ACCESS_DENIED);
        }
        if (disposition == CREATE_NEW) {
            return FailHandle(ERROR_FILE_EXISTS);
        }
        if (disposition == CREATE_ALWAYS || disposition == TRUNCATE_EXISTING) {
            return FailHandle(ERROR_ACCESS_DENIED);
        }
        file->isDirectory = true;
        if (e.isVirtual) {
            file->isVirtual = true;
        } else {
            file->fd =
                open(e.host.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | (e.path.isHost ? 0 : O_NOFOLLOW));
            if (file->fd < 0) {
                return FailHandle(ErrorFromErrno(errno));
            }
        }
    } else if (e.exists) {
        if (!e.isVirtual && !S_ISREG(e.st.st_mode)) {
            // Devices, fifos and sockets are no files of a card; opening a fifo would block.
            return FailHandle(ERROR_ACCESS_DENIED);
        }
        if (disposition == CREATE_NEW) {
            return FailHandle(ERROR_FILE_EXISTS);
        }
        const bool writes =
            (access & GENERIC_WRITE) || disposition == CREATE_ALWAYS || disposition == TRUNCATE_EXISTING;
        if (writes && (hooks_.Attributes(e.host, e.st) & FILE_ATTRIBUTE_READONLY)) {
            return FailHandle(ERROR_ACCESS_DENIED);
        }
        if (const DWORD refused = writes ? hooks_.CheckChangeable(e.path.drive) : ERROR_SUCCESS) {
            return FailHandle(refused);
        }
        file->dev = e.st.st_dev;
        file->ino = e.st.st_ino;
        if (ShareConflict(*file)) {
            if (created >= 0) {
                ::close(created); // opened as its look-up: never handed out
            }
            return FailHandle(ERROR_SHARING_VIOLATION);
        }
    } else {
        if (disposition == OPEN_EXISTING || disposition == TRUNCATE_EXISTING) {
            return FailHandle(ERROR_FILE_NOT_FOUND);
        }
        const DWORD refused =
            e.parentVirtual || e.isRoot ? ERROR_ACCESS_DENIED : hooks_.CheckChangeable(e.path.drive);
        if (refused != ERROR_SUCCESS) {
            if (created >= 0) {
                // Made by the exclusive create above: a refused open leaves no file behind.
                ::close(created);
                ::unlink(e.host.c_str());
            }
            return FailHandle(refused);
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
            return FailHandle(ERROR_FILE_EXISTS);
        }
        if (file->fd < 0) {
            return FailHandle(ErrorFromErrno(errno));
        }
        struct stat st = createdStat;
        if ((!createdStatKnown && fstat(file->fd, &st) != 0) || !S_ISREG(st.st_mode)) {
            // Devices, fifos and sockets are no files of a card.
            ::close(file->fd);
            return FailHandle(ERROR_ACCESS_DENIED);
        }
        file->dev = st.st_dev;
        file->ino = st.st_ino;
        // A file just opened is written from its start: the first write need not ask.
        file->cursor = WriteCursor{true, 0, static_cast<std::uint64_t>(st.st_size)};
        if (const DWORD recorded = RecordOpen(e, existed, disposition)) {
            ::close(file->fd);
            return FailHandle(recorded);
        }
        // A truncated file counts as written: its last write time is now.
        file->wroteData = existed && (disposition == CREATE_ALWAYS || disposition == TRUNCATE_EXISTING);
        file->created = !existed;
    } else if (file->fd >= 0) {
        struct stat st {};
        if (fstat(file->fd, &st) != 0) {
            const int err = errno;
            ::close(file->fd);
            return FailHandle(ErrorFromErrno(err, IoDirection::Read));
        }
        file->dev = st.st_dev;
        file->ino = st.st_ino;
        if (ShareConflict(*file)) {
            ::close(file->fd);
            return FailHandle(ERROR_SHARING_VIOLATION);
        }
    }
    if ((flags & FILE_FLAG_NO_BUFFERING) && hooks_.Durable() && access == GENERIC_READ &&
        !file->isDirectory && file->fd >= 0) {
        // Reads come from the medium, also of what another handle writes and flushes later:
        // O_DIRECT where the file system has it; elsewhere (tmpfs) no read-ahead, and each read
        // lets go of what the system keeps of its range first (pages not yet written back stay).
        const int status = fcntl(file->fd, F_GETFL);
        if (status >= 0 && fcntl(file->fd, F_SETFL, status | O_DIRECT) == 0) {
            file->uncached = OpenFile::Uncached::Direct;
        } else {
            file->uncached = OpenFile::Uncached::Dropped;
            (void)posix_fadvise(file->fd, 0, 0, POSIX_FADV_RANDOM); // advice: nothing fails by it
        }
    }
    file->host = e.host;
    file->windowsPath = std::string(path);
    file->onCard = !e.path.isHost && e.path.drive != 'C';
    file->drive = e.path.isHost ? 0 : e.path.drive;
    file->medium = hooks_.MediumOf(file->drive);
    file->backup = std::make_unique<HostBackupFile>(*this, *file);
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
    if (DWORD err = CheckHandle(*f, Use::Reading); err != ERROR_SUCCESS || (err = FlushPendingOf(*f))) {
        return Fail(err);
    }
    std::size_t done = 0;
    f->cursor.known = false; // the read moves the position
    const DWORD err = f->uncached == OpenFile::Uncached::No ? ReadAll(f->fd, buffer, toRead, &done)
                                                            : ReadUncached(*f, buffer, toRead, &done);
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
    if (DWORD err = CheckHandle(*f, Use::Writing);
        err != ERROR_SUCCESS || (err = WriteData(*f, buffer, toWrite))) {
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
    OpenFile& f = *it->second;
    const int fd = f.fd;
    // The handle goes whatever happens; the first failure is reported.
    DWORD failed = FlushPending(f);
    if (failed == ERROR_SUCCESS) {
        failed = std::exchange(f.deferredError, ERROR_SUCCESS);
    }
    if ((f.wroteData || f.created || f.timesSet.access || f.timesSet.write) &&
        CheckHandle(f, Use::Metadata) == ERROR_SUCCESS) {
        const DWORD recorded = hooks_.Closed(f.host, f.wroteData, f.timesSet);
        failed = failed != ERROR_SUCCESS ? failed : recorded;
    }
    f.sticky.ReapplyAtClose(fd);
    int err = 0;
    if (fd >= 0 && (f.access & GENERIC_WRITE) && (!f.onCard || FlushEachOnCard()) && hooks_.Durable()) {
        // Windows writes through to removable drives; Linux keeps the data in memory for a while.
        // A file written outside a card (a backup archive) is on its disk when its handle
        // closes, with its directory entry. What goes to a card is put on it once at the end of
        // the operation (FlushVolume): against power cuts a flush per file bought nothing where
        // it was measured (udisks2's mounts write each file's data as it closes), and what an
        // interrupted operation leaves safe is the order of its writes.
        if (fsync(fd) != 0) {
            err = errno;
        }
        SyncParent(f.host);
    }
    const bool hold = fd >= 0 && !f.isDirectory && (f.access & GENERIC_WRITE) && f.onCard && f.onFat &&
                      !f.writeFailed && !FlushEachOnCard();
    // Only where the word goes onto the file itself: other hooks keep it elsewhere.
    if (fd >= 0 && !f.isDirectory && &hooks_ == &hostHooks_) {
        justClosed_ = ClosedFile{f.windowsPath, f.host, f.dev, f.ino, hold ? fd : -1};
    }
    files_.erase(it); // f goes with it
    if (hold) {
        return TRUE; // closed by the next call (see ClosedFile)
    }
    if (fd >= 0 && ::close(fd) != 0 && errno != EINTR && err == 0) {
        err = errno;
    }
    if (failed != ERROR_SUCCESS) {
        return Fail(failed);
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
    if (DWORD err = CheckHandle(*f, Use::Writing); err != ERROR_SUCCESS || (err = FlushPending(*f)) ||
                                                   (err = std::exchange(f->deferredError, ERROR_SUCCESS))) {
        return Fail(err);
    }
    if (!hooks_.Durable()) {
        return TRUE;
    }
    // The file's data, then its entry in its folder, on whatever drive holds it: a backup on a
    // stick is no card, whose files go on it once per operation (FlushVolume).
    if (fsync(f->fd) != 0) {
        return FailWithErrno(errno, IoDirection::Write);
    }
    const int err = SyncParent(f->host);
    return err == 0 ? TRUE : FailWithErrno(err, IoDirection::Write);
}

BOOL HostFileSystem::FlushVolume(std::string_view root) {
    // The closes still under way start the write-back of their files; they end before the flush.
    ReleaseCard();
    FlushAllPending(); // a failure stays with its handle, whose next write or close reports it
    if (!hooks_.Durable()) {
        return TRUE;
    }
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
    if (DWORD err = FlushPending(*f)) {
        return Fail(err);
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
    if (DWORD err = CheckHandle(*f, Use::Metadata); err != ERROR_SUCCESS || (err = FlushPendingOf(*f))) {
        return Fail(err);
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
    if (DWORD err = f != nullptr && !abort ? CheckHandle(*f, Use::Reading) : ERROR_SUCCESS) {
        if (read != nullptr) {
            *read = 0;
        }
        return Fail(err);
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
    if (DWORD err = f != nullptr && !abort ? CheckHandle(*f, Use::Writing) : ERROR_SUCCESS) {
        if (written != nullptr) {
            *written = 0;
        }
        return Fail(err);
    }
    return BackupWriteStream(f == nullptr ? nullptr : f->backup.get(), buffer, toWrite, written, abort,
                             context);
}

} // namespace platform::host
