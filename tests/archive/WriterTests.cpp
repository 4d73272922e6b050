// The writer on a card in memory, compared byte for byte with archives laid out by hand.
#include "MemoryCard.h"
#include "archive/Archive.h"
#include "tests/support/ArchiveLayout.h"

#include <gtest/gtest.h>

using namespace test;

namespace {

constexpr FILETIME T1{4294967295u, 30000000u};

struct Writer : MemoryCard {
    std::vector<std::string> shown;
    archive::WriteProblem problem;
    Bytes written;

    // Writes a fresh archive of card E: on C: and keeps its bytes.
    bool WriteCard(const std::string& version = "1.10") {
        shown.clear();
        const auto h = Fs().CreateFile("C:\\out.vhb", GENERIC_WRITE, 0, CREATE_ALWAYS, 0);
        EXPECT_NE(h, platform::InvalidHandle);
        archive::WriterCallbacks cb;
        cb.showPath = [&](const std::string& p) { shown.push_back(p); };
        const bool ok = archive::WriteVersionBlock(Fs(), h, version, &problem) &&
                        archive::WriteArchiveTree(Fs(), "E:\\", h, cb, &problem);
        Fs().CloseHandle(h);
        written = Contents("C:\\out.vhb");
        return ok;
    }
};

TEST_F(Writer, TreeLaysOutHeadersStreamsAndPadding) {
    MakeFile("E:\\NAME.EXT", "root file", FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_READONLY, T1);
    MakeDirectory("E:\\VM", FILE_ATTRIBUTE_DIRECTORY, FILETIME{1, 30000002u});
    MakeDirectory("E:\\VM\\PROMPTS", FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN,
                  FILETIME{3, 30000004u});
    // Exactly 1024 bytes of stream: one full block and one block of padding.
    MakeFile("E:\\VM\\PROMPTS\\FILE.EXT", Bytes(1004, 0x5A), FILE_ATTRIBUTE_NORMAL, FILETIME{5, 30000006u});
    MakeDirectory("E:\\VM\\EMPTY", FILE_ATTRIBUTE_DIRECTORY, FILETIME{7, 30000008u});
    // Dot directories are left out with everything below them; dot files are not.
    MakeDirectory("E:\\.TRASH");
    MakeFile("E:\\.TRASH\\GONE", "x");
    MakeFile("E:\\.KEEP", "");
    ASSERT_TRUE(WriteCard());

    auto times = [](const std::string& low, const std::string& high) {
        return std::vector<std::string>{low, high, low, high, low, high};
    };
    const Bytes expected = Concat({
        VersionBlock("1.10"),
        HeaderBlock("E:\\NAME.EXT", "33", times("4294967295", "30000000")),
        DataBlocks(FileStream(Text("root file"))),
        HeaderBlock("E:\\\\VM\\", "16", times("1", "30000002")),
        Bytes(1024, 0),
        HeaderBlock("E:\\\\VM\\\\PROMPTS\\", "18", times("3", "30000004")),
        Bytes(1024, 0),
        HeaderBlock("E:\\\\VM\\\\PROMPTS\\FILE.EXT", "128", times("5", "30000006")),
        FileStream(Bytes(1004, 0x5A)),
        Bytes(1024, 0),
        HeaderBlock("E:\\\\VM\\\\EMPTY\\", "16", times("7", "30000008")),
        Bytes(1024, 0),
        HeaderBlock("E:\\.KEEP", "32", times("1", "1")),
        DataBlocks(FileStream({})),
    });
    EXPECT_EQ(written, expected);
    // A file's path shows before its entry, a directory's after it and before its contents.
    EXPECT_EQ(shown, (std::vector<std::string>{"E:\\NAME.EXT", "E:\\\\VM\\", "E:\\\\VM\\\\PROMPTS\\",
                                               "E:\\\\VM\\\\PROMPTS\\FILE.EXT", "E:\\\\VM\\\\EMPTY\\",
                                               "E:\\.KEEP"}));
}

TEST_F(Writer, VersionFieldIsCutAtSixAndEmptyIsAllZero) {
    ASSERT_TRUE(WriteCard("1.10\r\nX"));
    EXPECT_EQ(written, VersionBlock("1.10\r\n"));
    ASSERT_TRUE(WriteCard(""));
    EXPECT_EQ(written, Bytes(1024, 0));
}

TEST_F(Writer, SixtyFourCharacterPathFillsTheFieldLongerIsRefused) {
    const std::string stem(59, 'A');     // "E:\" + 59 = 62 characters
    MakeFile("E:\\" + stem + "B", "x");  // 63 characters
    MakeFile("E:\\" + stem + "CD", "y"); // 64 characters
    ASSERT_TRUE(WriteCard());
    ASSERT_EQ(written.size(), 5u * 1024);
    EXPECT_EQ(std::string(written.begin() + 1024, written.begin() + 1024 + 64), "E:\\" + stem + "B" + '\0');
    EXPECT_EQ(std::string(written.begin() + 3072, written.begin() + 3072 + 66), "E:\\" + stem + "CD32");

    MakeFile("E:\\" + stem + "EFG", "z"); // 65 characters: refused, never cut
    MakeFile("E:\\LATER", "w");
    EXPECT_FALSE(WriteCard());
    EXPECT_EQ(problem.kind, archive::WriteProblem::Kind::PathTooLong);
    EXPECT_EQ(problem.path, "E:\\" + stem + "EFG");
    EXPECT_EQ(written.size(), 5u * 1024); // the walk stopped at that entry
}

TEST_F(Writer, DeepDirectoryPathsAreRefusedBeforeTheyOutgrowTheField) {
    std::string dir = "E:\\";
    for (int i = 0; i < 20; ++i) {
        dir += "\\DIR" + std::to_string(i);
        MakeDirectory(dir);
    }
    EXPECT_FALSE(WriteCard());
    EXPECT_EQ(problem.kind, archive::WriteProblem::Kind::PathTooLong);
    EXPECT_GT(problem.path.size(), 64u);
}

TEST_F(Writer, AFileWithoutItsArchiveBitIsStoredSoThatItComesBack) {
    MakeFile("E:\\HIDDEN.DAT", "hidden", FILE_ATTRIBUTE_HIDDEN, T1);
    MakeFile("E:\\LOCKED.DAT", "locked", FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_SYSTEM, T1);
    ASSERT_TRUE(WriteCard());
    const std::string bytes(written.begin(), written.end());
    const std::size_t header = bytes.find("E:\\HIDDEN.DAT");
    ASSERT_NE(header, std::string::npos);
    EXPECT_EQ(bytes.substr(header + 64, 4), std::string("130") + '\0');

    const auto h = Fs().CreateFile("C:\\out.vhb", GENERIC_READ, 0, OPEN_EXISTING, 0);
    const archive::ExtractResult result =
        archive::ExtractArchive(Fs(), h, written.size(), "G:\\", "1.10", false, {});
    Fs().CloseHandle(h);
    ASSERT_TRUE(result.completed);
    EXPECT_EQ(result.filesRestored, 2u);
    EXPECT_EQ(Stat("G:\\HIDDEN.DAT").attributes, DWORD{FILE_ATTRIBUTE_HIDDEN});
    EXPECT_EQ(Stat("G:\\LOCKED.DAT").attributes, DWORD{FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_SYSTEM});
    EXPECT_EQ(Contents("G:\\LOCKED.DAT"), Text("locked"));
}

} // namespace
