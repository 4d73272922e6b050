// Attribute words and times of the host's files and folders (GetFileAttributes, SetFileAttributes,
// GetFileTime, SetFileTime), and the times that stay as set while data follows (StickyTimes).
#include "platform/host/HostFileSystem.h"

#include "platform/api/LastError.h"
#include "platform/host/Errno.h"
#include "platform/host/FileTime.h"
#include "platform/host/HostAttributes.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>

namespace platform::host {

void StickyTimes::Reapply(int fd) {
    if (active && fd >= 0) {
        written = true;
        // Best effort: the data is written; a time that cannot be put back is not worth
        // failing the write for, and the times were accepted once already.
        (void)futimens(fd, times);
    }
}

void StickyTimes::ReapplyAtClose(int fd) const {
    // Only where data followed the times: a file system that stamps the time at the close
    // rather than at the write would otherwise keep its own.
    if (active && written && fd >= 0) {
        (void)futimens(fd, times); // best effort, as in Reapply
    }
}

DWORD HostFileSystem::GetFileAttributes(std::string_view path) {
    ReleaseHeldFile();
    const std::string* name = nullptr;
    if (const Listing* listing = ListingOfReturnedFile(path, &name)) {
        DWORD attributes = 0;
        if (ReadFatAttributes(dirfd(listing->folder), *name, &attributes) == 0) {
            return attributes;
        }
        // Gone since the listing, or not to be opened: the ordinary look-up says what it is now.
    }
    HostEntry e;
    DWORD err = paths_.ResolveForOpen(path, &e);
    if (err == ERROR_SUCCESS && e.existenceUnknown) {
        // In a FAT folder found before, the open of FAT's attribute query is the look-up.
        DWORD attributes = 0;
        const int result = ReadFatAttributes(AT_FDCWD, e.host, &attributes);
        if (result == 0) {
            return attributes;
        }
        // Not there, or the ordinary look-up says what stopped it.
        err = result == ENOENT ? ERROR_FILE_NOT_FOUND : paths_.Resolve(path, &e);
    }
    if (err == ERROR_SUCCESS && !e.exists) {
        err = ERROR_FILE_NOT_FOUND;
    }
    if (err != ERROR_SUCCESS) {
        Fail(err);
        return INVALID_FILE_ATTRIBUTES;
    }
    if (e.isVirtual) {
        return FILE_ATTRIBUTE_DIRECTORY;
    }
    return hooks_.Attributes(e.host, e.st);
}

BOOL HostFileSystem::SetFileAttributes(std::string_view path, DWORD attributes) {
    if (justClosed_.has_value() && justClosed_->windowsPath == path) {
        const ClosedFile closed = *justClosed_;
        justClosed_.reset();
        bool same = false;
        const DWORD result =
            WriteAttributesOfSameFile(closed.host, closed.dev, closed.ino, attributes, &same, closed.heldFd);
        if (closed.heldFd >= 0) {
            // The entry goes to the card once, with its attribute word (see ClosedFile).
            CloseHeld(closed.heldFd, closed.dev);
        }
        if (same) {
            return result == ERROR_SUCCESS ? TRUE : Fail(result);
        }
    }
    ReleaseHeldFile();
    HostEntry e;
    DWORD err = paths_.ResolveExisting(path, &e);
    if (err == ERROR_SUCCESS && !e.path.isHost) {
        err = hooks_.CheckChangeable(e.path.drive);
    }
    if (err != ERROR_SUCCESS) {
        return Fail(err);
    }
    if (e.isVirtual) {
        return Fail(ERROR_ACCESS_DENIED);
    }
    const DWORD result = hooks_.SetAttributes(e.host, e.st, attributes);
    return result == ERROR_SUCCESS ? TRUE : Fail(result);
}

BOOL HostFileSystem::GetFileTime(Handle h, FILETIME* creation, FILETIME* lastAccess, FILETIME* lastWrite) {
    ReleaseHeldFile();
    OpenFile* f = FileOf(h);
    if (f == nullptr) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    if (DWORD err = CheckHandle(*f, Use::Metadata)) {
        return Fail(err);
    }
    FileTimes times{};
    if (!f->isVirtual && !hooks_.Times(f->fd, f->host, f->onFat, &times)) {
        return FailWithErrno(errno, IoDirection::Read);
    }
    StoreTimes(times.creation, times.lastAccess, times.lastWrite, creation, lastAccess, lastWrite);
    return TRUE;
}

BOOL HostFileSystem::SetFileTime(Handle h, const FILETIME* creation, const FILETIME* lastAccess,
                                 const FILETIME* lastWrite) {
    ReleaseHeldFile();
    OpenFile* f = FileOf(h);
    if (f == nullptr) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    if (f->isVirtual || !(f->access & GENERIC_WRITE)) {
        return Fail(ERROR_ACCESS_DENIED);
    }
    if (DWORD err = CheckHandle(*f, Use::Metadata)) {
        return Fail(err);
    }
    const DWORD err = hooks_.SetTimes(f->fd, f->host, f->onFat, creation, lastAccess, lastWrite);
    if (err != ERROR_SUCCESS) {
        return Fail(err);
    }
    f->timesSet.access = f->timesSet.access || lastAccess != nullptr;
    f->timesSet.write = f->timesSet.write || lastWrite != nullptr;
    if ((lastAccess != nullptr || lastWrite != nullptr) && hooks_.TimesOnTheFile()) {
        // Put back after writes as given: the file system rounds them again as it did now
        // (FAT to 2 s and to the day).
        f->sticky.active = true;
        f->sticky.written = false;
        if (lastAccess != nullptr) {
            f->sticky.times[0] = TimespecFromFileTime(lastAccess->Value());
        }
        if (lastWrite != nullptr) {
            f->sticky.times[1] = TimespecFromFileTime(lastWrite->Value());
        }
    }
    return TRUE;
}

} // namespace platform::host
