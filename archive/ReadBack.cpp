#include "archive/ReadBack.h"

#include "platform/api/LastError.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace archive {

namespace {

// Reads are made into memory aligned like the file's position on a 4 KB boundary, in pieces
// that begin and end there where they can: what unbuffered reads take without a copy.
constexpr std::uint64_t Alignment = 4096;
constexpr std::size_t ChunkBytes = 1024 * 1024;
// Chunks read and not yet summed: the reads run at most this far ahead of the sums.
constexpr std::size_t MaxChunks = 4;

struct AlignedFree {
    void operator()(std::uint8_t* p) const { ::operator delete[](p, std::align_val_t{Alignment}); }
};

} // namespace

struct ArchiveReadBack::Chunk {
    std::unique_ptr<std::uint8_t, AlignedFree> memory{
        static_cast<std::uint8_t*>(::operator new[](ChunkBytes, std::align_val_t{Alignment}, std::nothrow))};
    std::uint64_t offset = 0; // of data()[0] in the archive
    std::size_t size = 0;
    std::size_t skew = 0;    // offset % Alignment: where the bytes begin in memory
    bool checkpoint = false; // the end of a part: the sums are compared with expected
    ArchiveSums expected;
    std::uint8_t* data() { return memory.get() + skew; }
};

ArchiveReadBack::ArchiveReadBack(platform::FileSystem& fs, platform::Handle writer, std::string path,
                                 const Block& versionBlock, std::uint64_t partBytes)
    : fs_(fs), writer_(writer), path_(std::move(path)), versionBlock_(versionBlock), partBytes_(partBytes),
      summer_([this] { Sum(); }) {}

ArchiveReadBack::~ArchiveReadBack() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    summer_.join();
    Close();
}

void ArchiveReadBack::Close() {
    if (reader_ != platform::InvalidHandle) {
        // Only read through: its close loses nothing.
        static_cast<void>(fs_.CloseHandle(reader_));
        reader_ = platform::InvalidHandle;
    }
}

bool ArchiveReadBack::Written(const ArchiveTally& tally, WriteProblem* problem) {
    if (failed_) {
        return false;
    }
    const std::uint64_t end = tally.length + BlockSize; // the record's block is not in the tally
    if (end < readEnd_ + partBytes_) {
        return !Mismatch(problem);
    }
    // The part before has been summed long since (a part of the card was read meanwhile): what
    // it found is known before the next one is read, so a bad part never costs more than one
    // more part of the card.
    Drain();
    if (Mismatch(problem)) {
        return false;
    }
    platform::SetLastError(ERROR_SUCCESS);
    if (!fs_.FlushFileBuffers(writer_)) {
        const DWORD error = platform::GetLastError();
        failed_ = true;
        *problem = WriteProblem{WriteProblem::Kind::ArchiveWriteFailed, "",
                                error != ERROR_SUCCESS ? error : ERROR_WRITE_FAULT};
        return false;
    }
    return ReadUpTo(end, &tally, problem) && !Mismatch(problem);
}

bool ArchiveReadBack::Finish(const ArchiveTally& tally, WriteProblem* problem) {
    if (failed_) {
        return false;
    }
    const std::uint64_t end = tally.length + BlockSize;
    if (!ReadUpTo(end, &tally, problem)) {
        return false;
    }
    // Nothing past the end, and the two blocks the seal wrote again, as it wrote them.
    std::uint64_t size = 0;
    platform::SetLastError(ERROR_SUCCESS);
    if (!fs_.GetFileSize(reader_, &size)) {
        return ReadFailed(platform::GetLastError(), problem);
    }
    Block record{};
    EncodeIntegrityRecord(RecordOf(tally), record);
    alignas(Alignment) std::uint8_t head[2 * BlockSize];
    DWORD got = 0;
    platform::SetLastError(ERROR_SUCCESS);
    if (!fs_.SetFilePointer(reader_, 0) || !ReadWhole(head, sizeof head, &got)) {
        return ReadFailed(platform::GetLastError(), problem);
    }
    Drain();
    {
        std::lock_guard lock(mutex_);
        differs_ = differs_ || size != end || got != sizeof head ||
                   std::memcmp(head, versionBlock_.data(), BlockSize) != 0 ||
                   std::memcmp(head + BlockSize, record.data(), BlockSize) != 0;
    }
    Close();
    return !Mismatch(problem);
}

bool ArchiveReadBack::Open(WriteProblem* problem) {
    if (reader_ != platform::InvalidHandle) {
        return true;
    }
    platform::SetLastError(ERROR_SUCCESS);
    reader_ = fs_.CreateFile(path_, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING,
                             FILE_FLAG_NO_BUFFERING);
    if (reader_ == platform::InvalidHandle) {
        return ReadFailed(platform::GetLastError(), problem);
    }
    return true;
}

bool ArchiveReadBack::ReadUpTo(std::uint64_t end, const ArchiveTally* expected, WriteProblem* problem) {
    if (!Open(problem)) {
        return false;
    }
    while (readEnd_ < end) {
        std::unique_ptr<Chunk> chunk = TakeFree();
        if (!chunk || chunk->memory == nullptr) {
            return ReadFailed(ERROR_NOT_ENOUGH_MEMORY, problem);
        }
        chunk->offset = readEnd_;
        chunk->skew = static_cast<std::size_t>(readEnd_ % Alignment);
        chunk->size =
            static_cast<std::size_t>(std::min<std::uint64_t>(end - readEnd_, ChunkBytes - chunk->skew));
        DWORD got = 0;
        platform::SetLastError(ERROR_SUCCESS);
        const bool read = ReadWhole(chunk->data(), static_cast<DWORD>(chunk->size), &got);
        if (!read || got < chunk->size) {
            Return(std::move(chunk));
            if (!read) {
                return ReadFailed(platform::GetLastError(), problem);
            }
            // The file is shorter than what was written.
            std::lock_guard lock(mutex_);
            differs_ = true;
            break;
        }
        readEnd_ += got;
        chunk->checkpoint = expected != nullptr && readEnd_ == end;
        if (chunk->checkpoint) {
            chunk->expected = SumsOf(*expected);
        }
        Post(std::move(chunk));
    }
    return !Mismatch(problem);
}

bool ArchiveReadBack::ReadWhole(std::uint8_t* out, DWORD size, DWORD* got) {
    *got = 0;
    // Up to the next aligned position first; then whole aligned pieces as far as they go.
    while (*got < size) {
        DWORD want = size - *got;
        const std::uint64_t misaligned = reinterpret_cast<std::uintptr_t>(out + *got) % Alignment;
        if (misaligned != 0) {
            want = std::min<DWORD>(want, static_cast<DWORD>(Alignment - misaligned));
        }
        DWORD n = 0;
        if (!fs_.ReadFile(reader_, out + *got, want, &n)) {
            return false;
        }
        if (n == 0) {
            return true; // the end of the file
        }
        *got += n;
    }
    return true;
}

bool ArchiveReadBack::ReadFailed(DWORD error, WriteProblem* problem) {
    failed_ = true;
    *problem =
        WriteProblem{WriteProblem::Kind::ReadBack, "", error != ERROR_SUCCESS ? error : ERROR_READ_FAULT};
    return false;
}

bool ArchiveReadBack::Mismatch(WriteProblem* problem) {
    std::lock_guard lock(mutex_);
    if (!differs_) {
        return false;
    }
    failed_ = true;
    *problem = WriteProblem{WriteProblem::Kind::ReadBack, "", ERROR_SUCCESS};
    return true;
}

std::unique_ptr<ArchiveReadBack::Chunk> ArchiveReadBack::TakeFree() {
    std::unique_lock lock(mutex_);
    if (free_.empty() && chunks_ < MaxChunks) {
        ++chunks_;
        return std::make_unique<Chunk>();
    }
    changed_.wait(lock, [this] { return !free_.empty(); });
    std::unique_ptr<Chunk> chunk = std::move(free_.back());
    free_.pop_back();
    return chunk;
}

void ArchiveReadBack::Post(std::unique_ptr<Chunk> chunk) {
    {
        std::lock_guard lock(mutex_);
        queue_.push_back(std::move(chunk));
    }
    changed_.notify_all();
}

void ArchiveReadBack::Return(std::unique_ptr<Chunk> chunk) {
    std::lock_guard lock(mutex_);
    free_.push_back(std::move(chunk));
}

void ArchiveReadBack::Drain() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return queue_.empty() && busy_ == 0; });
}

void ArchiveReadBack::Sum() {
    std::unique_lock lock(mutex_);
    for (;;) {
        changed_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
        if (queue_.empty()) {
            return; // stopping, with nothing left
        }
        std::unique_ptr<Chunk> chunk = std::move(queue_.front());
        queue_.erase(queue_.begin());
        ++busy_;
        lock.unlock();
        // The record's block (the second) is not in the sums.
        const std::uint64_t from = chunk->offset;
        const std::uint64_t to = from + chunk->size;
        const std::uint64_t before = std::min(to, std::max(from, std::uint64_t{BlockSize}));
        const std::uint64_t after = std::min(to, std::max(before, std::uint64_t{2 * BlockSize}));
        sums_.Add(chunk->data(), static_cast<std::size_t>(before - from));
        sums_.Add(chunk->data() + (after - from), static_cast<std::size_t>(to - after));
        const bool differs = chunk->checkpoint && SumsOf(sums_) != chunk->expected;
        lock.lock();
        differs_ = differs_ || differs;
        --busy_;
        free_.push_back(std::move(chunk));
        changed_.notify_all();
    }
}

} // namespace archive
