// Hostile and malformed archives: nothing lands outside the card root, nothing crashes or hangs,
// and the good entries around a bad one are still restored.
#include "MemoryCard.h"
#include "archive/Archive.h"
#include "archive/Format.h"
#include "tests/support/ArchiveLayout.h"

#include <gtest/gtest.h>

#include <random>

using namespace test;

namespace {

struct UntrustedFixture : MemoryCard {
    archive::ExtractResult stats;
    std::vector<std::string> messages;
    bool Extract(const Bytes& bytes, std::uint64_t size) {
        MakeFile("C:\\in.vhb", bytes);
        const platform::Handle h = Fs().CreateFile("C:\\in.vhb", GENERIC_READ, 0, OPEN_EXISTING, 0);
        archive::ExtractCallbacks cb;
        cb.showMessage = [&](const std::string& m) { messages.push_back(m); };
        stats = archive::ExtractArchive(Fs(), h, size, "G:\\", "", true, cb);
        Fs().CloseHandle(h);
        return stats.completed;
    }
    bool Extract(const Bytes& bytes) { return Extract(bytes, bytes.size()); }
};

Bytes Good(const std::string& name) {
    return Concat({HeaderBlock("E:\\" + name, "32"), DataBlocks(FileStream(Text("ok")))});
}

TEST_F(UntrustedFixture, PathsThatLeaveTheCardOrNameOdditiesAreRefusedAndCounted) {
    const std::vector<std::string> hostile = {
        "E:\\\\..\\",     "E:\\\\VM\\\\..\\..\\ESCAPE",
        "E:\\..",         "E:\\a/../../etc/passwd",
        "/etc/passwd\\x", "E:\\\\C:\\X",
        "E:\\CON",        "E:\\NUL.TXT",
        "E:\\NAME. ",     "E:\\\\DIR.\\X",
        "E:\\A\x01",      "E:\\",
        "\\\\?\\C:\\X",   "EE:\\X",
        "E:\\a<b",        "E:\\\\VM\\\\.\\X",
    };
    Bytes archive = VersionBlock("");
    for (const std::string& p : hostile) {
        archive = Concat(
            {archive, HeaderBlock(p, p.back() == '\\' ? "16" : "32"), DataBlocks(FileStream(Text("evil")))});
    }
    archive = Concat({archive, Good("AFTER")});
    ASSERT_TRUE(Extract(archive));
    EXPECT_EQ(stats.entriesRefused, hostile.size());
    EXPECT_EQ(AllPaths("G:\\"), std::vector<std::string>{"G:\\AFTER"});
    EXPECT_EQ(AllPaths("C:\\"), std::vector<std::string>{"C:\\in.vhb"});
    // Nor on the PC's other card (the PC in memory refuses every host path).
    EXPECT_EQ(AllPaths("E:\\"), std::vector<std::string>{});
}

TEST_F(UntrustedFixture, BadNumbersInAHeaderRefuseTheEntry) {
    const Bytes archive = Concat({
        VersionBlock(""),
        HeaderBlock("E:\\ATTR", "3x"),
        DataBlocks(FileStream(Text("a"))),
        HeaderBlock("E:\\BIG", "99999999999"),
        DataBlocks(FileStream(Text("b"))),
        HeaderBlock("E:\\TIME", "32", {"4294967296", "0", "0", "0", "0", "0"}),
        DataBlocks(FileStream(Text("c"))),
        HeaderBlock("E:\\SIGN", "32", {"-1", "0", "0", "0", "0", "0"}),
        DataBlocks(FileStream(Text("d"))),
        Good("AFTER"),
    });
    ASSERT_TRUE(Extract(archive));
    EXPECT_EQ(stats.entriesRefused, 4u);
    EXPECT_EQ(AllPaths("G:\\"), std::vector<std::string>{"G:\\AFTER"});
}

TEST_F(UntrustedFixture, RecordsThatClaimTooMuchFallBackToTheHeaderRule) {
    Bytes lying = DataRecordHeader(UINT64_MAX - 5); // would wrap if added carelessly
    lying.resize(1024, 'L');
    Bytes tooLong = DataRecordHeader(5000);
    tooLong.resize(1024, 'T');
    const Bytes archive = Concat({
        VersionBlock(""),
        HeaderBlock("E:\\LYING", "32"),
        lying,
        HeaderBlock("E:\\LONG", "32"),
        tooLong,
        Good("AFTER"),
    });
    ASSERT_TRUE(Extract(archive));
    EXPECT_EQ(stats.entriesDamaged, 2u);
    EXPECT_EQ(Contents("G:\\LONG"), Bytes(1004, 'T')); // what the archive holds of it
    EXPECT_EQ(Contents("G:\\AFTER"), Text("ok"));
}

TEST_F(UntrustedFixture, TruncatedAndShortArchivesEndQuietly) {
    const Bytes whole = Concat(
        {VersionBlock(""), Good("A"), HeaderBlock("E:\\B", "32"), DataBlocks(FileStream(Bytes(3000, 'b')))});
    // Cut in the middle of B's data: A is whole, B holds what there is.
    const Bytes cut(whole.begin(), whole.begin() + 4096 + 700);
    ASSERT_TRUE(Extract(cut));
    EXPECT_EQ(Contents("G:\\A"), Text("ok"));
    EXPECT_EQ(Contents("G:\\B"), Bytes(700 - 20, 'b'));
    EXPECT_EQ(stats.entriesDamaged, 1u);

    // A size larger than the file (as a caller might pass): the extraction still ends.
    ASSERT_TRUE(Extract(whole, whole.size() * 4));
    EXPECT_EQ(Contents("G:\\B"), Bytes(3000, 'b'));
    // A size smaller than the file: nothing past it is read.
    ASSERT_TRUE(Extract(whole, 3 * 1024 + 10));
    EXPECT_EQ(Contents("G:\\B"), Bytes(3000, 'b')); // B's header was beyond the size
}

TEST_F(UntrustedFixture, ArchiveReadFailureIsNotSuccess) {
    SetCallFault([n = 0](platform::FileCall call, std::string_view path) mutable {
        return call == platform::FileCall::Read && path.find("in.vhb") != std::string_view::npos && ++n == 2
                   ? 23u
                   : 0u;
    });
    Bytes big = VersionBlock("");
    for (int i = 0; i < 300; ++i) {
        big = Concat({big, Good("F" + std::to_string(i))});
    }
    EXPECT_FALSE(Extract(big));
    EXPECT_TRUE(stats.failed);
    EXPECT_EQ(stats.archiveReadError, 23u);
}

TEST_F(UntrustedFixture, RandomDamageNeverEscapesOrHangs) {
    Bytes base = Concat({VersionBlock("1.10"), HeaderBlock("E:\\\\VM\\", "16"), Bytes(1024, 0),
                         HeaderBlock("E:\\\\VM\\FILE", "32"), DataBlocks(FileStream(PathListing()))});
    std::mt19937 random(7);
    for (int round = 0; round < 150; ++round) {
        Bytes damaged = base;
        const int flips = 1 + static_cast<int>(random() % 40);
        for (int i = 0; i < flips; ++i) {
            const std::uint8_t choices[] = {0,   ':', '\\', '.',
                                            '/', '1', 0xFF, static_cast<std::uint8_t>(random())};
            damaged[random() % damaged.size()] = choices[random() % 8];
        }
        damaged.resize(damaged.size() - random() % 1500);
        Extract(damaged);
        for (const std::string& p : AllPaths("C:\\")) {
            ASSERT_EQ(p, "C:\\in.vhb");
        }
        for (const std::string& p : AllPaths("G:\\")) {
            ASSERT_TRUE(archive::UnsafePathReason(p).empty()) << p;
        }
    }
}

} // namespace
