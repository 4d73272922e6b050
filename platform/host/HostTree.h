// Host folders as the Windows-semantics file services walk them: joining and splitting host
// paths, listing and removing a tree without following links, and finding a child the way
// Windows does (the name as given, else the first entry equal to it without regard to case).
#pragma once

#include "platform/api/WinTypes.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <unordered_map>
#include <vector>

namespace platform::host {

// Whether the kernel itself looks names up in dir without regard to case (FAT), so that a name it
// does not find has no twin in another case either.
bool KernelFoldsCase(const std::string& dir);

std::string JoinHost(const std::string& dir, const std::string& name);
// The folder holding path ("/" for a top-level entry, "" for a path without a slash).
std::string ParentOf(const std::string& path);
std::string BaseName(const std::string& path);
// The canonical path (links resolved), "" when it does not exist.
std::string RealPath(const std::string& path);

// The names in a host folder but "." and "..", in the file system's order.
DWORD ListNames(const std::string& dir, std::vector<std::string>* names);

// Flushes the folder holding path, so that a new, renamed or removed entry is on the medium.
// Returns 0 or the errno of the failure. Most callers take it as best effort (the entry itself
// was changed, and the kernel flushes the folder shortly); those that promise the entry is on
// the medium report it.
int SyncParent(const std::string& path);
// Flushes the file at path, its data and its entry (FAT keeps a file's size and first cluster
// in its folder's entry, which a rename writes anew). Returns 0 or the errno of the failure.
int SyncFile(const std::string& path);

// Removes a file or a whole tree below and including path, never following a link, and calls
// removed(st) for every entry that went. Goes on past a failure; returns the first error.
DWORD RemoveTree(const std::string& path, const std::function<void(const struct stat&)>& removed);

// The names of folders kept between look-ups, so that making many files in one folder does not
// read it once per file. A table is read again when its folder changed behind our back (its mtime
// or inode); the owner reports its own changes (Created, Forget), which can come faster than the
// mtime moves.
class FolderNames {
public:
    // The entry of dir equal to name without regard to case: 0, ENOENT or the errno that stopped it.
    int Find(const std::string& dir, const std::string& name, std::string* actual);
    // hostPath was just made by the owner.
    void Created(const std::string& hostPath);
    // Entries at or below hostPath are going away or being renamed.
    void Forget(const std::string& hostPath);

private:
    struct Names {
        std::int64_t mtimeNs = 0;
        ino_t inode = 0;
        std::unordered_map<std::string, std::string> byLower;
    };
    std::unordered_map<std::string, Names> tables_;
};

// Finds name in dir the way Windows does: the name as given, else the first entry equal to it
// without regard to case (in a folder whose file system folds case itself, FAT, the kernel's
// answer is taken and the folder is not read; with kept names, from their table). Fills the name
// on disk and its lstat. Returns 0, ENOENT when there is no such entry, or the errno that stopped
// the search. kernelFoldsCase is KernelFoldsCase(dir) where the caller knows it already.
int FindChild(const std::string& dir, const std::string& name, std::string* actual, struct stat* st,
              std::optional<bool> kernelFoldsCase = std::nullopt, FolderNames* kept = nullptr);

} // namespace platform::host
