#include "archive/Check.h"

#include "archive/Reader.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace archive {

namespace {

std::uint64_t Le64(const std::uint8_t* p) {
    std::uint64_t v = 0;
    for (int i = 7; i >= 0; --i) {
        v = (v << 8) | p[i];
    }
    return v;
}

// A field of the integrity record: like a header field, but of up to 64 bits and never empty.
std::optional<std::uint64_t> ParseRecordField(const std::uint8_t* field) {
    if (field[0] == 0) {
        return std::nullopt;
    }
    return ParseDecimalField64(field, NumberFieldSize);
}

bool AllZero(const std::uint8_t* p, std::size_t n) {
    return std::all_of(p, p + n, [](std::uint8_t b) { return b == 0; });
}

} // namespace

void ArchiveTally::Add(const std::uint8_t* data, std::size_t size) {
    length += size;
    while (size > 0 && carried > 0) {
        carry[carried++] = *data++;
        --size;
        if (carried == 8) {
            sumA += Le64(carry);
            sumB += sumA;
            carried = 0;
        }
    }
    std::uint64_t a = sumA;
    std::uint64_t b = sumB;
    // Four words a turn: the same chain of additions with a quarter of the loop's own steps (which
    // cost most where the card stack is measured, under software emulation).
    const auto word = [](const std::uint8_t* p) {
        std::uint64_t w;
        std::memcpy(&w, p, 8);
        if constexpr (std::endian::native == std::endian::big) {
            w = Le64(p);
        }
        return w;
    };
    for (; size >= 32; size -= 32, data += 32) {
        a += word(data);
        b += a;
        a += word(data + 8);
        b += a;
        a += word(data + 16);
        b += a;
        a += word(data + 24);
        b += a;
    }
    for (; size >= 8; size -= 8, data += 8) {
        a += word(data);
        b += a;
    }
    sumA = a;
    sumB = b;
    while (size > 0) {
        carry[carried++] = *data++;
        --size;
    }
}

void ArchiveTally::Finish(std::uint64_t* a, std::uint64_t* b) const {
    *a = sumA;
    *b = sumB;
    if (carried > 0) {
        std::uint8_t last[8] = {};
        std::memcpy(last, carry, carried);
        *a += Le64(last);
        *b += *a;
    }
}

ArchiveSums SumsOf(const ArchiveTally& tally) {
    ArchiveSums sums;
    sums.length = tally.length;
    tally.Finish(&sums.sumA, &sums.sumB);
    return sums;
}

IntegrityRecord RecordOf(const ArchiveTally& tally) {
    IntegrityRecord r;
    r.entries = tally.entries;
    r.length = tally.length + BlockSize;
    tally.Finish(&r.sumA, &r.sumB);
    return r;
}

void EncodeIntegrityRecord(const IntegrityRecord& record, Block& block) {
    block.fill(0);
    std::memcpy(block.data(), IntegrityMagic.data(), IntegrityMagic.size());
    PutDecimalField(block, IntegrityEntriesOffset, record.entries);
    PutDecimalField(block, IntegrityLengthOffset, record.length);
    PutDecimalField(block, IntegritySumAOffset, record.sumA);
    PutDecimalField(block, IntegritySumBOffset, record.sumB);
}

bool IsIntegrityBlock(const std::uint8_t* block) {
    return std::memcmp(block, IntegrityMagic.data(), IntegrityMagic.size()) == 0;
}

std::optional<IntegrityRecord> DecodeIntegrityRecord(const std::uint8_t* block) {
    const auto entries = ParseRecordField(block + IntegrityEntriesOffset);
    const auto length = ParseRecordField(block + IntegrityLengthOffset);
    const auto a = ParseRecordField(block + IntegritySumAOffset);
    const auto b = ParseRecordField(block + IntegritySumBOffset);
    if (!IsIntegrityBlock(block) || !entries || !length || !a || !b) {
        return std::nullopt;
    }
    return IntegrityRecord{*entries, *length, *a, *b};
}

ArchiveCheck CheckArchive(platform::FileSystem& fs, platform::Handle archive, std::uint64_t size,
                          bool verifyChecksum, const std::function<void(const CheckedEntry&)>& onEntry) {
    ArchiveCheck result;
    auto refuse = [&](std::uint64_t offset, std::string text) {
        if (!result.problem) {
            result.problem = ArchiveProblem{offset, std::move(text)};
        }
    };
    auto warn = [&](std::uint64_t offset, std::string text) {
        result.warnings.push_back(ArchiveProblem{offset, std::move(text)});
    };
    auto readError = [&result](DWORD error) {
        if (!result.problem) {
            result.readError = error;
        }
        return "the archive file cannot be read (error " + std::to_string(error) + ")";
    };

    if (size % BlockSize != 0) {
        refuse(size - size % BlockSize,
               "the archive's size " + std::to_string(size) +
                   " is not a whole number of 1024-byte blocks: its last block is cut");
    }
    if (size == 0) {
        refuse(0, "the archive is empty: it holds no version block");
        return result;
    }
    ArchiveInput in(fs, archive, size);
    ArchiveTally tally;
    if (verifyChecksum) {
        in.CountInto(&tally);
    } else {
        in.Skim();
    }
    if (in.Fill(BlockSize) < BlockSize) {
        refuse(0, in.ReadError() != 0 ? readError(in.ReadError()) : "the archive is shorter than one block");
        return result;
    }

    // The version block: the extractor takes its version and passes over it as an entry with an
    // empty attribute word.
    const std::uint8_t* first = in.Data();
    result.version = VersionText(first, BlockSize);
    if (LooksLikeHeader(first)) {
        refuse(0, "the archive has no version block: it begins with an entry header");
    } else if (!AllZero(first + AttributesOffset, NumberFieldSize)) {
        refuse(AttributesOffset, "the version block's attributes field is not empty");
    } else {
        result.versionBlockPresent = true;
        if (first[VersionFieldSize] != 0) {
            warn(VersionFieldSize,
                 "byte 6 of the version block is not NUL: the version is its first six characters");
        } else if (!AllZero(first + VersionFieldSize, BlockSize - VersionFieldSize)) {
            warn(VersionFieldSize, "the version block holds more than a version text; the program reads only "
                                   "its first six bytes");
        }
        in.Consume(BlockSize);
        // Our own backups carry their integrity record in the next block.
        if (in.Fill(BlockSize) == BlockSize && IsIntegrityBlock(in.Data())) {
            result.integrity = DecodeIntegrityRecord(in.Data());
            if (!result.integrity) {
                refuse(BlockSize, "the integrity record is damaged");
            }
            in.Uncounted(BlockSize, 2 * BlockSize); // the record's own block is not in its checksums
            in.Consume(BlockSize);
        }
    }

    for (;;) {
        const std::uint64_t offset = in.Pos();
        const std::size_t got = in.Fill(BlockSize);
        if (got < BlockSize) {
            break; // the end, a cut last block (refused above) or a read error (below)
        }
        const std::uint8_t* block = in.Data();
        const DecodedHeader decoded = DecodeHeader(block);
        const EntryKind kind = KindOf(decoded.header.attributes);
        if (!LooksLikeHeader(block)) {
            refuse(offset, "expected an entry header, found a block that is none");
            PassOverBlocks(in);
            continue;
        }
        if (!decoded.attributesOk) {
            refuse(offset + AttributesOffset,
                   "the attributes field of an entry header is not a decimal number");
            PassOverBlocks(in);
            continue;
        }
        if (kind == EntryKind::Other) {
            warn(offset, "the attribute word " + std::to_string(decoded.header.attributes) + " of \"" +
                             decoded.header.path +
                             "\" marks neither a directory nor a file: the program passes over the entry");
            if (onEntry) {
                onEntry(CheckedEntry{offset, decoded.header, kind, 0});
            }
            PassOverBlocks(in);
            continue;
        }
        if (!decoded.timesOk) {
            refuse(offset + CreationLowOffset,
                   "a time field of an entry header is not an unsigned 32-bit decimal number");
        }
        if (const std::string reason = UnsafePathReason(decoded.header.path); !reason.empty()) {
            refuse(offset, "the path \"" + decoded.header.path + "\" " + reason);
        }
        if (!AllZero(block + ReservedOffset, BlockSize - ReservedOffset)) {
            warn(offset + ReservedOffset, "the reserved bytes of an entry header are not zero");
        }
        in.Consume(BlockSize);
        ++result.entries;
        const std::uint64_t dataOffset = in.Pos();
        if (dataOffset >= size) {
            refuse(dataOffset, "the entry \"" + decoded.header.path + "\" has no data block");
            if (onEntry) {
                onEntry(CheckedEntry{offset, decoded.header, kind, 0});
            }
            break;
        }
        const StreamWalk walk = WalkEntryData(in, nullptr);
        if (walk.damaged) {
            refuse(dataOffset, in.ReadError() != 0 ? readError(in.ReadError())
                                                   : "the backup stream of \"" + decoded.header.path +
                                                         "\" runs past the end of the archive");
        } else if (kind == EntryKind::Directory && walk.length != 0) {
            refuse(dataOffset, "the directory entry \"" + decoded.header.path + "\" carries data");
        } else if (walk.unwritableId != 0) {
            refuse(dataOffset, "the backup stream of \"" + decoded.header.path +
                                   "\" holds a record of kind " + std::to_string(walk.unwritableId) +
                                   ", which no card's file services take");
        } else if (kind == EntryKind::File && walk.records == 0) {
            warn(dataOffset, "the file entry \"" + decoded.header.path +
                                 "\" holds no backup stream: the program restores it empty");
        }
        if (onEntry) {
            onEntry(CheckedEntry{offset, decoded.header, kind, kind == EntryKind::File ? walk.dataBytes : 0});
        }
    }
    if (in.ReadError() != 0) {
        refuse(in.Pos(), readError(in.ReadError()));
    }

    if (!result.integrity && result.entries == 0 && !result.version.empty() && result.version != "No Pro" &&
        result.versionBlockPresent) {
        // Only a card with prompts gives a version ("No Prompts" is what a card without them
        // shows), and its prompts are entries: this is the first block of an archive whose
        // entries were cut off.
        refuse(BlockSize, "the archive names prompt version \"" + result.version + "\" but holds no entries");
    }
    if (result.integrity) {
        const IntegrityRecord& record = *result.integrity;
        if (record.length != size) {
            refuse(std::min(record.length, size),
                   "the integrity record gives a length of " + std::to_string(record.length) +
                       " bytes, the archive has " + std::to_string(size) +
                       (size < record.length ? ": it was cut short" : ": it was extended"));
        } else if (record.entries != result.entries) {
            refuse(BlockSize, "the integrity record counts " + std::to_string(record.entries) +
                                  " entries, the archive holds " + std::to_string(result.entries));
        } else if (verifyChecksum && result.Sound()) {
            const ArchiveSums sums = SumsOf(tally);
            if (sums.sumA != record.sumA || sums.sumB != record.sumB) {
                refuse(BlockSize, "the archive's bytes do not match the checksums of its integrity record");
            } else {
                result.checksumVerified = true;
            }
        }
    }
    if (verifyChecksum) {
        result.sums = SumsOf(tally);
    }
    return result;
}

} // namespace archive
