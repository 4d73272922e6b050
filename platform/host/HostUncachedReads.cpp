// Reads of files opened with FILE_FLAG_NO_BUFFERING, around the page cache: O_DIRECT where the
// file system has it, otherwise plain reads whose range the system is told to let go of first.
#include "platform/host/HostFileSystem.h"

#include "platform/host/Errno.h"
#include "platform/host/IoLoops.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace platform::host {

namespace {

// Direct reads move whole aligned blocks into aligned memory: 4 KB is a multiple of every
// sector size a disk has.
constexpr std::uint64_t DirectAlignment = 4096;
constexpr std::size_t BounceBytes = 256 * 1024;

// One pread(2): a direct read that comes back short has met the end of the file, and one more
// from the unaligned position after it would be refused.
DWORD PreadOnce(int fd, void* data, std::size_t size, std::uint64_t offset, std::size_t* got) {
    ssize_t n = 0;
    do {
        n = pread(fd, data, size, static_cast<off_t>(offset));
    } while (n < 0 && errno == EINTR);
    *got = n > 0 ? static_cast<std::size_t>(n) : 0;
    return n < 0 ? ErrorFromErrno(errno, IoDirection::Read) : ERROR_SUCCESS;
}

// Reads through a descriptor opened with O_DIRECT: what begins and ends aligned (position, memory
// and length) goes straight into the caller's memory; the rest through aligned memory of its
// own. Reads at the descriptor's position and moves it as read(2) does.
DWORD ReadDirect(int fd, std::uint8_t* out, std::size_t size, std::size_t* done) {
    *done = 0;
    const off_t start = lseek(fd, 0, SEEK_CUR);
    if (start < 0) {
        return ErrorFromErrno(errno, IoDirection::Read);
    }
    thread_local std::unique_ptr<std::uint8_t, decltype(&std::free)> bounce(nullptr, &std::free);
    auto position = static_cast<std::uint64_t>(start);
    DWORD err = ERROR_SUCCESS;
    while (*done < size) {
        std::uint8_t* to = out + *done;
        const std::size_t left = size - *done;
        const std::size_t skew = static_cast<std::size_t>(position % DirectAlignment);
        std::size_t got = 0;
        if (skew == 0 && reinterpret_cast<std::uintptr_t>(to) % DirectAlignment == 0 &&
            left >= DirectAlignment) {
            err = PreadOnce(fd, to, left - left % DirectAlignment, position, &got);
        } else {
            if (!bounce) {
                bounce.reset(static_cast<std::uint8_t*>(std::aligned_alloc(DirectAlignment, BounceBytes)));
                if (!bounce) {
                    err = ERROR_NOT_ENOUGH_MEMORY;
                    break;
                }
            }
            const std::size_t span = std::min<std::size_t>(
                BounceBytes, (skew + left + DirectAlignment - 1) / DirectAlignment * DirectAlignment);
            std::size_t read = 0;
            err = PreadOnce(fd, bounce.get(), span, position - skew, &read);
            got = read > skew ? std::min(read - skew, left) : 0;
            std::memcpy(to, bounce.get() + skew, got);
        }
        *done += got;
        position += got;
        if (err != ERROR_SUCCESS || got == 0) {
            break;
        }
    }
    if (lseek(fd, static_cast<off_t>(position), SEEK_SET) < 0 && err == ERROR_SUCCESS) {
        err = ErrorFromErrno(errno, IoDirection::Read);
    }
    return err;
}

} // namespace

DWORD HostFileSystem::ReadUncached(OpenFile& f, void* buffer, std::size_t size, std::size_t* done) {
    if (f.uncached == OpenFile::Uncached::Direct) {
        const DWORD err = ReadDirect(f.fd, static_cast<std::uint8_t*>(buffer), size, done);
        if (err != ERROR_INVALID_PARAMETER || *done != 0) {
            return err;
        }
        // Some file systems take O_DIRECT at the open and refuse it at the first read (overlayfs
        // over tmpfs): read as where there is none.
        const int status = fcntl(f.fd, F_GETFL);
        if (status < 0 || fcntl(f.fd, F_SETFL, status & ~O_DIRECT) != 0) {
            return err;
        }
        f.uncached = OpenFile::Uncached::Dropped;
        (void)posix_fadvise(f.fd, 0, 0, POSIX_FADV_RANDOM); // advice: nothing fails by it
    }
    const off_t position = lseek(f.fd, 0, SEEK_CUR);
    if (position >= 0) {
        (void)posix_fadvise(f.fd, position, static_cast<off_t>(size), POSIX_FADV_DONTNEED); // advice only
    }
    return ReadAll(f.fd, buffer, size, done);
}

} // namespace platform::host
