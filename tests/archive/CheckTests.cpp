// The whole-archive check that runs before a card is changed, and the integrity record of our own
// archives: what is refused, what is only warned about, and that a reader which knows nothing of
// the record restores such an archive exactly.
#include "MemoryCard.h"
#include "archive/Archive.h"
#include "archive/Check.h"
#include "platform/api/LastError.h"
#include "tests/support/ArchiveLayout.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>

using namespace test;

namespace {

struct Check : MemoryCard {
    // A card E: whose streams end at every kind of block position: mid-block, 1 to 19 bytes
    // short of a block (a partial record header of padding), exactly on a block, and empty.
    void FillCard() {
        MakeDirectory("E:\\VM");
        MakeDirectory("E:\\VM\\PROMPTS");
        MakeFile("E:\\VM\\PROMPTS\\VERSION.TXT", "0110\r\n");
        MakeFile("E:\\VM\\MID.WAV", Bytes(2500, 'm'));
        MakeFile("E:\\VM\\NEAR.WAV", Bytes(1000, 'n'), FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_HIDDEN);
        MakeFile("E:\\VM\\EXACT.WAV", Bytes(2028, 'x'), FILE_ATTRIBUTE_NORMAL);
        MakeFile("E:\\EMPTY.TXT", "");
        MakeDirectory("E:\\VM\\MSG");
    }

    // Our own archive of card E:, as Backup writes it: version block, record, entries, sealed.
    Bytes WriteRecorded() {
        const auto h = Fs().CreateFile("C:\\own.vhb", GENERIC_WRITE, 0, CREATE_ALWAYS, 0);
        archive::WriteProblem problem;
        archive::ArchiveTally tally;
        archive::WriterCallbacks cb;
        cb.tally = &tally;
        EXPECT_TRUE(archive::WriteVersionBlock(Fs(), h, "1.10", &problem, &tally) &&
                    archive::WriteIntegrityBlock(Fs(), h, {}, &problem) &&
                    archive::WriteArchiveTree(Fs(), "E:\\", h, cb, &problem) &&
                    archive::SealArchive(Fs(), h, "1.10", tally, &problem));
        Fs().CloseHandle(h);
        return Contents("C:\\own.vhb");
    }

    archive::ArchiveCheck Run(const Bytes& bytes, bool verify = false, std::uint64_t size = UINT64_MAX) {
        MakeFile("C:\\in.vhb", bytes);
        const auto h = Fs().CreateFile("C:\\in.vhb", GENERIC_READ, 0, OPEN_EXISTING, 0);
        const archive::ArchiveCheck check =
            archive::CheckArchive(Fs(), h, size == UINT64_MAX ? bytes.size() : size, verify);
        Fs().CloseHandle(h);
        return check;
    }
};

// The sizes at which an archive's entries begin and end (the cuts that leave whole entries).
std::vector<std::size_t> EntryBoundaries(const Bytes& a) {
    std::vector<std::size_t> out;
    for (std::size_t at = 1024; at + 1024 <= a.size(); at += 1024) {
        if (a[at + 1] == ':' && a[at + 2] == '\\') {
            out.push_back(at);
        }
    }
    out.push_back(a.size());
    return out;
}

TEST_F(Check, SoundArchivesPassWithOrWithoutARecord) {
    FillCard();
    const Bytes own = WriteRecorded();
    const archive::ArchiveCheck recorded = Run(own, true);
    EXPECT_TRUE(recorded.Sound()) << recorded.problem->offset << ": " << recorded.problem->text;
    ASSERT_TRUE(recorded.integrity.has_value());
    EXPECT_TRUE(recorded.checksumVerified);
    EXPECT_EQ(recorded.entries, 8u);
    EXPECT_EQ(recorded.version, "1.10");
    EXPECT_TRUE(recorded.warnings.empty());

    // An archive laid out without a record, as every archive before it was: checked by its
    // structure alone.
    ArchiveBuilder b("1.10");
    b.Prompts("E:\\", "0110\n", "prompt").File("E:\\EXACT.WAV", std::string(1004, 'x')).File("E:\\E.TXT", "");
    const archive::ArchiveCheck plain = Run(b.bytes, true);
    EXPECT_TRUE(plain.Sound()) << plain.problem->text;
    EXPECT_FALSE(plain.integrity.has_value());
    EXPECT_EQ(plain.entries, 9u);
    EXPECT_TRUE(Run(VersionBlock("")).Sound()); // the archive of an empty card
    // A version with nothing after it is the start of a cut archive: a card with prompts has them.
    EXPECT_FALSE(Run(VersionBlock("1.10")).Sound());
}

TEST_F(Check, EveryCutIsRefusedWhereTheRecordIsCarried) {
    FillCard();
    // Each cut is the file's first n bytes: the check reads no further than the size it is given.
    auto refusedCuts = [&](const Bytes& whole) {
        MakeFile("C:\\in.vhb", whole);
        const auto h = Fs().CreateFile("C:\\in.vhb", GENERIC_READ, 0, OPEN_EXISTING, 0);
        std::vector<bool> sound(whole.size());
        for (std::size_t n = 0; n < whole.size(); ++n) {
            EXPECT_TRUE(Fs().SetFilePointer(h, 0));
            sound[n] = archive::CheckArchive(Fs(), h, n, false).Sound();
        }
        Fs().CloseHandle(h);
        return sound;
    };
    const Bytes own = WriteRecorded();
    const std::vector<bool> recorded = refusedCuts(own);
    EXPECT_EQ(std::count(recorded.begin(), recorded.end(), true), 0);

    // Without the record a cut after a whole entry (before its padding block at the latest)
    // leaves a well-formed shorter archive; every other cut is still refused by the structure.
    Bytes plain = own;
    plain.erase(plain.begin() + 1024, plain.begin() + 2048);
    const std::vector<bool> structural = refusedCuts(plain);
    for (std::size_t n : EntryBoundaries(plain)) {
        EXPECT_TRUE(n == 1024 || n == plain.size() || structural[n]) << "entry boundary " << n;
    }
    for (std::size_t n = 0; n < plain.size(); ++n) {
        EXPECT_TRUE(!structural[n] || n % 1024 == 0) << "cut at " << n;
    }
    EXPECT_FALSE(structural[1024]); // the version block alone names prompts it lacks
}

TEST_F(Check, DamageIsNamedAtItsOffset) {
    const Bytes file = Concat({HeaderBlock("E:\\F.WAV", "32"), DataBlocks(FileStream(Bytes(3000, 'f')))});
    Bytes lying = DataRecordHeader(5000);
    lying.resize(1024, 'L');
    Bytes badRecord = Concat({VersionBlock(""), Bytes(1024, 0), file});
    std::memcpy(badRecord.data() + 1024, "VHBINTEGRITY", 12);
    const struct {
        const char* what;
        Bytes bytes;
        std::uint64_t offset;
        const char* says;
    } cases[] = {
        {"empty", {}, 0, "empty"},
        {"cut block", Concat({VersionBlock(""), Bytes(500, 0)}), 1024, "whole number"},
        {"no version block", file, 0, "no version block"},
        {"version with an attribute word", Concat({HeaderBlock("1.10", "32"), file}), 64, "attributes field"},
        {"garbage after the version", Concat({VersionBlock(""), Bytes(1024, 'g'), file}), 1024,
         "expected an entry"},
        {"header without data", Concat({VersionBlock(""), file, HeaderBlock("E:\\LAST", "32")}), 6144,
         "no data block"},
        {"record past the end", Concat({VersionBlock(""), HeaderBlock("E:\\L", "32"), lying}), 2048,
         "past the end"},
        {"path off the card", Concat({VersionBlock(""), HeaderBlock("E:\\\\..\\X", "32"), Bytes(1024, 0)}),
         1024, "'..'"},
        {"bad time",
         Concat(
             {VersionBlock(""), HeaderBlock("E:\\T", "32", {"x", "0", "0", "0", "0", "0"}), Bytes(1024, 0)}),
         1024 + 96, "time field"},
        {"directory with data",
         Concat({VersionBlock(""), HeaderBlock("E:\\\\D\\", "16"), DataBlocks(FileStream(Text("d")))}), 2048,
         "carries data"},
        {"damaged record", badRecord, 1024, "integrity record is damaged"},
        {"a record no card takes",
         Concat({VersionBlock(""), HeaderBlock("E:\\G.WAV", "32"),
                 DataBlocks(Concat({FileStream(Text("data")), DataRecordHeader(4, 11), Text("more")}))}),
         2048, "kind 11"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const archive::ArchiveCheck check = Run(c.bytes);
        ASSERT_FALSE(check.Sound());
        EXPECT_EQ(check.problem->offset, c.offset) << check.problem->text;
        EXPECT_NE(check.problem->text.find(c.says), std::string::npos) << check.problem->text;
    }
    // Random files of any length are refused, never restored.
    std::mt19937 random(12);
    for (std::size_t size : {1000u, 1024u, 3000u, 3072u, 8192u}) {
        Bytes noise(size);
        for (auto& b : noise) {
            b = static_cast<std::uint8_t>(random());
        }
        EXPECT_FALSE(Run(noise).Sound()) << size;
    }
}

TEST_F(Check, OnlyTheChecksumsSeeAChangedByteOrSwappedWordsOrBlocksOfAFile) {
    FillCard();
    Bytes mixed(5000);
    for (std::size_t i = 0; i < mixed.size(); ++i) {
        mixed[i] = static_cast<std::uint8_t>(i * 7 + i / 256);
    }
    MakeFile("E:\\MIXED.WAV", mixed);
    const Bytes own = WriteRecorded();
    const auto found = std::search(own.begin(), own.end(), mixed.begin(), mixed.end());
    ASSERT_NE(found, own.end());
    // Its second and third data blocks hold nothing but its data.
    const auto inner = (found - own.begin()) / 1024 * 1024 + 1024;
    Bytes flipped = own;
    flipped[inner + 500] ^= 0x20;
    Bytes words = own; // the sum of the words stays, the running sum does not
    std::swap_ranges(words.begin() + inner, words.begin() + inner + 8, words.begin() + inner + 8);
    Bytes blocks = own;
    std::swap_ranges(blocks.begin() + inner, blocks.begin() + inner + 1024, blocks.begin() + inner + 1024);
    for (const Bytes* changed : {&flipped, &words, &blocks}) {
        EXPECT_TRUE(Run(*changed, false).Sound());
        const archive::ArchiveCheck verified = Run(*changed, true);
        ASSERT_FALSE(verified.Sound());
        EXPECT_NE(verified.problem->text.find("checksums"), std::string::npos);
    }
    // A record that counts other entries than the archive holds.
    Bytes recount = WriteRecorded();
    recount[1024 + archive::IntegrityEntriesOffset] = '5';
    EXPECT_FALSE(Run(recount).Sound());
}

// The tally adds several words a turn; however the bytes arrive, it must give the sums of one word
// after the other, or archives written before would fail their check.
TEST(ArchiveTally, AnySplitOfTheBytesGivesTheSumsOfOneWordAfterTheOther) {
    std::mt19937_64 random(7);
    Bytes bytes(5000);
    for (auto& b : bytes) {
        b = static_cast<std::uint8_t>(random());
    }
    std::uint64_t a = 0;
    std::uint64_t b = 0;
    for (std::size_t at = 0; at < bytes.size(); at += 8) {
        std::uint8_t word[8] = {};
        std::memcpy(word, bytes.data() + at, std::min<std::size_t>(8, bytes.size() - at));
        std::uint64_t value = 0;
        for (int i = 7; i >= 0; --i) {
            value = value << 8 | word[i];
        }
        a += value;
        b += a;
    }
    for (int round = 0; round < 20; ++round) {
        archive::ArchiveTally tally;
        for (std::size_t at = 0; at < bytes.size();) {
            const std::size_t n = std::min<std::size_t>(random() % 700, bytes.size() - at);
            tally.Add(bytes.data() + at, n);
            at += n;
        }
        std::uint64_t gotA = 0;
        std::uint64_t gotB = 0;
        tally.Finish(&gotA, &gotB);
        EXPECT_EQ(gotA, a);
        EXPECT_EQ(gotB, b);
    }
}

TEST_F(Check, WhatTheProgramReadsItsOwnWayIsOnlyAWarning) {
    Bytes version = VersionBlock("1.2345X");
    const Bytes archive = Concat({version, HeaderBlock("E:\\HIDDEN", "2"), DataBlocks(FileStream(Text("h"))),
                                  HeaderBlock("E:\\F", "32"), DataBlocks(FileStream(Text("f")))});
    const archive::ArchiveCheck check = Run(archive);
    EXPECT_TRUE(check.Sound());
    EXPECT_EQ(check.version, "1.2345");
    ASSERT_EQ(check.warnings.size(), 2u);
    EXPECT_EQ(check.warnings[0].offset, 6u);
    EXPECT_EQ(check.warnings[1].offset, 1024u);
    EXPECT_NE(check.warnings[1].text.find("passes over"), std::string::npos);
    EXPECT_EQ(check.entries, 1u);
}

// Restores an archive block by block the way the format's reader is described, knowing nothing
// of the integrity record: a header's entry is created, a file's data blocks go whole to
// BackupWrite until the next header or the end, a block BackupWrite refuses ends the data, and
// every other block (the version block and whatever follows it, a directory's zero block) is
// passed over up to the next header.
void RestoreBlockByBlock(platform::FileSystem& fs, const Bytes& a, const std::string& root) {
    auto header = [&](std::size_t at) { return at < a.size() && archive::LooksLikeHeader(a.data() + at); };
    auto passOver = [&](std::size_t at) {
        for (at += 1024; at < a.size() && !header(at); at += 1024) {
        }
        return at;
    };
    std::size_t at = 0;
    while (at < a.size()) {
        const archive::EntryHeader h = archive::DecodeHeader(a.data() + at).header;
        const std::string path = h.path.size() >= 3 ? root + h.path.substr(3) : root;
        if (h.attributes & FILE_ATTRIBUTE_DIRECTORY) {
            fs.CreateDirectory(path);
            fs.SetFileAttributes(path, h.attributes);
        } else if (h.attributes & (FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NORMAL)) {
            const auto f = fs.CreateFile(path, GENERIC_WRITE, 0, CREATE_ALWAYS, 0);
            void* context = nullptr;
            std::size_t next = at + 1024;
            for (; next < a.size() && !header(next); next += 1024) {
                DWORD written = 0;
                platform::SetLastError(ERROR_SUCCESS);
                const BOOL ok = fs.BackupWrite(f, a.data() + next, 1024, &written, FALSE, &context);
                if (!ok || written < 1024) {
                    // The padding of the last block, or a block that continues no stream.
                    EXPECT_EQ(ok ? ERROR_SUCCESS : platform::GetLastError(),
                              ok ? ERROR_SUCCESS : ERROR_INVALID_DATA);
                    next = passOver(next);
                    break;
                }
            }
            DWORD ignored = 0;
            fs.BackupWrite(f, nullptr, 0, &ignored, TRUE, &context);
            fs.CloseHandle(f);
            fs.SetFileAttributes(path, h.attributes);
            at = next;
            continue;
        }
        at = passOver(at);
    }
}

TEST_F(Check, ARecordedArchiveRestoresExactlyThroughAReaderThatKnowsNothingOfTheRecord) {
    FillCard();
    const Bytes own = WriteRecorded();
    ASSERT_TRUE(archive::IsIntegrityBlock(own.data() + 1024));
    RestoreBlockByBlock(Fs(), own, "G:\\");

    std::vector<std::string> source = AllPaths("E:\\");
    std::vector<std::string> restored = AllPaths("G:\\");
    ASSERT_EQ(restored.size(), source.size());
    for (std::size_t i = 0; i < source.size(); ++i) {
        SCOPED_TRACE(source[i]);
        EXPECT_EQ(restored[i].substr(1), source[i].substr(1));
        const Info e = Stat(source[i]);
        const Info g = Stat(restored[i]);
        EXPECT_EQ(g.attributes, e.attributes);
        EXPECT_EQ(g.data, e.data);
    }
}

} // namespace
