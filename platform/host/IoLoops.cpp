#include "platform/host/IoLoops.h"

#include "platform/host/Errno.h"

#include <cerrno>
#include <sys/types.h>
#include <unistd.h>

namespace platform::host {

namespace {

// step(done) moves the bytes after the first done ones and returns what read or write returns.
template <typename Step> DWORD Repeat(std::size_t size, std::size_t* done, IoDirection direction, Step step) {
    *done = 0;
    while (*done < size) {
        const ssize_t n = step(*done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return ErrorFromErrno(errno, direction);
        }
        if (n == 0) {
            // The end of the file for a read; for a write, no room for another byte.
            return direction == IoDirection::Read ? ERROR_SUCCESS : ERROR_DISK_FULL;
        }
        *done += static_cast<std::size_t>(n);
    }
    return ERROR_SUCCESS;
}

} // namespace

DWORD PreadAll(int fd, void* data, std::size_t size, std::uint64_t offset, std::size_t* got) {
    auto* bytes = static_cast<std::uint8_t*>(data);
    return Repeat(size, got, IoDirection::Read, [&](std::size_t done) {
        return ::pread(fd, bytes + done, size - done, static_cast<off_t>(offset + done));
    });
}

DWORD ReadAll(int fd, void* data, std::size_t size, std::size_t* got) {
    auto* bytes = static_cast<std::uint8_t*>(data);
    return Repeat(size, got, IoDirection::Read,
                  [&](std::size_t done) { return ::read(fd, bytes + done, size - done); });
}

DWORD WriteAll(int fd, const void* data, std::size_t size, std::size_t* done) {
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    return Repeat(size, done, IoDirection::Write,
                  [&](std::size_t moved) { return ::write(fd, bytes + moved, size - moved); });
}

} // namespace platform::host
