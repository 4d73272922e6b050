// What only the in-memory PC does: space counted in clusters, media that come and go, moves that
// could tear its tree, the walk of every entry. Its file services run the contract beside the
// simulated PC's (SimContractTest.cpp).
#include "platform/memory/MemoryPc.h"
#include "platform/api/LastError.h"

#include <gtest/gtest.h>

#include <tuple>

namespace {

using namespace platform;

std::unique_ptr<MemoryPc> MakePc() {
    MemoryDriveConfig c;
    c.letter = 'C';
    c.type = DRIVE_FIXED;
    c.totalClusters = 1u << 22;
    MemoryDriveConfig e;
    e.letter = 'E';
    e.label = "CARD";
    e.sectorsPerCluster = 2;
    e.totalClusters = 8; // 8 KB in 1 KB clusters
    MemoryDriveConfig g;
    g.letter = 'G';
    g.media = false;
    return CreateMemoryPc({c, e, g});
}

class MemoryPcTest : public ::testing::Test {
protected:
    void Put(const std::string& path, const std::string& content) {
        const Handle h = fs_.CreateFile(path, GENERIC_WRITE, FILE_SHARE_NONE, CREATE_ALWAYS, 0);
        ASSERT_NE(h, InvalidHandle) << GetLastError();
        DWORD written = 0;
        ASSERT_TRUE(fs_.WriteFile(h, content.data(), static_cast<DWORD>(content.size()), &written));
        ASSERT_TRUE(fs_.CloseHandle(h));
    }

    std::unique_ptr<MemoryPc> pc_ = MakePc();
    FileSystem& fs_ = pc_->Files();
    Volumes& vol_ = pc_->Drives();
};

TEST_F(MemoryPcTest, SpaceIsCountedInClustersAndAWriteThatDoesNotFitWritesNothing) {
    ASSERT_TRUE(fs_.CreateDirectory("E:\\VM")); // a directory takes a cluster
    Put("E:\\VM\\A.BIN", std::string(1025, 'a'));
    EXPECT_EQ(pc_->UsedBytes('E'), 3 * 1024u);
    DWORD spc = 0, bps = 0, free = 0, total = 0;
    ASSERT_TRUE(vol_.GetDiskFreeSpace("E:\\", &spc, &bps, &free, &total));
    EXPECT_EQ(free, 5u);
    EXPECT_EQ(total, 8u);

    const Handle h = fs_.CreateFile("E:\\B.BIN", GENERIC_WRITE, FILE_SHARE_NONE, CREATE_ALWAYS, 0);
    const std::string piece(3000, 'b');
    DWORD written = 0;
    ASSERT_TRUE(fs_.WriteFile(h, piece.data(), 3000, &written)); // 3 clusters, 2 left
    written = 77;
    EXPECT_FALSE(fs_.WriteFile(h, piece.data(), 3000, &written));
    EXPECT_EQ(GetLastError(), ERROR_DISK_FULL);
    EXPECT_EQ(written, 0u);
    std::uint64_t size = 0;
    EXPECT_TRUE(fs_.GetFileSize(h, &size));
    EXPECT_EQ(size, 3000u);
    // The same amount through the backup stream: refused whole as well.
    std::string record(20, '\0');
    record[0] = 1;
    record[8] = static_cast<char>(3000 & 0xFF);
    record[9] = static_cast<char>(3000 >> 8);
    record += piece;
    void* context = nullptr;
    EXPECT_FALSE(fs_.BackupWrite(h, reinterpret_cast<const std::uint8_t*>(record.data()),
                                 static_cast<DWORD>(record.size()), &written, FALSE, &context));
    EXPECT_EQ(GetLastError(), ERROR_DISK_FULL);
    EXPECT_EQ(written, 20u); // the header was taken, none of the data
    EXPECT_TRUE(fs_.BackupWrite(h, nullptr, 0, &written, TRUE, &context));
    EXPECT_TRUE(fs_.CloseHandle(h));
    EXPECT_EQ(pc_->UsedBytes('E'), 6 * 1024u);

    // Space comes back from deletes, truncation and whole trees.
    ASSERT_TRUE(fs_.DeleteFile("E:\\B.BIN"));
    EXPECT_EQ(pc_->UsedBytes('E'), 3 * 1024u);
    const Handle t = fs_.CreateFile("E:\\VM\\A.BIN", GENERIC_WRITE, FILE_SHARE_NONE, TRUNCATE_EXISTING, 0);
    ASSERT_NE(t, InvalidHandle);
    EXPECT_TRUE(fs_.CloseHandle(t));
    EXPECT_EQ(pc_->UsedBytes('E'), 1024u);
    EXPECT_EQ(fs_.DeleteTree("E:\\VM"), 0u);
    EXPECT_EQ(pc_->UsedBytes('E'), 0u);
    EXPECT_EQ(pc_->OpenHandles(), 0u);
}

TEST_F(MemoryPcTest, APulledCardKillsItsHandlesAndComesBackWithItsFiles) {
    Put("E:\\KEEP.TXT", "kept");
    const Handle h = fs_.CreateFile("E:\\OPEN.TXT", GENERIC_WRITE, FILE_SHARE_NONE, CREATE_ALWAYS, 0);
    FindData entry;
    const Handle listing = fs_.FindFirstFile("E:\\*.*", &entry);
    ASSERT_NE(listing, InvalidHandle);

    pc_->SetMedia('E', false);
    DWORD n = 0;
    EXPECT_FALSE(fs_.WriteFile(h, "x", 1, &n));
    EXPECT_EQ(GetLastError(), ERROR_NOT_READY);
    EXPECT_FALSE(fs_.FindNextFile(listing, &entry));
    EXPECT_EQ(GetLastError(), ERROR_NOT_READY);
    EXPECT_EQ(fs_.GetFileAttributes("E:\\KEEP.TXT"), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetLastError(), ERROR_NOT_READY);
    std::string label;
    EXPECT_FALSE(vol_.GetVolumeLabel("E:\\", &label));
    EXPECT_EQ(GetLastError(), ERROR_NOT_READY);
    EXPECT_EQ(pc_->Devices().Poll(), std::vector<UINT>{DBT_DEVICEREMOVECOMPLETE});

    // Back in: the files are there, the old handle stays dead and blocks nothing.
    pc_->SetMedia('E', true);
    pc_->SetMedia('G', true);
    EXPECT_EQ(pc_->Devices().Poll(), (std::vector<UINT>{DBT_DEVICEARRIVAL, DBT_DEVICEARRIVAL}));
    EXPECT_FALSE(fs_.WriteFile(h, "x", 1, &n));
    EXPECT_EQ(GetLastError(), ERROR_NOT_READY);
    EXPECT_TRUE(fs_.DeleteFile("E:\\OPEN.TXT"));
    EXPECT_EQ(fs_.GetFileAttributes("E:\\KEEP.TXT"), FILE_ATTRIBUTE_ARCHIVE);
    EXPECT_TRUE(fs_.CloseHandle(h));
    EXPECT_TRUE(fs_.FindClose(listing));

    // A format empties the card even though a dead handle still holds one of its old files.
    FormatRequest format;
    format.label = "voxcard";
    const Handle old = fs_.CreateFile("E:\\KEEP.TXT", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, 0);
    EXPECT_EQ(vol_.FormatDrive(4, format), ERROR_SHARING_VIOLATION); // but not while it is open
    EXPECT_TRUE(fs_.CloseHandle(old));
    EXPECT_EQ(vol_.FormatDrive(4, format), 0u);
    EXPECT_TRUE(vol_.GetVolumeLabel("E:\\", &label));
    EXPECT_EQ(label, "VOXCARD");
    EXPECT_TRUE(pc_->Entries('E').empty());
    format.label = "A:B";
    EXPECT_EQ(vol_.FormatDrive(6, format), ERROR_INVALID_NAME);
}

TEST_F(MemoryPcTest, MovesNeverTearTheTreeAndEntriesShowItWhole) {
    ASSERT_TRUE(fs_.CreateDirectory("C:\\A"));
    ASSERT_TRUE(fs_.CreateDirectory("C:\\A\\B"));
    Put("C:\\A\\B\\F.TXT", "f");
    Put("C:\\A\\R.TXT", "r");
    ASSERT_TRUE(fs_.SetFileAttributes("C:\\A\\R.TXT", FILE_ATTRIBUTE_READONLY));
    // A directory into itself or below itself, onto a read-only file, across drives, onto a root.
    for (auto [from, to, code] : {std::tuple{"C:\\A", "C:\\A\\B\\A", ERROR_ACCESS_DENIED},
                                  std::tuple{"C:\\A", "C:\\A\\X", ERROR_ACCESS_DENIED},
                                  std::tuple{"C:\\A\\B\\F.TXT", "C:\\A\\R.TXT", ERROR_ACCESS_DENIED},
                                  std::tuple{"C:\\A\\B\\F.TXT", "E:\\F.TXT", ERROR_NOT_SAME_DEVICE},
                                  std::tuple{"C:\\A\\B", "C:\\", ERROR_ACCESS_DENIED},
                                  std::tuple{"C:\\NONE", "C:\\X", ERROR_FILE_NOT_FOUND}}) {
        SCOPED_TRACE(std::string(from) + " -> " + to);
        EXPECT_FALSE(fs_.MoveFileReplace(from, to));
        EXPECT_EQ(GetLastError(), code);
    }
    const Handle open = fs_.CreateFile("C:\\A\\B\\F.TXT", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, 0);
    EXPECT_FALSE(fs_.MoveFileReplace("C:\\A", "C:\\Z"));
    EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
    EXPECT_NE(fs_.DeleteTree("C:\\A"), 0u);
    EXPECT_TRUE(fs_.CloseHandle(open));

    // A directory moves with what it holds; a name changes its case in place.
    ASSERT_TRUE(fs_.MoveFileReplace("C:\\A\\B", "C:\\MOVED"));
    ASSERT_TRUE(fs_.MoveFileReplace("C:\\moved\\F.TXT", "C:\\MOVED\\f.txt"));
    std::vector<std::string> paths;
    for (const MemoryEntry& e : pc_->Entries('C')) {
        paths.push_back(e.path + (e.data.empty() ? "" : "=" + e.data));
    }
    EXPECT_EQ(paths,
              (std::vector<std::string>{"C:\\A", "C:\\A\\R.TXT=r", "C:\\MOVED", "C:\\MOVED\\f.txt=f"}));
    // Host paths reach the drives' trees and nothing else.
    EXPECT_EQ(pc_->HostPathOf("c:\\Moved\\F.TXT"), "/memory/C/Moved/F.TXT");
    EXPECT_EQ(fs_.GetFileAttributes("/memory/C/MOVED/F.TXT"), FILE_ATTRIBUTE_ARCHIVE);
    for (const char* outside : {"/etc/passwd", "/memory", "/memory/CC/x", "/memory/C/../../etc"}) {
        EXPECT_EQ(fs_.GetFileAttributes(outside), INVALID_FILE_ATTRIBUTES) << outside;
    }
}

} // namespace
