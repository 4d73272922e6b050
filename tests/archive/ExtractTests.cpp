// The extractors on archives laid out by hand.
#include "ArchiveLayout.h"
#include "MemoryFileSystem.h"
#include "archive/Archive.h"

#include <gtest/gtest.h>

using namespace test;

namespace {

struct ExtractFixture : ::testing::Test {
    MemoryFileSystem fs;
    std::vector<std::string> messages;
    int deletes = 0;
    int steps = 0;
    int progressCreated = 0;
    int progressDestroyed = 0;
    archive::ExtractStats stats;

    void SetUp() override {
        fs.AddDrive('C');
        fs.AddDrive('G');
        archive::versionBlockSeen = false;
        archive::extractionFailed = false;
    }
    archive::ExtractCallbacks Callbacks() {
        archive::ExtractCallbacks cb;
        cb.deleteCardPrompts = [&] {
            ++deletes;
            fs.DeleteTree("G:\\VM\\PROMPTS");
        };
        cb.progressCreate = [&] { ++progressCreated; };
        cb.progressStep = [&] { ++steps; };
        cb.progressDestroy = [&] { ++progressDestroyed; };
        cb.showMessage = [&](const std::string& m) { messages.push_back(m); };
        return cb;
    }
    bool Extract(const Bytes& bytes, const std::string& cardVersion = "", bool keepPrompts = false) {
        fs.MakeFile("C:\\in.vhb", bytes);
        const platform::Handle h = fs.OpenForTest("C:\\in.vhb", GENERIC_READ, OPEN_EXISTING);
        const bool ok = keepPrompts ? archive::ExtractArchiveKeepPrompts(fs, h, bytes.size(), "G:\\",
                                                                         cardVersion, Callbacks(), &stats)
                                    : archive::ExtractArchive(fs, h, bytes.size(), "G:\\", cardVersion,
                                                              Callbacks(), &stats);
        fs.CloseHandle(h);
        return ok;
    }
};

TEST_F(ExtractFixture, RestoresOntoTheCardRootWithAttributesTimesAndExactData) {
    const Bytes listing = PathListing();
    const Bytes archive = Concat({
        VersionBlock("1.10"),
        HeaderBlock("E:\\\\VM\\", "16", {"1", "2", "3", "4", "5", "6"}),
        Bytes(1024, 0),
        HeaderBlock("E:\\\\VM\\LIST.TXT", "33", {"4294967295", "4294967295", "0", "1", "2147483648", "7"}),
        DataBlocks(FileStream(listing)),
        HeaderBlock("E:\\\\VM\\ONE.BLK", "32"),
        FileStream(Bytes(1004, 'x')),
        Bytes(1024, 0),
    });
    ASSERT_TRUE(Extract(archive));

    const auto* dir = fs.Find("G:\\VM");
    ASSERT_NE(dir, nullptr);
    EXPECT_TRUE(dir->directory);
    EXPECT_EQ(dir->creation, (FILETIME{1, 2}));
    EXPECT_EQ(dir->lastWrite, (FILETIME{5, 6}));
    const auto* list = fs.Find("G:\\VM\\LIST.TXT");
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(list->data, listing); // the "C:\" inside the data is data, not a header
    EXPECT_EQ(list->attributes, 33u);
    EXPECT_EQ(list->creation, (FILETIME{0xFFFFFFFFu, 0xFFFFFFFFu}));
    EXPECT_EQ(list->lastWrite, (FILETIME{0x80000000u, 7}));
    EXPECT_EQ(fs.Contents("G:\\VM\\ONE.BLK"), Bytes(1004, 'x'));
    EXPECT_EQ(fs.AllPaths('G'), (std::vector<std::string>{"G:\\VM", "G:\\VM\\LIST.TXT", "G:\\VM\\ONE.BLK"}));
    // Only stream bytes reach the backup-write service, never padding.
    std::size_t handed = 0;
    for (std::size_t n : fs.backupWriteSizes) {
        handed += n;
    }
    EXPECT_EQ(handed, 20 + listing.size() + 1024);
    EXPECT_EQ(stats.filesRestored, 2u);
    EXPECT_EQ(stats.directoriesRestored, 1u);
    EXPECT_EQ(progressCreated, 1);
    EXPECT_EQ(progressDestroyed, 1);
    EXPECT_TRUE(messages.empty());
}

TEST_F(ExtractFixture, ProgressStepsAtMostOncePerHandledBlock) {
    // 7 blocks (S = 71): the version block and three directory headers are handled.
    const Bytes archive = Concat({VersionBlock(""), HeaderBlock("E:\\\\A\\", "16"), Bytes(1024, 0),
                                  HeaderBlock("E:\\\\B\\", "16"), Bytes(1024, 0),
                                  HeaderBlock("E:\\\\C\\", "16"), Bytes(1024, 0)});
    ASSERT_TRUE(Extract(archive));
    EXPECT_EQ(steps, 4);
}

TEST_F(ExtractFixture, EmptyAndVersionOnlyArchivesCreateNothing) {
    ASSERT_TRUE(Extract({}, "1.10"));
    EXPECT_FALSE(archive::versionBlockSeen);
    EXPECT_EQ(steps, 0);
    ASSERT_TRUE(Extract(VersionBlock("1.20"), "1.10"));
    EXPECT_EQ(deletes, 0);
    EXPECT_EQ(steps, 1); // the bar moves once the first block is read
    EXPECT_TRUE(fs.AllPaths('G').empty());
}

TEST_F(ExtractFixture, VersionComparisonDeletesPromptsOnlyWhenBothDifferAndCardHasOne) {
    const Bytes archive = Concat({VersionBlock("1.20"), HeaderBlock("E:\\\\VM\\", "16"), Bytes(1024, 0)});
    fs.MakeDirectory("G:\\VM");
    fs.MakeDirectory("G:\\VM\\PROMPTS");
    ASSERT_TRUE(Extract(archive, "1.20"));
    ASSERT_TRUE(Extract(archive, ""));
    archive::versionBlockSeen = false;
    ASSERT_TRUE(Extract(archive, ""));
    EXPECT_EQ(deletes, 0);
    EXPECT_TRUE(fs.Exists("G:\\VM\\PROMPTS"));

    // Two extractions in one operation: only the first archive's version is compared.
    archive::versionBlockSeen = false;
    ASSERT_TRUE(Extract(archive, "1.20"));
    ASSERT_TRUE(
        Extract(Concat({VersionBlock("9.99"), HeaderBlock("E:\\\\X\\", "16"), Bytes(1024, 0)}), "1.20"));
    EXPECT_EQ(deletes, 0);
    EXPECT_TRUE(fs.Exists("G:\\X"));

    archive::versionBlockSeen = false;
    ASSERT_TRUE(Extract(archive, "1.10\r"));
    EXPECT_EQ(deletes, 1);
    EXPECT_FALSE(fs.Exists("G:\\VM\\PROMPTS"));
}

TEST_F(ExtractFixture, KeepPromptsLeavesThePromptDirectoryAlone) {
    fs.MakeDirectory("G:\\VM");
    fs.MakeDirectory("G:\\VM\\PROMPTS");
    fs.MakeFile("G:\\VM\\PROMPTS\\KEEP.WAV", "card's own");
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
        // The stream of this prompt has a header-like block inside; it must not become an entry.
        HeaderBlock("E:\\\\VM\\\\PROMPTS\\\\0\\P.TXT", "32"),
        DataBlocks(FileStream(PathListing())),
        HeaderBlock("E:\\\\VM\\\\Prompts\\\\1\\", "16"),
        Bytes(1024, 0),
        HeaderBlock("E:\\\\VM\\\\MSGS\\", "16"),
        Bytes(1024, 0),
        HeaderBlock("E:\\\\VM\\\\MSGS\\M1.WAV", "32"),
        DataBlocks(FileStream(Text("message"))),
    });
    ASSERT_TRUE(Extract(archive, "1.10", true));
    EXPECT_EQ(deletes, 0);
    EXPECT_EQ(fs.Contents("G:\\VM\\PROMPTS\\KEEP.WAV"), Text("card's own"));
    EXPECT_EQ(fs.AllPaths('G'),
              (std::vector<std::string>{"G:\\VM", "G:\\VM\\PROMPTS", "G:\\VM\\PROMPTS\\KEEP.WAV",
                                        "G:\\VM\\MSGS", "G:\\VM\\MSGS\\M1.WAV"}));
    EXPECT_EQ(stats.entriesKeptOnCard, 5u);
    EXPECT_EQ(stats.entriesRefused, 0u);
}

TEST_F(ExtractFixture, FullCardStopsOnceKeepingWhatWasRestored) {
    fs.freeBytes = 3000;
    const Bytes archive = Concat({
        VersionBlock("1.10"),
        HeaderBlock("E:\\FIRST", "32"),
        DataBlocks(FileStream(Bytes(2000, 1))),
        HeaderBlock("E:\\SECOND", "32"),
        DataBlocks(FileStream(Bytes(300000, 2))),
        HeaderBlock("E:\\THIRD", "32"),
        DataBlocks(FileStream(Bytes(10, 3))),
    });
    EXPECT_FALSE(Extract(archive, "1.20"));
    EXPECT_TRUE(archive::extractionFailed);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0], archive::CardFullMessage);
    EXPECT_EQ(fs.Contents("G:\\FIRST"), Bytes(2000, 1));
    EXPECT_FALSE(fs.Exists("G:\\THIRD"));
    EXPECT_EQ(progressDestroyed, 1);
    EXPECT_EQ(fs.openHandles(), 0);

    // A later extraction starts with the flag clear; other write errors have their own message.
    fs.freeBytes = UINT64_MAX;
    fs.fault = [](const std::string& call, const std::string&) { return call == "BackupWrite" ? 29u : 0u; };
    EXPECT_FALSE(Extract(archive));
    EXPECT_EQ(messages.back(), archive::CardWriteErrorMessage);
    fs.fault = nullptr;
    EXPECT_TRUE(Extract(archive));
    EXPECT_FALSE(archive::extractionFailed);
}

TEST_F(ExtractFixture, ReadOnlyFileOnTheCardIsReplaced) {
    fs.MakeFile("G:\\GREETING.WAV", "old", FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_READONLY);
    ASSERT_TRUE(Extract(Concat(
        {VersionBlock(""), HeaderBlock("E:\\GREETING.WAV", "33"), DataBlocks(FileStream(Text("new")))})));
    EXPECT_EQ(fs.Contents("G:\\GREETING.WAV"), Text("new"));
    EXPECT_EQ(fs.Find("G:\\GREETING.WAV")->attributes, 33u);
}

TEST_F(ExtractFixture, ReadArchiveVersionNeverCreatesTheFile) {
    archive::extractionFailed = true;
    archive::archivePromptVersion = "stale";
    archive::ReadArchiveVersion(fs, "C:\\missing.vhb");
    EXPECT_FALSE(fs.Exists("C:\\missing.vhb"));
    EXPECT_EQ(archive::archivePromptVersion, "");
    EXPECT_FALSE(archive::extractionFailed);

    fs.MakeFile("C:\\six.vhp", Concat({VersionBlock("123456"), Bytes(1024, 0)}));
    archive::ReadArchiveVersion(fs, "C:\\six.vhp");
    EXPECT_EQ(archive::archivePromptVersion, "123456");
    fs.MakeFile("C:\\short.vhp", Text("1.2"));
    archive::ReadArchiveVersion(fs, "C:\\short.vhp");
    EXPECT_EQ(archive::archivePromptVersion, "1.2");
}

} // namespace
