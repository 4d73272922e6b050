// The host's file services on plain folders: Windows error codes, case-insensitive names,
// confinement, sharing, times, attributes, backup streams, and C:'s installation tree.
#include "HostTestSupport.h"

#include "platform/api/LastError.h"
#include "platform/host/BackgroundCloser.h"
#include "platform/host/HostPlatform.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
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

// Open errors, sharing, listings, attributes and backup streams in general are checked by the
// file-service contract (HostContractTest); these are what the host's folders add.

TEST_F(HostFiles, ReadersWithoutACardAndUnknownLettersAreNotThere) {
    EXPECT_EQ(OpenError("G:\\", GENERIC_READ, OPEN_EXISTING), ERROR_NOT_READY);
    EXPECT_EQ(OpenError("G:\\VM\\A.TXT", GENERIC_READ, OPEN_EXISTING), ERROR_NOT_READY);
    EXPECT_EQ(OpenError("Q:\\A.TXT", GENERIC_READ, OPEN_EXISTING), ERROR_PATH_NOT_FOUND);
    // A card whose folder went (pulled) is not ready either, also below a folder found before.
    MakeFile("E:\\A.TXT", "a");
    ASSERT_TRUE(fs().CreateDirectory("E:\\VM"));
    ASSERT_TRUE(fs().CreateDirectory("E:\\VM\\DATA"));
    MakeFile("E:\\VM\\DATA\\B.TXT", "b");
    std::filesystem::remove_all(dir / "card");
    EXPECT_EQ(OpenError("E:\\", GENERIC_READ, OPEN_EXISTING), ERROR_NOT_READY);
    EXPECT_EQ(OpenError("E:\\A.TXT", GENERIC_WRITE, CREATE_ALWAYS), ERROR_NOT_READY);
    EXPECT_EQ(OpenError("E:\\VM\\DATA\\C.TXT", GENERIC_WRITE, CREATE_ALWAYS), ERROR_NOT_READY);
}

// A restore sets each file's attribute word right after closing it; the file is opened again by
// the place it was closed at only while it is still that file.
TEST_F(HostFiles, AttributesSetAfterACloseReachOnlyTheFileClosed) {
    WriteText(dir / "outside/SECRET.TXT", "secret");
    const auto outsidePermissions = std::filesystem::status(dir / "outside/SECRET.TXT").permissions();
    ASSERT_TRUE(fs().CreateDirectory("E:\\VM"));
    MakeFile("E:\\VM\\A.TXT", "a");
    std::filesystem::rename(dir / "card/VM/A.TXT", dir / "card/VM/B.TXT");
    std::filesystem::create_symlink(dir / "outside/SECRET.TXT", dir / "card/VM/A.TXT");
    EXPECT_FALSE(fs().SetFileAttributes("E:\\VM\\A.TXT", FILE_ATTRIBUTE_READONLY));
    EXPECT_EQ(std::filesystem::status(dir / "outside/SECRET.TXT").permissions(), outsidePermissions);

    // Another file in its place is the file there now.
    MakeFile("E:\\VM\\C.TXT", "c");
    std::filesystem::remove(dir / "card/VM/C.TXT");
    WriteText(dir / "card/VM/C.TXT", "other");
    EXPECT_TRUE(fs().SetFileAttributes("E:\\VM\\C.TXT", FILE_ATTRIBUTE_READONLY));
    EXPECT_EQ(fs().GetFileAttributes("E:\\VM\\C.TXT") & FILE_ATTRIBUTE_READONLY, FILE_ATTRIBUTE_READONLY);
}

// Links met through paths are refused by the contract; here, inside a tree being deleted.
TEST_F(HostFiles, LinksAndFifosOnTheCardAreNeverFollowed) {
    WriteText(dir / "outside/SECRET.TXT", "secret");
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

// A folder seen as a drive (what vhbtool works on): nothing is written into it but the files
// themselves (attribute words and creation times go to extended attributes), the times set
// through a handle reach the host file, and it lists by name whatever order the host file system
// keeps (so an archive made of it is the same on every machine).
TEST_F(HostFiles, AFolderAsADriveKeepsTheFolderCleanListsByNameAndGivesTimesToTheHost) {
    for (const char* name : {"zeta", "EXISTING.TXT", "Beta", "alpha"}) {
        WriteText(dir / (std::string("card/") + name), "old");
    }
    const Handle h = fs().CreateFile("E:\\NEW.BIN", GENERIC_WRITE, FILE_SHARE_NONE, CREATE_ALWAYS, 0);
    ASSERT_NE(h, InvalidHandle);
    // 2001-09-09 01:46:40 UTC = 1,000,000,000 s after 1970.
    const FILETIME when = FILETIME::From(116444736000000000ULL + 1000000000ULL * 10000000ULL);
    ASSERT_TRUE(fs().SetFileTime(h, &when, &when, &when));
    DWORD n = 0;
    ASSERT_TRUE(fs().WriteFile(h, "new", 3, &n));
    ASSERT_TRUE(fs().CloseHandle(h));
    ASSERT_TRUE(fs().SetFileAttributes("E:\\NEW.BIN", FILE_ATTRIBUTE_READONLY));
    EXPECT_EQ(List("E:\\*"), (std::vector<std::string>{"alpha", "Beta", "EXISTING.TXT", "NEW.BIN", "zeta"}));
    platform_.reset();

    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(dir / "card")) {
        names.push_back(e.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"Beta", "EXISTING.TXT", "NEW.BIN", "alpha", "zeta"}));
    struct stat st {};
    ASSERT_EQ(::stat((dir / "card/NEW.BIN").c_str(), &st), 0);
    EXPECT_EQ(st.st_mtim.tv_sec, 1000000000);
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

// A file chosen in a host file dialog inside a mapped folder keeps its host path wherever the
// Windows form would name another file: a name that differs only in case from one beside it,
// names with ':' or '\\', a folder reached through a link. The card's files map as before.
TEST_F(HostFiles, HostPathsWhoseWindowsFormNamesAnotherFileStayHostPaths) {
    const std::string backup = dir / "user/flashkeeper3/Backup";
    WriteText(backup + "/CARD.VHB", "other card");
    std::filesystem::create_directories(dir / "elsewhere");
    std::filesystem::create_directory_symlink(dir / "elsewhere", backup + "/old");
    for (const std::string name : {"card.vhb", "a:b.vhb", "a\\b.vhb", "old/x.vhb"}) {
        EXPECT_EQ(platform_->WindowsPathOf(backup + "/" + name), backup + "/" + name);
    }
    EXPECT_EQ(platform_->WindowsPathOf(backup + "/new.vhb"), "C:\\ZEL\\VoxHarbor\\Backup\\new.vhb");

    // Written through the path the dialog gave: exactly that file, nothing else replaced.
    for (const std::string name : {"card.vhb", "a:b.vhb", "a\\b.vhb", "old/x.vhb"}) {
        MakeFile(platform_->WindowsPathOf(backup + "/" + name), name);
        EXPECT_EQ(ReadText(backup + "/" + name), name);
    }
    EXPECT_EQ(ReadText(backup + "/CARD.VHB"), "other card");
    EXPECT_EQ(ReadText(dir / "elsewhere/x.vhb"), "old/x.vhb");
    EXPECT_FALSE(std::filesystem::exists(backup + "/a"));
}

// A write that does not fit: nothing lands and the error is 112 (the backup stream passes the
// file's error on, as BackupStream and the simulated full card show). Needs a small file system of
// its own, which a tmpfs mount gives where this runs with the right to mount.
// Every descriptor handed to the closer is closed once Wait returns, and once the closer is gone:
// a flush of the card or its unmount must not overtake a close still under way. A pipe's read end
// sees the end of its data only when its write end is closed.
TEST(BackgroundCloser, EveryCloseHasEndedByWaitAndByTheEnd) {
    auto handOver = [](host::BackgroundCloser& closer, std::vector<int>* readEnds) {
        for (int i = 0; i < 40; ++i) {
            int p[2];
            ASSERT_EQ(pipe2(p, O_NONBLOCK | O_CLOEXEC), 0);
            readEnds->push_back(p[0]);
            closer.Close(p[1]);
        }
    };
    auto allClosed = [](std::vector<int>* readEnds) {
        bool all = true;
        for (int fd : *readEnds) {
            char c = 0;
            all = all && read(fd, &c, 1) == 0;
            close(fd);
        }
        readEnds->clear();
        return all;
    };
    std::vector<int> readEnds;
    {
        host::BackgroundCloser closer(4);
        handOver(closer, &readEnds);
        closer.Wait();
        EXPECT_TRUE(allClosed(&readEnds));
        handOver(closer, &readEnds);
    }
    EXPECT_TRUE(allClosed(&readEnds));
}

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
        fs.CloseHandle(h);
        DWORD spc = 0, bps = 0, freeClusters = 0, total = 0;
        EXPECT_TRUE(p->Drives().GetDiskFreeSpace("E:\\", &spc, &bps, &freeClusters, &total));
        EXPECT_EQ(std::uint64_t{spc} * bps * total, 64u * 1024u);
    }
    umount(mountPoint.c_str());
}

} // namespace
