// Back up a card of the simulated PC, wipe it, restore it: every byte, attribute word and time
// comes back. Also the card filling up in the middle of a file, as the simulated PC reports it.
#include "archive/Archive.h"
#include "platform/api/LastError.h"
#include "platform/sim/SimulatedPc.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <random>

namespace {

struct Entry {
    DWORD attributes = 0;
    FILETIME creation, lastAccess, lastWrite;
    std::vector<std::uint8_t> data;
};

class SimulatedCard : public ::testing::Test {
protected:
    void SetUp() override {
        folder_ = (std::filesystem::temp_directory_path() /
                   ("fk-archive-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "-" +
                    ::testing::UnitTest::GetInstance()->current_test_info()->name()))
                      .string();
        std::filesystem::remove_all(folder_);
        platform::SimPcDescription pc;
        platform::SimDriveConfig local;
        local.letter = 'C';
        local.type = platform::SimDriveType::Fixed;
        local.totalClusters = 200000;
        platform::SimDriveConfig card;
        card.letter = 'E';
        pc.drives = {local, card};
        std::string error;
        ASSERT_TRUE(platform::CreateSimulatedPcFolder(folder_, pc, &error)) << error;
        pc_ = platform::OpenSimulatedPc(folder_, &error);
        ASSERT_TRUE(pc_) << error;
    }
    void TearDown() override {
        pc_.reset();
        std::filesystem::remove_all(folder_);
    }
    platform::FileSystem& Fs() { return pc_->Files(); }

    void MakeDirectory(const std::string& path, DWORD attributes, FILETIME t) {
        ASSERT_TRUE(Fs().CreateDirectory(path)) << path;
        ASSERT_TRUE(Fs().SetFileAttributes(path, attributes));
        const auto h = Fs().CreateFile(path, GENERIC_WRITE, 0, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS);
        ASSERT_NE(h, platform::InvalidHandle);
        ASSERT_TRUE(Fs().SetFileTime(h, &t, &t, &t));
        Fs().CloseHandle(h);
    }
    void MakeFile(const std::string& path, const std::vector<std::uint8_t>& data, DWORD attributes,
                  FILETIME t) {
        const auto h = Fs().CreateFile(path, GENERIC_WRITE, 0, CREATE_ALWAYS, 0);
        ASSERT_NE(h, platform::InvalidHandle) << path;
        DWORD written = 0;
        ASSERT_TRUE(data.empty() ||
                    Fs().WriteFile(h, data.data(), static_cast<DWORD>(data.size()), &written));
        const FILETIME later{t.dwLowDateTime + 1, t.dwHighDateTime};
        ASSERT_TRUE(Fs().SetFileTime(h, &t, &later, &t));
        Fs().CloseHandle(h);
        ASSERT_TRUE(Fs().SetFileAttributes(path, attributes));
    }
    // Every entry below a directory, by path relative to the drive.
    void Collect(const std::string& dir, std::map<std::string, Entry>* out) {
        platform::FindData d;
        const auto h = Fs().FindFirstFile(dir + "*.*", &d);
        if (h == platform::InvalidHandle) {
            return;
        }
        do {
            if (d.fileName == "." || d.fileName == "..") {
                continue;
            }
            const std::string path = dir + d.fileName;
            Entry e;
            e.attributes = d.attributes;
            const bool isDir = d.attributes & FILE_ATTRIBUTE_DIRECTORY;
            const auto f =
                Fs().CreateFile(path, GENERIC_READ, 0, OPEN_EXISTING, isDir ? FILE_FLAG_BACKUP_SEMANTICS : 0);
            EXPECT_NE(f, platform::InvalidHandle) << path;
            Fs().GetFileTime(f, &e.creation, &e.lastAccess, &e.lastWrite);
            if (!isDir) {
                e.data.resize(d.fileSize);
                DWORD read = 0;
                Fs().ReadFile(f, e.data.data(), static_cast<DWORD>(e.data.size()), &read);
                e.data.resize(read);
            }
            Fs().CloseHandle(f);
            (*out)[path.substr(3)] = e;
            if (isDir) {
                Collect(path + "\\", out);
            }
        } while (Fs().FindNextFile(h, &d));
        Fs().FindClose(h);
    }
    bool Backup(const std::string& archivePath) {
        const auto h = Fs().CreateFile(archivePath, GENERIC_WRITE, 0, CREATE_ALWAYS, 0);
        archive::WriteProblem problem;
        const bool ok = archive::WriteVersionBlock(Fs(), h, "1.10", &problem) &&
                        archive::WriteArchiveTree(Fs(), "E:\\", h, {}, &problem);
        Fs().CloseHandle(h);
        return ok;
    }
    bool Restore(const std::string& archivePath, std::vector<std::string>* messages,
                 archive::ExtractStats* stats) {
        const auto h = Fs().CreateFile(archivePath, GENERIC_READ, 0, OPEN_EXISTING, 0);
        std::uint64_t size = 0;
        Fs().GetFileSize(h, &size);
        archive::ExtractCallbacks cb;
        cb.showMessage = [&](const std::string& m) { messages->push_back(m); };
        archive::versionBlockSeen = false;
        const bool ok = archive::ExtractArchive(Fs(), h, size, "E:\\", "", cb, stats);
        Fs().CloseHandle(h);
        return ok;
    }

    std::string folder_;
    std::unique_ptr<platform::SimulatedPc> pc_;
};

TEST_F(SimulatedCard, BackupWipeRestoreGivesTheSameCard) {
    std::mt19937 random(11);
    auto bytes = [&](std::size_t n) {
        std::vector<std::uint8_t> b(n);
        for (auto& x : b) {
            x = static_cast<std::uint8_t>(random());
        }
        return b;
    };
    const FILETIME t{0xFFFFFFF0u, 0x01D00000u};
    MakeDirectory("E:\\VM", FILE_ATTRIBUTE_DIRECTORY, t);
    MakeDirectory("E:\\VM\\PROMPTS", FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN,
                  FILETIME{5, 0x01D00001u});
    MakeFile("E:\\VM\\PROMPTS\\VERSION.TXT", {'0', '1', '1', '0', '\r', '\n'}, FILE_ATTRIBUTE_ARCHIVE, t);
    MakeDirectory("E:\\VM\\MSG", FILE_ATTRIBUTE_DIRECTORY, FILETIME{0x80000000u, 0x01D00002u});
    std::string listing(1004, '-');
    listing += "C:\\ZEL\\VoxHarbor\\Backup\\x.vhb";
    MakeFile("E:\\VM\\MSG\\PATHS.TXT", std::vector<std::uint8_t>(listing.begin(), listing.end()),
             FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_READONLY, t);
    for (std::size_t n : {0u, 1004u, 1005u, 70001u, 400000u}) {
        MakeFile("E:\\VM\\MSG\\M" + std::to_string(n) + ".WAV", bytes(n), FILE_ATTRIBUTE_ARCHIVE,
                 FILETIME{static_cast<DWORD>(random()), 0x01D00003u});
    }
    MakeFile("E:\\ROOT.TXT", bytes(3), FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_SYSTEM, t);

    std::map<std::string, Entry> before;
    Collect("E:\\", &before);
    ASSERT_EQ(before.size(), 11u);
    ASSERT_TRUE(Backup("C:\\card.vhb"));

    // Wipe the card (read-only entries first lose the bit, as a format would wipe them anyway).
    Fs().SetFileAttributes("E:\\VM\\MSG\\PATHS.TXT", FILE_ATTRIBUTE_ARCHIVE);
    ASSERT_EQ(Fs().DeleteTree("E:\\VM"), 0u);
    ASSERT_TRUE(Fs().DeleteFile("E:\\ROOT.TXT"));

    std::vector<std::string> messages;
    archive::ExtractStats stats;
    ASSERT_TRUE(Restore("C:\\card.vhb", &messages, &stats));
    EXPECT_TRUE(messages.empty());
    EXPECT_EQ(stats.filesIncomplete + stats.entriesDamaged + stats.entriesRefused, 0u);

    std::map<std::string, Entry> after;
    Collect("E:\\", &after);
    ASSERT_EQ(after.size(), before.size());
    for (const auto& [path, e] : before) {
        const auto it = after.find(path);
        ASSERT_NE(it, after.end()) << path;
        EXPECT_EQ(it->second.attributes, e.attributes) << path;
        EXPECT_EQ(it->second.data, e.data) << path;
        EXPECT_EQ(it->second.creation, e.creation) << path;
        EXPECT_EQ(it->second.lastAccess, e.lastAccess) << path;
        EXPECT_EQ(it->second.lastWrite, e.lastWrite) << path;
    }
}

TEST_F(SimulatedCard, CardFullInTheMiddleOfAFileStopsWithTheMessage) {
    const FILETIME t{1, 0x01D00000u};
    MakeDirectory("E:\\VM", FILE_ATTRIBUTE_DIRECTORY, t);
    MakeFile("E:\\VM\\SMALL.WAV", std::vector<std::uint8_t>(5000, 7), FILE_ATTRIBUTE_ARCHIVE, t);
    MakeFile("E:\\VM\\BIG.WAV", std::vector<std::uint8_t>(3000000, 9), FILE_ATTRIBUTE_ARCHIVE, t);
    ASSERT_TRUE(Backup("C:\\card.vhb"));
    ASSERT_EQ(Fs().DeleteTree("E:\\VM"), 0u);
    std::string error;
    // Leave room for the directory and the small file only.
    ASSERT_TRUE(platform::SimFill(folder_, 'E', 64028672ull - 1024 * 1024, &error)) << error;
    pc_->Refresh();

    std::vector<std::string> messages;
    archive::ExtractStats stats;
    EXPECT_FALSE(Restore("C:\\card.vhb", &messages, &stats));
    EXPECT_TRUE(archive::extractionFailed);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0], archive::CardFullMessage);
    std::map<std::string, Entry> after;
    Collect("E:\\", &after);
    EXPECT_EQ(after["VM\\SMALL.WAV"].data, std::vector<std::uint8_t>(5000, 7));
}

} // namespace
