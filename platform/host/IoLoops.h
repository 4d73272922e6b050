// The read and write loops: a POSIX read or write may move fewer bytes than asked, or be
// interrupted; these repeat it until everything moved, the file ended or a real error came.
#pragma once

#include "platform/api/WinTypes.h"

#include <cstddef>
#include <cstdint>

namespace platform::host {

// Reads until size bytes arrived or the file ends, at offset (Pread) or at the descriptor's
// position (Read). *got is what arrived, also when a read fails. ERROR_SUCCESS or the error.
DWORD PreadAll(int fd, void* data, std::size_t size, std::uint64_t offset, std::size_t* got);
DWORD ReadAll(int fd, void* data, std::size_t size, std::size_t* got);

// Writes every byte at the descriptor's position. A write that moves nothing counts as a full
// disk. *done is what was written, also when a write fails.
DWORD WriteAll(int fd, const void* data, std::size_t size, std::size_t* done);

} // namespace platform::host
