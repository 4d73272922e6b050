// The BackupRead/BackupWrite state machines over a small raw-file interface, so that every
// platform gives the same backup-stream semantics.
//
// A file's stream is one WIN32_STREAM_ID record: a 20-byte little-endian header (DWORD stream
// id = BACKUP_DATA, DWORD attributes = 0, uint64 size, DWORD name size = 0) followed by the
// file's bytes. A directory's stream is empty. BackupWrite parses records across calls (a header
// may be split between calls), writes BACKUP_DATA bytes to the file, skips the name and data of
// records with another valid id (2..9) and rejects a header whose id is 0 or above 9 (the zero
// padding after the last record of an archive block) with ERROR_INVALID_DATA.
#pragma once

#include "platform/api/WinTypes.h"

#include <cstdint>

namespace platform {

// What the state machines need of an open file. Every function returns ERROR_SUCCESS or a
// Windows error code.
class BackupFile {
public:
    virtual ~BackupFile() = default;
    virtual bool IsDirectory() const = 0;
    virtual DWORD Size(std::uint64_t* size) = 0;
    // Reads up to count bytes at offset; *got < count only at the end of the file.
    virtual DWORD ReadAt(std::uint64_t offset, void* buffer, std::uint32_t count, std::uint32_t* got) = 0;
    // Writes all count bytes at the current write position, or nothing (ERROR_DISK_FULL,
    // ERROR_WRITE_FAULT, ...).
    virtual DWORD Write(const void* buffer, std::uint32_t count) = 0;
};

// BackupRead on a file (null file: ERROR_INVALID_HANDLE). Yields the stream in pieces of any
// size; reads ahead internally in large chunks, with bounded memory. abort releases *context.
BOOL BackupReadStream(BackupFile* file, std::uint8_t* buffer, DWORD toRead, DWORD* read, BOOL abort,
                      void** context);

// BackupWrite on a file (null file: ERROR_INVALID_HANDLE). *written counts the bytes consumed;
// for ERROR_INVALID_DATA it is 0. abort releases *context.
BOOL BackupWriteStream(BackupFile* file, const std::uint8_t* buffer, DWORD toWrite, DWORD* written,
                       BOOL abort, void** context);

// The 20-byte header of a BACKUP_DATA record of size bytes.
void MakeBackupDataHeader(std::uint64_t size, std::uint8_t header[BackupStreamHeaderSize]);

} // namespace platform
