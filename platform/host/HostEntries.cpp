// Entries of the host's folders: creating folders, deleting files and trees, moving a finished
// file into place. Each change is flushed to the medium before the call returns, but for new
// folders on a card (see CreateDirectory).
#include "platform/host/HostFileSystem.h"

#include "platform/api/LastError.h"
#include "platform/host/HostAttributes.h"
#include "platform/posix/Errno.h"
#include "platform/posix/HostTree.h"

#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

namespace platform::host {

using posix::FailWithErrno;
using posix::IoDirection;
using posix::ParentOf;
using posix::SyncParent;

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
    if (mkdir(e.host.c_str(), 0777) != 0) {
        return FailWithErrno(errno == ENOENT ? ENOTDIR : errno, IoDirection::Write);
    }
    // A folder made on a card goes onto it with the card's files, in the one flush at the end of
    // the operation (FlushVolume).
    if (e.path.isHost || e.path.drive == 'C') {
        SyncParent(e.host);
    }
    return TRUE;
}

BOOL HostFileSystem::DeleteFile(std::string_view path) {
    ForgetClosedFile();
    HostEntry e;
    const DWORD err = paths_.ResolveExisting(path, &e);
    if (err != ERROR_SUCCESS) {
        return Fail(err);
    }
    if (e.isDirectory || (ReadAttributes(e.host, e.st) & FILE_ATTRIBUTE_READONLY)) {
        return Fail(ERROR_ACCESS_DENIED);
    }
    if (InUse(e.st.st_dev, e.st.st_ino)) {
        return Fail(ERROR_SHARING_VIOLATION);
    }
    if (unlink(e.host.c_str()) != 0) {
        return FailWithErrno(errno, IoDirection::Write);
    }
    SyncParent(e.host);
    return TRUE;
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
    if (target.exists) {
        if (target.isDirectory || (ReadAttributes(target.host, target.st) & FILE_ATTRIBUTE_READONLY)) {
            return Fail(ERROR_ACCESS_DENIED);
        }
        if (InUse(target.st.st_dev, target.st.st_ino)) {
            return Fail(ERROR_SHARING_VIOLATION);
        }
    }
    if (InUse(source.st.st_dev, source.st.st_ino)) {
        return Fail(ERROR_SHARING_VIOLATION);
    }
    if (rename(source.host.c_str(), target.host.c_str()) != 0) {
        return FailWithErrno(errno, IoDirection::Write);
    }
    // The move is promised to be on the medium, on any drive: a card or a stick as well as C:.
    // On FAT the rename makes the file a new folder entry that holds its size and first cluster
    // only once the file itself is written: the file first, then its folder (a power cut right
    // after left an empty file under the new name otherwise).
    int synced = posix::SyncFile(target.host);
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
    const DWORD result = posix::RemoveTree(e.host);
    SyncParent(e.host);
    return result;
}

} // namespace platform::host
