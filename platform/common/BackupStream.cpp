#include "platform/common/BackupStream.h"

#include "platform/api/LastError.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <optional>
#include <vector>

namespace platform {

namespace {

// Contexts carry a tag so that a context of the other direction (or garbage) is not misused.
constexpr std::uint32_t ReadTag = 0x42524431;  // "BRD1"
constexpr std::uint32_t WriteTag = 0x42575231; // "BWR1"
// Read-ahead chunk: large enough that 1024-byte callers cost few real reads, small enough to
// keep memory bounded per open entry.
constexpr std::uint32_t ReadAheadSize = 256 * 1024;
// Reads of at least this much go to the caller's buffer directly.
constexpr std::uint32_t DirectReadSize = 32 * 1024;

struct ReadContext {
    static constexpr std::uint32_t Tag = ReadTag;
    std::uint32_t tag = Tag;
    bool isDirectory = false;
    std::uint8_t header[BackupStreamHeaderSize] = {};
    std::uint64_t dataSize = 0;
    std::uint64_t streamPos = 0; // bytes of the stream delivered so far (header included)
    bool ended = false;          // the file ended before dataSize bytes arrived
    std::vector<std::uint8_t> ahead;
    std::uint64_t aheadOffset = 0; // file offset of ahead[0]
    std::uint32_t aheadLength = 0;
};

struct WriteContext {
    static constexpr std::uint32_t Tag = WriteTag;
    std::uint32_t tag = Tag;
    std::uint8_t header[BackupStreamHeaderSize] = {};
    std::uint32_t headerLength = 0;
    std::uint64_t nameRemaining = 0;
    std::uint64_t dataRemaining = 0;
    bool dataRecord = false;
    bool invalid = false;
};

std::uint32_t Le32(const std::uint8_t* p) {
    return std::uint32_t{p[0]} | (std::uint32_t{p[1]} << 8) | (std::uint32_t{p[2]} << 16) |
           (std::uint32_t{p[3]} << 24);
}

std::uint64_t Le64(const std::uint8_t* p) {
    return std::uint64_t{Le32(p)} | (std::uint64_t{Le32(p + 4)} << 32);
}

void PutLe32(std::uint8_t* p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) {
        p[i] = static_cast<std::uint8_t>(v >> (8 * i));
    }
}

// The first steps of a call in either direction, in the order it reports: *done cleared, the
// context checked (no context pointer, or a context of the other direction: refused), released
// on abort, then the file and the arguments checked. Returns what the call returns when it ends
// here; nothing, with *ctx (null on a first call), when it goes on.
template <typename Context>
std::optional<BOOL> StartCall(BackupFile* file, const void* buffer, DWORD count, DWORD* done, BOOL abort,
                              void** context, Context** ctx) {
    if (done != nullptr) {
        *done = 0;
    }
    if (context == nullptr) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    auto* current = static_cast<Context*>(*context);
    if (current != nullptr && current->tag != Context::Tag) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    if (abort != FALSE) {
        delete current;
        *context = nullptr;
        return TRUE;
    }
    if (file == nullptr) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    if (done == nullptr || (buffer == nullptr && count != 0)) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    *ctx = current;
    return std::nullopt;
}

} // namespace

void MakeBackupDataHeader(std::uint64_t size, std::uint8_t header[BackupStreamHeaderSize]) {
    PutLe32(header, BACKUP_DATA);
    PutLe32(header + 4, 0);
    PutLe32(header + 8, static_cast<std::uint32_t>(size & 0xFFFFFFFFu));
    PutLe32(header + 12, static_cast<std::uint32_t>(size >> 32));
    PutLe32(header + 16, 0);
}

BOOL BackupReadStream(BackupFile* file, std::uint8_t* buffer, DWORD toRead, DWORD* read, BOOL abort,
                      void** context) {
    ReadContext* ctx = nullptr;
    if (const std::optional<BOOL> ended = StartCall(file, buffer, toRead, read, abort, context, &ctx)) {
        return *ended;
    }
    if (ctx == nullptr) {
        auto fresh = std::make_unique<ReadContext>();
        fresh->isDirectory = file->IsDirectory();
        if (!fresh->isDirectory) {
            const DWORD err = file->Size(&fresh->dataSize);
            if (err != ERROR_SUCCESS) {
                return Fail(err);
            }
            MakeBackupDataHeader(fresh->dataSize, fresh->header);
        }
        ctx = fresh.release();
        *context = ctx;
    }
    if (ctx->isDirectory) {
        return TRUE; // a directory's stream is empty
    }

    DWORD out = 0;
    if (ctx->streamPos < BackupStreamHeaderSize) {
        const auto n = std::min<DWORD>(toRead, BackupStreamHeaderSize - static_cast<DWORD>(ctx->streamPos));
        std::memcpy(buffer, ctx->header + ctx->streamPos, n);
        ctx->streamPos += n;
        out += n;
    }
    while (out < toRead && !ctx->ended) {
        const std::uint64_t dataPos = ctx->streamPos - BackupStreamHeaderSize;
        if (dataPos >= ctx->dataSize) {
            break;
        }
        if (dataPos >= ctx->aheadOffset && dataPos < ctx->aheadOffset + ctx->aheadLength) {
            const std::uint64_t available = ctx->aheadOffset + ctx->aheadLength - dataPos;
            const auto n = static_cast<DWORD>(std::min<std::uint64_t>(toRead - out, available));
            std::memcpy(buffer + out, ctx->ahead.data() + (dataPos - ctx->aheadOffset), n);
            ctx->streamPos += n;
            out += n;
            continue;
        }
        auto chunk =
            static_cast<std::uint32_t>(std::min<std::uint64_t>(ReadAheadSize, ctx->dataSize - dataPos));
        std::uint32_t got = 0;
        DWORD err;
        if (toRead - out >= chunk || toRead - out >= DirectReadSize) {
            // The caller asks for a whole chunk, or for a large piece: read straight into its
            // buffer (through the read-ahead it would cost a copy of every byte).
            chunk = std::min<std::uint32_t>(chunk, toRead - out);
            err = file->ReadAt(dataPos, buffer + out, chunk, &got);
            if (err == ERROR_SUCCESS) {
                ctx->streamPos += got;
                out += got;
            }
        } else {
            if (ctx->ahead.size() < ReadAheadSize) {
                ctx->ahead.resize(ReadAheadSize);
            }
            err = file->ReadAt(dataPos, ctx->ahead.data(), chunk, &got);
            if (err == ERROR_SUCCESS) {
                ctx->aheadOffset = dataPos;
                ctx->aheadLength = got;
            }
        }
        if (err != ERROR_SUCCESS) {
            if (out > 0) {
                break; // deliver what we have; the error comes back with the next call
            }
            return Fail(err);
        }
        if (got < chunk) {
            // The file is shorter than when the stream began: the stream ends with the file.
            ctx->ended = got == 0 || ctx->ended;
            if (got == 0) {
                break;
            }
        }
    }
    *read = out;
    return TRUE;
}

BOOL BackupWriteStream(BackupFile* file, const std::uint8_t* buffer, DWORD toWrite, DWORD* written,
                       BOOL abort, void** context) {
    WriteContext* ctx = nullptr;
    if (const std::optional<BOOL> ended = StartCall(file, buffer, toWrite, written, abort, context, &ctx)) {
        return *ended;
    }
    if (ctx == nullptr) {
        ctx = new WriteContext;
        *context = ctx;
    }
    if (ctx->invalid) {
        return Fail(ERROR_INVALID_DATA);
    }

    DWORD used = 0;
    while (used < toWrite) {
        const DWORD available = toWrite - used;
        if (ctx->nameRemaining > 0) {
            const auto n = static_cast<DWORD>(std::min<std::uint64_t>(available, ctx->nameRemaining));
            ctx->nameRemaining -= n;
            used += n;
        } else if (ctx->dataRemaining > 0) {
            const auto n = static_cast<DWORD>(std::min<std::uint64_t>(available, ctx->dataRemaining));
            if (ctx->dataRecord) {
                const DWORD err = file->Write(buffer + used, n);
                if (err != ERROR_SUCCESS) {
                    *written = used; // only what really reached the file is claimed
                    return Fail(err);
                }
            }
            ctx->dataRemaining -= n;
            used += n;
        } else {
            const auto n = std::min<DWORD>(available, BackupStreamHeaderSize - ctx->headerLength);
            std::memcpy(ctx->header + ctx->headerLength, buffer + used, n);
            ctx->headerLength += n;
            used += n;
            if (ctx->headerLength == BackupStreamHeaderSize) {
                const std::uint32_t id = Le32(ctx->header);
                if (id == BACKUP_INVALID || id > BACKUP_SPARSE_BLOCK) {
                    // Not a record: e.g. the zero padding after the last record of a block.
                    ctx->invalid = true;
                    return Fail(ERROR_INVALID_DATA);
                }
                ctx->dataRecord = id == BACKUP_DATA;
                ctx->dataRemaining = Le64(ctx->header + 8);
                ctx->nameRemaining = Le32(ctx->header + 16);
                ctx->headerLength = 0;
            }
        }
    }
    *written = used;
    return TRUE;
}

} // namespace platform
