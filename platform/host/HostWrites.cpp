// Writing through a handle of the host's file services: the drive's space checked first, small
// writes gathered where the PC wants them (FileHooks::BuffersWrites), every byte landing or none,
// and the medium checked on every call through a handle (FileHooks::CheckMedium).
#include "platform/host/HostFileSystem.h"

#include "platform/host/Errno.h"
#include "platform/host/IoLoops.h"

#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <utility>

namespace platform::host {

namespace {

// Gathered writes go out once this much has come together.
constexpr std::size_t GatherSize = 256 * 1024;
// Writes of at least this much are not gathered: copying them would only cost time (the archive
// writer's and the extractor's pieces are this big).
constexpr std::size_t DirectSize = 64 * 1024;

// Where the next write lands and how large the file is, asked of the descriptor when not known.
DWORD KnowCursor(int fd, WriteCursor* cursor) {
    if (cursor->known) {
        return ERROR_SUCCESS;
    }
    struct stat st {};
    const off_t position = lseek(fd, 0, SEEK_CUR);
    if (position < 0 || fstat(fd, &st) != 0) {
        return ErrorFromErrno(errno, IoDirection::Write);
    }
    *cursor = WriteCursor{true, static_cast<std::uint64_t>(position), static_cast<std::uint64_t>(st.st_size)};
    return ERROR_SUCCESS;
}

// Either every byte lands or nothing does. A drive that fills up during the write fails it with
// ERROR_DISK_FULL, and what it took of this write is taken back. (Asking the file system for its
// free space before every write would cost a call per write, for an answer the write gives
// anyway.) The cursor, known here, saves asking for the position and size again between writes
// that follow each other.
DWORD WriteWhole(int fd, const void* buffer, std::size_t count, WriteCursor* cursor) {
    std::size_t done = 0;
    const DWORD err = WriteAll(fd, buffer, count, &done);
    if (err != ERROR_SUCCESS) {
        cursor->known = false;
        // Take back what this call added so that a failed write leaves no partial data.
        if (ftruncate(fd, static_cast<off_t>(std::max(cursor->size, cursor->position))) != 0 ||
            lseek(fd, static_cast<off_t>(cursor->position), SEEK_SET) < 0) {
            return ErrorFromErrno(errno, IoDirection::Write);
        }
        return err;
    }
    cursor->position += count;
    cursor->size = std::max(cursor->size, cursor->position);
    return ERROR_SUCCESS;
}

} // namespace

DWORD HostFileSystem::CheckHandle(const OpenFile& f, Use use) {
    return hooks_.CheckMedium(f.drive, f.medium, use);
}

DWORD HostFileSystem::WriteData(OpenFile& f, const void* buffer, std::uint32_t count) {
    if (f.deferredError != ERROR_SUCCESS) {
        return std::exchange(f.deferredError, ERROR_SUCCESS);
    }
    if (count == 0) {
        return ERROR_SUCCESS;
    }
    if (DWORD err = KnowCursor(f.fd, &f.cursor)) {
        return err;
    }
    // A write that does not fit the drive writes nothing.
    const std::uint64_t end = f.cursor.position + count;
    if (DWORD err = end > f.cursor.size ? hooks_.Grow(f.drive, f.cursor.size, end) : ERROR_SUCCESS) {
        return err;
    }
    f.wroteData = true;
    if (hooks_.BuffersWrites() && count < DirectSize) {
        // Gathered in the order they came, from the descriptor's position on: nothing else moves
        // it while writes are gathered (reads, seeks and closes write them out first).
        const auto* bytes = static_cast<const std::uint8_t*>(buffer);
        f.pending.insert(f.pending.end(), bytes, bytes + count);
        f.cursor.position = end;
        f.cursor.size = std::max(f.cursor.size, end);
        return f.pending.size() >= GatherSize ? FlushPending(f) : ERROR_SUCCESS;
    }
    DWORD err = FlushPending(f);
    if (err == ERROR_SUCCESS) {
        err = WriteWhole(f.fd, buffer, count, &f.cursor);
        f.sticky.Reapply(f.fd);
    }
    f.writeFailed = f.writeFailed || err != ERROR_SUCCESS;
    return err;
}

DWORD HostFileSystem::FlushPending(OpenFile& f) {
    if (f.pending.empty()) {
        return ERROR_SUCCESS;
    }
    std::size_t done = 0;
    const DWORD err = WriteAll(f.fd, f.pending.data(), f.pending.size(), &done);
    f.pending.clear();
    f.sticky.Reapply(f.fd);
    if (err != ERROR_SUCCESS) {
        f.writeFailed = true;
        f.cursor.known = false;
    }
    return err;
}

DWORD HostFileSystem::FlushPendingOf(const OpenFile& f) {
    DWORD result = ERROR_SUCCESS;
    for (auto& [h, other] : files_) {
        if (other->pending.empty() || other->dev != f.dev || other->ino != f.ino) {
            continue;
        }
        const DWORD err = FlushPending(*other);
        if (err != ERROR_SUCCESS && other.get() != &f && other->deferredError == ERROR_SUCCESS) {
            other->deferredError = err; // the writer hears of it too
        }
        result = result != ERROR_SUCCESS ? result : err;
    }
    return result;
}

void HostFileSystem::FlushAllPending() {
    for (auto& [h, f] : files_) {
        const DWORD err = FlushPending(*f);
        if (err != ERROR_SUCCESS && f->deferredError == ERROR_SUCCESS) {
            f->deferredError = err; // reported by the handle's next write or its close
        }
    }
}

DWORD HostFileSystem::RecordOpen(const HostEntry& e, bool existed, DWORD disposition) {
    if (!existed) {
        paths_.Created(e.host);
        return hooks_.Created(e.host, false);
    }
    if (disposition != CREATE_ALWAYS && disposition != TRUNCATE_EXISTING) {
        return ERROR_SUCCESS;
    }
    hooks_.Freed(e.path.isHost ? 0 : e.path.drive, e.st);
    return disposition == CREATE_ALWAYS ? hooks_.Replaced(e.host) : ERROR_SUCCESS;
}

bool HostFileSystem::IsOpenBelow(const std::string& host) const {
    return std::any_of(files_.begin(), files_.end(), [&](const auto& kv) {
        const std::string& open = kv.second->host;
        return open.starts_with(host) && (open.size() == host.size() || open[host.size()] == '/');
    });
}

} // namespace platform::host
