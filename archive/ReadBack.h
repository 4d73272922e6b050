// Reading a backup archive back from its medium while the rest of it is still being written.
//
// A backup is complete only once every byte of its archive has been read back from the disk
// (not from what the system keeps in memory) and found to be what was written. Read after the
// card, that pass adds its whole time to the backup's; here the archive is read back in parts:
// whenever another part has been written, it is put on its medium and read back, while the card
// goes on being read. The sums of what was read back must equal the writer's own at the end of
// every part (the checksums of the integrity record run from the archive's start, so they can
// be compared at any point), and once the archive is sealed its first two blocks, the version
// block and the finished record, are read back too.
//
// All calls of the file services are made by the caller's thread, at points the writer's walk
// fixes, so the order of calls stays the same from one backup to the next; only the summing of
// what was read runs on a thread of its own, while the caller waits for the card.
#pragma once

#include "archive/Check.h"

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace archive {

class ArchiveReadBack {
public:
    // How much is written between two parts read back.
    static constexpr std::uint64_t DefaultPartBytes = 8 * 1024 * 1024;

    // path names the archive that writer (opened with FILE_SHARE_READ) writes, beginning with
    // versionBlock (counted by the writer's tally) and the integrity record's block (not counted).
    ArchiveReadBack(platform::FileSystem& fs, platform::Handle writer, std::string path,
                    const Block& versionBlock, std::uint64_t partBytes = DefaultPartBytes);
    ~ArchiveReadBack();
    ArchiveReadBack(const ArchiveReadBack&) = delete;
    ArchiveReadBack& operator=(const ArchiveReadBack&) = delete;

    // Told after each whole entry, with the writer's tally: once a part's worth has been written
    // since the last part, the archive goes on its medium and the new part is read back. False
    // once the archive failed to go on its medium or to read back as written; *problem says why
    // (ArchiveWriteFailed for the flush, ReadBack for the rest).
    bool Written(const ArchiveTally& tally, WriteProblem* problem);
    // After the archive was sealed (and is on its medium): the rest is read back, then the first
    // two blocks, and all of it compared with what was written. True when it all matched.
    bool Finish(const ArchiveTally& tally, WriteProblem* problem);
    // Lets go of the archive (Finish does so itself): before it is removed or moved.
    void Close();

private:
    struct Chunk;
    bool ReadUpTo(std::uint64_t end, const ArchiveTally* expected, WriteProblem* problem);
    bool ReadWhole(std::uint8_t* out, DWORD size, DWORD* got);
    bool Open(WriteProblem* problem);
    // True (and *problem filled) once what was read back differs from what was written.
    bool Mismatch(WriteProblem* problem);
    bool ReadFailed(DWORD error, WriteProblem* problem);
    void Post(std::unique_ptr<Chunk> chunk);
    std::unique_ptr<Chunk> TakeFree();
    void Return(std::unique_ptr<Chunk> chunk);
    void Drain();
    void Sum();

    platform::FileSystem& fs_;
    platform::Handle writer_;
    platform::Handle reader_ = platform::InvalidHandle;
    std::string path_;
    Block versionBlock_;
    std::uint64_t partBytes_;
    std::uint64_t readEnd_ = 0; // what has been read back: up to here
    bool failed_ = false;

    // The summing thread and what passes between it and the caller.
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::unique_ptr<Chunk>> queue_; // read, waiting to be summed, in order
    std::vector<std::unique_ptr<Chunk>> free_;  // summed, to be read into again
    std::size_t chunks_ = 0;                    // made so far
    std::size_t busy_ = 0;                      // taken from the queue, still being summed
    bool stopping_ = false;
    bool differs_ = false;
    ArchiveTally sums_; // of what was read back, the record's block left out
    std::thread summer_;
};

} // namespace archive
