// Checking a whole archive before anything of it reaches a card, and the integrity record that
// our own backups carry.
//
// The integrity record is the block right after the version block. A reader passes over the
// version block and every block after it up to the first entry header, so the record is never
// restored; archives without it (every archive written before it existed) are read as before.
// It holds, as decimal text in 32-byte NUL-padded fields, the number of entries, the archive's
// total length and two checksums of every byte of the archive but the record's own block.
// Bytes 0 to 3 are never zero and bytes 1 and 2 are no drive root, so the record can neither
// pass for an entry header nor for the start of a backup-stream record.
#pragma once

#include "archive/Format.h"

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace archive {

inline constexpr std::string_view IntegrityMagic = "VHBINTEGRITY";
inline constexpr std::size_t IntegrityEntriesOffset = 96;
inline constexpr std::size_t IntegrityLengthOffset = 128;
inline constexpr std::size_t IntegritySumAOffset = 160;
inline constexpr std::size_t IntegritySumBOffset = 192;

struct IntegrityRecord {
    std::uint64_t entries = 0;
    std::uint64_t length = 0;
    std::uint64_t sumA = 0;
    std::uint64_t sumB = 0;
};

// The record of everything tallied, with the record's own block counted in the length.
IntegrityRecord RecordOf(const ArchiveTally& tally);
void EncodeIntegrityRecord(const IntegrityRecord& record, Block& block);
// True when the block begins with the record's mark.
bool IsIntegrityBlock(const std::uint8_t* block);
// The record's fields; nullopt when one of them is not a decimal number.
std::optional<IntegrityRecord> DecodeIntegrityRecord(const std::uint8_t* block);

// The version block that WriteVersionBlock writes.
Block VersionBlockOf(const std::string& promptVersion);

// Writes the record's block at the archive's current position (block 1, a placeholder until the
// tally is complete).
bool WriteIntegrityBlock(platform::FileSystem& fs, platform::Handle archive, const IntegrityRecord& record,
                         WriteProblem* problem);
// Rewrites the first two blocks of the archive open for writing: the version block and the
// finished record; the rest of the file is left as it is. Then puts the whole file on its
// medium (FlushFileBuffers): a flush that fails is a write that failed.
bool SealArchive(platform::FileSystem& fs, platform::Handle archive, const std::string& promptVersion,
                 const ArchiveTally& tally, WriteProblem* problem);

struct ArchiveProblem {
    std::uint64_t offset = 0;
    std::string text;
};

// One entry as the extractor would take it.
struct CheckedEntry {
    std::uint64_t offset = 0; // of its header block
    EntryHeader header;
    EntryKind kind = EntryKind::Other;
    std::uint64_t dataBytes = 0; // the file's contents (0 for directories)
};

struct ArchiveCheck {
    std::optional<ArchiveProblem> problem; // the first thing that makes the archive unfit
    DWORD readError = 0;                   // the problem is that the file could not be read
    std::vector<ArchiveProblem> warnings;  // what the program reads its own way, and passes over
    bool versionBlockPresent = false;
    std::string version; // as ReadArchiveVersion reads it
    std::optional<IntegrityRecord> integrity;
    bool checksumVerified = false;
    // With verifyChecksum, the sums of every byte read (the record's block left out), for the
    // extraction to compare with what it reads.
    ArchiveSums sums;
    std::uint64_t entries = 0; // directory and file entries

    bool Sound() const { return !problem.has_value(); }
};

// Walks the whole open archive (positioned at its start, size bytes long) the way the extractor
// does, and names the first problem that would make an extraction restore less than the archive
// claims, restore something that is no entry, or leave the card: a size that is no whole number
// of blocks, a missing or unsound version block, a header that does not parse, a path that
// leaves the card, a header without data, a backup stream that runs past the end, a block where
// a header should be, a backup-stream record of a kind no card takes (ids 10 and 11), and an
// integrity record that does not match. Without verifyChecksum the
// files' data is passed over where the file services allow, so only headers and stream records
// are read; with it every byte is read and checked against the record's checksums.
// onEntry sees every entry that could be made out, also after a problem.
ArchiveCheck CheckArchive(platform::FileSystem& fs, platform::Handle archive, std::uint64_t size,
                          bool verifyChecksum, const std::function<void(const CheckedEntry&)>& onEntry = {});

} // namespace archive
