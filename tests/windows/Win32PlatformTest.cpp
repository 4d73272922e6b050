// The Win32 platform on a drive of the machine the tests run on: the file-service contract, the
// backup stream against the system's own, the drive queries, and a folder mapped as a drive.
//
// The drive is FK_WIN32_TEST_DRIVE (a letter, E): its whole content is deleted before every
// case, so the runner names a drive made for the tests (under Wine, tests/windows/with-wine-drive.sh
// maps E: to an empty temporary folder and marks it removable). Without it the cases are skipped.
#include "platform/win32/Win32Platform.h"
#include "platform/api/LastError.h"
#include "platform/win32/MappedFolder.h"
#include "tests/contract/FileSystemContract.h"
#include "tests/windows/NativeBackup.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace {

using namespace platform;
using fk_contract::FileSystemContract;

std::string TestDrive() {
    const char* letter = std::getenv("FK_WIN32_TEST_DRIVE");
    return letter != nullptr && *letter != '\0' ? std::string(1, *letter) + ":\\" : std::string();
}

// Empties the test drive; false when there is none or it cannot be emptied.
bool EmptyTestDrive() {
    const std::string root = TestDrive();
    if (root.empty()) {
        return false;
    }
    std::unique_ptr<Platform> platform = win32::CreateWin32Platform();
    FileSystem& fs = platform->Files();
    std::vector<std::string> names;
    FindData data;
    const Handle h = fs.FindFirstFile(root + "*.*", &data);
    if (h == InvalidHandle) {
        return GetLastError() == ERROR_FILE_NOT_FOUND; // nothing on it
    }
    do {
        names.push_back(data.fileName);
    } while (fs.FindNextFile(h, &data));
    fs.FindClose(h);
    for (const std::string& name : names) {
        if (const DWORD err = fs.DeleteTree(root + name); err != ERROR_SUCCESS) {
            ADD_FAILURE() << "cannot empty " << root << name << ": error " << err;
            return false;
        }
    }
    return true;
}

fk_contract::ContractPlatform MakeWin32(const std::string& /*tempDir*/) {
    fk_contract::ContractPlatform env;
    if (TestDrive() != "E:\\" || !EmptyTestDrive()) {
        return env; // no platform: SetUp reports it
    }
    env.platform = win32::CreateWin32Platform();
    if (fk_win32_test::RunningOnWine()) {
        // Wine keeps the drive in a Linux folder: it cannot set creation times there and
        // reports every file with its archive bit set.
        env.exactTimes = false;
        env.archiveBit = false;
    }
    // Links are the host's business under Wine; a FAT card has none.
    env.symlinks = false;
    // A drive on a volume of its own (with-wine-drive.sh) is small enough to fill.
    const char* ownVolume = std::getenv("FK_WIN32_TEST_DRIVE_OWN_VOLUME");
    env.fillable = ownVolume != nullptr && std::string(ownVolume) == "1";
    env.hostPathsAreWindowsPaths = true;
    return env;
}

INSTANTIATE_TEST_SUITE_P(Win32, FileSystemContract,
                         ::testing::Values(fk_contract::ContractParam{"Win32", MakeWin32}),
                         [](const auto& info) { return info.param.name; });

class Win32Drive : public ::testing::Test {
protected:
    void SetUp() override {
        if (TestDrive().empty()) {
            GTEST_SKIP() << "FK_WIN32_TEST_DRIVE names no drive for the tests";
        }
        ASSERT_TRUE(EmptyTestDrive());
        root_ = TestDrive();
    }
    std::unique_ptr<Platform> platform_ = win32::CreateWin32Platform();
    std::string root_;
};

// A FAT file's backup stream is one BACKUP_DATA record: the same bytes as the system's
// BackupRead where it works, and the SDK's WIN32_STREAM_ID layout followed by the data anyway.
TEST_F(Win32Drive, BackupStreamIsWhatTheSystemYields) {
    FileSystem& fs = platform_->Files();
    for (const std::size_t size : {std::size_t{0}, std::size_t{5}, std::size_t{70000}}) {
        const std::string path = root_ + "F" + std::to_string(size) + ".BIN";
        std::string content(size, '\0');
        for (std::size_t i = 0; i < size; ++i) {
            content[i] = static_cast<char>((i * 7 + 3) & 0xFF);
        }
        Handle h = fs.CreateFile(path, GENERIC_WRITE, FILE_SHARE_NONE, CREATE_ALWAYS, 0);
        ASSERT_NE(h, InvalidHandle);
        DWORD written = 0;
        ASSERT_TRUE(fs.WriteFile(h, content.data(), static_cast<DWORD>(size), &written));
        ASSERT_TRUE(fs.CloseHandle(h));

        std::vector<std::uint8_t> ours;
        h = fs.CreateFile(path, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS);
        ASSERT_NE(h, InvalidHandle);
        void* context = nullptr;
        std::uint8_t buffer[3000]; // pieces that straddle the header and the data
        DWORD got = 0;
        while (fs.BackupRead(h, buffer, sizeof buffer, &got, FALSE, &context) && got > 0) {
            ours.insert(ours.end(), buffer, buffer + got);
        }
        EXPECT_TRUE(fs.BackupRead(h, nullptr, 0, &got, TRUE, &context));
        fs.CloseHandle(h);

        std::vector<std::uint8_t> expected = fk_win32_test::SdkDataRecordHeader(size);
        ASSERT_EQ(expected.size(), BackupStreamHeaderSize);
        expected.insert(expected.end(), content.begin(), content.end());
        EXPECT_EQ(ours, expected) << path;

        std::vector<std::uint8_t> system;
        std::uint32_t error = 0;
        if (fk_win32_test::SystemBackupRead(path, &system, &error)) {
            EXPECT_EQ(ours, system) << path;
        } else {
            // Wine does not implement BackupRead.
            EXPECT_EQ(error, ERROR_NOT_SUPPORTED) << path;
        }
    }
}

TEST_F(Win32Drive, DriveQueriesAnswerForTheTestDriveAndTheSystemDrive) {
    Volumes& v = platform_->Drives();
    const DWORD drives = v.GetLogicalDrives();
    EXPECT_NE(drives & (1u << ('C' - 'A')), 0u);
    EXPECT_NE(drives & (1u << (root_[0] - 'A')), 0u);
    EXPECT_EQ(v.GetDriveType("C:\\"), DRIVE_FIXED);
    // The runner marks the test drive removable, as a card reader is.
    EXPECT_EQ(v.GetDriveType(root_), DRIVE_REMOVABLE);
    DWORD spc = 0, bps = 0, freeClusters = 0, total = 0;
    ASSERT_TRUE(v.GetDiskFreeSpace(root_, &spc, &bps, &freeClusters, &total));
    EXPECT_GT(spc * bps, 0u);
    EXPECT_LE(freeClusters, total);
    std::string label = "unchanged";
    EXPECT_TRUE(v.GetVolumeLabel(root_, &label, 11)) << GetLastError();
    EXPECT_LE(label.size(), 11u);
    EXPECT_EQ(v.GetDriveType("Q:\\"), DRIVE_NO_ROOT_DIR);
}

// A folder mapped as X: (as vhbtool maps its card folders): X:'s paths land in the folder and
// none leaves it, its root lists as a drive's does, and the other drives stay the PC's own.
TEST_F(Win32Drive, AFolderMappedAsADriveKeepsItsPathsInside) {
    FileSystem& pc = platform_->Files();
    ASSERT_TRUE(pc.CreateDirectory(root_ + "CARD"));
    const Handle outside =
        pc.CreateFile(root_ + "OUTSIDE.TXT", GENERIC_WRITE, FILE_SHARE_NONE, CREATE_ALWAYS, 0);
    ASSERT_NE(outside, InvalidHandle);
    ASSERT_TRUE(pc.CloseHandle(outside));

    std::string error;
    EXPECT_EQ(win32::CreateMappedFolderPlatform(root_ + "OUTSIDE.TXT", 'X', &error), nullptr);
    EXPECT_EQ(error, root_ + "OUTSIDE.TXT: not a folder");
    std::unique_ptr<Platform> mapped = win32::CreateMappedFolderPlatform(root_ + "CARD\\", 'x', &error);
    ASSERT_NE(mapped, nullptr) << error;
    FileSystem& fs = mapped->Files();

    ASSERT_TRUE(fs.CreateDirectory("X:\\VM"));
    const Handle h = fs.CreateFile("X:\\VM\\A.TXT", GENERIC_WRITE, FILE_SHARE_NONE, CREATE_ALWAYS, 0);
    ASSERT_NE(h, InvalidHandle) << GetLastError();
    DWORD written = 0;
    ASSERT_TRUE(fs.WriteFile(h, "abc", 3, &written));
    ASSERT_TRUE(fs.CloseHandle(h));
    EXPECT_EQ(pc.GetFileAttributes(root_ + "CARD\\VM\\A.TXT") & FILE_ATTRIBUTE_DIRECTORY, 0u);
    EXPECT_EQ(mapped->HostPathOf("X:\\VM\\A.TXT"), root_ + "CARD\\VM\\A.TXT");

    // ".." never climbs out of the folder, whatever the call.
    for (const std::string& escape :
         {std::string("X:\\..\\OUTSIDE.TXT"), std::string("X:\\VM\\..\\..\\ESCAPE")}) {
        EXPECT_EQ(fs.GetFileAttributes(escape), INVALID_FILE_ATTRIBUTES) << escape;
        EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED) << escape;
        EXPECT_EQ(fs.CreateFile(escape, GENERIC_WRITE, FILE_SHARE_NONE, CREATE_ALWAYS, 0), InvalidHandle)
            << escape;
        EXPECT_FALSE(fs.CreateDirectory(escape)) << escape;
        EXPECT_FALSE(fs.MoveFileReplace("X:\\VM\\A.TXT", escape)) << escape;
        EXPECT_NE(fs.DeleteTree(escape), 0u) << escape;
    }
    EXPECT_EQ(pc.GetFileAttributes(root_ + "ESCAPE"), INVALID_FILE_ATTRIBUTES);
    EXPECT_NE(pc.GetFileAttributes(root_ + "OUTSIDE.TXT"), INVALID_FILE_ATTRIBUTES);
    EXPECT_NE(pc.GetFileAttributes(root_ + "CARD\\VM\\A.TXT"), INVALID_FILE_ATTRIBUTES);

    // The mapped root lists without dot entries; the test drive is still itself through it.
    std::vector<std::string> names;
    FindData data;
    const Handle list = fs.FindFirstFile("X:\\*", &data);
    ASSERT_NE(list, InvalidHandle) << GetLastError();
    do {
        names.push_back(data.fileName);
    } while (fs.FindNextFile(list, &data));
    fs.FindClose(list);
    EXPECT_EQ(names, std::vector<std::string>{"VM"});
    EXPECT_NE(fs.GetFileAttributes(root_ + "OUTSIDE.TXT"), INVALID_FILE_ATTRIBUTES);
}

} // namespace
