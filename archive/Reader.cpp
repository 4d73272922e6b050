#include "archive/Reader.h"
#include "platform/api/LastError.h"

#include <algorithm>
#include <cstring>

namespace archive {

namespace {

constexpr std::size_t MinRead = 64 * 1024;
// What a skimming input reads at a time: an entry's header block and the start of its data, and
// the whole of a small file. The check before a restore skims every entry; reading 64 KB at each
// header would read about a fifth of a full card's archive a second time.
constexpr std::size_t SkimRead = 4 * 1024;

} // namespace

ArchiveInput::ArchiveInput(platform::FileSystem& fs, platform::Handle archive, std::uint64_t size,
                           std::uint64_t start)
    : fs_(fs), archive_(archive), size_(size), buffer_(new std::uint8_t[Capacity]), pos_(start) {}

std::size_t ArchiveInput::Fill(std::size_t n) {
    n = std::min(n, Capacity);
    if (length_ >= n || ended_) {
        return std::min(length_, n);
    }
    // Keep every read large (the few bytes still buffered move to the front), so the file
    // services can read straight into the buffer instead of copying through their own.
    if (offset_ + n > Capacity || Capacity - offset_ - length_ < MinRead) {
        std::memmove(buffer_.get(), buffer_.get() + offset_, length_);
        offset_ = 0;
    }
    while (length_ < n && !ended_) {
        const std::uint64_t left = size_ - (pos_ + length_);
        // Skimming reads only a little past what is asked for: the data behind it is skipped.
        const std::size_t space = Capacity - offset_ - length_;
        const std::uint64_t room =
            skimming_ && seekable_ ? std::min(space, std::max(n - length_, SkimRead)) : space;
        const auto want = static_cast<DWORD>(std::min<std::uint64_t>(room, left));
        if (want == 0) {
            ended_ = true;
            break;
        }
        DWORD got = 0;
        platform::SetLastError(ERROR_SUCCESS);
        if (!fs_.ReadFile(archive_, buffer_.get() + offset_ + length_, want, &got)) {
            readError_ =
                platform::GetLastError() != ERROR_SUCCESS ? platform::GetLastError() : ERROR_READ_FAULT;
            ended_ = true;
            break;
        }
        if (got == 0) {
            truncated_ = true;
            ended_ = true;
            break;
        }
        length_ += got;
    }
    return std::min(length_, n);
}

void ArchiveInput::Consume(std::size_t n) {
    n = std::min(n, length_);
    if (tally_ != nullptr) {
        // The bytes before the uncounted range, then those after it.
        const std::uint8_t* p = buffer_.get() + offset_;
        const std::uint64_t end = pos_ + n;
        const std::uint64_t before = std::min(end, std::max(pos_, uncountedFrom_));
        const std::uint64_t after = std::min(end, std::max(before, uncountedTo_));
        tally_->Add(p, static_cast<std::size_t>(before - pos_));
        tally_->Add(p + (after - pos_), static_cast<std::size_t>(end - after));
    }
    offset_ += n;
    length_ -= n;
    pos_ += n;
    if (length_ == 0) {
        offset_ = 0;
    }
}

void ArchiveInput::Skip(std::uint64_t n) {
    // Past what is buffered, a long skip moves the file position: checking an archive before a
    // restore then reads its headers, not every byte of its files twice.
    const std::uint64_t beyond = n - std::min<std::uint64_t>(n, length_);
    // A skimming input moves past anything larger than what it reads at a time.
    if (beyond >= (skimming_ ? SkimRead : MinRead) && seekable_ && tally_ == nullptr && !ended_) {
        const std::uint64_t target = std::min(pos_ + n, size_);
        if (fs_.SetFilePointer(archive_, target)) {
            offset_ = 0;
            length_ = 0;
            pos_ = target;
            return;
        }
        // The file services cannot move the position: read through, as before.
        seekable_ = false;
    }
    while (n > 0) {
        const std::size_t got = Fill(static_cast<std::size_t>(std::min<std::uint64_t>(n, Capacity)));
        if (got == 0) {
            return;
        }
        Consume(got);
        n -= got;
    }
}

void PassOverBlocks(ArchiveInput& in) {
    in.Consume(in.Fill(BlockSize));
    for (;;) {
        const std::size_t got = in.Fill(BlockSize);
        if (got == 0 || (got == BlockSize && LooksLikeHeader(in.Data()))) {
            return;
        }
        in.Consume(got);
    }
}

StreamWalk WalkEntryData(ArchiveInput& in, const StreamSink& sink) {
    StreamWalk walk;
    bool feeding = static_cast<bool>(sink);
    // Hands n available bytes to the sink and consumes them; false when the sink aborts.
    auto feed = [&](std::size_t n) {
        if (feeding) {
            switch (sink(in.Data(), n)) {
            case SinkResult::Continue:
                break;
            case SinkResult::StopFeeding:
                feeding = false;
                break;
            case SinkResult::Abort:
                walk.aborted = true;
                return false;
            }
        }
        in.Consume(n);
        walk.length += n;
        return true;
    };

    for (;;) {
        if (in.Fill(BackupStreamHeaderSize) < BackupStreamHeaderSize) {
            break;
        }
        const StreamRecordHeader record = DecodeStreamRecordHeader(in.Data());
        if (!IsValidStreamId(record.id)) {
            walk.unwritableId = IsUnwritableStreamId(record.id) ? record.id : 0;
            break;
        }
        ++walk.records;
        if (record.Length() > in.Size() - in.Pos()) {
            // The records cannot be trusted: fall back to the block rule and hand on what is
            // there up to the next block that looks like an entry header.
            walk.damaged = true;
            for (;;) {
                const std::size_t toBoundary = BlockSize - static_cast<std::size_t>(in.Pos() % BlockSize);
                const std::size_t got = in.Fill(toBoundary);
                if (got == 0 || !feed(got)) {
                    return walk;
                }
                const std::size_t next = in.Fill(BlockSize);
                if (next == 0 || (next == BlockSize && LooksLikeHeader(in.Data()))) {
                    return walk;
                }
            }
        }
        std::uint64_t left = record.Length();
        if (record.id == BACKUP_DATA) {
            walk.dataBytes += record.size;
        }
        if (!feeding) {
            // Nobody wants the bytes: pass over them at once.
            const std::uint64_t end = in.Pos() + left;
            in.Skip(left);
            walk.length += left;
            if (in.Pos() < end) {
                walk.damaged = true; // the file is shorter than its size says
                return walk;
            }
            continue;
        }
        while (left > 0) {
            // What is buffered is handed on first; only an empty buffer is read again, so no
            // bytes move inside it.
            std::size_t got = static_cast<std::size_t>(std::min<std::uint64_t>(left, in.Buffered()));
            if (got == 0) {
                got =
                    in.Fill(static_cast<std::size_t>(std::min<std::uint64_t>(left, ArchiveInput::Capacity)));
            }
            if (got == 0) {
                walk.damaged = true; // the file is shorter than its size says
                return walk;
            }
            if (!feed(got)) {
                return walk;
            }
            left -= got;
        }
    }

    // Padding: the rest of the last block; a stream that ended on a block boundary is followed
    // by one block without valid bytes (unless the archive omits it and a header follows).
    const std::uint64_t end = in.Pos();
    if (end % BlockSize != 0) {
        in.Skip(BlockSize - end % BlockSize);
    } else {
        const std::size_t got = in.Fill(BlockSize);
        if (got > 0 && !(got == BlockSize && LooksLikeHeader(in.Data()))) {
            in.Consume(got);
        }
    }
    if (in.Truncated() && in.Pos() < in.Size()) {
        walk.damaged = true;
    }
    return walk;
}

} // namespace archive
