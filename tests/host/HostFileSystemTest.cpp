// The host's file services on plain folders: Windows error codes, case-insensitive names,
// confinement, sharing, times, attributes, backup streams, and C:'s installation tree.
#include "HostTestSupport.h"

#include "platform/api/LastError.h"
#include "platform/host/HostPlatform.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <vector>

using namespace platform;
using hosttest::ReadText;
using hosttest::TempDir;
using hosttest::WriteText;

namespace {

class HostFiles : public ::testing::Test {
protected:
    void SetUp() override {
        std::filesystem::create_directories(dir / "card");
        std::filesystem::create_directories(dir / "data/Prompts");
        WriteText(dir / "data/Prompts/PromptUpdateVer1_2.vhp", "archive");
        platform_ = hosttest::FolderPlatform(dir.path(),
                                             {{'E', dir / "card", DRIVE_REMOVABLE, true, "VOXCARD"},
                                              {'G', dir / "empty-reader", DRIVE_REMOVABLE, false, ""}},
                                             dir / "user/flashkeeper3/Backup");
        ASSERT_NE(platform_, nullptr);
    }

    FileSystem& fs() { return platform_->Files(); }

    // Opens, expecting failure, and returns the error.
    DWORD OpenError(const std::string& path, DWORD access, DWORD disposition, DWORD flags = 0) {
        SetLastError(0);
        const Handle h = fs().CreateFile(path, access, FILE_SHARE_NONE, disposition, flags);
        if (h != InvalidHandle) {
            fs().CloseHandle(h);
            return 0;
        }
        return GetLastError();
    }

    void MakeFile(const std::string& path, const std::string& text) {
        const Handle h = fs().CreateFile(path, GENERIC_WRITE, FILE_SHARE_NONE, CREATE_ALWAYS, 0);
        ASSERT_NE(h, InvalidHandle) << path << " error " << GetLastError();
        DWORD written = 0;
        ASSERT_TRUE(fs().WriteFile(h, text.data(), static_cast<DWORD>(text.size()), &written));
        ASSERT_TRUE(fs().CloseHandle(h));
    }

    std::vector<std::string> List(const std::string& pattern) {
        std::vector<std::string> names;
        FindData d;
        const Handle h = fs().FindFirstFile(pattern, &d);
        if (h == InvalidHandle) {
            return names;
        }
        do {
            names.push_back(d.fileName);
        } while (fs().FindNextFile(h, &d));
        EXPECT_EQ(GetLastError(), ERROR_NO_MORE_FILES);
        fs().FindClose(h);
        return names;
    }

    TempDir dir;
    std::unique_ptr<Platform> platform_;
};

TEST_F(HostFiles, OpenErrorsAreTheOnesWindowsGives) {
    ASSERT_TRUE(fs().CreateDirectory("E:\\VM"));
    MakeFile("E:\\VM\\A.TXT", "a");
    // The probe of a reader without a card, and of a card's root.
    EXPECT_EQ(OpenError("G:\\", GENERIC_READ, OPEN_EXISTING), ERROR_NOT_READY);
    EXPECT_EQ(OpenError("G:\\VM\\A.TXT", GENERIC_READ, OPEN_EXISTING), ERROR_NOT_READY);
    EXPECT_EQ(OpenError("E:\\", GENERIC_READ, OPEN_EXISTING), ERROR_ACCESS_DENIED);
    EXPECT_EQ(OpenError("E:\\VM", GENERIC_READ, OPEN_EXISTING), ERROR_ACCESS_DENIED);
    EXPECT_EQ(OpenError("E:\\VM\\B.TXT", GENERIC_READ, OPEN_EXISTING), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(OpenError("E:\\NONE\\B.TXT", GENERIC_READ, OPEN_EXISTING), ERROR_PATH_NOT_FOUND);
    EXPECT_EQ(OpenError("E:\\VM\\A.TXT\\X", GENERIC_READ, OPEN_EXISTING), ERROR_PATH_NOT_FOUND);
    EXPECT_EQ(OpenError("Q:\\A.TXT", GENERIC_READ, OPEN_EXISTING), ERROR_PATH_NOT_FOUND);
    EXPECT_EQ(OpenError("E:\\VM\\A.TXT", GENERIC_WRITE, CREATE_NEW), ERROR_FILE_EXISTS);
    EXPECT_EQ(OpenError("E:\\NONE\\B.TXT", GENERIC_WRITE, CREATE_ALWAYS), ERROR_PATH_NOT_FOUND);
    EXPECT_EQ(OpenError("E:\\VM", GENERIC_READ, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS), 0u);

    SetLastError(0);
    Handle h = fs().CreateFile("E:\\VM\\A.TXT", GENERIC_WRITE, 0, OPEN_ALWAYS, 0);
    ASSERT_NE(h, InvalidHandle);
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
    fs().CloseHandle(h);
    h = fs().CreateFile("E:\\VM\\NEW.TXT", GENERIC_WRITE, 0, OPEN_ALWAYS, 0);
    ASSERT_NE(h, InvalidHandle);
    EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
    fs().CloseHandle(h);

    EXPECT_FALSE(fs().CreateDirectory("E:\\VM"));
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
    EXPECT_FALSE(fs().CreateDirectory("E:\\NONE\\SUB"));
    EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
    EXPECT_FALSE(fs().ReadFile(12345, nullptr, 0, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST_F(HostFiles, NamesMatchWithoutRegardToCaseAndKeepTheirCase) {
    ASSERT_TRUE(fs().CreateDirectory("E:\\Vm"));
    ASSERT_TRUE(fs().CreateDirectory("e:/vm/Prompts"));
    MakeFile("E:\\\\VM\\\\PROMPTS\\Version.Txt", "0110\r\n");
    EXPECT_EQ(ReadText(dir / "card/Vm/Prompts/Version.Txt"), "0110\r\n");
    const Handle h = fs().CreateFile("e:\\vm\\prompts\\VERSION.TXT", GENERIC_READ, 0, OPEN_EXISTING, 0);
    ASSERT_NE(h, InvalidHandle);
    char buffer[16] = {};
    DWORD read = 0;
    EXPECT_TRUE(fs().ReadFile(h, buffer, sizeof buffer, &read));
    EXPECT_EQ(std::string(buffer, read), "0110\r\n");
    fs().CloseHandle(h);
    EXPECT_EQ(List("E:\\VM\\PROMPTS\\version.txt"), std::vector<std::string>{"Version.Txt"});
    // Replacing a file under another case keeps one file, with its first name.
    MakeFile("E:\\VM\\PROMPTS\\VERSION.TXT", "0120");
    EXPECT_EQ(List("E:\\VM\\PROMPTS\\*.*"), (std::vector<std::string>{".", "..", "Version.Txt"}));
    EXPECT_EQ(ReadText(dir / "card/Vm/Prompts/Version.Txt"), "0120");
}

TEST_F(HostFiles, PathsNeverLeaveTheDrive) {
    WriteText(dir / "outside/SECRET.TXT", "secret");
    std::filesystem::create_directory_symlink(dir / "outside", dir / "card/LINK");
    std::filesystem::create_symlink(dir / "outside/SECRET.TXT", dir / "card/FILE.LNK");
    EXPECT_EQ(OpenError("E:\\..\\outside\\SECRET.TXT", GENERIC_READ, OPEN_EXISTING), ERROR_ACCESS_DENIED);
    EXPECT_EQ(OpenError("E:\\VM\\..\\..\\x", GENERIC_WRITE, CREATE_ALWAYS), ERROR_ACCESS_DENIED);
    EXPECT_EQ(OpenError("E:\\LINK\\SECRET.TXT", GENERIC_READ, OPEN_EXISTING), ERROR_ACCESS_DENIED);
    EXPECT_EQ(OpenError("E:\\FILE.LNK", GENERIC_WRITE, CREATE_ALWAYS), ERROR_ACCESS_DENIED);
    EXPECT_FALSE(fs().CreateDirectory("E:\\LINK\\NEW"));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_EQ(fs().GetFileAttributes("E:\\link"), INVALID_FILE_ATTRIBUTES);
    // Listings pass symlinks over, and deleting the tree removes the links, not their targets.
    EXPECT_TRUE(List("E:\\*.*").empty());
    ASSERT_TRUE(fs().CreateDirectory("E:\\VM"));
    std::filesystem::create_directory_symlink(dir / "outside", dir / "card/VM/LINK");
    EXPECT_EQ(fs().DeleteTree("E:\\VM"), ERROR_SUCCESS);
    EXPECT_EQ(ReadText(dir / "outside/SECRET.TXT"), "secret");
    EXPECT_FALSE(std::filesystem::exists(dir / "card/VM"));
    EXPECT_EQ(fs().DeleteTree("E:\\"), ERROR_ACCESS_DENIED);
    // A fifo is refused at once instead of blocking the program.
    ASSERT_EQ(mkfifo((dir / "card/PIPE").c_str(), 0600), 0);
    EXPECT_EQ(OpenError("E:\\PIPE", GENERIC_READ, OPEN_EXISTING), ERROR_ACCESS_DENIED);
}

TEST_F(HostFiles, ShareModesOfOpenHandles) {
    MakeFile("E:\\A.TXT", "abc");
    const Handle first = fs().CreateFile("E:\\A.TXT", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, 0);
    ASSERT_NE(first, InvalidHandle);
    const Handle reader = fs().CreateFile("e:\\a.txt", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, 0);
    EXPECT_NE(reader, InvalidHandle);
    EXPECT_EQ(OpenError("E:\\A.TXT", GENERIC_WRITE, OPEN_EXISTING), ERROR_SHARING_VIOLATION);
    EXPECT_FALSE(fs().DeleteFile("E:\\A.TXT"));
    EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
    fs().CloseHandle(reader);
    fs().CloseHandle(first);
    EXPECT_EQ(OpenError("E:\\A.TXT", GENERIC_WRITE, OPEN_EXISTING), 0u);
    EXPECT_TRUE(fs().DeleteFile("E:\\A.TXT"));
}

TEST_F(HostFiles, ListingsGiveDotEntriesOnlyBelowTheRoot) {
    EXPECT_EQ(fs().FindFirstFile("E:\\*.*", nullptr), InvalidHandle); // empty root: nothing at all
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    ASSERT_TRUE(fs().CreateDirectory("E:\\VM"));
    MakeFile("E:\\ROOT.TXT", "r");
    for (const char* n : {"C.TXT", "A.TXT", "B.DAT"}) {
        MakeFile(std::string("E:\\VM\\") + n, n);
    }
    // The order readdir gives.
    std::vector<std::string> expected = {".", ".."};
    DIR* d = opendir((dir / "card/VM").c_str());
    while (dirent* e = readdir(d)) {
        if (std::string_view(e->d_name) != "." && std::string_view(e->d_name) != "..") {
            expected.emplace_back(e->d_name);
        }
    }
    closedir(d);
    EXPECT_EQ(List("E:\\VM\\*.*"), expected);
    EXPECT_EQ(List("E:\\VM\\*.DAT"), std::vector<std::string>{"B.DAT"});
    const std::vector<std::string> root = List("E:\\*.*");
    EXPECT_EQ(root.size(), 2u);
    EXPECT_EQ(std::count(root.begin(), root.end(), "."), 0);
    FindData data;
    const Handle h = fs().FindFirstFile("E:\\VM", &data);
    ASSERT_NE(h, InvalidHandle);
    EXPECT_EQ(data.attributes & FILE_ATTRIBUTE_DIRECTORY, FILE_ATTRIBUTE_DIRECTORY);
    fs().FindClose(h);
    EXPECT_EQ(fs().FindFirstFile("E:\\NONE\\*.*", &data), InvalidHandle);
    EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
}

TEST_F(HostFiles, TimesAndAttributesRoundTrip) {
    MakeFile("E:\\MSG.VOX", "voice");
    const FILETIME creation = FILETIME{0x89ABCDEFu, 0x01D0F00Du};
    const FILETIME access = FILETIME{0xFFFFFFF0u, 0x01D0F00Eu}; // low half above 2^31
    const FILETIME write = FILETIME{0x80000001u, 0x01D0F00Fu};
    Handle h = fs().CreateFile("E:\\MSG.VOX", GENERIC_WRITE, 0, OPEN_EXISTING, 0);
    ASSERT_NE(h, InvalidHandle);
    ASSERT_TRUE(fs().SetFileTime(h, &creation, &access, &write));
    // Data written after the times were set (a restore's order) leaves them as set.
    DWORD written = 0;
    ASSERT_TRUE(fs().WriteFile(h, "more", 4, &written));
    void* ctx = nullptr;
    const std::uint8_t record[24] = {1, 0, 0, 0, 0, 0, 0, 0, 4,   0,   0,   0,
                                     0, 0, 0, 0, 0, 0, 0, 0, 'd', 'a', 't', 'a'};
    ASSERT_TRUE(fs().BackupWrite(h, record, sizeof record, &written, FALSE, &ctx));
    fs().BackupWrite(h, nullptr, 0, &written, TRUE, &ctx);
    fs().CloseHandle(h);
    h = fs().CreateFile("E:\\MSG.VOX", GENERIC_READ, 0, OPEN_EXISTING, 0);
    FILETIME c, a, w;
    ASSERT_TRUE(fs().GetFileTime(h, &c, &a, &w));
    fs().CloseHandle(h);
    EXPECT_EQ(a, access);
    EXPECT_EQ(w, write);
    // A read-only handle may not change times.
    h = fs().CreateFile("E:\\MSG.VOX", GENERIC_READ, 0, OPEN_EXISTING, 0);
    EXPECT_FALSE(fs().SetFileTime(h, nullptr, &access, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    fs().CloseHandle(h);

    const bool xattrs = setxattr((dir / "card/MSG.VOX").c_str(), "user.probe", "1", 1, 0) == 0;
    if (xattrs) {
        EXPECT_EQ(c, creation);
    }
    EXPECT_EQ(fs().GetFileAttributes("E:\\MSG.VOX"), FILE_ATTRIBUTE_ARCHIVE);
    ASSERT_TRUE(fs().SetFileAttributes("E:\\MSG.VOX", FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN));
    const DWORD expected = xattrs ? FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN : FILE_ATTRIBUTE_READONLY;
    EXPECT_EQ(fs().GetFileAttributes("e:\\msg.vox"), expected);
    // Read-only as Windows enforces it, for root as well.
    EXPECT_EQ(OpenError("E:\\MSG.VOX", GENERIC_WRITE, OPEN_EXISTING), ERROR_ACCESS_DENIED);
    EXPECT_EQ(OpenError("E:\\MSG.VOX", GENERIC_WRITE, CREATE_ALWAYS), ERROR_ACCESS_DENIED);
    EXPECT_FALSE(fs().DeleteFile("E:\\MSG.VOX"));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    ASSERT_TRUE(fs().SetFileAttributes("E:\\MSG.VOX", FILE_ATTRIBUTE_NORMAL));
    EXPECT_EQ(fs().GetFileAttributes("E:\\MSG.VOX"), FILE_ATTRIBUTE_NORMAL);
    ASSERT_TRUE(fs().CreateDirectory("E:\\VM"));
    EXPECT_EQ(fs().GetFileAttributes("E:\\VM"), FILE_ATTRIBUTE_DIRECTORY);
    // The shell's delete removes read-only files too.
    MakeFile("E:\\VM\\RO.TXT", "x");
    ASSERT_TRUE(fs().SetFileAttributes("E:\\VM\\RO.TXT", FILE_ATTRIBUTE_READONLY));
    EXPECT_EQ(fs().DeleteTree("E:\\VM"), ERROR_SUCCESS);
    EXPECT_EQ(fs().GetFileAttributes("E:\\VM"), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

TEST_F(HostFiles, BackupStreamsRoundTrip) {
    std::string content(1005, '\0');
    for (size_t i = 0; i < content.size(); ++i) {
        content[i] = static_cast<char>(i * 7);
    }
    MakeFile("E:\\SRC.BIN", content);
    Handle src = fs().CreateFile("E:\\SRC.BIN", GENERIC_READ, 0, OPEN_EXISTING, 0);
    std::vector<std::uint8_t> stream;
    void* ctx = nullptr;
    std::uint8_t block[1024];
    DWORD got = 0;
    do {
        ASSERT_TRUE(fs().BackupRead(src, block, sizeof block, &got, FALSE, &ctx));
        stream.insert(stream.end(), block, block + got);
    } while (got == sizeof block);
    fs().BackupRead(src, nullptr, 0, &got, TRUE, &ctx);
    fs().CloseHandle(src);
    ASSERT_EQ(stream.size(), 20u + content.size());
    EXPECT_EQ(stream[0], 1); // BACKUP_DATA

    Handle dst = fs().CreateFile("E:\\DST.BIN", GENERIC_WRITE, 0, CREATE_ALWAYS, 0);
    ctx = nullptr;
    DWORD written = 0;
    ASSERT_TRUE(
        fs().BackupWrite(dst, stream.data(), static_cast<DWORD>(stream.size()), &written, FALSE, &ctx));
    EXPECT_EQ(written, stream.size());
    // Zero padding where a record should begin is not a stream.
    const std::uint8_t zeros[1024] = {};
    EXPECT_FALSE(fs().BackupWrite(dst, zeros, sizeof zeros, &written, FALSE, &ctx));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_DATA);
    fs().BackupWrite(dst, nullptr, 0, &written, TRUE, &ctx);
    fs().CloseHandle(dst);
    EXPECT_EQ(ReadText(dir / "card/DST.BIN"), content);

    ASSERT_TRUE(fs().CreateDirectory("E:\\D"));
    Handle d = fs().CreateFile("E:\\D", GENERIC_READ, 0, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS);
    ctx = nullptr;
    EXPECT_TRUE(fs().BackupRead(d, block, sizeof block, &got, FALSE, &ctx));
    EXPECT_EQ(got, 0u);
    fs().BackupRead(d, nullptr, 0, &got, TRUE, &ctx);
    fs().CloseHandle(d);
    EXPECT_FALSE(fs().BackupWrite(4242, zeros, 20, &written, FALSE, &ctx));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST_F(HostFiles, InstallationTreeMapsToDataAndUserFolders) {
    // Start-up made the per-user Backup folder.
    EXPECT_TRUE(std::filesystem::is_directory(dir / "user/flashkeeper3/Backup"));
    EXPECT_EQ(OpenError("C:\\ZEL\\VoxHarbor\\Prompts\\PromptUpdateVer1_2.vhp", GENERIC_READ, OPEN_EXISTING),
              0u);
    // Data is not installed: only its last directory is missing, which Windows reports as 2.
    EXPECT_EQ(OpenError("C:\\ZEL\\VoxHarbor\\Data", GENERIC_READ, OPEN_EXISTING), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(OpenError("C:\\ZEL\\VoxHarbor\\Data\\InitializedFileStruct.vhb", GENERIC_READ, OPEN_EXISTING),
              ERROR_PATH_NOT_FOUND);
    EXPECT_EQ(OpenError("C:\\ZEL\\Voxharbor\\Backup", GENERIC_READ, OPEN_EXISTING), ERROR_ACCESS_DENIED);
    EXPECT_EQ(OpenError("C:\\ZEL\\ELSE\\X", GENERIC_READ, OPEN_EXISTING), ERROR_PATH_NOT_FOUND);
    EXPECT_EQ(OpenError("C:\\ZEL\\X.TXT", GENERIC_WRITE, CREATE_ALWAYS), ERROR_ACCESS_DENIED);
    EXPECT_EQ(fs().GetFileAttributes("C:\\ZEL\\VoxHarbor"), FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_EQ(List("C:\\ZEL\\VoxHarbor\\*.*"),
              (std::vector<std::string>{".", "..", "Prompts", "Data", "Backup"}));

    MakeFile("C:\\ZEL\\VoxHarbor\\Backup\\card.vhb", "backup");
    EXPECT_EQ(ReadText(dir / "user/flashkeeper3/Backup/card.vhb"), "backup");
    EXPECT_EQ(platform_->HostPathOf("C:\\ZEL\\VoxHarbor\\Backup\\card.vhb"),
              dir / "user/flashkeeper3/Backup/card.vhb");
    EXPECT_EQ(platform_->WindowsPathOf(dir / "user/flashkeeper3/Backup/card.vhb"),
              "C:\\ZEL\\VoxHarbor\\Backup\\card.vhb");
    EXPECT_EQ(platform_->WindowsPathOf(dir / "card/VM/X.TXT"), "E:\\VM\\X.TXT");
    EXPECT_EQ(platform_->WindowsPathOf("/somewhere/else.vhb"), "/somewhere/else.vhb");
    // A host path chosen in a file dialog opens as it is.
    EXPECT_EQ(OpenError(dir / "data/Prompts/PromptUpdateVer1_2.vhp", GENERIC_READ, OPEN_EXISTING), 0u);
    // The installation folders themselves are never deleted or moved away.
    EXPECT_EQ(fs().DeleteTree("C:\\ZEL\\VoxHarbor\\Backup"), ERROR_ACCESS_DENIED);
    EXPECT_EQ(fs().DeleteTree("C:\\ZEL"), ERROR_ACCESS_DENIED);
    EXPECT_FALSE(fs().MoveFileReplace("C:\\ZEL\\VoxHarbor\\Backup\\card.vhb", "C:\\ZEL\\VoxHarbor\\Prompts"));
    EXPECT_TRUE(std::filesystem::exists(dir / "user/flashkeeper3/Backup/card.vhb"));
    // Data can be created once it is missing (an install step could), and is then found.
    ASSERT_TRUE(fs().CreateDirectory("C:\\ZEL\\VoxHarbor\\Data"));
    EXPECT_TRUE(std::filesystem::is_directory(dir / "data/Data"));
}

TEST_F(HostFiles, PulledCardIsNotReady) {
    MakeFile("E:\\A.TXT", "a");
    std::filesystem::remove_all(dir / "card");
    EXPECT_EQ(OpenError("E:\\", GENERIC_READ, OPEN_EXISTING), ERROR_NOT_READY);
    EXPECT_EQ(OpenError("E:\\A.TXT", GENERIC_WRITE, CREATE_ALWAYS), ERROR_NOT_READY);
}

// A write that does not fit: nothing lands and the error is 112. Needs a small file system of
// its own, which a tmpfs mount gives where this runs with the right to mount.
TEST(HostDiskFull, WriteThatDoesNotFitWritesNothing) {
    TempDir dir;
    const std::string mountPoint = dir / "small";
    std::filesystem::create_directory(mountPoint);
    if (mount("tmpfs", mountPoint.c_str(), "tmpfs", 0, "size=64k") != 0) {
        GTEST_SKIP() << "cannot mount a small tmpfs here (" << std::strerror(errno)
                     << "); disk-full handling is covered by the simulated PC tests";
    }
    {
        auto p = hosttest::FolderPlatform(dir.path(), {{'E', mountPoint, DRIVE_REMOVABLE, true, ""}});
        ASSERT_NE(p, nullptr);
        FileSystem& fs = p->Files();
        Handle h = fs.CreateFile("E:\\BIG.BIN", GENERIC_WRITE, 0, CREATE_ALWAYS, 0);
        ASSERT_NE(h, InvalidHandle);
        std::vector<std::uint8_t> data(48 * 1024, 0x5A);
        DWORD written = 0;
        EXPECT_TRUE(fs.WriteFile(h, data.data(), static_cast<DWORD>(data.size()), &written));
        EXPECT_FALSE(fs.WriteFile(h, data.data(), static_cast<DWORD>(data.size()), &written));
        EXPECT_EQ(GetLastError(), ERROR_DISK_FULL);
        EXPECT_EQ(written, 0u);
        std::uint64_t size = 0;
        EXPECT_TRUE(fs.GetFileSize(h, &size));
        EXPECT_EQ(size, data.size());
        // Through the backup stream too, as a restore meets it.
        Handle g = fs.CreateFile("E:\\MORE.BIN", GENERIC_WRITE, 0, CREATE_ALWAYS, 0);
        std::vector<std::uint8_t> record(20 + data.size());
        record[0] = 1;
        record[8] = static_cast<std::uint8_t>(data.size());
        record[9] = static_cast<std::uint8_t>(data.size() >> 8);
        void* ctx = nullptr;
        EXPECT_FALSE(
            fs.BackupWrite(g, record.data(), static_cast<DWORD>(record.size()), &written, FALSE, &ctx));
        EXPECT_EQ(GetLastError(), ERROR_DISK_FULL);
        fs.BackupWrite(g, nullptr, 0, &written, TRUE, &ctx);
        fs.CloseHandle(g);
        fs.CloseHandle(h);
        DWORD spc = 0, bps = 0, freeClusters = 0, total = 0;
        EXPECT_TRUE(p->Drives().GetDiskFreeSpace("E:\\", &spc, &bps, &freeClusters, &total));
        EXPECT_EQ(std::uint64_t{spc} * bps * total, 64u * 1024u);
    }
    umount(mountPoint.c_str());
}

} // namespace
