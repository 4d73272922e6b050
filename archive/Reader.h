// Reading an archive: a buffered input over the open archive file and the walk through one
// entry's backup stream, shared by the extractors and vhbtool.
#pragma once

#include "archive/Format.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

namespace archive {

// Reads the archive in large pieces and hands out bytes by position. Never reads past the
// size it was given; a file shorter than that simply ends early.
class ArchiveInput {
public:
    // start: where the file's position stands (Pos() begins there).
    ArchiveInput(platform::FileSystem& fs, platform::Handle archive, std::uint64_t size,
                 std::uint64_t start = 0);
    ArchiveInput(const ArchiveInput&) = delete;
    ArchiveInput& operator=(const ArchiveInput&) = delete;

    // Position of Data()[0] from the start of the archive.
    std::uint64_t Pos() const { return pos_; }
    std::uint64_t Size() const { return size_; }
    // Makes up to n bytes (at most Capacity) available at Pos(); returns how many there are.
    std::size_t Fill(std::size_t n);
    // Bytes already read and not consumed (available at Data() without reading).
    std::size_t Buffered() const { return length_; }
    const std::uint8_t* Data() const { return buffer_.get() + offset_; }
    // Consumes n bytes of those made available.
    void Consume(std::size_t n);
    // Consumes up to n bytes; stops at the end. Long skips move the file position instead of
    // reading, where the file services can do that and no tally is kept.
    void Skip(std::uint64_t n);
    // For a walk that skips most of the data (headers and stream records only): reads stay small
    // while the file position can be moved, instead of filling the whole buffer.
    void Skim() { skimming_ = true; }
    // Every byte consumed from now on is added to the tally (null: none)...
    void CountInto(ArchiveTally* tally) { tally_ = tally; }
    // ...but those from position from up to to (the integrity record's block).
    void Uncounted(std::uint64_t from, std::uint64_t to) {
        uncountedFrom_ = from;
        uncountedTo_ = to;
    }
    // The error of a failed read of the archive file (0 when none failed).
    DWORD ReadError() const { return readError_; }
    // True when the file ended before the size it was given.
    bool Truncated() const { return truncated_; }

    static constexpr std::size_t Capacity = 256 * 1024;

private:
    platform::FileSystem& fs_;
    platform::Handle archive_;
    std::uint64_t size_;
    std::unique_ptr<std::uint8_t[]> buffer_;
    std::size_t offset_ = 0;
    std::size_t length_ = 0;
    std::uint64_t pos_ = 0;
    bool ended_ = false;
    bool truncated_ = false;
    bool seekable_ = true;
    bool skimming_ = false;
    ArchiveTally* tally_ = nullptr;
    std::uint64_t uncountedFrom_ = 0;
    std::uint64_t uncountedTo_ = 0;
    DWORD readError_ = 0;
};

// What a sink wants after a piece of stream data.
enum class SinkResult { Continue, StopFeeding, Abort };
using StreamSink = std::function<SinkResult(const std::uint8_t* data, std::size_t size)>;

struct StreamWalk {
    std::uint64_t length = 0;    // bytes of the stream (records only, no padding)
    std::uint64_t dataBytes = 0; // bytes of its BACKUP_DATA records: the file's contents
    unsigned records = 0;
    bool damaged = false;   // a record claims more than the archive holds, or the file ended
    bool aborted = false;   // the sink asked to stop everything
    DWORD unwritableId = 0; // the stream ended at a record of a kind no card takes (10 or 11)
};

// Walks the backup stream of the entry whose header was just consumed: the WIN32_STREAM_ID
// records give its exact length, so bytes of the data that look like an entry header are data,
// and the padding after the last record is never handed on. The stream ends at the first record
// boundary where no valid record header follows (zero padding, the next entry header, the end).
// A record that claims more than the archive holds is damaged: its bytes are handed on up to
// the next block that looks like an entry header (or the end), as far as they go.
// Leaves the input at the block after the entry's data.
StreamWalk WalkEntryData(ArchiveInput& in, const StreamSink& sink);

// Passes over the block at hand and the blocks after it up to the next one that looks like an
// entry header (or the end).
void PassOverBlocks(ArchiveInput& in);

} // namespace archive
