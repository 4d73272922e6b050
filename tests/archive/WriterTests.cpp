// The writer, compared byte for byte with archives laid out by hand.
#include "ArchiveLayout.h"
#include "MemoryFileSystem.h"
#include "archive/Archive.h"

#include <gtest/gtest.h>

using namespace test;

namespace {

constexpr FILETIME T1{4294967295u, 30000000u};

struct WriterFixture : ::testing::Test {
    MemoryFileSystem fs;
    platform::Handle archive = platform::InvalidHandle;
    std::vector<std::string> shown;
    archive::WriteProblem problem;

    void SetUp() override {
        fs.AddDrive('C');
        fs.AddDrive('E');
        archive = fs.OpenForTest("C:\\out.vhb", GENERIC_WRITE, CREATE_ALWAYS);
    }
    bool WriteCard(const std::string& version = "1.10") {
        archive::WriterCallbacks cb;
        cb.showPath = [&](const std::string& p) {
            shown.push_back(p + "@" + std::to_string(Written().size()));
        };
        return archive::WriteVersionBlock(fs, archive, version, &problem) &&
               archive::WriteArchiveTree(fs, "E:\\", archive, cb, &problem);
    }
    Bytes Written() const { return fs.Contents("C:\\out.vhb"); }
};

TEST_F(WriterFixture, TreeLaysOutHeadersStreamsAndPadding) {
    fs.MakeFile("E:\\NAME.EXT", "root file", FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_READONLY, T1);
    fs.MakeDirectory("E:\\VM", FILE_ATTRIBUTE_DIRECTORY, FILETIME{1, 2});
    fs.MakeDirectory("E:\\VM\\PROMPTS", FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN, FILETIME{3, 4});
    // Exactly 1024 bytes of stream: one full block and one block of padding.
    fs.MakeFile("E:\\VM\\PROMPTS\\FILE.EXT", Bytes(1004, 0x5A), FILE_ATTRIBUTE_NORMAL, FILETIME{5, 6});
    fs.MakeDirectory("E:\\VM\\EMPTY", FILE_ATTRIBUTE_DIRECTORY, FILETIME{7, 8});
    // Dot directories are left out with everything below them; dot files are not.
    fs.MakeDirectory("E:\\.TRASH");
    fs.MakeFile("E:\\.TRASH\\GONE", "x");
    fs.MakeFile("E:\\.KEEP", "");
    ASSERT_TRUE(WriteCard());

    const Bytes expected = Concat({
        VersionBlock("1.10"),
        HeaderBlock("E:\\NAME.EXT", "33",
                    {"4294967295", "30000000", "4294967295", "30000000", "4294967295", "30000000"}),
        DataBlocks(FileStream(Text("root file"))),
        HeaderBlock("E:\\\\VM\\", "16", {"1", "2", "1", "2", "1", "2"}),
        Bytes(1024, 0),
        HeaderBlock("E:\\\\VM\\\\PROMPTS\\", "18", {"3", "4", "3", "4", "3", "4"}),
        Bytes(1024, 0),
        HeaderBlock("E:\\\\VM\\\\PROMPTS\\FILE.EXT", "128", {"5", "6", "5", "6", "5", "6"}),
        FileStream(Bytes(1004, 0x5A)),
        Bytes(1024, 0),
        HeaderBlock("E:\\\\VM\\\\EMPTY\\", "16", {"7", "8", "7", "8", "7", "8"}),
        Bytes(1024, 0),
        HeaderBlock("E:\\.KEEP", "32"),
        DataBlocks(FileStream({})),
    });
    EXPECT_EQ(Written(), expected);
    // A file's path shows before its entry, a directory's after it.
    EXPECT_EQ(shown.front(), "E:\\NAME.EXT@1024");
    EXPECT_EQ(shown[1], "E:\\\\VM\\@5120");
    EXPECT_EQ(fs.openHandles(), 1); // only the archive
}

TEST_F(WriterFixture, VersionFieldIsCutAtSixAndEmptyIsAllZero) {
    ASSERT_TRUE(WriteCard("1.10\r\nX"));
    ASSERT_TRUE(WriteCard(""));
    Bytes first = VersionBlock("1.10\r\n");
    EXPECT_EQ(Written(), Concat({first, Bytes(1024, 0)}));
}

TEST_F(WriterFixture, SixtyFourCharacterPathFillsTheFieldLongerIsRefused) {
    const std::string name62(62 - 3, 'A');    // "E:\" + 59 = 62 characters
    fs.MakeFile("E:\\" + name62 + "B", "x");  // 63 characters
    fs.MakeFile("E:\\" + name62 + "CD", "y"); // 64 characters
    ASSERT_TRUE(WriteCard());
    const Bytes out = Written();
    ASSERT_EQ(out.size(), 5u * 1024);
    EXPECT_EQ(std::string(out.begin() + 1024, out.begin() + 1024 + 64), "E:\\" + name62 + "B" + '\0');
    EXPECT_EQ(std::string(out.begin() + 3072, out.begin() + 3072 + 64), "E:\\" + name62 + "CD");
    EXPECT_EQ(out[3072 + 64], '3'); // attributes follow directly: "32"

    fs.MakeFile("E:\\" + name62 + "EFG", "z"); // 65 characters: refused, never cut
    fs.MakeFile("E:\\LATER", "w");
    EXPECT_FALSE(WriteCard());
    EXPECT_EQ(problem.kind, archive::WriteProblem::Kind::PathTooLong);
    EXPECT_EQ(problem.path, "E:\\" + name62 + "EFG");
    EXPECT_EQ(Written().size(), 5u * 1024 + 5 * 1024); // the walk stopped before that entry
}

TEST_F(WriterFixture, DeepDirectoryPathsAreRefusedBeforeTheyOutgrowTheField) {
    std::string dir = "E:\\";
    for (int i = 0; i < 30; ++i) {
        dir += "\\DIR" + std::to_string(i);
        fs.MakeDirectory(dir);
    }
    EXPECT_FALSE(WriteCard());
    EXPECT_EQ(problem.kind, archive::WriteProblem::Kind::PathTooLong);
    EXPECT_GT(problem.path.size(), 64u);
}

TEST_F(WriterFixture, ReadAndWriteFailuresStopTheWalkWithTheirError) {
    fs.MakeFile("E:\\A", "a");
    fs.MakeFile("E:\\B", "b");
    fs.fault = [](const std::string& call, const std::string&) { return call == "BackupRead" ? 30u : 0u; };
    EXPECT_FALSE(WriteCard());
    EXPECT_EQ(problem.kind, archive::WriteProblem::Kind::CardReadFailed);
    EXPECT_EQ(problem.path, "E:\\A");
    EXPECT_EQ(problem.error, 30u);

    fs.fault = [](const std::string& call, const std::string& p) {
        return call == "CreateFile" && p == "E:\\B" ? 32u : 0u;
    };
    EXPECT_FALSE(WriteCard());
    EXPECT_EQ(problem.kind, archive::WriteProblem::Kind::CardReadFailed);
    EXPECT_EQ(problem.error, 32u);

    int writes = 0;
    fs.fault = [&](const std::string& call, const std::string&) {
        return call == "WriteFile" && ++writes == 3 ? 112u : 0u;
    };
    EXPECT_FALSE(WriteCard());
    EXPECT_EQ(problem.kind, archive::WriteProblem::Kind::ArchiveWriteFailed);
    EXPECT_EQ(problem.error, 112u);
    EXPECT_EQ(fs.openHandles(), 1);
}

TEST_F(WriterFixture, AnUnreadableListingIsAFailureAnEmptyRootIsNot) {
    EXPECT_TRUE(WriteCard());
    EXPECT_EQ(Written().size(), 1024u);
    fs.fault = [](const std::string& call, const std::string&) { return call == "FindFirstFile" ? 21u : 0u; };
    EXPECT_FALSE(WriteCard());
    EXPECT_EQ(problem.error, 21u);
}

} // namespace
