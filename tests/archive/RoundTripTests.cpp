// Back up a simulated card, wipe it, restore it: every byte, attribute word and time comes back.
#include "SimCard.h"
#include "archive/Archive.h"
#include "tests/support/FileTree.h"

#include <gtest/gtest.h>

#include <random>

using namespace test;

namespace {

struct RoundTrip : SimCard {};

TEST_F(RoundTrip, BackupWipeRestoreGivesTheSameCard) {
    std::mt19937 random(11);
    auto bytes = [&](std::size_t n) {
        Bytes b(n);
        for (auto& x : b) {
            x = static_cast<std::uint8_t>(random());
        }
        return b;
    };
    const FILETIME t{0xFFFFFFF0u, 0x01D00000u};
    MakeDirectory("E:\\VM", FILE_ATTRIBUTE_DIRECTORY, t);
    MakeDirectory("E:\\VM\\PROMPTS", FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN,
                  FILETIME{5, 0x01D00001u});
    MakeFile("E:\\VM\\PROMPTS\\VERSION.TXT", "0110\r\n", FILE_ATTRIBUTE_ARCHIVE, t);
    MakeDirectory("E:\\VM\\MSG", FILE_ATTRIBUTE_DIRECTORY, FILETIME{0x80000000u, 0x01D00002u});
    MakeFile("E:\\VM\\MSG\\PATHS.TXT", std::string(1004, '-') + "C:\\ZEL\\VoxHarbor\\Backup\\x.vhb",
             FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_READONLY, t);
    for (std::size_t n : {0u, 1004u, 1005u, 70001u, 400000u}) {
        MakeFile("E:\\VM\\MSG\\M" + std::to_string(n) + ".WAV", bytes(n), FILE_ATTRIBUTE_ARCHIVE,
                 FILETIME{static_cast<DWORD>(random()), 0x01D00003u});
    }
    MakeFile("E:\\ROOT.TXT", bytes(3), FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_SYSTEM, t);

    const fktest::Tree before = fktest::SnapshotTree(Fs(), "E:\\");
    ASSERT_EQ(before.size(), 11u);

    const auto out = Fs().CreateFile("C:\\card.vhb", GENERIC_WRITE, 0, CREATE_ALWAYS, 0);
    archive::WriteProblem problem;
    ASSERT_TRUE(archive::WriteVersionBlock(Fs(), out, "1.10", &problem));
    ASSERT_TRUE(archive::WriteArchiveTree(Fs(), "E:\\", out, {}, &problem));
    Fs().CloseHandle(out);

    // Wipe the card (the read-only file first loses its bit, as a format would wipe it anyway).
    Fs().SetFileAttributes("E:\\VM\\MSG\\PATHS.TXT", FILE_ATTRIBUTE_ARCHIVE);
    ASSERT_EQ(Fs().DeleteTree("E:\\VM"), 0u);
    ASSERT_TRUE(Fs().DeleteFile("E:\\ROOT.TXT"));

    const auto in = Fs().CreateFile("C:\\card.vhb", GENERIC_READ, 0, OPEN_EXISTING, 0);
    std::uint64_t size = 0;
    ASSERT_TRUE(Fs().GetFileSize(in, &size));
    archive::versionBlockSeen = false;
    archive::ExtractStats stats;
    ASSERT_TRUE(archive::ExtractArchive(Fs(), in, size, "E:\\", "", {}, &stats));
    Fs().CloseHandle(in);
    EXPECT_EQ(stats.filesIncomplete + stats.entriesDamaged + stats.entriesRefused, 0u);

    EXPECT_EQ(fktest::Difference(before, fktest::SnapshotTree(Fs(), "E:\\")), "");
}

} // namespace
