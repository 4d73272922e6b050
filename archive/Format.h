// The block layout of a greeting & data archive, and the pieces of it that the writer, the
// extractor and vhbtool share: header fields, decimal time halves, the stored path form and the
// WIN32_STREAM_ID records inside an entry's data blocks.
#pragma once

#include "archive/Archive.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace archive {

using Block = std::array<std::uint8_t, BlockSize>;

// Field offsets of an entry header block.
inline constexpr std::size_t AttributesOffset = 64;
inline constexpr std::size_t NumberFieldSize = 32;
inline constexpr std::size_t CreationLowOffset = 96;
inline constexpr std::size_t ReservedOffset = 288;

// Attribute bits that make an entry a directory or a file.
inline constexpr DWORD DirectoryBit = FILE_ATTRIBUTE_DIRECTORY;
inline constexpr DWORD FileBits = FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NORMAL;

struct EntryHeader {
    std::string path; // at most 64 characters
    DWORD attributes = 0;
    FILETIME creationTime;
    FILETIME lastAccessTime;
    FILETIME lastWriteTime;
};

enum class EntryKind { Directory, File, Other };
EntryKind KindOf(DWORD attributes);

// Fills a zeroed block with the header fields. The path must hold at most 64 characters.
void EncodeHeader(const EntryHeader& header, Block& block);

// What a header block holds. Text fields that are not plain decimal numbers (or exceed 32
// bits) leave ok false; the path is always taken (up to the first NUL, at most 64 characters).
struct DecodedHeader {
    EntryHeader header;
    bool attributesOk = true;
    bool timesOk = true;
};
DecodedHeader DecodeHeader(const std::uint8_t* block);

// True for a block that has the shape of an entry header: byte 1 ':' and byte 2 '\'.
inline bool LooksLikeHeader(const std::uint8_t* block) {
    return block[1] == ':' && block[2] == '\\';
}

// Parses a NUL-padded decimal field: digits, then only NULs. Empty gives 0. Nullopt for any
// other byte or a value above 4294967295.
std::optional<DWORD> ParseDecimalField(const std::uint8_t* field, std::size_t width);
// The same for a field of up to 64 bits.
std::optional<std::uint64_t> ParseDecimalField64(const std::uint8_t* field, std::size_t width);
// Writes the decimal text of value at offset (the rest of the field stays as it is: NULs).
void PutDecimalField(Block& block, std::size_t offset, std::uint64_t value);

// The text of bytes 0 to 5 of a version block, up to the first NUL.
std::string VersionText(const std::uint8_t* block, std::size_t available);

// Why a stored path cannot be restored below a card root; empty when it can.
// Accepted: a drive root "X:\" followed by at least one name; names separated by one or more
// backslashes; a trailing backslash allowed. Refused: "." and ".." names, names with '/', ':',
// control characters or <>"|?*, names ending in a dot or blank, device names (CON, NUL, ...).
std::string UnsafePathReason(std::string_view storedPath);

// True when the stored path lies in the card's prompt directory "VM\PROMPTS" below the root, or
// is that directory's own entry (names compare case-insensitively, any number of backslashes).
bool IsUnderPromptDirectory(std::string_view storedPath);
// What a prompt update may restore: the prompt directory and what lies in it, and the entry of
// the directory "VM" that holds it.
bool IsPromptUpdateEntry(std::string_view storedPath);
// Whether the path names a file "VERSION.TXT" below the prompt directory: a slot's version file.
bool IsPromptVersionFile(std::string_view storedPath);
// Whether it is slot 0's version file "VM\PROMPTS\0\0\0\VERSION.TXT", whose version the card shows.
bool IsShownVersionFile(std::string_view storedPath);

// A card root of the form "X:\".
bool IsDriveRoot(std::string_view root);

// One WIN32_STREAM_ID record header.
struct StreamRecordHeader {
    DWORD id = 0;
    DWORD attributes = 0;
    std::uint64_t size = 0;
    DWORD nameSize = 0;
    // Bytes the record takes: header, name and data (saturates instead of wrapping).
    std::uint64_t Length() const;
};
StreamRecordHeader DecodeStreamRecordHeader(const std::uint8_t* bytes);
// Stream ids of the records that the backup-write service takes (BACKUP_DATA up to the sparse
// block). Windows knows two more (10, transactional data; 11, ghosted extents), which no
// card's file services write: a stream that holds one cannot be restored.
inline bool IsValidStreamId(DWORD id) {
    return id >= BACKUP_DATA && id <= BACKUP_SPARSE_BLOCK;
}
inline bool IsUnwritableStreamId(DWORD id) {
    return id == 10 || id == 11;
}

} // namespace archive
