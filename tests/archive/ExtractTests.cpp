// The extractors on a card in memory, fed archives laid out by hand.
#include "MemoryCard.h"
#include "archive/Archive.h"
#include "tests/support/ArchiveLayout.h"

#include <gtest/gtest.h>

using namespace test;

namespace {

struct Extract : MemoryCard {
    std::vector<std::string> messages;
    int deletes = 0;
    int steps = 0;
    int progressCreated = 0;
    int progressDestroyed = 0;
    archive::ExtractResult stats;
    bool versionSeen = false; // kept across the extractions of one operation, as the dialog does
    const archive::ArchiveSums* checked = nullptr;

    void SetUp() override { MemoryCard::SetUp(); }
    bool Run(const Bytes& bytes, const std::string& cardVersion = "", bool keepPrompts = false) {
        MakeFile("C:\\in.vhb", bytes);
        const platform::Handle h = Fs().CreateFile("C:\\in.vhb", GENERIC_READ, 0, OPEN_EXISTING, 0);
        archive::ExtractCallbacks cb;
        cb.deleteCardPrompts = [&] {
            ++deletes;
            Fs().DeleteTree("G:\\VM\\PROMPTS");
        };
        cb.progressCreate = [&] { ++progressCreated; };
        cb.progressStep = [&] { ++steps; };
        cb.progressDestroy = [&] { ++progressDestroyed; };
        cb.showMessage = [&](const std::string& m) { messages.push_back(m); };
        cb.checked = checked;
        stats = keepPrompts
                    ? archive::ExtractArchiveKeepPrompts(Fs(), h, bytes.size(), "G:\\", cardVersion,
                                                         versionSeen, cb)
                    : archive::ExtractArchive(Fs(), h, bytes.size(), "G:\\", cardVersion, versionSeen, cb);
        versionSeen = stats.versionBlockSeen;
        Fs().CloseHandle(h);
        return stats.completed;
    }
};

TEST_F(Extract, RestoresOntoTheCardRootWithAttributesTimesAndExactData) {
    const Bytes listing = PathListing(); // a block of its stream begins with "C:\"
    const Bytes archive = Concat({
        VersionBlock("1.10"),
        HeaderBlock("E:\\\\VM\\", "16", {"1", "30000002", "3", "30000004", "5", "30000006"}),
        Bytes(1024, 0),
        HeaderBlock("E:\\\\VM\\LIST.TXT", "33",
                    {"4294967295", "30000000", "0", "30000001", "2147483648", "30000007"}),
        DataBlocks(FileStream(listing)),
        HeaderBlock("E:\\\\VM\\ONE.BLK", "32", {"1", "30000000", "1", "30000000", "1", "30000000"}),
        FileStream(Bytes(1004, 'x')),
        Bytes(1024, 0),
    });
    ASSERT_TRUE(Run(archive));

    const Info dir = Stat("G:\\VM");
    EXPECT_TRUE(dir.directory);
    EXPECT_EQ(dir.creation, (FILETIME{1, 30000002u}));
    EXPECT_EQ(dir.lastAccess, (FILETIME{3, 30000004u}));
    EXPECT_EQ(dir.lastWrite, (FILETIME{5, 30000006u}));
    const Info list = Stat("G:\\VM\\LIST.TXT");
    EXPECT_EQ(list.data, listing); // the "C:\" at a block boundary is data, not a header
    EXPECT_EQ(list.attributes, 33u);
    EXPECT_EQ(list.creation, (FILETIME{0xFFFFFFFFu, 30000000u}));
    EXPECT_EQ(list.lastWrite, (FILETIME{0x80000000u, 30000007u}));
    EXPECT_EQ(Contents("G:\\VM\\ONE.BLK"), Bytes(1004, 'x'));
    EXPECT_EQ(AllPaths("G:\\"), (std::vector<std::string>{"G:\\VM", "G:\\VM\\LIST.TXT", "G:\\VM\\ONE.BLK"}));
    EXPECT_EQ(stats.filesRestored, 2u);
    EXPECT_EQ(stats.directoriesRestored, 1u);
    EXPECT_EQ(progressCreated, 1);
    EXPECT_EQ(progressDestroyed, 1);
    EXPECT_TRUE(messages.empty());
}

TEST_F(Extract, StreamsOfSeveralRecordsAreFollowedAcrossBlocks) {
    // A data record ending 4 bytes before a block boundary, then a named alternate-data record
    // whose header straddles the boundary and whose data holds a header-like block.
    Bytes stream = FileStream(Bytes(1000, 'd'));
    Bytes alternate = DataRecordHeader(2048, 4);
    alternate[16] = 8; // name size
    stream.insert(stream.end(), alternate.begin(), alternate.end());
    const std::string name("\x3a\x00s\x00t\x00r\x00", 8); // ":str" in UTF-16
    stream.insert(stream.end(), name.begin(), name.end());
    Bytes ads(2048, 'a');
    const std::size_t boundary = 1024 - stream.size() % 1024; // in ads, where a block begins
    const std::string fake = "E:\\FAKE";
    std::copy(fake.begin(), fake.end(), ads.begin() + static_cast<long>(boundary));
    stream.insert(stream.end(), ads.begin(), ads.end());
    const Bytes archive = Concat({VersionBlock(""), HeaderBlock("E:\\ADS.WAV", "32"), DataBlocks(stream),
                                  HeaderBlock("E:\\NEXT.WAV", "32"), DataBlocks(FileStream(Text("next")))});
    ASSERT_TRUE(Run(archive));
    EXPECT_EQ(Contents("G:\\ADS.WAV"), Bytes(1000, 'd'));
    EXPECT_EQ(Contents("G:\\NEXT.WAV"), Text("next"));
    EXPECT_FALSE(Exists("G:\\FAKE"));
    EXPECT_EQ(stats.filesRestored, 2u);
}

TEST_F(Extract, ProgressStepsAtMostOncePerHandledBlock) {
    // 7 blocks (S = 71): the version block and three directory headers are handled.
    const Bytes archive = Concat({VersionBlock(""), HeaderBlock("E:\\\\A\\", "16"), Bytes(1024, 0),
                                  HeaderBlock("E:\\\\B\\", "16"), Bytes(1024, 0),
                                  HeaderBlock("E:\\\\C\\", "16"), Bytes(1024, 0)});
    ASSERT_TRUE(Run(archive));
    EXPECT_EQ(steps, 4);
}

TEST_F(Extract, EmptyAndVersionOnlyArchivesCreateNothing) {
    ASSERT_TRUE(Run({}, "1.10"));
    EXPECT_FALSE(versionSeen);
    EXPECT_EQ(steps, 0);
    ASSERT_TRUE(Run(VersionBlock("1.20"), "1.10"));
    EXPECT_EQ(deletes, 0);
    EXPECT_EQ(steps, 1); // the bar moves once the first block is read
    EXPECT_TRUE(AllPaths("G:\\").empty());
}

TEST_F(Extract, VersionComparisonDeletesPromptsOnlyWhenBothDifferAndCardHasOne) {
    const Bytes archive = Concat({VersionBlock("1.20"), HeaderBlock("E:\\\\VM\\", "16"), Bytes(1024, 0)});
    MakeDirectory("G:\\VM");
    MakeDirectory("G:\\VM\\PROMPTS");
    ASSERT_TRUE(Run(archive, "1.20"));
    versionSeen = false;
    ASSERT_TRUE(Run(archive, ""));
    EXPECT_EQ(deletes, 0);
    EXPECT_TRUE(Exists("G:\\VM\\PROMPTS"));

    // Two extractions in one operation: only the first archive's version is compared.
    versionSeen = false;
    ASSERT_TRUE(Run(archive, "1.20"));
    ASSERT_TRUE(Run(Concat({VersionBlock("9.99"), HeaderBlock("E:\\\\X\\", "16"), Bytes(1024, 0)}), "1.20"));
    EXPECT_EQ(deletes, 0);
    EXPECT_TRUE(Exists("G:\\X"));

    versionSeen = false;
    ASSERT_TRUE(Run(archive, "1.10\r"));
    EXPECT_EQ(deletes, 1);
    EXPECT_FALSE(Exists("G:\\VM\\PROMPTS"));
}

TEST_F(Extract, KeepPromptsLeavesThePromptDirectoryAlone) {
    MakeDirectory("G:\\VM");
    MakeDirectory("G:\\VM\\PROMPTS");
    MakeFile("G:\\VM\\PROMPTS\\KEEP.WAV", "card's own");
    const Bytes archive = Concat({
        VersionBlock("1.20"),
        HeaderBlock("E:\\\\VM\\", "16"),
        Bytes(1024, 0),
        HeaderBlock("E:\\\\VM\\\\PROMPTS\\", "16"),
        Bytes(1024, 0),
        HeaderBlock("E:\\\\VM\\\\PROMPTS\\KEEP.WAV", "32"),
        DataBlocks(FileStream(Text("archive's"))),
        HeaderBlock("E:\\\\VM\\\\PROMPTS\\\\0\\", "16"),
        Bytes(1024, 0),
        // A header-like block inside this prompt's stream must not become an entry either.
        HeaderBlock("E:\\\\VM\\\\PROMPTS\\\\0\\P.TXT", "32"),
        DataBlocks(FileStream(PathListing())),
        HeaderBlock("E:\\\\VM\\\\Prompts\\\\1\\", "16"),
        Bytes(1024, 0),
        HeaderBlock("E:\\\\VM\\\\MSGS\\", "16"),
        Bytes(1024, 0),
        HeaderBlock("E:\\\\VM\\\\MSGS\\M1.WAV", "32"),
        DataBlocks(FileStream(Text("message"))),
    });
    ASSERT_TRUE(Run(archive, "1.10", true));
    EXPECT_EQ(deletes, 0);
    EXPECT_EQ(Contents("G:\\VM\\PROMPTS\\KEEP.WAV"), Text("card's own"));
    EXPECT_EQ(AllPaths("G:\\"),
              (std::vector<std::string>{"G:\\VM", "G:\\VM\\PROMPTS", "G:\\VM\\PROMPTS\\KEEP.WAV",
                                        "G:\\VM\\MSGS", "G:\\VM\\MSGS\\M1.WAV"}));
    EXPECT_EQ(stats.entriesKeptOnCard, 5u);
    EXPECT_EQ(stats.entriesRefused, 0u);
}

TEST_F(Extract, FullCardStopsOnceKeepingWhatWasRestored) {
    const Bytes archive = Concat({
        VersionBlock("1.10"),
        HeaderBlock("E:\\FIRST", "32"),
        DataBlocks(FileStream(Bytes(5000, 1))),
        HeaderBlock("E:\\SECOND", "32"),
        DataBlocks(FileStream(Bytes(3000000, 2))),
        HeaderBlock("E:\\THIRD", "32"),
        DataBlocks(FileStream(Bytes(10, 3))),
    });
    LeaveFree('G', 1024 * 1024);
    EXPECT_FALSE(Run(archive, "1.20"));
    EXPECT_TRUE(stats.failed);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0], archive::CardFullMessage);
    EXPECT_EQ(Contents("G:\\FIRST"), Bytes(5000, 1));
    EXPECT_FALSE(Exists("G:\\THIRD"));
    EXPECT_EQ(progressDestroyed, 1);

    // Other write errors have their own message; a later extraction starts with the flag clear.
    LeaveFree('G', 60 * 1024 * 1024);
    SetCallFault([](platform::FileCall call, std::string_view) {
        return call == platform::FileCall::BackupWrite ? 29u : 0u;
    });
    EXPECT_FALSE(Run(archive));
    EXPECT_EQ(messages.back(), archive::CardWriteErrorMessage);
    SetCallFault(nullptr);
    EXPECT_TRUE(Run(archive));
    EXPECT_FALSE(stats.failed);
    EXPECT_EQ(Contents("G:\\SECOND"), Bytes(3000000, 2));
}

// The version files come first in an archive but are written after everything else, slot 0's
// (the version the card shows) last: a card left by an interrupted extraction never shows the
// archive's version over prompts it does not have, so the next restore writes them.
TEST_F(Extract, VersionFilesAreWrittenLastAndSlotZerosLastOfAll) {
    const Bytes archive = Concat({
        VersionBlock("0110"),
        HeaderBlock("E:\\VM\\PROMPTS\\0\\0\\0\\VERSION.TXT", "32"),
        DataBlocks(FileStream(Bytes{'0', '1', '1', '0'})),
        HeaderBlock("E:\\VM\\PROMPTS\\0\\3\\0\\VERSION.TXT", "32"),
        DataBlocks(FileStream(Bytes{'0', '1', '1', '1'})),
        HeaderBlock("E:\\VM\\PROMPTS\\0\\0\\0\\P0001.VOX", "32"),
        DataBlocks(FileStream(Bytes(3000, 7))),
    });
    for (const char* folder :
         {"G:\\VM", "G:\\VM\\PROMPTS", "G:\\VM\\PROMPTS\\0", "G:\\VM\\PROMPTS\\0\\0",
          "G:\\VM\\PROMPTS\\0\\0\\0", "G:\\VM\\PROMPTS\\0\\3", "G:\\VM\\PROMPTS\\0\\3\\0"}) {
        MakeDirectory(folder);
    }
    SetCallFault([](platform::FileCall call, std::string_view path) {
        return call == platform::FileCall::BackupWrite && path.find("\\3\\") != std::string_view::npos ? 29u
                                                                                                       : 0u;
    });
    EXPECT_FALSE(Run(archive));
    EXPECT_EQ(Contents("G:\\VM\\PROMPTS\\0\\0\\0\\P0001.VOX"), Bytes(3000, 7));
    EXPECT_FALSE(Exists("G:\\VM\\PROMPTS\\0\\0\\0\\VERSION.TXT"));
    SetCallFault(nullptr);
    EXPECT_TRUE(Run(archive));
    EXPECT_EQ(Contents("G:\\VM\\PROMPTS\\0\\0\\0\\VERSION.TXT"), (Bytes{'0', '1', '1', '0'}));
    EXPECT_EQ(Contents("G:\\VM\\PROMPTS\\0\\3\\0\\VERSION.TXT"), (Bytes{'0', '1', '1', '1'}));
}

// A version file too large to hold is read again from the archive at the end; one of another
// archive than the one checked (the file changed since) is not written at all.
TEST_F(Extract, LargeVersionFilesAreWrittenLastAndNothingOfAChangedArchiveShowsAVersion) {
    Bytes text(5000, '1');
    const Bytes archive = Concat({
        VersionBlock("0110"),
        HeaderBlock("E:\\VM\\PROMPTS\\0\\0\\0\\VERSION.TXT", "32"),
        DataBlocks(FileStream(text)),
        HeaderBlock("E:\\VM\\PROMPTS\\0\\0\\0\\P0001.VOX", "32"),
        DataBlocks(FileStream(Bytes(3000, 7))),
    });
    MakeDirectory("G:\\VM");
    MakeDirectory("G:\\VM\\PROMPTS");
    MakeDirectory("G:\\VM\\PROMPTS\\0");
    MakeDirectory("G:\\VM\\PROMPTS\\0\\0");
    MakeDirectory("G:\\VM\\PROMPTS\\0\\0\\0");
    archive::ArchiveTally tally;
    tally.Add(archive.data(), archive.size());
    const archive::ArchiveSums sums = archive::SumsOf(tally);
    Bytes changed = archive;
    changed[changed.size() - 100] = 8;
    checked = &sums;
    EXPECT_FALSE(Run(changed));
    EXPECT_TRUE(stats.changedSinceCheck);
    EXPECT_EQ(Contents("G:\\VM\\PROMPTS\\0\\0\\0\\P0001.VOX").size(), 3000u);
    EXPECT_FALSE(Exists("G:\\VM\\PROMPTS\\0\\0\\0\\VERSION.TXT"));

    ASSERT_TRUE(Run(archive));
    EXPECT_EQ(Contents("G:\\VM\\PROMPTS\\0\\0\\0\\VERSION.TXT"), text);
    EXPECT_EQ(stats.filesRestored, 2u);
    EXPECT_EQ(stats.filesIncomplete, 0u);
}

TEST_F(Extract, ReadOnlyFileOnTheCardIsReplaced) {
    MakeFile("G:\\GREETING.WAV", "old", FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_READONLY);
    ASSERT_TRUE(Run(Concat(
        {VersionBlock(""), HeaderBlock("E:\\GREETING.WAV", "33"), DataBlocks(FileStream(Text("new")))})));
    EXPECT_EQ(Contents("G:\\GREETING.WAV"), Text("new"));
    EXPECT_EQ(Stat("G:\\GREETING.WAV").attributes, 33u);
}

TEST_F(Extract, ReadArchiveVersionNeverCreatesTheFile) {
    EXPECT_EQ(archive::ReadArchiveVersion(Fs(), "C:\\missing.vhb"), "");
    EXPECT_FALSE(Exists("C:\\missing.vhb"));

    MakeFile("C:\\six.vhp", Concat({VersionBlock("123456"), Bytes(1024, 0)}));
    EXPECT_EQ(archive::ReadArchiveVersion(Fs(), "C:\\six.vhp"), "123456");
    MakeFile("C:\\short.vhp", Text("1.2"));
    EXPECT_EQ(archive::ReadArchiveVersion(Fs(), "C:\\short.vhp"), "1.2");
}

} // namespace
