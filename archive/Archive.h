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

// Program-wide values shared with the card operations.
// The prompt version read by the last ReadArchiveVersion (at most 6 characters).
extern std::string archivePromptVersion;
// Cleared by ReadArchiveVersion and when an extraction starts; set when one stops on a full
// card or a write error.
extern bool extractionFailed;
// Cleared by the operations before their work; set by the first extraction that takes its first
// block as the version block, so that only one version comparison happens per operation.
extern bool versionBlockSeen;

inline constexpr const char* CardFullMessage =
    "The operation could not be completed because the VoxHarbor card is full. The card must be "
    "re-initialized before it can be used in the system.";
inline constexpr const char* CardWriteErrorMessage =
    "An error has occurred while writing to the VoxHarbor card. Please check the card and card reader.";

// ---------------------------------------------------------------- writer

// Why a write stopped. The walk stops at the first problem, so the archive never silently
// misses an entry.
struct WriteProblem {
    enum class Kind { None, PathTooLong, CardReadFailed, ArchiveWriteFailed };
    Kind kind = Kind::None;
    std::string path; // the entry concerned (stored path form)
    DWORD error = 0;  // the platform's error code, where there is one
};

struct WriterCallbacks {
    // Shows the path being processed (status-bar part 1).
    std::function<void(const std::string& path)> showPath;
};

// Writes the version block: the first 6 characters of promptVersion, NUL-padded, then zeros.
bool WriteVersionBlock(platform::FileSystem& fs, platform::Handle archive, const std::string& promptVersion,
                       WriteProblem* problem);
// Writes one entry (header block and backup-stream blocks) for the stored path of a directory
// (ending in a backslash) or a file. False with *problem filled when it could not be written whole.
bool WriteArchiveEntry(platform::FileSystem& fs, const std::string& storedPath, platform::Handle archive,
                       WriteProblem* problem);
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
};

struct ExtractStats {
    unsigned directoriesRestored = 0;
    unsigned filesRestored = 0;
    unsigned entriesKeptOnCard = 0; // left out by the keep-prompts extraction
    unsigned entriesRefused = 0;    // unsafe or malformed paths, passed over
    unsigned entriesDamaged = 0;    // data records that claim more than the archive holds
    unsigned filesIncomplete = 0;   // not created, or data rejected by the card (error 6 or 13)
    DWORD archiveReadError = 0;     // a read of the archive file failed (the extraction stopped)
};

// Reads the prompt version from the archive's first block into archivePromptVersion and clears
// extractionFailed. A missing or unreadable archive gives an empty version (nothing is created).
void ReadArchiveVersion(platform::FileSystem& fs, const std::string& path);

// Restores every entry of the open archive (positioned at its start, size bytes long) onto the
// card at cardRoot ("X:\\"). When the archive's version differs from promptVersion and that is
// not empty, the card's prompts are deleted first. False when it stopped on a full card or a
// write error (after showMessage).
bool ExtractArchive(platform::FileSystem& fs, platform::Handle archive, std::uint64_t size,
                    const std::string& cardRoot, const std::string& promptVersion,
                    const ExtractCallbacks& callbacks, ExtractStats* stats = nullptr);
// The same, but nothing below the card's prompt directory is restored.
bool ExtractArchiveKeepPrompts(platform::FileSystem& fs, platform::Handle archive, std::uint64_t size,
                               const std::string& cardRoot, const std::string& promptVersion,
                               const ExtractCallbacks& callbacks, ExtractStats* stats = nullptr);

} // namespace archive
