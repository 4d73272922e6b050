// Greeting & data archives: a version block, then per directory or file an entry header block
// and the 1024-byte blocks of its backup stream. The writer turns a directory tree into an
// archive, the extractors put an archive back onto a card. Both work through the platform's
// file services only and report progress and problems to callbacks, which the main dialog binds
// to its status bar, progress bar and message boxes, and vhbtool to its output.
#pragma once

#include "platform/api/FileSystem.h"

#include <cstdint>
#include <functional>
#include <string>

namespace archive {

inline constexpr DWORD BlockSize = 1024;
inline constexpr std::size_t PathFieldSize = 64;
inline constexpr std::size_t VersionFieldSize = 6;

inline constexpr const char* CardFullMessage =
    "The operation could not be completed because the VoxHarbor card is full. The card must be "
    "re-initialized before it can be used in the system.";
inline constexpr const char* CardWriteErrorMessage =
    "An error has occurred while writing to the VoxHarbor card. Please check the card and card reader.";

// ---------------------------------------------------------------- writer

// Why a write stopped. The walk stops at the first problem, so the archive never silently
// misses an entry.
struct WriteProblem {
    // ReadBack: the archive did not read back from its medium as it was written (error: the
    // read's error; 0 when it read back other bytes than were written).
    enum class Kind { None, PathTooLong, CardReadFailed, ArchiveWriteFailed, ReadBack };
    Kind kind = Kind::None;
    std::string path; // the entry concerned (stored path form)
    DWORD error = 0;  // the platform's error code, where there is one
};

// What has been written to an archive so far, for its integrity record (Check.h):
// the entries, the bytes and their checksum. The record's own block is not counted.
struct ArchiveTally {
    std::uint64_t entries = 0;
    std::uint64_t length = 0;
    std::uint64_t sumA = 0; // sum of the 64-bit little-endian words
    std::uint64_t sumB = 0; // sum of the successive values of sumA
    std::uint8_t carry[8] = {};
    unsigned carried = 0;

    void Add(const std::uint8_t* data, std::size_t size);
    // The sums with the last partial word zero-padded.
    void Finish(std::uint64_t* a, std::uint64_t* b) const;
};

// The sums of every byte of an archive but its integrity record's block, as a reading of it
// found them: what a check read and what an extraction reads must be the same.
struct ArchiveSums {
    std::uint64_t length = 0;
    std::uint64_t sumA = 0;
    std::uint64_t sumB = 0;
    bool operator==(const ArchiveSums&) const = default;
};
ArchiveSums SumsOf(const ArchiveTally& tally);

struct WriterCallbacks {
    // Shows the path being processed (status-bar part 1).
    std::function<void(const std::string& path)> showPath;
    // Told of each piece of the card's data read: its size in bytes.
    std::function<void(std::uint64_t bytes)> dataRead;
    // When set, counts every entry and byte written.
    ArchiveTally* tally = nullptr;
    // Told after each whole entry; false stops the walk with the problem it filled in.
    std::function<bool(WriteProblem* problem)> entryWritten;
};

// Writes the version block: the first 6 characters of promptVersion, NUL-padded, then zeros.
bool WriteVersionBlock(platform::FileSystem& fs, platform::Handle archive, const std::string& promptVersion,
                       WriteProblem* problem, ArchiveTally* tally = nullptr);
// Writes one entry (header block and backup-stream blocks) for the stored path of a directory
// (ending in a backslash) or a file. False with *problem filled when it could not be written whole.
// A file whose size changes while it is read is a card-read failure: its record would not hold.
bool WriteArchiveEntry(platform::FileSystem& fs, const std::string& storedPath, platform::Handle archive,
                       WriteProblem* problem, ArchiveTally* tally = nullptr,
                       const WriterCallbacks* callbacks = nullptr);
// Writes every entry below directoryPath (which ends in a backslash, e.g. "E:\\"), depth-first in
// listing order; directories whose name begins with '.' are left out. Stops at the first problem.
bool WriteArchiveTree(platform::FileSystem& fs, const std::string& directoryPath, platform::Handle archive,
                      const WriterCallbacks& callbacks, WriteProblem* problem);

// ---------------------------------------------------------------- reader

struct ExtractCallbacks {
    // Deletes the card's prompt directory (called at most once, before anything is written).
    std::function<void()> deleteCardPrompts;
    // The progress bar: created before the first block, advanced one step at a time
    // (range 0 to 100), destroyed at the end.
    std::function<void()> progressCreate;
    std::function<void()> progressStep;
    std::function<void()> progressDestroy;
    // Shows a message with an OK button (card full, write error).
    std::function<void(const std::string& message)> showMessage;
    // When set: the sums the check before the extraction found. The extraction tallies what it
    // reads again and, when the two differ (the file changed since it was checked), stops
    // before the prompt slots' version files and directory times are written.
    const ArchiveSums* checked = nullptr;
};

// What an extraction did. The caller keeps the program-wide flags: it passes versionBlockSeen in
// and takes the new value back, and keeps failed as its extractionFailed.
struct ExtractResult {
    bool completed = false;        // the whole archive was processed
    bool failed = false;           // stopped on a full card or a write error (after showMessage)
    bool versionBlockSeen = false; // the flag after the call
    unsigned directoriesRestored = 0;
    unsigned filesRestored = 0;
    unsigned entriesKeptOnCard = 0; // left out by the keep-prompts extraction
    unsigned entriesRefused = 0;    // unsafe or malformed paths, passed over
    unsigned entriesDamaged = 0;    // data records that claim more than the archive holds
    unsigned filesIncomplete = 0;   // not created, or data rejected by the card (error 6 or 13)
    DWORD archiveReadError = 0;     // a read of the archive file failed (the extraction stopped)
    bool changedSinceCheck = false; // what was read differs from what was checked (not completed)
};

// The prompt version in the archive's first block (at most 6 characters). A missing or unreadable
// archive gives an empty version (nothing is created).
std::string ReadArchiveVersion(platform::FileSystem& fs, const std::string& path);

// Restores every entry of the open archive (positioned at its start, size bytes long) onto the
// card at cardRoot ("X:\\"). While versionBlockSeen is clear the first block is taken as the
// version block: when the archive's version differs from promptVersion and that is not empty,
// the card's prompts are deleted first. Not completed when it stopped on a full card or a write
// error (after showMessage), or the archive could not be read.
ExtractResult ExtractArchive(platform::FileSystem& fs, platform::Handle archive, std::uint64_t size,
                             const std::string& cardRoot, const std::string& promptVersion,
                             bool versionBlockSeen, const ExtractCallbacks& callbacks);
// The same, but nothing below the card's prompt directory is restored.
ExtractResult ExtractArchiveKeepPrompts(platform::FileSystem& fs, platform::Handle archive,
                                        std::uint64_t size, const std::string& cardRoot,
                                        const std::string& promptVersion, bool versionBlockSeen,
                                        const ExtractCallbacks& callbacks);

} // namespace archive
