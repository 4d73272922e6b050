// Greeting & data archives built by hand from the block layout, never through the archive
// writer: a version block, then per entry a header block and the 1024-byte blocks of its backup
// stream. The archive and the operation tests share it.
#pragma once

#include "platform/api/WinTypes.h"

#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

namespace test {

using Bytes = std::vector<std::uint8_t>;

inline constexpr std::size_t Block = 1024;

inline void Put(Bytes& block, std::size_t offset, std::string_view text) {
    std::memcpy(block.data() + offset, text.data(), text.size());
}

inline Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& p : parts) {
        all.insert(all.end(), p.begin(), p.end());
    }
    return all;
}

// A version block: the text at 0, zeros after.
inline Bytes VersionBlock(std::string_view version) {
    Bytes b(Block, 0);
    Put(b, 0, version);
    return b;
}

// An entry header: path at 0, attributes at 64, the six time halves at 96, 128, ... 256, each as
// text in a 32-byte NUL-padded field.
inline Bytes HeaderBlock(std::string_view path, const std::string& attributes,
                         const std::vector<std::string>& halves = {"0", "0", "0", "0", "0", "0"}) {
    Bytes b(Block, 0);
    Put(b, 0, path);
    Put(b, 64, attributes);
    for (std::size_t i = 0; i < halves.size(); ++i) {
        Put(b, 96 + 32 * i, halves[i]);
    }
    return b;
}

// A WIN32_STREAM_ID header of a BACKUP_DATA record of n bytes.
inline Bytes DataRecordHeader(std::uint64_t n, std::uint32_t id = 1) {
    Bytes h(20, 0);
    for (int i = 0; i < 4; ++i) {
        h[i] = static_cast<std::uint8_t>(id >> (8 * i));
    }
    for (int i = 0; i < 8; ++i) {
        h[8 + i] = static_cast<std::uint8_t>(n >> (8 * i));
    }
    return h;
}

// Data blocks of a stream: the bytes, then padding up to the end of the block (a stream that
// fills its blocks gets a whole block of padding).
inline Bytes DataBlocks(const Bytes& stream, std::uint8_t pad = 0) {
    Bytes b = stream;
    b.resize((stream.size() / Block + 1) * Block, pad);
    return b;
}

inline Bytes Text(std::string_view s) {
    return Bytes(s.begin(), s.end());
}

inline Bytes FileStream(const Bytes& contents) {
    return Concat({DataRecordHeader(contents.size()), contents});
}

// Windows paths in a text file: the second block of its stream begins with "C:\".
inline Bytes PathListing() {
    std::string text(1004, '-');
    text += "C:\\ZEL\\VoxHarbor\\Backup\\monday.vhb\r\n";
    text += std::string(2000 - text.size() % 1024, '+');
    return Text(text);
}

// A whole archive entry by entry; every entry's six time halves come from one FILETIME.
struct ArchiveBuilder {
    Bytes bytes;
    // The version block holds the first six characters of the version.
    explicit ArchiveBuilder(std::string_view version) : bytes(VersionBlock(version.substr(0, 6))) {}

    ArchiveBuilder& Directory(std::string_view storedPath, DWORD attributes = FILE_ATTRIBUTE_DIRECTORY,
                              FILETIME time = FILETIME::From(132000000000000000ULL)) {
        Add(storedPath, attributes, time, Bytes(Block, 0));
        return *this;
    }
    ArchiveBuilder& File(std::string_view storedPath, std::string_view content,
                         DWORD attributes = FILE_ATTRIBUTE_ARCHIVE,
                         FILETIME time = FILETIME::From(132000000000000000ULL)) {
        Add(storedPath, attributes, time, DataBlocks(FileStream(Text(content))));
        return *this;
    }
    // A card's prompt tree for one version ("0110" is shown as 1.10): the directories down to
    // slot 0 and its VERSION.TXT, plus one prompt file.
    ArchiveBuilder& Prompts(std::string_view root, std::string_view versionFileText,
                            std::string_view promptData) {
        const std::string r(root);
        Directory(r + "\\VM\\");
        Directory(r + "\\VM\\\\PROMPTS\\");
        Directory(r + "\\VM\\\\PROMPTS\\\\0\\");
        Directory(r + "\\VM\\\\PROMPTS\\\\0\\\\0\\");
        Directory(r + "\\VM\\\\PROMPTS\\\\0\\\\0\\\\0\\");
        File(r + "\\VM\\\\PROMPTS\\\\0\\\\0\\\\0\\VERSION.TXT", versionFileText);
        File(r + "\\VM\\\\PROMPTS\\\\0\\\\0\\P001.WAV", promptData);
        return *this;
    }

private:
    void Add(std::string_view storedPath, DWORD attributes, FILETIME t, const Bytes& data) {
        const std::string low = std::to_string(t.dwLowDateTime);
        const std::string high = std::to_string(t.dwHighDateTime);
        bytes = Concat(
            {bytes, HeaderBlock(storedPath, std::to_string(attributes), {low, high, low, high, low, high}),
             data});
    }
};

} // namespace test
