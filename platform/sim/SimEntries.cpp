// Entries of the simulated PC's drives: creating folders, deleting files and trees, moving a
// finished file into place, and listings in the order FAT keeps (creation order).
#include "platform/sim/SimFiles.h"

#include "platform/common/FileRules.h"
#include "platform/posix/FileTime.h"
#include "platform/sim/SimErrors.h"

#include <algorithm>
#include <cerrno>
#include <limits>
#include <unistd.h>

namespace platform::sim {

using posix::BaseName;
using posix::JoinHost;
using posix::NowFileTime;
using posix::ParentOf;

BOOL SimFiles::CreateDirectory(std::string_view path) {
    Location loc;
    if (DWORD err = Resolve(path, &loc)) {
        return Fail(err);
    }
    if (loc.isRoot) {
        return Fail(ERROR_ACCESS_DENIED);
    }
    if (loc.exists) {
        return Fail(ERROR_ALREADY_EXISTS);
    }
    if (SimDrives::IsWriteProtected(loc.drive)) {
        return Fail(ERROR_WRITE_PROTECT);
    }
    if (loc.drive != nullptr && loc.drive->FreeBytes() < loc.drive->ClusterBytes()) {
        return Fail(ERROR_DISK_FULL);
    }
    if (::mkdir(loc.host.c_str(), 0777) != 0) {
        return Fail(ErrorFromErrno(errno));
    }
    names_.NoteCreated(loc.host);
    if (loc.drive != nullptr) {
        // A FAT directory takes a cluster of its own.
        loc.drive->used += loc.drive->ClusterBytes();
        const std::uint64_t now = NowFileTime();
        loc.drive->meta.Set(
            loc.rel, EntryMeta{FILE_ATTRIBUTE_DIRECTORY, now, now, now, loc.drive->meta.NextSequence()});
        if (DWORD err = loc.drive->meta.Persist(loc.rel)) {
            return Fail(err);
        }
    } else {
        hostMeta_.erase(loc.host);
    }
    return TRUE;
}

BOOL SimFiles::DeleteFile(std::string_view path) {
    Location loc;
    DWORD err = ResolveExisting(path, &loc);
    if (err == ERROR_SUCCESS && (loc.isRoot || loc.IsDirectory())) {
        err = ERROR_ACCESS_DENIED;
    }
    if (err == ERROR_SUCCESS && (AttributesOf(loc) & FILE_ATTRIBUTE_READONLY) != 0) {
        err = ERROR_ACCESS_DENIED;
    }
    if (err == ERROR_SUCCESS && SimDrives::IsWriteProtected(loc.drive)) {
        err = ERROR_WRITE_PROTECT;
    }
    if (err == ERROR_SUCCESS && nodes_.count(loc.host) != 0) {
        err = ERROR_SHARING_VIOLATION;
    }
    if (err != ERROR_SUCCESS) {
        return Fail(err);
    }
    names_.Forget(loc.host);
    if (::unlink(loc.host.c_str()) != 0) {
        return Fail(ErrorFromErrno(errno));
    }
    return ForgetEntry(loc, static_cast<std::uint64_t>(loc.st.st_size)) ? TRUE : FALSE;
}

BOOL SimFiles::MoveFileReplace(std::string_view from, std::string_view to) {
    Location src;
    Location dst;
    DWORD err = ResolveExisting(from, &src);
    if (err == ERROR_SUCCESS && src.isRoot) {
        err = ERROR_ACCESS_DENIED;
    }
    if (err == ERROR_SUCCESS) {
        err = Resolve(to, &dst);
    }
    if (err == ERROR_SUCCESS && dst.isRoot) {
        err = ERROR_ACCESS_DENIED;
    }
    if (err == ERROR_SUCCESS && src.drive != dst.drive) {
        err = ERROR_NOT_SAME_DEVICE;
    }
    if (err == ERROR_SUCCESS && SimDrives::IsWriteProtected(src.drive)) {
        err = ERROR_WRITE_PROTECT;
    }
    if (err == ERROR_SUCCESS && (IsOpenBelow(src.host) || (dst.exists && IsOpenBelow(dst.host)))) {
        err = ERROR_SHARING_VIOLATION;
    }
    if (err == ERROR_SUCCESS && dst.exists && src.host != dst.host) {
        if (dst.IsDirectory() || src.IsDirectory()) {
            err = ERROR_ACCESS_DENIED;
        } else if ((AttributesOf(dst) & FILE_ATTRIBUTE_READONLY) != 0) {
            err = ERROR_ACCESS_DENIED;
        }
    }
    if (err != ERROR_SUCCESS) {
        return Fail(err);
    }
    names_.Forget(src.host);
    names_.Forget(dst.host);
    if (::rename(src.host.c_str(), dst.host.c_str()) != 0) {
        return Fail(ErrorFromErrno(errno));
    }
    if (src.drive != nullptr) {
        Drive& d = *src.drive;
        if (dst.exists && src.host != dst.host) {
            d.Freed(d.Rounded(static_cast<std::uint64_t>(dst.st.st_size)));
        }
        if (DWORD merr = d.meta.Move(src.rel, dst.rel)) {
            return Fail(merr);
        }
    } else {
        auto it = hostMeta_.find(src.host);
        hostMeta_.erase(dst.host);
        if (it != hostMeta_.end()) {
            hostMeta_[dst.host] = it->second;
            hostMeta_.erase(src.host);
        }
    }
    return TRUE;
}

DWORD SimFiles::DeleteTree(std::string_view path) {
    Location loc;
    DWORD err = ResolveExisting(path, &loc);
    if (err == ERROR_SUCCESS && loc.isRoot) {
        err = ERROR_ACCESS_DENIED;
    }
    if (err == ERROR_SUCCESS && SimDrives::IsWriteProtected(loc.drive)) {
        err = ERROR_WRITE_PROTECT;
    }
    if (err == ERROR_SUCCESS && IsOpenBelow(loc.host)) {
        err = ERROR_SHARING_VIOLATION;
    }
    if (err != ERROR_SUCCESS) {
        return err;
    }
    std::uint64_t freed = 0;
    names_.Forget(loc.host);
    err = SimDrives::RemoveTree(loc.drive, loc.host, &freed);
    if (loc.drive != nullptr) {
        loc.drive->Freed(freed);
        // Forget the metadata of what is gone (all of it when the removal completed).
        const DWORD merr = loc.drive->meta.Remove(loc.rel);
        if (err == ERROR_SUCCESS) {
            err = merr;
        }
    } else {
        std::erase_if(hostMeta_, [&](const auto& e) {
            return e.first == loc.host || e.first.rfind(loc.host + "/", 0) == 0;
        });
    }
    return err;
}

Handle SimFiles::FindFirstFile(std::string_view pattern, FindData* data) {
    if (data == nullptr) {
        return FailHandle(ERROR_INVALID_PARAMETER);
    }
    WinPath parsed;
    if (DWORD err = ParseWinPath(pattern, &parsed, true)) {
        return FailHandle(err);
    }
    auto find = std::make_unique<FindObject>();
    find->windows = std::string(pattern);
    std::string last;
    if (parsed.isHost) {
        last = BaseName(parsed.hostPath);
    } else if (!parsed.components.empty()) {
        last = parsed.components.back();
    }
    if (!HasWildcards(last)) {
        Location loc;
        if (DWORD err = Resolve(pattern, &loc)) {
            return FailHandle(err);
        }
        if (!loc.exists || loc.isRoot || loc.trailingSeparator) {
            return FailHandle(ERROR_FILE_NOT_FOUND);
        }
        find->items.push_back(EntryData(loc, BaseName(loc.host)));
        RememberDrive(*find, loc);
    } else {
        // The directory part, then its entries that match the pattern.
        std::string dirPath;
        if (parsed.isHost) {
            dirPath = ParentOf(parsed.hostPath);
        } else {
            WinPath dir = parsed;
            dir.components.pop_back();
            dirPath = dir.ToString();
        }
        Location loc;
        if (DWORD err = Resolve(dirPath, &loc)) {
            return FailHandle(err);
        }
        if (!loc.exists || !(loc.isRoot || loc.IsDirectory())) {
            return FailHandle(ERROR_PATH_NOT_FOUND);
        }
        if (DWORD err = ListDirectory(loc, last, &find->items)) {
            return FailHandle(err);
        }
        RememberDrive(*find, loc);
    }
    if (find->items.empty()) {
        return FailHandle(ERROR_FILE_NOT_FOUND);
    }
    *data = find->items[0];
    find->next = 1;
    const Handle h = nextHandle_++;
    finds_[h] = std::move(find);
    return h;
}

BOOL SimFiles::FindNextFile(Handle h, FindData* data) {
    auto it = finds_.find(h);
    if (it == finds_.end()) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    FindObject& find = *it->second;
    // A listing of a card that was pulled meanwhile ends as every other call on it does.
    if (find.letter != 0) {
        drives_.RefreshIfDue();
        const Drive* d = drives_.DriveOf(find.letter);
        if (d == nullptr || !d->config.media || d->mediaGeneration != find.mediaGeneration) {
            return Fail(ERROR_NOT_READY);
        }
    }
    return find.Next(data);
}

BOOL SimFiles::FindClose(Handle h) {
    if (finds_.erase(h) == 0) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    return TRUE;
}

void SimFiles::RememberDrive(FindObject& find, const Location& loc) {
    if (loc.drive != nullptr) {
        find.letter = loc.drive->config.letter;
        find.mediaGeneration = loc.drive->mediaGeneration;
    }
}

FindData SimFiles::EntryData(const Location& loc, const std::string& name) {
    FindData data;
    const EntryMeta m = MetaOfLocation(loc);
    const bool isDirectory = loc.isRoot || loc.IsDirectory();
    data.attributes = loc.isRoot && loc.drive != nullptr ? FILE_ATTRIBUTE_DIRECTORY
                                                         : NormalizeAttributes(m.attributes, isDirectory);
    data.creationTime = FILETIME::From(m.creation);
    data.lastAccessTime = FILETIME::From(m.lastAccess);
    data.lastWriteTime = FILETIME::From(m.lastWrite);
    if (!isDirectory) {
        auto node = nodes_.find(loc.host);
        data.fileSize = node != nodes_.end() ? node->second.size : static_cast<std::uint64_t>(loc.st.st_size);
    }
    data.fileName = name;
    return data;
}

DWORD SimFiles::ListDirectory(const Location& dir, const std::string& pattern, std::vector<FindData>* out) {
    std::vector<std::string> names;
    if (const DWORD err = posix::ListNames(dir.host, &names)) {
        return SimErrorOf(err);
    }
    struct Item {
        std::uint64_t sequence;
        FindData data;
    };
    std::vector<Item> items;
    for (const std::string& name : names) {
        if (!MatchesPattern(name, pattern)) {
            continue;
        }
        Location loc;
        loc.drive = dir.drive;
        loc.host = JoinHost(dir.host, name);
        loc.rel = JoinRel(dir.rel, name);
        if (::lstat(loc.host.c_str(), &loc.st) != 0) {
            continue; // gone meanwhile
        }
        // Links and special files are no part of a FAT drive and could lead outside it.
        if (!S_ISREG(loc.st.st_mode) && !S_ISDIR(loc.st.st_mode)) {
            continue;
        }
        loc.exists = true;
        const EntryMeta* stored = StoredMeta(loc.drive, loc.rel, loc.host);
        items.push_back(Item{stored != nullptr ? stored->sequence : std::numeric_limits<std::uint64_t>::max(),
                             EntryData(loc, name)});
    }
    // Creation order as FAT keeps it; entries the simulated PC did not create, by name.
    std::sort(items.begin(), items.end(), [](const Item& a, const Item& b) {
        if (a.sequence != b.sequence) {
            return a.sequence < b.sequence;
        }
        if (!EqualNoCase(a.data.fileName, b.data.fileName)) {
            return LessNoCase(a.data.fileName, b.data.fileName);
        }
        return a.data.fileName < b.data.fileName;
    });
    if (!dir.isRoot && MatchesPattern(".", pattern)) {
        out->push_back(EntryData(dir, "."));
        Location parent;
        if (dir.drive != nullptr) {
            const auto slash = dir.rel.rfind('/');
            const std::string parentPath =
                slash == std::string::npos ? std::string() : dir.rel.substr(0, slash);
            parent.drive = dir.drive;
            parent.rel = parentPath;
            parent.host =
                parentPath.empty() ? dir.drive->hostRoot : JoinHost(dir.drive->hostRoot, parentPath);
            parent.isRoot = parentPath.empty();
        } else {
            parent.host = ParentOf(dir.host);
        }
        if (::lstat(parent.host.c_str(), &parent.st) == 0) {
            parent.exists = true;
            out->push_back(EntryData(parent, ".."));
        }
    }
    for (Item& item : items) {
        out->push_back(std::move(item.data));
    }
    return ERROR_SUCCESS;
}
} // namespace platform::sim
