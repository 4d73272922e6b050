#include "platform/sim/SimHooks.h"

#include "platform/common/FileRules.h"
#include "platform/host/Errno.h"
#include "platform/host/FileTime.h"
#include "platform/host/HostTree.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <limits>
#include <utility>

namespace platform::sim {

using host::NowFileTime;

namespace {

// SetFileTime with this value stops the automatic update of that time; it sets nothing.
constexpr std::uint64_t FileTimeKeep = 0xFFFFFFFFFFFFFFFFULL;

std::string JoinRel(const std::string& rel, const std::string& name) {
    return rel.empty() ? name : rel + "/" + name;
}

// What an entry the simulated PC did not make (or that it made before its journal) shows: the
// host's times, read-only where the host file cannot be written, listed after the others.
EntryMeta MadeUp(const struct stat& st) {
    EntryMeta m;
    const bool directory = S_ISDIR(st.st_mode);
    m.attributes = directory ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE;
    if (!directory && (st.st_mode & S_IWUSR) == 0) {
        m.attributes |= FILE_ATTRIBUTE_READONLY;
    }
    m.lastWrite = host::FileTimeFromTimespec(st.st_mtim);
    m.lastAccess = host::FileTimeFromTimespec(st.st_atim);
    m.creation = m.lastWrite;
    m.sequence = std::numeric_limits<std::uint64_t>::max();
    return m;
}

// Takes bytes of the drive's free space; ERROR_DISK_FULL when it has fewer.
DWORD Take(Drive& d, std::uint64_t bytes) {
    if (bytes > d.FreeBytes()) {
        return ERROR_DISK_FULL;
    }
    d.used += bytes;
    return ERROR_SUCCESS;
}

host::FileTimes TimesOf(const EntryMeta& m) {
    return host::FileTimes{FILETIME::From(m.creation), FILETIME::From(m.lastAccess),
                           FILETIME::From(m.lastWrite)};
}

} // namespace

EntryMeta SimHooks::MetaOf(const Drive& d, const std::string& rel, const struct stat& st) const {
    const EntryMeta* stored = d.meta.Find(rel);
    EntryMeta m = stored != nullptr ? *stored : MadeUp(st);
    // A drive's root is a folder and nothing else.
    m.attributes = rel.empty() ? DWORD{FILE_ATTRIBUTE_DIRECTORY}
                               : NormalizeAttributes(m.attributes, S_ISDIR(st.st_mode));
    return m;
}

EntryMeta& SimHooks::RecordOf(Drive& d, const std::string& rel, const struct stat& st) {
    if (EntryMeta* m = d.meta.FindMutable(rel)) {
        return *m;
    }
    EntryMeta fresh = MetaOf(d, rel, st);
    fresh.sequence = rel.empty() ? 0 : fresh.sequence;
    return d.meta.Set(rel, fresh);
}

DWORD SimHooks::Attributes(const std::string& host, const struct stat& st) {
    const auto [d, rel] = drives_.DriveOfHost(host);
    return d == nullptr ? FileHooks::Attributes(host, st) : MetaOf(*d, rel, st).attributes;
}

DWORD SimHooks::SetAttributes(const std::string& host, const struct stat& st, DWORD attributes) {
    const auto [d, rel] = drives_.DriveOfHost(host);
    if (d == nullptr) {
        return FileHooks::SetAttributes(host, st, attributes);
    }
    RecordOf(*d, rel, st).attributes = NormalizeAttributes(attributes, S_ISDIR(st.st_mode));
    return d->meta.Persist(rel);
}

void SimHooks::Metadata(const std::string& host, const struct stat& st, DWORD* attributes,
                        host::FileTimes* times) {
    const auto [d, rel] = drives_.DriveOfHost(host);
    if (d == nullptr) {
        FileHooks::Metadata(host, st, attributes, times);
        return;
    }
    const EntryMeta m = MetaOf(*d, rel, st);
    *attributes = m.attributes;
    *times = TimesOf(m);
}

bool SimHooks::EntryMetadata(int dirFd, const std::string& folder, const std::string& name, struct stat* st,
                             DWORD* attributes, host::FileTimes* times) {
    if (drives_.DriveOfHost(folder).drive == nullptr) {
        return FileHooks::EntryMetadata(dirFd, folder, name, st, attributes, times);
    }
    if (fstatat(dirFd, name.c_str(), st, AT_SYMLINK_NOFOLLOW) != 0) {
        return false;
    }
    if (S_ISREG(st->st_mode) || S_ISDIR(st->st_mode)) {
        Metadata(host::JoinHost(folder, name), *st, attributes, times);
    }
    return true;
}

bool SimHooks::Times(int fd, const std::string& host, bool onFat, host::FileTimes* times) {
    const auto [d, rel] = drives_.DriveOfHost(host);
    if (d == nullptr) {
        return FileHooks::Times(fd, host, onFat, times);
    }
    struct stat st {};
    if (fstat(fd, &st) != 0) {
        return false;
    }
    *times = TimesOf(MetaOf(*d, rel, st));
    return true;
}

DWORD SimHooks::SetTimes(int fd, const std::string& host, bool onFat, const FILETIME* creation,
                         const FILETIME* lastAccess, const FILETIME* lastWrite) {
    const auto [d, rel] = drives_.DriveOfHost(host);
    if (d == nullptr) {
        return FileHooks::SetTimes(fd, host, onFat, creation, lastAccess, lastWrite);
    }
    struct stat st {};
    if (fstat(fd, &st) != 0) {
        return host::ErrorFromErrno(errno);
    }
    EntryMeta& m = RecordOf(*d, rel, st);
    // As on Windows: a null pointer or a zero time leaves that time alone; all ones stops the
    // automatic update of that time through this handle (the host's file services keep it).
    for (auto [time, target] : {std::pair{creation, &m.creation}, std::pair{lastAccess, &m.lastAccess},
                                std::pair{lastWrite, &m.lastWrite}}) {
        if (time != nullptr && time->Value() != 0 && time->Value() != FileTimeKeep) {
            *target = time->Value();
        }
    }
    return ERROR_SUCCESS; // journaled when the handle closes (Closed)
}

bool SimHooks::Order(int dirFd, const std::string& folder, std::vector<FindData>* entries) {
    const auto [d, rel] = drives_.DriveOfHost(folder);
    if (d == nullptr) {
        return FileHooks::Order(dirFd, folder, entries);
    }
    // Creation order as FAT keeps it; entries the simulated PC did not make, by name after them.
    std::vector<std::pair<std::uint64_t, FindData>> keyed;
    for (FindData& e : *entries) {
        const EntryMeta* m = d->meta.Find(JoinRel(rel, e.fileName));
        keyed.emplace_back(m != nullptr ? m->sequence : std::numeric_limits<std::uint64_t>::max(),
                           std::move(e));
    }
    std::sort(keyed.begin(), keyed.end(), [](const auto& a, const auto& b) {
        if (a.first != b.first) {
            return a.first < b.first;
        }
        if (!EqualNoCase(a.second.fileName, b.second.fileName)) {
            return LessNoCase(a.second.fileName, b.second.fileName);
        }
        return a.second.fileName < b.second.fileName;
    });
    entries->clear();
    for (auto& [key, e] : keyed) {
        entries->push_back(std::move(e));
    }
    return false;
}

DWORD SimHooks::Created(const std::string& host, bool directory) {
    const auto [d, rel] = drives_.DriveOfHost(host);
    if (d == nullptr) {
        return ERROR_SUCCESS;
    }
    const std::uint64_t now = NowFileTime();
    d->meta.Set(rel, EntryMeta{directory ? DWORD{FILE_ATTRIBUTE_DIRECTORY} : DWORD{FILE_ATTRIBUTE_ARCHIVE},
                               now, now, now, d->meta.NextSequence()});
    // A file is journaled when the handle that made it closes (Closed).
    return directory ? d->meta.Persist(rel) : ERROR_SUCCESS;
}

DWORD SimHooks::Closed(const std::string& host, bool wrote, host::TimesSet set) {
    const auto [d, rel] = drives_.DriveOfHost(host);
    struct stat st {};
    if (d == nullptr || lstat(host.c_str(), &st) != 0) {
        return ERROR_SUCCESS; // outside the drives, or gone: nothing to record
    }
    // After data, the automatic times but for those set through the handle; what the handle
    // made or set goes to the journal now, in one record.
    EntryMeta& m = RecordOf(*d, rel, st);
    if (wrote && !set.write) {
        m.lastWrite = NowFileTime();
    }
    if (wrote && !set.access) {
        m.lastAccess = m.lastWrite;
    }
    return d->meta.Persist(rel);
}

DWORD SimHooks::Removed(const std::string& host) {
    const auto [d, rel] = drives_.DriveOfHost(host);
    return d == nullptr ? ERROR_SUCCESS : d->meta.Remove(rel);
}

DWORD SimHooks::Moved(const std::string& from, const std::string& to) {
    const auto [source, relFrom] = drives_.DriveOfHost(from);
    const auto [target, relTo] = drives_.DriveOfHost(to);
    if (source != nullptr && source == target) {
        return source->meta.Move(relFrom, relTo);
    }
    // Into or out of a drive from the host's own folders: what the drive knew of either is gone.
    const DWORD err = source != nullptr ? source->meta.Remove(relFrom) : ERROR_SUCCESS;
    return target != nullptr && err == ERROR_SUCCESS ? target->meta.Remove(relTo) : err;
}

DWORD SimHooks::Replaced(const std::string& host) {
    const auto [d, rel] = drives_.DriveOfHost(host);
    struct stat st {};
    if (d == nullptr || lstat(host.c_str(), &st) != 0) {
        return ERROR_SUCCESS;
    }
    RecordOf(*d, rel, st).attributes = FILE_ATTRIBUTE_ARCHIVE;
    return d->meta.Persist(rel);
}

std::uint64_t SimHooks::MediumOf(char drive) {
    const Drive* d = drives_.DriveOf(drive);
    return d == nullptr ? 0 : d->mediaGeneration;
}

DWORD SimHooks::CheckMedium(char drive, std::uint64_t medium, host::Use use) {
    if (drive == 0) {
        return ERROR_SUCCESS; // a host path outside every drive
    }
    drives_.RefreshIfDue();
    const Drive* d = drives_.DriveOf(drive);
    // The medium still there, and the same one, then the drive's injected fault.
    if (d == nullptr || !d->config.media || d->mediaGeneration != medium) {
        return ERROR_NOT_READY;
    }
    if (use == host::Use::Writing && SimDrives::IsWriteProtected(d)) {
        return ERROR_WRITE_PROTECT;
    }
    if (use == host::Use::Writing && d->config.fault == SimFault::Write) {
        return ERROR_WRITE_FAULT;
    }
    if (use == host::Use::Reading && d->config.fault == SimFault::Read) {
        return ERROR_READ_FAULT;
    }
    return ERROR_SUCCESS;
}

DWORD SimHooks::CheckChangeable(char drive) {
    return SimDrives::IsWriteProtected(drives_.DriveOf(drive)) ? ERROR_WRITE_PROTECT : ERROR_SUCCESS;
}

DWORD SimHooks::Grow(char drive, std::uint64_t oldSize, std::uint64_t newSize) {
    Drive* d = drives_.DriveOf(drive);
    return d == nullptr ? ERROR_SUCCESS : Take(*d, d->Rounded(newSize) - d->Rounded(oldSize));
}

DWORD SimHooks::GrowByFolder(char drive) {
    // A FAT folder takes a cluster of its own.
    Drive* d = drives_.DriveOf(drive);
    return d == nullptr ? ERROR_SUCCESS : Take(*d, d->ClusterBytes());
}

void SimHooks::Freed(char drive, const struct stat& st) {
    if (Drive* d = drives_.DriveOf(drive)) {
        d->Freed(d->Footprint(st));
    }
}

} // namespace platform::sim
