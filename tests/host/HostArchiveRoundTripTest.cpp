// The program's own archive writer and extractor on the host's file services: a card backed up
// into C:\ZEL\VoxHarbor\Backup, wiped, restored onto another reader, compared entry by entry.
#include "HostTestSupport.h"

#include "archive/Archive.h"
#include "platform/api/LastError.h"
#include "platform/host/HostPlatform.h"
#include "tests/support/FileTree.h"

#include <gtest/gtest.h>

using namespace platform;
using hosttest::ReadText;
using hosttest::TempDir;

namespace {

TEST(HostArchive, BackupAndRestoreKeepNamesDataAttributesAndWriteTimes) {
    TempDir dir;
    std::filesystem::create_directories(dir / "card");
    std::filesystem::create_directories(dir / "other");
    auto p = hosttest::FolderPlatform(dir.path(), {{'E', dir / "card", DRIVE_REMOVABLE, true, "VOXCARD"},
                                                   {'G', dir / "other", DRIVE_REMOVABLE, true, ""}});
    ASSERT_NE(p, nullptr);
    FileSystem& fs = p->Files();

    // A small card: prompts, a message of exactly one block and one of several, a hidden file.
    for (const char* d :
         {"E:\\VM", "E:\\VM\\PROMPTS", "E:\\VM\\PROMPTS\\0", "E:\\VM\\MSG", "E:\\VM\\EMPTY"}) {
        ASSERT_TRUE(fs.CreateDirectory(d));
    }
    const FILETIME when{0x80001234u, 0x01DA2B3Cu};
    auto put = [&](const std::string& path, const std::string& content, DWORD attributes) {
        const Handle h = fs.CreateFile(path, GENERIC_WRITE, 0, CREATE_ALWAYS, 0);
        ASSERT_NE(h, InvalidHandle);
        DWORD written = 0;
        ASSERT_TRUE(fs.WriteFile(h, content.data(), static_cast<DWORD>(content.size()), &written));
        ASSERT_TRUE(fs.SetFileTime(h, &when, &when, &when));
        ASSERT_TRUE(fs.CloseHandle(h));
        ASSERT_TRUE(fs.SetFileAttributes(path, attributes));
    };
    put("E:\\VM\\PROMPTS\\0\\VERSION.TXT", "0110\r\n", FILE_ATTRIBUTE_ARCHIVE);
    put("E:\\VM\\MSG\\M0001.VOX", std::string(1004, 'a'), FILE_ATTRIBUTE_ARCHIVE); // 20 + 1004 = one block
    std::string long_(5000, '\0');
    for (size_t i = 0; i < long_.size(); ++i) {
        long_[i] = static_cast<char>(i * 13 + 1);
    }
    put("E:\\VM\\MSG\\M0002.VOX", long_, FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_READONLY);
    put("E:\\CONFIG.DAT", "settings", FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE);

    const std::string backup = "C:\\ZEL\\VoxHarbor\\Backup\\card.vhb";
    Handle archiveFile = fs.CreateFile(backup, GENERIC_WRITE, 0, CREATE_ALWAYS, 0);
    ASSERT_NE(archiveFile, InvalidHandle);
    archive::WriteProblem problem;
    ASSERT_TRUE(archive::WriteVersionBlock(fs, archiveFile, "0110", &problem));
    ASSERT_TRUE(archive::WriteArchiveTree(fs, "E:\\", archiveFile, {}, &problem))
        << problem.path << " error " << problem.error;
    ASSERT_TRUE(fs.CloseHandle(archiveFile));

    const fktest::Tree before = fktest::SnapshotTree(fs, "E:\\");
    ASSERT_EQ(before.size(), 9u);

    // Restore onto the other reader.
    std::uint64_t size = 0;
    archiveFile = fs.CreateFile(backup, GENERIC_READ, 0, OPEN_EXISTING, 0);
    ASSERT_TRUE(fs.GetFileSize(archiveFile, &size));
    archive::versionBlockSeen = false;
    archive::ExtractStats stats;
    std::string shown;
    archive::ExtractCallbacks callbacks;
    callbacks.showMessage = [&](const std::string& m) { shown = m; };
    EXPECT_TRUE(archive::ExtractArchive(fs, archiveFile, size, "G:\\", "", callbacks, &stats));
    fs.CloseHandle(archiveFile);
    EXPECT_TRUE(shown.empty()) << shown;
    EXPECT_EQ(stats.filesIncomplete, 0u);

    const fktest::Tree after = fktest::SnapshotTree(fs, "G:\\");
    ASSERT_EQ(after.size(), before.size());
    for (const auto& [path, seen] : before) {
        ASSERT_EQ(after.count(path), 1u) << path;
        const fktest::EntryState& restored = after.at(path);
        EXPECT_EQ(restored.content, seen.content) << path;
        EXPECT_EQ(restored.attributes, seen.attributes) << path;
        if (!(seen.attributes & FILE_ATTRIBUTE_DIRECTORY)) {
            EXPECT_EQ(restored.lastWrite, seen.lastWrite) << path;
        }
    }
    EXPECT_EQ(ReadText(dir / "other/VM/MSG/M0002.VOX"), long_);
}

} // namespace
