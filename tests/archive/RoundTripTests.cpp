// A card backed up, wiped and restored comes back byte for byte, with every attribute word and
// time.
#include "MemoryFileSystem.h"
#include "archive/Archive.h"

#include <gtest/gtest.h>

#include <random>

using namespace test;

namespace {

TEST(RoundTrip, CardComesBackWhole) {
    MemoryFileSystem fs;
    fs.AddDrive('C');
    fs.AddDrive('E');
    std::mt19937 random(3);
    auto t = [&] {
        return FILETIME{static_cast<DWORD>(random()), static_cast<DWORD>(random() % 0x01E00000)};
    };
    auto bytes = [&](std::size_t n) {
        std::vector<std::uint8_t> b(n);
        for (auto& x : b) {
            x = static_cast<std::uint8_t>(random());
        }
        return b;
    };
    fs.MakeDirectory("E:\\VM", FILE_ATTRIBUTE_DIRECTORY, t());
    fs.MakeDirectory("E:\\VM\\PROMPTS", FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY, t());
    fs.MakeDirectory("E:\\VM\\PROMPTS\\0", FILE_ATTRIBUTE_DIRECTORY, t());
    fs.MakeFile("E:\\VM\\PROMPTS\\0\\VERSION.TXT", "0110\r\n", FILE_ATTRIBUTE_ARCHIVE, t());
    fs.MakeDirectory("E:\\VM\\MSG", FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN, t());
    for (std::size_t n : {0u, 1u, 1003u, 1004u, 1005u, 2028u, 65536u, 300001u}) {
        fs.MakeFile("E:\\VM\\MSG\\M" + std::to_string(n) + ".WAV", bytes(n),
                    FILE_ATTRIBUTE_ARCHIVE | (n % 2 ? FILE_ATTRIBUTE_SYSTEM : 0), t());
    }
    fs.MakeFile("E:\\LABEL.TXT", "E:\\VM\\MSG\\M1.WAV", FILE_ATTRIBUTE_NORMAL, t());
    fs.MakeDirectory("E:\\VM\\EMPTY", FILE_ATTRIBUTE_DIRECTORY, t());

    const platform::Handle out = fs.OpenForTest("C:\\card.vhb", GENERIC_WRITE, CREATE_ALWAYS);
    archive::WriteProblem problem;
    ASSERT_TRUE(archive::WriteVersionBlock(fs, out, "1.10", &problem));
    ASSERT_TRUE(archive::WriteArchiveTree(fs, "E:\\", out, {}, &problem));
    fs.CloseHandle(out);

    // Restore onto another drive and compare with the original.
    fs.AddDrive('F');
    std::uint64_t size = 0;
    const platform::Handle in = fs.OpenForTest("C:\\card.vhb", GENERIC_READ, OPEN_EXISTING);
    ASSERT_TRUE(fs.GetFileSize(in, &size));
    archive::versionBlockSeen = false;
    archive::ExtractStats stats;
    ASSERT_TRUE(archive::ExtractArchive(fs, in, size, "F:\\", "", {}, &stats));
    fs.CloseHandle(in);

    const auto original = fs.AllPaths('E');
    auto restored = fs.AllPaths('F');
    ASSERT_EQ(restored.size(), original.size());
    for (const std::string& path : original) {
        const std::string copy = "F" + path.substr(1);
        const auto* a = fs.Find(path);
        const auto* b = fs.Find(copy);
        ASSERT_NE(b, nullptr) << copy;
        EXPECT_EQ(a->data, b->data) << path;
        EXPECT_EQ(a->attributes, b->attributes) << path;
        EXPECT_EQ(a->creation, b->creation) << path;
        EXPECT_EQ(a->lastAccess, b->lastAccess) << path;
        EXPECT_EQ(a->lastWrite, b->lastWrite) << path;
        EXPECT_EQ(a->name, b->name) << path;
    }
    EXPECT_EQ(stats.filesIncomplete + stats.entriesDamaged + stats.entriesRefused, 0u);
}

} // namespace
