#include "Inspect.h"

#include "archive/Reader.h"

#include <algorithm>

namespace vhbtool {

namespace {

bool AllZero(const std::uint8_t* p, std::size_t n) {
    return std::all_of(p, p + n, [](std::uint8_t b) { return b == 0; });
}

} // namespace

Inspection InspectArchive(platform::FileSystem& fs, platform::Handle archive, std::uint64_t size,
                          const std::function<void(const ListedEntry&)>& onEntry) {
    using namespace archive;
    Inspection result;
    auto note = [&](std::uint64_t offset, std::string text) {
        if (!result.problem) {
            result.problem = Problem{offset, std::move(text)};
        }
    };
    ArchiveInput in(fs, archive, size);
    if (size == 0) {
        note(0, "the archive is empty: it has no version block");
        return result;
    }
    if (in.Fill(BlockSize) < BlockSize) {
        note(in.ReadError() != 0 ? 0 : in.Pos(),
             in.ReadError() != 0 ? "the archive cannot be read (error " + std::to_string(in.ReadError()) + ")"
                                 : "the archive is shorter than one block");
        return result;
    }
    result.hasVersionBlock = true;
    result.version = VersionText(in.Data(), BlockSize);
    if (!AllZero(in.Data() + result.version.size(), BlockSize - result.version.size())) {
        note(0, "the version block holds more than a version text");
    }
    in.Consume(BlockSize);

    for (;;) {
        const std::uint64_t offset = in.Pos();
        const std::size_t got = in.Fill(BlockSize);
        if (got == 0) {
            break;
        }
        if (got < BlockSize) {
            note(offset, "the archive ends in a partial block of " + std::to_string(got) + " bytes");
            break;
        }
        const std::uint8_t* block = in.Data();
        const DecodedHeader decoded = DecodeHeader(block);
        const EntryKind kind = KindOf(decoded.header.attributes);
        if (!LooksLikeHeader(block) || !decoded.attributesOk || kind == EntryKind::Other) {
            note(offset, !LooksLikeHeader(block)
                             ? "expected an entry header, found a block without a drive root"
                         : !decoded.attributesOk ? "the attributes field is not a decimal number"
                                                 : "the attribute word marks neither a directory nor a file");
            PassOverBlocks(in);
            continue;
        }
        if (!decoded.timesOk) {
            note(offset, "a time field is not an unsigned 32-bit decimal number");
        }
        if (const std::string reason = UnsafePathReason(decoded.header.path); !reason.empty()) {
            note(offset, "the path \"" + decoded.header.path + "\" " + reason);
        }
        if (!AllZero(block + ReservedOffset, BlockSize - ReservedOffset)) {
            note(offset + ReservedOffset, "the reserved bytes of an entry header are not zero");
        }
        in.Consume(BlockSize);
        const std::uint64_t dataOffset = in.Pos();
        if (dataOffset >= size) {
            note(dataOffset, "the entry has no data block");
        }
        const StreamWalk walk = WalkEntryData(in, nullptr);
        if (walk.damaged) {
            note(dataOffset, in.ReadError() != 0
                                 ? "the archive cannot be read (error " + std::to_string(in.ReadError()) + ")"
                                 : "the entry's stream records run past the end of the archive");
        } else if (kind == EntryKind::Directory && walk.length != 0) {
            note(dataOffset, "a directory entry carries data");
        } else if (kind == EntryKind::File && walk.records == 0) {
            note(dataOffset, "the file entry has no stream record");
        }
        const std::size_t next = in.Fill(BlockSize);
        if (next > 0 && next == BlockSize && !LooksLikeHeader(in.Data())) {
            note(in.Pos(), "the entry's data is followed by a block that is no entry header");
        }
        if (onEntry) {
            onEntry(ListedEntry{offset, decoded.header, kind, kind == EntryKind::File ? walk.dataBytes : 0});
        }
    }
    if (size % BlockSize != 0) {
        note(size - size % BlockSize, "the archive's size " + std::to_string(size) +
                                          " is not a multiple of 1024: its last block is cut");
    }
    if (in.ReadError() != 0) {
        note(in.Pos(), "the archive cannot be read (error " + std::to_string(in.ReadError()) + ")");
    }
    return result;
}

} // namespace vhbtool
