// Entries of the host's folders: creating folders, deleting files and trees, moving a finished
// file into place. Each change is flushed to the medium before the call returns, but for new
// folders on a card (see CreateDirectory).
#include "platform/host/HostFileSystem.h"

#include "platform/api/LastError.h"
#include "platform/host/Errno.h"
#include "platform/host/HostTree.h"

#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

namespace platform::host {

BOOL HostFileSystem::CreateDirectory(std::string_view path) {
    ForgetClosedFile();
    HostEntry e;
    const DWORD err = paths_.Resolve(path, &e);
    if (err != ERROR_SUCCESS) {
        return Fail(err);
    }
    if (e.exists) {
        return Fail(ERROR_ALREADY_EXISTS);
    }
    if (e.parentVirtual) {
        return Fail(ERROR_ACCESS_DENIED);
    }
    const char drive = e.path.isHost ? 0 : e.path.drive;
    if (DWORD refused = hooks_.CheckChangeable(drive);
        refused != ERROR_SUCCESS || (refused = hooks_.GrowByFolder(drive))) {
        return Fail(refused);
    }
    if (mkdir(e.host.c_str(), 0777) != 0) {
        const int made = errno;
        struct stat folder {};
        folder.st_mode = S_IFDIR;
        hooks_.Freed(drive, folder); // the space it would have taken
        return FailWithErrno(made == ENOENT ? ENOTDIR : made, IoDirection::Write);
    }
    // A folder made on a card goes onto it with the card's files, in the one flush at the end of
    // the operation (FlushVolume).
    if ((e.path.isHost || e.path.drive == 'C') && hooks_.Durable()) {
        SyncParent(e.host);
    }
    paths_.Created(e.host);
    const DWORD recorded = hooks_.Created(e.host, true);
    return recorded == ERROR_SUCCESS ? TRUE : Fail(recorded);
}

BOOL HostFileSystem::DeleteFile(std::string_view path) {
    ForgetClosedFile();
    HostEntry e;
    const DWORD err = paths_.ResolveExisting(path, &e);
    if (err != ERROR_SUCCESS) {
        return Fail(err);
    }
    if (e.isDirectory || (hooks_.Attributes(e.host, e.st) & FILE_ATTRIBUTE_READONLY)) {
        return Fail(ERROR_ACCESS_DENIED);
    }
    const char drive = e.path.isHost ? 0 : e.path.drive;
    if (DWORD refused = hooks_.CheckChangeable(drive)) {
        return Fail(refused);
    }
    if (InUse(e.st.st_dev, e.st.st_ino)) {
        return Fail(ERROR_SHARING_VIOLATION);
    }
    paths_.Forget(e.host);
    if (unlink(e.host.c_str()) != 0) {
        return FailWithErrno(errno, IoDirection::Write);
    }
    if (hooks_.Durable()) {
        SyncParent(e.host);
    }
    hooks_.Freed(drive, e.st);
    const DWORD recorded = hooks_.Removed(e.host);
    return recorded == ERROR_SUCCESS ? TRUE : Fail(recorded);
}

BOOL HostFileSystem::MoveFileReplace(std::string_view from, std::string_view to) {
    ForgetClosedFile();
    HostEntry source;
    HostEntry target;
    DWORD err = paths_.ResolveExisting(from, &source);
    if (err != ERROR_SUCCESS) {
        return Fail(err);
    }
    err = paths_.Resolve(to, &target);
    if (err != ERROR_SUCCESS) {
        return Fail(err);
    }
    if (source.isVirtual || source.isRoot || source.isMountFolder || target.parentVirtual ||
        target.isVirtual || target.isMountFolder) {
        return Fail(ERROR_ACCESS_DENIED);
    }
    // Two drive letters are two volumes, whatever holds their folders.
    const char drive = source.path.isHost ? 0 : source.path.drive;
    if (drive != (target.path.isHost ? 0 : target.path.drive)) {
        return Fail(ERROR_NOT_SAME_DEVICE);
    }
    if (DWORD refused = hooks_.CheckChangeable(drive)) {
        return Fail(refused);
    }
    if (target.exists) {
        if (target.isDirectory || (hooks_.Attributes(target.host, target.st) & FILE_ATTRIBUTE_READONLY)) {
            return Fail(ERROR_ACCESS_DENIED);
        }
        if (InUse(target.st.st_dev, target.st.st_ino)) {
            return Fail(ERROR_SHARING_VIOLATION);
        }
    }
    // A folder moves only with nothing open inside it, as on Windows.
    if (InUse(source.st.st_dev, source.st.st_ino) || (source.isDirectory && IsOpenBelow(source.host))) {
        return Fail(ERROR_SHARING_VIOLATION);
    }
    paths_.Forget(source.host);
    paths_.Forget(target.host);
    if (rename(source.host.c_str(), target.host.c_str()) != 0) {
        return FailWithErrno(errno, IoDirection::Write);
    }
    if (target.exists && target.host != source.host) {
        hooks_.Freed(drive, target.st);
    }
    if (const DWORD recorded = hooks_.Moved(source.host, target.host)) {
        return Fail(recorded);
    }
    if (!hooks_.Durable()) {
        return TRUE;
    }
    // The move is promised to be on the medium, on any drive: a card or a stick as well as C:.
    // On FAT the rename makes the file a new folder entry that holds its size and first cluster
    // only once the file itself is written: the file first, then its folder (a power cut right
    // after left an empty file under the new name otherwise).
    int synced = SyncFile(target.host);
    if (synced == 0) {
        synced = SyncParent(target.host);
    }
    if (ParentOf(source.host) != ParentOf(target.host)) {
        SyncParent(source.host); // the source's folder loses an entry: nothing is lost if that waits
    }
    return synced == 0 ? TRUE : FailWithErrno(synced, IoDirection::Write);
}

DWORD HostFileSystem::DeleteTree(std::string_view path) {
    ForgetClosedFile();
    HostEntry e;
    const DWORD err = paths_.ResolveExisting(path, &e);
    if (err != ERROR_SUCCESS) {
        return err;
    }
    // A drive root or a mounted folder is never deleted whole.
    if (e.isRoot || e.isVirtual || e.isMountFolder || e.host.empty() || e.host == "/") {
        return ERROR_ACCESS_DENIED;
    }
    const char drive = e.path.isHost ? 0 : e.path.drive;
    if (DWORD refused = hooks_.CheckChangeable(drive)) {
        return refused;
    }
    if (IsOpenBelow(e.host)) {
        return ERROR_SHARING_VIOLATION; // as Windows keeps a file that is open
    }
    paths_.Forget(e.host);
    const DWORD result = RemoveTree(e.host, [&](const struct stat& st) { hooks_.Freed(drive, st); });
    if (hooks_.Durable()) {
        SyncParent(e.host);
    }
    // What is gone is forgotten, all of it when the removal completed.
    const DWORD recorded = hooks_.Removed(e.host);
    return result != ERROR_SUCCESS ? result : recorded;
}

} // namespace platform::host
