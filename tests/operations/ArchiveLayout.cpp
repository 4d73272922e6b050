#include "ArchiveLayout.h"

#include <algorithm>
#include <cstring>
#include <string>

namespace optest {

namespace {

void PutText(Bytes& block, std::size_t offset, std::string_view text, std::size_t width) {
    std::memcpy(block.data() + offset, text.data(), std::min(text.size(), width));
}

void PutNumber(Bytes& block, std::size_t offset, DWORD value) {
    PutText(block, offset, std::to_string(value), 32);
}

void Append(Bytes& to, const Bytes& from) {
    to.insert(to.end(), from.begin(), from.end());
}

} // namespace

Bytes VersionBlock(std::string_view version) {
    Bytes block(Block, 0);
    PutText(block, 0, version, 6);
    return block;
}

Bytes HeaderBlock(std::string_view storedPath, DWORD attributes, FILETIME creation, FILETIME lastAccess,
                  FILETIME lastWrite) {
    Bytes block(Block, 0);
    PutText(block, 0, storedPath, 64);
    PutNumber(block, 64, attributes);
    PutNumber(block, 96, creation.dwLowDateTime);
    PutNumber(block, 128, creation.dwHighDateTime);
    PutNumber(block, 160, lastAccess.dwLowDateTime);
    PutNumber(block, 192, lastAccess.dwHighDateTime);
    PutNumber(block, 224, lastWrite.dwLowDateTime);
    PutNumber(block, 256, lastWrite.dwHighDateTime);
    return block;
}

Bytes FileDataBlocks(std::string_view content) {
    Bytes stream(20, 0);
    stream[0] = 1; // BACKUP_DATA, little-endian
    std::uint64_t size = content.size();
    for (int i = 0; i < 8; ++i) {
        stream[8 + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(size >> (8 * i));
    }
    stream.insert(stream.end(), content.begin(), content.end());
    const std::size_t blocks = stream.size() / Block + 1;
    stream.resize(blocks * Block, 0);
    return stream;
}

ArchiveBuilder::ArchiveBuilder(std::string_view version) : bytes(VersionBlock(version)) {}

ArchiveBuilder& ArchiveBuilder::Directory(std::string_view storedPath, DWORD attributes, FILETIME time) {
    Append(bytes, HeaderBlock(storedPath, attributes, time, time, time));
    Append(bytes, Bytes(Block, 0));
    return *this;
}

ArchiveBuilder& ArchiveBuilder::File(std::string_view storedPath, std::string_view content, DWORD attributes,
                                     FILETIME time) {
    Append(bytes, HeaderBlock(storedPath, attributes, time, time, time));
    Append(bytes, FileDataBlocks(content));
    return *this;
}

ArchiveBuilder& ArchiveBuilder::Prompts(std::string_view root, std::string_view versionFileText,
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

} // namespace optest
