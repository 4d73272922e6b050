// Directory tree -> archive. Every failure stops the walk and says why, so a backup is never
// reported complete while it misses an entry.
#include "archive/Check.h"
#include "platform/api/LastError.h"

#include <cstring>
#include <vector>

namespace archive {

namespace {

// Backup-stream bytes are moved in large pieces; the archive layout stays that of 1024-byte
// blocks (the stream, then zeros up to the end of its last block).
constexpr DWORD ChunkSize = 64 * 1024;

bool Fail(WriteProblem* problem, WriteProblem::Kind kind, const std::string& path, DWORD error) {
    if (problem != nullptr) {
        *problem = WriteProblem{kind, path, error};
    }
    return false;
}

DWORD ErrorOr(DWORD fallback) {
    const DWORD e = platform::GetLastError();
    return e != ERROR_SUCCESS ? e : fallback;
}

bool WriteAll(platform::FileSystem& fs, platform::Handle archive, const void* data, DWORD size,
              const std::string& path, WriteProblem* problem, ArchiveTally* tally) {
    platform::SetLastError(ERROR_SUCCESS);
    DWORD written = 0;
    if (!fs.WriteFile(archive, data, size, &written) || written != size) {
        // A short write without an error code is a full disk in all but name.
        return Fail(problem, WriteProblem::Kind::ArchiveWriteFailed, path, ErrorOr(ERROR_DISK_FULL));
    }
    if (tally != nullptr) {
        tally->Add(static_cast<const std::uint8_t*>(data), size);
    }
    return true;
}

// Follows the WIN32_STREAM_ID records of a backup stream as it passes, so that a stream that ends
// inside a record (its file shrank while it was read) is noticed before it is stored.
class RecordTracker {
public:
    void Add(const std::uint8_t* data, std::size_t size) {
        while (size > 0) {
            if (remaining_ == 0) {
                const std::size_t n = std::min<std::size_t>(size, BackupStreamHeaderSize - have_);
                std::memcpy(header_ + have_, data, n);
                have_ += n;
                data += n;
                size -= n;
                if (have_ == BackupStreamHeaderSize) {
                    const StreamRecordHeader record = DecodeStreamRecordHeader(header_);
                    remaining_ = record.Length() - BackupStreamHeaderSize;
                    if (record.id == BACKUP_DATA) {
                        dataBytes_ += record.size;
                    }
                    have_ = 0;
                }
            } else {
                const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(size, remaining_));
                remaining_ -= n;
                data += n;
                size -= n;
            }
        }
    }
    // True when the stream ended at the end of a record.
    bool Whole() const { return have_ == 0 && remaining_ == 0; }
    std::uint64_t DataBytes() const { return dataBytes_; }

private:
    std::uint8_t header_[BackupStreamHeaderSize] = {};
    std::size_t have_ = 0;
    std::uint64_t remaining_ = 0;
    std::uint64_t dataBytes_ = 0;
};

// Closes the entry's handle (and backup context) however the entry ends.
struct OpenEntry {
    platform::FileSystem& fs;
    platform::Handle handle;
    void* context = nullptr;
    ~OpenEntry() {
        if (context != nullptr) {
            DWORD ignored = 0;
            // Releasing the read context cannot lose data; its result changes nothing.
            fs.BackupRead(handle, nullptr, 0, &ignored, TRUE, &context);
        }
        fs.CloseHandle(handle);
    }
};

bool EntryWritten(const WriterCallbacks& callbacks, WriteProblem* problem) {
    WriteProblem ignored;
    return !callbacks.entryWritten || callbacks.entryWritten(problem != nullptr ? problem : &ignored);
}

} // namespace

Block VersionBlockOf(const std::string& promptVersion) {
    Block block{};
    std::memcpy(block.data(), promptVersion.data(), std::min(promptVersion.size(), VersionFieldSize));
    return block;
}

bool WriteVersionBlock(platform::FileSystem& fs, platform::Handle archive, const std::string& promptVersion,
                       WriteProblem* problem, ArchiveTally* tally) {
    const Block block = VersionBlockOf(promptVersion);
    return WriteAll(fs, archive, block.data(), BlockSize, "", problem, tally);
}

bool WriteIntegrityBlock(platform::FileSystem& fs, platform::Handle archive, const IntegrityRecord& record,
                         WriteProblem* problem) {
    Block block{};
    EncodeIntegrityRecord(record, block);
    return WriteAll(fs, archive, block.data(), BlockSize, "", problem, nullptr);
}

bool SealArchive(platform::FileSystem& fs, platform::Handle archive, const std::string& promptVersion,
                 const ArchiveTally& tally, WriteProblem* problem) {
    // Back to the start, over the version block and the record's place; then the whole file on
    // its medium.
    platform::SetLastError(ERROR_SUCCESS);
    if (!fs.SetFilePointer(archive, 0)) {
        return Fail(problem, WriteProblem::Kind::ArchiveWriteFailed, "", ErrorOr(ERROR_WRITE_FAULT));
    }
    if (!WriteVersionBlock(fs, archive, promptVersion, problem) ||
        !WriteIntegrityBlock(fs, archive, RecordOf(tally), problem)) {
        return false;
    }
    platform::SetLastError(ERROR_SUCCESS);
    if (!fs.FlushFileBuffers(archive)) {
        return Fail(problem, WriteProblem::Kind::ArchiveWriteFailed, "", ErrorOr(ERROR_WRITE_FAULT));
    }
    return true;
}

bool WriteArchiveEntry(platform::FileSystem& fs, const std::string& storedPath, platform::Handle archive,
                       WriteProblem* problem, ArchiveTally* tally, const WriterCallbacks* callbacks) {
    using Kind = WriteProblem::Kind;
    if (storedPath.size() > PathFieldSize) {
        return Fail(problem, Kind::PathTooLong, storedPath, ERROR_FILENAME_EXCED_RANGE);
    }
    EntryHeader header;
    header.path = storedPath;
    header.attributes = fs.GetFileAttributes(storedPath);
    if (header.attributes == INVALID_FILE_ATTRIBUTES) {
        return Fail(problem, Kind::CardReadFailed, storedPath, ErrorOr(ERROR_READ_FAULT));
    }
    if ((header.attributes & (DirectoryBit | FileBits)) == 0) {
        // A file whose archive bit is clear (only read-only, hidden or system set) would be
        // passed over by every reader, which restores only entries that carry the directory,
        // archive or normal bit. The normal bit makes it a file to them; set together with other
        // bits it is dropped again, so the file comes back with the word it had.
        header.attributes |= FILE_ATTRIBUTE_NORMAL;
    }
    const DWORD flags = (header.attributes & DirectoryBit) ? FILE_FLAG_BACKUP_SEMANTICS : 0;
    const platform::Handle h = fs.CreateFile(storedPath, GENERIC_READ, FILE_SHARE_NONE, OPEN_EXISTING, flags);
    if (h == platform::InvalidHandle) {
        return Fail(problem, Kind::CardReadFailed, storedPath, ErrorOr(ERROR_READ_FAULT));
    }
    OpenEntry entry{fs, h};
    if (!fs.GetFileTime(h, &header.creationTime, &header.lastAccessTime, &header.lastWriteTime)) {
        return Fail(problem, Kind::CardReadFailed, storedPath, ErrorOr(ERROR_READ_FAULT));
    }
    // The header, the stream and its padding leave in as few writes as the stream's pieces allow:
    // a small file is one write. pending bytes at the buffer's start wait to be written; before a
    // read they are at most one block (the header), so the buffer holds them, a piece and the
    // padding. One buffer per thread: no allocation per entry or block.
    thread_local std::vector<std::uint8_t> buffer(BlockSize + ChunkSize + BlockSize);
    Block block{};
    EncodeHeader(header, block);
    std::memcpy(buffer.data(), block.data(), BlockSize);
    DWORD pending = BlockSize;
    std::uint64_t streamLength = 0;
    RecordTracker records;
    for (;;) {
        if (pending > BlockSize) {
            if (!WriteAll(fs, archive, buffer.data(), pending, storedPath, problem, tally)) {
                return false;
            }
            pending = 0;
        }
        DWORD read = 0;
        platform::SetLastError(ERROR_SUCCESS);
        if (!fs.BackupRead(h, buffer.data() + pending, ChunkSize, &read, FALSE, &entry.context)) {
            return Fail(problem, Kind::CardReadFailed, storedPath, ErrorOr(ERROR_READ_FAULT));
        }
        if (read == 0) {
            break;
        }
        records.Add(buffer.data() + pending, read);
        pending += read;
        streamLength += read;
        if (callbacks != nullptr && callbacks->dataRead) {
            callbacks->dataRead(read);
        }
    }
    // A file whose size changed while it was read: its record would claim bytes the archive
    // does not hold (it shrank), or it holds a mix of old and new contents (it grew).
    std::uint64_t sizeNow = 0;
    if (!records.Whole() || (!(header.attributes & DirectoryBit) && fs.GetFileSize(h, &sizeNow) &&
                             sizeNow != records.DataBytes())) {
        return Fail(problem, Kind::CardReadFailed, storedPath, ERROR_READ_FAULT);
    }
    // Zeros up to the end of the last block; a stream that fills its blocks exactly gets one
    // more block of zeros, so every entry has at least one data block.
    const DWORD padding = BlockSize - static_cast<DWORD>(streamLength % BlockSize);
    std::memset(buffer.data() + pending, 0, padding);
    if (!WriteAll(fs, archive, buffer.data(), pending + padding, storedPath, problem, tally)) {
        return false;
    }
    if (tally != nullptr) {
        ++tally->entries;
    }
    return true;
}

bool WriteArchiveTree(platform::FileSystem& fs, const std::string& directoryPath, platform::Handle archive,
                      const WriterCallbacks& callbacks, WriteProblem* problem) {
    using Kind = WriteProblem::Kind;
    platform::FindData found;
    platform::SetLastError(ERROR_SUCCESS);
    const platform::Handle listing = fs.FindFirstFile(directoryPath + "*.*", &found);
    if (listing == platform::InvalidHandle) {
        const DWORD error = platform::GetLastError();
        // An empty root lists nothing at all; anything else is a read failure.
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_NO_MORE_FILES) {
            return true;
        }
        return Fail(problem, Kind::CardReadFailed, directoryPath, ErrorOr(ERROR_READ_FAULT));
    }
    struct Closer {
        platform::FileSystem& fs;
        platform::Handle h;
        ~Closer() { fs.FindClose(h); }
    } closer{fs, listing};

    for (;;) {
        if (found.attributes & FILE_ATTRIBUTE_DIRECTORY) {
            if (!found.fileName.empty() && found.fileName[0] != '.') {
                const std::string path = directoryPath + "\\" + found.fileName + "\\";
                if (path.size() > PathFieldSize) {
                    return Fail(problem, Kind::PathTooLong, path, ERROR_FILENAME_EXCED_RANGE);
                }
                if (!WriteArchiveEntry(fs, path, archive, problem, callbacks.tally, &callbacks) ||
                    !EntryWritten(callbacks, problem)) {
                    return false;
                }
                if (callbacks.showPath) {
                    callbacks.showPath(path);
                }
                if (!WriteArchiveTree(fs, path, archive, callbacks, problem)) {
                    return false;
                }
            }
        } else {
            const std::string path = directoryPath + found.fileName;
            if (path.size() > PathFieldSize) {
                return Fail(problem, Kind::PathTooLong, path, ERROR_FILENAME_EXCED_RANGE);
            }
            if (callbacks.showPath) {
                callbacks.showPath(path);
            }
            if (!WriteArchiveEntry(fs, path, archive, problem, callbacks.tally, &callbacks) ||
                !EntryWritten(callbacks, problem)) {
                return false;
            }
        }
        platform::SetLastError(ERROR_SUCCESS);
        if (!fs.FindNextFile(listing, &found)) {
            const DWORD error = platform::GetLastError();
            if (error == ERROR_NO_MORE_FILES || error == ERROR_SUCCESS) {
                return true;
            }
            return Fail(problem, Kind::CardReadFailed, directoryPath, error);
        }
    }
}

} // namespace archive
