// Greeting & data archives for the operation tests, laid out block by block from the format's
// literal layout (never through the archive writer): a version block, then per entry a header
// block and the 1024-byte blocks of its backup stream.
#pragma once

#include "platform/api/WinTypes.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace optest {

using Bytes = std::vector<std::uint8_t>;

inline constexpr std::size_t Block = 1024;

// Bytes 0 to 5: the first six characters of the version, NUL-padded; the rest zero.
Bytes VersionBlock(std::string_view version);
// Path at 0 (64 bytes), attribute word at 64, then the six time halves at 96..256, each as
// unsigned decimal text in a 32-byte NUL-padded field.
Bytes HeaderBlock(std::string_view storedPath, DWORD attributes, FILETIME creation, FILETIME lastAccess,
                  FILETIME lastWrite);
// A file's backup stream (one 20-byte BACKUP_DATA record and the bytes) cut into
// floor(N / 1024) + 1 blocks, the last one zero-padded.
Bytes FileDataBlocks(std::string_view content);

struct ArchiveBuilder {
    Bytes bytes;
    explicit ArchiveBuilder(std::string_view version);
    ArchiveBuilder& Directory(std::string_view storedPath, DWORD attributes = FILE_ATTRIBUTE_DIRECTORY,
                              FILETIME time = FILETIME::From(132000000000000000ULL));
    ArchiveBuilder& File(std::string_view storedPath, std::string_view content,
                         DWORD attributes = FILE_ATTRIBUTE_ARCHIVE,
                         FILETIME time = FILETIME::From(132000000000000000ULL));
    // A card's prompt tree for one version ("0110" is shown as 1.10): the directories down to
    // slot 0 and its VERSION.TXT, plus one prompt file.
    ArchiveBuilder& Prompts(std::string_view root, std::string_view versionFileText,
                            std::string_view promptData);
};

} // namespace optest
