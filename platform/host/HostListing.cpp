// Listings of the host's folders (FindFirstFile/FindNextFile): the entries are read at once, with
// their attributes and times, so that a listing shows the folder as it was when it began.
#include "platform/host/HostFileSystem.h"

#include "platform/api/LastError.h"
#include "platform/common/WinPath.h"
#include "platform/host/Errno.h"
#include "platform/host/HostAttributes.h"
#include "platform/host/HostTree.h"

#include <cerrno>
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>

namespace platform::host {

namespace {

FindData FindDataOf(const std::string& name, const struct stat& st, DWORD attributes,
                    const FileTimes& times) {
    FindData d;
    d.fileName = name;
    d.attributes = attributes;
    d.creationTime = times.creation;
    d.lastAccessTime = times.lastAccess;
    d.lastWriteTime = times.lastWrite;
    d.fileSize = S_ISDIR(st.st_mode) ? 0 : static_cast<std::uint64_t>(st.st_size);
    return d;
}

FindData FindDataOf(FileHooks& hooks, const std::string& host, const std::string& name,
                    const struct stat& st) {
    DWORD attributes = 0;
    FileTimes times{};
    hooks.Metadata(host, st, &attributes, &times);
    return FindDataOf(name, st, attributes, times);
}

FindData VirtualFolderData(const std::string& name) {
    FindData d;
    d.fileName = name;
    d.attributes = FILE_ATTRIBUTE_DIRECTORY;
    return d;
}

} // namespace

bool FileHooks::Order(int dirFd, const std::string& /*folder*/, std::vector<FindData>* entries) {
    // A FAT folder lists its entries in the order they were made, as the card keeps them; any
    // other file system's own order depends on its hashing, so those are listed by name (an
    // archive made from a plain folder comes out the same on every machine).
    if (IsVfat(dirFd)) {
        return true;
    }
    std::sort(entries->begin(), entries->end(), [](const FindData& a, const FindData& b) {
        if (!EqualNoCase(a.fileName, b.fileName)) {
            return LessNoCase(a.fileName, b.fileName);
        }
        return a.fileName < b.fileName;
    });
    return false;
}

Handle HostFileSystem::FindFirstFile(std::string_view pattern, FindData* data) {
    ReleaseHeldFile();
    FlushAllPending(); // the sizes listed include what handles gathered
    WinPath parsed;
    DWORD err = ParseWinPath(pattern, &parsed, true);
    if (err != ERROR_SUCCESS) {
        return FailHandle(err);
    }
    // Split into the folder to list and the name pattern.
    std::string folder;
    std::string namePattern;
    if (parsed.isHost) {
        const size_t slash = parsed.hostPath.rfind('/');
        folder = parsed.hostPath.substr(0, std::max<size_t>(slash, 1));
        namePattern = parsed.hostPath.substr(slash + 1);
    } else {
        if (parsed.components.empty() || parsed.trailingSeparator) {
            return FailHandle(ERROR_FILE_NOT_FOUND);
        }
        namePattern = parsed.components.back();
        parsed.components.pop_back();
        folder = parsed.ToString();
    }
    if (namePattern.empty()) {
        return FailHandle(ERROR_FILE_NOT_FOUND);
    }
    HostEntry dir;
    err = paths_.Resolve(folder, &dir);
    if (err != ERROR_SUCCESS) {
        return FailHandle(err);
    }
    if (!dir.exists || !dir.isDirectory) {
        return FailHandle(ERROR_PATH_NOT_FOUND);
    }
    const bool wildcard = HasWildcards(namePattern);
    auto matches = [&](const std::string& name) {
        return wildcard ? MatchesPattern(name, namePattern) : EqualNoCase(name, namePattern);
    };
    auto listing = std::make_unique<Listing>();
    FindData self = dir.isVirtual ? VirtualFolderData(".") : FindDataOf(hooks_, dir.host, ".", dir.st);
    if (!dir.isRoot && wildcard) {
        for (const char* dot : {".", ".."}) {
            if (matches(dot)) {
                self.fileName = dot;
                listing->items.push_back(self);
            }
        }
    }
    if (dir.isVirtual) {
        for (const std::string& child : dir.virtualChildren) {
            if (!matches(child)) {
                continue;
            }
            HostEntry sub;
            const std::string childPath = (dir.isRoot ? folder : folder + "\\") + child;
            if (paths_.Resolve(childPath, &sub) == ERROR_SUCCESS && sub.exists && !sub.isVirtual) {
                listing->items.push_back(FindDataOf(hooks_, sub.host, child, sub.st));
            } else {
                listing->items.push_back(VirtualFolderData(child));
            }
        }
    } else if (DIR* d = opendir(dir.host.c_str())) {
        std::vector<FindData> entries;
        while (dirent* ent = readdir(d)) {
            const std::string name = ent->d_name;
            if (name == "." || name == ".." || !matches(name)) {
                continue;
            }
            // Each entry is looked at relative to the open folder, with one open for its
            // attribute word and times.
            struct stat st {};
            DWORD attributes = 0;
            FileTimes times{};
            // Only files and folders are a card's entries; symlinks, devices and the like are
            // passed over so nothing outside the drive is ever reached through a listing.
            if (!hooks_.EntryMetadata(dirfd(d), dir.host, name, &st, &attributes, &times) ||
                !(S_ISREG(st.st_mode) || S_ISDIR(st.st_mode))) {
                continue;
            }
            entries.push_back(FindDataOf(name, st, attributes, times));
            if (!wildcard) {
                break;
            }
        }
        const bool onFat = hooks_.Order(dirfd(d), dir.host, &entries);
        listing->items.insert(listing->items.end(), entries.begin(), entries.end());
        if (wildcard && !parsed.isHost && onFat) {
            listing->folder = d;
            listing->folderText = std::string(pattern.substr(0, pattern.find_last_of("\\/") + 1));
            listing->hostFolder = dir.host;
            listing->drive = parsed.drive;
        } else {
            closedir(d);
        }
    } else {
        return FailHandle(ErrorFromErrno(errno, IoDirection::Read));
    }
    if (listing->items.empty()) {
        return FailHandle(ERROR_FILE_NOT_FOUND);
    }
    listing->mediumDrive = parsed.isHost ? 0 : parsed.drive;
    listing->medium = hooks_.MediumOf(listing->mediumDrive);
    *data = listing->items[0];
    listing->next = 1;
    const Handle h = nextHandle_++;
    listings_.emplace(h, std::move(listing));
    SetLastError(ERROR_SUCCESS);
    return h;
}

BOOL HostFileSystem::FindNextFile(Handle h, FindData* data) {
    ReleaseHeldFile();
    const auto it = listings_.find(h);
    if (it == listings_.end()) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    // A listing of a card that was pulled meanwhile ends as every other call on it does.
    if (DWORD err = hooks_.CheckMedium(it->second->mediumDrive, it->second->medium, Use::Metadata)) {
        return Fail(err);
    }
    return it->second->Next(data);
}

BOOL HostFileSystem::FindClose(Handle h) {
    ReleaseHeldFile();
    return listings_.erase(h) == 1 ? TRUE : Fail(ERROR_INVALID_HANDLE);
}

HostFileSystem::Listing::~Listing() {
    if (folder != nullptr) {
        closedir(folder); // only read: nothing to report
    }
}

const HostFileSystem::Listing* HostFileSystem::ListingOfReturnedFile(std::string_view path,
                                                                     const std::string** name) {
    for (const auto& [handle, listing] : listings_) {
        if (listing->folder == nullptr || listing->next == 0) {
            continue;
        }
        const FindData& last = listing->items[listing->next - 1];
        const std::string_view folderText = listing->folderText;
        if (!(last.attributes & FILE_ATTRIBUTE_DIRECTORY) &&
            path.size() == folderText.size() + last.fileName.size() && path.starts_with(folderText) &&
            path.substr(folderText.size()) == last.fileName) {
            *name = &last.fileName;
            return listing.get();
        }
    }
    return nullptr;
}

} // namespace platform::host
