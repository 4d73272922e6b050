// Archives built by hand from the block layout, independent of the writer.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace test {
using Bytes = std::vector<std::uint8_t>;
}

namespace test {

inline void Put(Bytes& block, std::size_t offset, const std::string& text) {
    std::memcpy(block.data() + offset, text.data(), text.size());
}

// A version block: the text at 0, zeros after.
inline Bytes VersionBlock(const std::string& version) {
    Bytes b(1024, 0);
    Put(b, 0, version);
    return b;
}

// An entry header: path at 0, attributes at 64, the six time halves at 96, 128, ... 256.
inline Bytes HeaderBlock(const std::string& path, const std::string& attributes,
                         const std::vector<std::string>& halves = {"0", "0", "0", "0", "0", "0"}) {
    Bytes b(1024, 0);
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
    b.resize((stream.size() / 1024 + 1) * 1024, pad);
    return b;
}

inline Bytes FileStream(const Bytes& contents) {
    Bytes s = DataRecordHeader(contents.size());
    s.insert(s.end(), contents.begin(), contents.end());
    return s;
}

inline Bytes Text(const std::string& s) {
    return Bytes(s.begin(), s.end());
}

// Windows paths in a text file: the second block of its stream begins with "C:\".
inline Bytes PathListing() {
    std::string text(1004, '-');
    text += "C:\\ZEL\\VoxHarbor\\Backup\\monday.vhb\r\n";
    text += std::string(2000 - text.size() % 1024, '+');
    return Text(text);
}

inline Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& p : parts) {
        all.insert(all.end(), p.begin(), p.end());
    }
    return all;
}

} // namespace test
