// The file services' side of the metadata journal (SimMetadata.h): attribute words and the three
// times of an entry, stored ones first and otherwise made up from the host file, and what a
// handle records when it closes.
#include "platform/sim/SimFiles.h"

#include "platform/common/ShareMode.h"
#include "platform/posix/FileTime.h"

#include <fcntl.h>
#include <limits>

namespace platform::sim {

using posix::NowFileTime;

namespace {

constexpr std::uint64_t FileTimeKeep = 0xFFFFFFFFFFFFFFFFULL; // SetFileTime: stop updating this time

} // namespace

DWORD SimFiles::GetFileAttributes(std::string_view path) {
    Location loc;
    DWORD err = ResolveExisting(path, &loc);
    if (err == ERROR_SUCCESS && loc.trailingSeparator && !loc.IsDirectory()) {
        err = ERROR_INVALID_NAME;
    }
    if (err != ERROR_SUCCESS) {
        SetLastError(err);
        return INVALID_FILE_ATTRIBUTES;
    }
    return AttributesOf(loc);
}

BOOL SimFiles::SetFileAttributes(std::string_view path, DWORD attributes) {
    Location loc;
    DWORD err = ResolveExisting(path, &loc);
    if (err == ERROR_SUCCESS && SimDrives::IsWriteProtected(loc.drive)) {
        err = ERROR_WRITE_PROTECT;
    }
    if (err != ERROR_SUCCESS) {
        return Fail(err);
    }
    EntryMeta& m = MetaOf(loc);
    m.attributes = NormalizeAttributes(attributes, loc.isRoot || loc.IsDirectory());
    // An entry that is open (the extractor sets the word between create and close) is
    // recorded when its handle closes; otherwise now.
    auto open = nodes_.find(loc.host);
    if (open != nodes_.end() && !open->second.opens.empty()) {
        open->second.opens.front()->metaDirty = true;
    } else if (loc.drive != nullptr) {
        if (DWORD perr = loc.drive->meta.Persist(loc.rel)) {
            return Fail(perr);
        }
    }
    return TRUE;
}

BOOL SimFiles::GetFileTime(Handle h, FILETIME* creation, FILETIME* lastAccess, FILETIME* lastWrite) {
    FileObject* f = FileOf(h);
    if (f == nullptr) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    if (DWORD err = CheckFileCall(*f, 0, Use::Metadata)) {
        return Fail(err);
    }
    const EntryMeta m = MetaOfObject(*f);
    if (creation != nullptr) {
        *creation = FILETIME::From(m.creation);
    }
    if (lastAccess != nullptr) {
        *lastAccess = FILETIME::From(m.lastAccess);
    }
    if (lastWrite != nullptr) {
        *lastWrite = FILETIME::From(m.lastWrite);
    }
    return TRUE;
}

BOOL SimFiles::SetFileTime(Handle h, const FILETIME* creation, const FILETIME* lastAccess,
                           const FILETIME* lastWrite) {
    FileObject* f = FileOf(h);
    if (f == nullptr) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    if (DWORD err = CheckFileCall(*f, GENERIC_WRITE, Use::Metadata)) {
        return Fail(err);
    }
    EntryMeta& m = MetaOfObjectMutable(*f);
    // As on Windows: a null pointer or a zero time leaves that time alone; all ones stops
    // the automatic update of that time through this handle.
    auto apply = [](const FILETIME* t, std::uint64_t* target, bool* explicitFlag) {
        if (t == nullptr || t->Value() == 0) {
            return;
        }
        if (explicitFlag != nullptr) {
            *explicitFlag = true;
        }
        if (t->Value() != FileTimeKeep) {
            *target = t->Value();
        }
    };
    apply(creation, &m.creation, nullptr);
    apply(lastAccess, &m.lastAccess, &f->explicitAccess);
    apply(lastWrite, &m.lastWrite, &f->explicitWrite);
    f->metaDirty = true;
    return TRUE;
}

EntryMeta SimFiles::HostFallback(const struct stat& st, bool isDirectory) const {
    EntryMeta m;
    m.attributes = isDirectory ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE;
    if (!isDirectory && (st.st_mode & S_IWUSR) == 0) {
        m.attributes |= FILE_ATTRIBUTE_READONLY;
    }
    m.lastWrite = posix::FileTimeFromTimespec(st.st_mtim);
    m.lastAccess = posix::FileTimeFromTimespec(st.st_atim);
    m.creation = m.lastWrite;
    m.sequence = std::numeric_limits<std::uint64_t>::max();
    return m;
}

const EntryMeta* SimFiles::StoredMeta(Drive* d, const std::string& rel, const std::string& host) const {
    if (d != nullptr) {
        return d->meta.Find(rel);
    }
    auto it = hostMeta_.find(host);
    return it == hostMeta_.end() ? nullptr : &it->second;
}

EntryMeta SimFiles::MetaOfLocation(const Location& loc) const {
    if (const EntryMeta* m = StoredMeta(loc.drive, loc.rel, loc.host)) {
        return *m;
    }
    return HostFallback(loc.st, loc.isRoot || loc.IsDirectory());
}

DWORD SimFiles::AttributesOf(const Location& loc) const {
    if (loc.isRoot && loc.drive != nullptr) {
        return FILE_ATTRIBUTE_DIRECTORY;
    }
    return NormalizeAttributes(MetaOfLocation(loc).attributes, loc.IsDirectory());
}

EntryMeta& SimFiles::MetaOf(const Location& loc) {
    const EntryMeta current = MetaOfLocation(loc);
    if (loc.drive != nullptr) {
        if (EntryMeta* m = loc.drive->meta.FindMutable(loc.rel)) {
            return *m;
        }
        EntryMeta fresh = current;
        fresh.sequence = loc.isRoot ? 0 : fresh.sequence;
        return loc.drive->meta.Set(loc.rel, fresh);
    }
    auto [it, inserted] = hostMeta_.try_emplace(loc.host, current);
    return it->second;
}

EntryMeta SimFiles::MetaOfObject(FileObject& f) {
    Drive* d = f.letter != 0 ? drives_.DriveOf(f.letter) : nullptr;
    if (const EntryMeta* m = StoredMeta(d, f.rel, f.host)) {
        return *m;
    }
    struct stat st {};
    if (f.fd >= 0 ? ::fstat(f.fd, &st) != 0 : ::lstat(f.host.c_str(), &st) != 0) {
        return EntryMeta{};
    }
    return HostFallback(st, f.directory);
}

EntryMeta& SimFiles::MetaOfObjectMutable(FileObject& f) {
    const EntryMeta current = MetaOfObject(f);
    Drive* d = f.letter != 0 ? drives_.DriveOf(f.letter) : nullptr;
    if (d != nullptr) {
        if (EntryMeta* m = d->meta.FindMutable(f.rel)) {
            return *m;
        }
        return d->meta.Set(f.rel, current);
    }
    auto [it, inserted] = hostMeta_.try_emplace(f.host, current);
    return it->second;
}

// At close: the automatic last-write time, the journal record, and the host's own times.
DWORD SimFiles::FinishMeta(FileObject& f) {
    if (!f.metaDirty && !f.wroteData) {
        return ERROR_SUCCESS;
    }
    Drive* d = f.letter != 0 ? drives_.DriveOf(f.letter) : nullptr;
    if (d != nullptr && d->mediaGeneration != f.mediaGeneration) {
        return ERROR_SUCCESS; // the medium went away under the handle; nothing to record on it
    }
    EntryMeta& m = MetaOfObjectMutable(f);
    if (f.wroteData && !f.explicitWrite) {
        m.lastWrite = NowFileTime();
    }
    if (f.wroteData && !f.explicitAccess) {
        m.lastAccess = m.lastWrite;
    }
    // The host file gets the times as well, where it can hold them (best effort: the
    // journal is what counts on the simulated PC).
    const timespec times[2] = {posix::TimespecFromFileTime(m.lastAccess),
                               posix::TimespecFromFileTime(m.lastWrite)};
    if (f.fd >= 0) {
        (void)::futimens(f.fd, times);
    } else {
        (void)::utimensat(AT_FDCWD, f.host.c_str(), times, AT_SYMLINK_NOFOLLOW);
    }
    if (d != nullptr) {
        return d->meta.Persist(f.rel);
    }
    return ERROR_SUCCESS;
}

bool SimFiles::ForgetEntry(const Location& loc, std::uint64_t size) {
    if (loc.drive == nullptr) {
        hostMeta_.erase(loc.host);
        return true;
    }
    loc.drive->Freed(loc.drive->Rounded(size));
    if (DWORD err = loc.drive->meta.Remove(loc.rel)) {
        SetLastError(err);
        return false;
    }
    return true;
}
} // namespace platform::sim
