// What only the simulated PC does: media that come and go, drives that fill up or fail,
// device-change events, metadata that outlives the process, formatting and injected faults.
#include "platform/sim/SimulatedPc.h"
#include "platform/api/LastError.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sys/stat.h>
#include <thread>

namespace {

using namespace platform;
namespace fsys = std::filesystem;

class SimulatedPcTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fsys::temp_directory_path() / "fksimpc-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        temp_ = pattern;
        folder_ = temp_ + "/pc";
        SimDriveConfig c;
        c.letter = 'C';
        c.type = SimDriveType::Fixed;
        c.totalClusters = 1u << 20;
        SimDriveConfig d;
        d.letter = 'D';
        d.type = SimDriveType::Cdrom;
        d.label = "DISC";
        SimDriveConfig e;
        e.letter = 'E';
        e.label = "VOXCARD";
        SimDriveConfig g;
        g.letter = 'G';
        g.media = false;
        g.volume = false;
        description_.drives = {c, d, e, g};
        std::string error;
        ASSERT_TRUE(CreateSimulatedPcFolder(folder_, description_, &error)) << error;
        Open();
    }

    void TearDown() override {
        pc_.reset();
        std::error_code ec;
        fsys::remove_all(temp_, ec);
    }

    void Open() {
        pc_.reset();
        std::string error;
        pc_ = OpenSimulatedPc(folder_, &error);
        ASSERT_NE(pc_, nullptr) << error;
        fs_ = &pc_->Files();
        vol_ = &pc_->Drives();
    }

    void Edit(bool (*edit)(const std::string&, char, std::string*), char letter) {
        std::string error;
        ASSERT_TRUE(edit(folder_, letter, &error)) << error;
        pc_->Refresh();
    }

    void Put(const std::string& path, const std::string& content) {
        const Handle h = fs_->CreateFile(path, GENERIC_WRITE, FILE_SHARE_NONE, CREATE_ALWAYS, 0);
        ASSERT_NE(h, InvalidHandle) << GetLastError();
        DWORD written = 0;
        ASSERT_TRUE(fs_->WriteFile(h, content.data(), static_cast<DWORD>(content.size()), &written));
        ASSERT_TRUE(fs_->CloseHandle(h));
    }

    DWORD FreeClusters(const char* root) {
        DWORD spc = 0, bps = 0, free = 0, total = 0;
        EXPECT_TRUE(vol_->GetDiskFreeSpace(root, &spc, &bps, &free, &total));
        return free;
    }

    std::string temp_;
    std::string folder_;
    SimPcDescription description_;
    std::unique_ptr<SimulatedPc> pc_;
    FileSystem* fs_ = nullptr;
    Volumes* vol_ = nullptr;
};

TEST_F(SimulatedPcTest, DrivesAnswerTheirQueries) {
    EXPECT_EQ(vol_->GetLogicalDrives(), (1u << 2) | (1u << 3) | (1u << 4) | (1u << 6));
    EXPECT_EQ(vol_->GetDriveType("C:\\"), DRIVE_FIXED);
    EXPECT_EQ(vol_->GetDriveType("D:\\"), DRIVE_CDROM);
    EXPECT_EQ(vol_->GetDriveType("e:\\"), DRIVE_REMOVABLE);
    EXPECT_EQ(vol_->GetDriveType("G:\\"), DRIVE_REMOVABLE); // no medium: the type alone
    EXPECT_EQ(vol_->GetDriveType("Q:\\"), DRIVE_NO_ROOT_DIR);

    std::string label;
    EXPECT_TRUE(vol_->GetVolumeLabel("E:\\", &label));
    EXPECT_EQ(label, "VOXCARD");
    EXPECT_TRUE(vol_->GetVolumeLabel("E:\\", &label, 3));
    EXPECT_EQ(label, "VOX");

    // Free space as files and directories take clusters: the full-card case below.
    // Volume scan: every drive, by name; removable ones answer only with a medium and volume=yes.
    std::vector<std::string> names;
    std::string name;
    const Handle h = vol_->FindFirstVolume(&name);
    ASSERT_NE(h, InvalidHandle);
    do {
        names.push_back(name);
    } while (vol_->FindNextVolume(h, &name));
    EXPECT_EQ(GetLastError(), ERROR_NO_MORE_FILES);
    EXPECT_TRUE(vol_->FindVolumeClose(h));
    ASSERT_EQ(names.size(), 4u);
    EXPECT_EQ(names[2], "\\\\?\\Volume{sim-E}\\");
    EXPECT_EQ(vol_->GetDriveType(names[2]), DRIVE_REMOVABLE);
    EXPECT_EQ(vol_->GetDriveType(names[0]), DRIVE_FIXED);
    EXPECT_TRUE(vol_->QueryVolumeDiskExtents("\\\\?\\Volume{sim-E}"));
    EXPECT_FALSE(vol_->QueryVolumeDiskExtents("\\\\?\\Volume{sim-E}\\")); // the root, not the device
    EXPECT_FALSE(vol_->QueryVolumeDiskExtents("\\\\?\\Volume{sim-G}"));
    EXPECT_EQ(GetLastError(), ERROR_NOT_READY);
}

TEST_F(SimulatedPcTest, AnEmptyReaderIsNotReady) {
    SetLastError(0);
    EXPECT_EQ(fs_->CreateFile("G:\\", GENERIC_READ, FILE_SHARE_NONE, OPEN_EXISTING, 0), InvalidHandle);
    EXPECT_EQ(GetLastError(), ERROR_NOT_READY);
    std::string label;
    EXPECT_FALSE(vol_->GetVolumeLabel("G:\\", &label));
    EXPECT_EQ(GetLastError(), ERROR_NOT_READY);
    DWORD a, b, c, d;
    EXPECT_FALSE(vol_->GetDiskFreeSpace("G:\\", &a, &b, &c, &d));
    EXPECT_EQ(GetLastError(), ERROR_NOT_READY);
    FindData data;
    EXPECT_EQ(fs_->FindFirstFile("G:\\*.*", &data), InvalidHandle);
    EXPECT_EQ(GetLastError(), ERROR_NOT_READY);
    EXPECT_FALSE(fs_->CreateDirectory("G:\\VM"));
    EXPECT_EQ(GetLastError(), ERROR_NOT_READY);
    // A letter that is not there at all.
    EXPECT_EQ(fs_->CreateFile("Q:\\", GENERIC_READ, FILE_SHARE_NONE, OPEN_EXISTING, 0), InvalidHandle);
    EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
}

TEST_F(SimulatedPcTest, AFullCardRefusesWritesWholeAndFreesSpaceOnDelete) {
    // Leave two clusters (4096 bytes) free.
    const SimDriveConfig& e = *description_.Find('E');
    std::string error;
    ASSERT_TRUE(SimFill(folder_, 'E', e.Capacity() - 2 * e.ClusterBytes(), &error));
    pc_->Refresh();
    EXPECT_EQ(FreeClusters("E:\\"), 2u);

    Handle h = fs_->CreateFile("E:\\A.BIN", GENERIC_WRITE, FILE_SHARE_NONE, CREATE_ALWAYS, 0);
    const std::string kilo(1024, 'k');
    DWORD written = 0;
    for (int i = 0; i < 4; ++i) {
        ASSERT_TRUE(fs_->WriteFile(h, kilo.data(), 1024, &written)) << i;
    }
    // The fifth kilobyte would need a third cluster: nothing of it is written.
    written = 77;
    EXPECT_FALSE(fs_->WriteFile(h, kilo.data(), 1024, &written));
    EXPECT_EQ(GetLastError(), ERROR_DISK_FULL);
    EXPECT_EQ(written, 0u);
    std::uint64_t size = 0;
    EXPECT_TRUE(fs_->GetFileSize(h, &size));
    EXPECT_EQ(size, 4096u);
    EXPECT_TRUE(fs_->CloseHandle(h));
    EXPECT_EQ(fsys::file_size(pc_->DriveFolder('E') + "/A.BIN"), 4096u);
    EXPECT_EQ(FreeClusters("E:\\"), 0u);
    EXPECT_FALSE(fs_->CreateDirectory("E:\\DIR"));
    EXPECT_EQ(GetLastError(), ERROR_DISK_FULL);

    // Backup-write into a full card: the error, and only what reached the file is claimed.
    ASSERT_TRUE(fs_->DeleteFile("E:\\A.BIN"));
    EXPECT_EQ(FreeClusters("E:\\"), 2u);
    std::string stream(20, '\0');
    stream[0] = 1;
    stream[8] = static_cast<char>(0xB8); // 3000 bytes
    stream[9] = 0x0B;
    stream += std::string(3000, 'd');
    stream.resize(3072, '\0');
    h = fs_->CreateFile("E:\\B.BIN", GENERIC_WRITE, FILE_SHARE_NONE, CREATE_ALWAYS, 0);
    ASSERT_TRUE(fs_->SetFileAttributes("E:\\B.BIN", FILE_ATTRIBUTE_ARCHIVE));
    ASSERT_TRUE(SimFill(folder_, 'E', e.Capacity() - e.ClusterBytes(), &error)); // one cluster left
    pc_->Refresh();
    void* context = nullptr;
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(stream.data());
    ASSERT_TRUE(fs_->BackupWrite(h, bytes, 1024, &written, FALSE, &context));         // 1004 bytes of data
    ASSERT_TRUE(fs_->BackupWrite(h, bytes + 1024, 1024, &written, FALSE, &context));  // 2028
    EXPECT_FALSE(fs_->BackupWrite(h, bytes + 2048, 1024, &written, FALSE, &context)); // 3000: no room
    EXPECT_EQ(GetLastError(), ERROR_DISK_FULL);
    EXPECT_EQ(written, 0u);
    EXPECT_TRUE(fs_->BackupWrite(h, nullptr, 0, &written, TRUE, &context));
    EXPECT_TRUE(fs_->CloseHandle(h));
    EXPECT_EQ(fsys::file_size(pc_->DriveFolder('E') + "/B.BIN"), 2028u);
}

TEST_F(SimulatedPcTest, InjectedDriveFaultsFailReadsAndWrites) {
    Put("E:\\F.BIN", "content");
    std::string error;
    ASSERT_TRUE(SimSetFault(folder_, 'E', SimFault::Write, &error));
    pc_->Refresh();
    Handle h = fs_->CreateFile("E:\\W.BIN", GENERIC_WRITE, FILE_SHARE_NONE, CREATE_ALWAYS, 0);
    ASSERT_NE(h, InvalidHandle); // the file is created; its data cannot be written
    DWORD n = 0;
    EXPECT_FALSE(fs_->WriteFile(h, "x", 1, &n));
    EXPECT_EQ(GetLastError(), ERROR_WRITE_FAULT);
    void* context = nullptr;
    std::string block(20, '\0');
    block[0] = 1;
    EXPECT_FALSE(
        fs_->BackupWrite(h, reinterpret_cast<const std::uint8_t*>(block.data()), 20, &n, FALSE, &context));
    EXPECT_EQ(GetLastError(), ERROR_WRITE_FAULT);
    fs_->BackupWrite(h, nullptr, 0, &n, TRUE, &context);
    fs_->CloseHandle(h);
    EXPECT_EQ(vol_->FormatDrive(4, FormatRequest{}), ERROR_WRITE_FAULT);

    ASSERT_TRUE(SimSetFault(folder_, 'E', SimFault::Read, &error));
    pc_->Refresh();
    h = fs_->CreateFile("E:\\F.BIN", GENERIC_READ, FILE_SHARE_NONE, OPEN_EXISTING, 0);
    char buffer[16];
    EXPECT_FALSE(fs_->ReadFile(h, buffer, sizeof buffer, &n));
    EXPECT_EQ(GetLastError(), ERROR_READ_FAULT);
    EXPECT_FALSE(
        fs_->BackupRead(h, reinterpret_cast<std::uint8_t*>(buffer), sizeof buffer, &n, FALSE, &context));
    EXPECT_EQ(GetLastError(), ERROR_READ_FAULT);
    fs_->CloseHandle(h);

    // The cdrom refuses every change.
    EXPECT_EQ(fs_->CreateFile("D:\\NEW.TXT", GENERIC_WRITE, FILE_SHARE_NONE, CREATE_ALWAYS, 0),
              InvalidHandle);
    EXPECT_NE(GetLastError(), ERROR_SUCCESS);
    EXPECT_FALSE(fs_->CreateDirectory("D:\\DIR"));
}

TEST_F(SimulatedPcTest, APulledCardFailsEveryFurtherCall) {
    ASSERT_TRUE(fs_->CreateDirectory("E:\\VM"));
    const Handle h = fs_->CreateFile("E:\\VM\\M.VOX", GENERIC_WRITE, FILE_SHARE_NONE, CREATE_ALWAYS, 0);
    DWORD n = 0;
    ASSERT_TRUE(fs_->WriteFile(h, "abc", 3, &n));

    FindData entry;
    const Handle listing = fs_->FindFirstFile("E:\\VM\\*.*", &entry);
    ASSERT_NE(listing, InvalidHandle);

    // Pulled by another process (simpc): noticed within a moment, without an explicit refresh.
    std::string error;
    ASSERT_TRUE(SimEjectMedia(folder_, 'E', &error));
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
    EXPECT_FALSE(fs_->WriteFile(h, "def", 3, &n));
    EXPECT_EQ(GetLastError(), ERROR_NOT_READY);
    void* context = nullptr;
    EXPECT_FALSE(fs_->BackupWrite(h, reinterpret_cast<const std::uint8_t*>("12345678901234567890"), 20, &n,
                                  FALSE, &context));
    EXPECT_EQ(GetLastError(), ERROR_NOT_READY);
    EXPECT_EQ(fs_->GetFileAttributes("E:\\VM"), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetLastError(), ERROR_NOT_READY);
    EXPECT_FALSE(fs_->FindNextFile(listing, &entry));
    EXPECT_EQ(GetLastError(), ERROR_NOT_READY);
    EXPECT_TRUE(fs_->FindClose(listing));

    // Put back: new opens work, the handle from before the pull stays dead.
    Edit(SimInsertMedia, 'E');
    EXPECT_FALSE(fs_->WriteFile(h, "ghi", 3, &n));
    EXPECT_EQ(GetLastError(), ERROR_NOT_READY);
    fs_->CloseHandle(h);
    EXPECT_EQ(fs_->GetFileAttributes("E:\\VM"), FILE_ATTRIBUTE_DIRECTORY);
}

TEST_F(SimulatedPcTest, DeviceWatcherReportsArrivalAndRemoval) {
    DeviceWatcher& watcher = pc_->Devices();
    EXPECT_TRUE(watcher.Poll().empty());
    std::string error;
    ASSERT_TRUE(SimEjectMedia(folder_, 'E', &error));
    EXPECT_EQ(watcher.Poll(), std::vector<UINT>{DBT_DEVICEREMOVECOMPLETE});
    EXPECT_TRUE(watcher.Poll().empty());
    ASSERT_TRUE(SimInsertMedia(folder_, 'G', &error));
    EXPECT_EQ(watcher.Poll(), std::vector<UINT>{DBT_DEVICEARRIVAL});
    // Another card in the same reader: told apart by its serial, the one leaves, the other comes.
    DWORD first = 0, second = 0;
    ASSERT_TRUE(vol_->GetVolumeLabel("G:\\", nullptr, 0, &first));
    ASSERT_TRUE(SimSwapCard(folder_, 'G', &error));
    EXPECT_EQ(watcher.Poll(), (std::vector<UINT>{DBT_DEVICEREMOVECOMPLETE, DBT_DEVICEARRIVAL}));
    ASSERT_TRUE(vol_->GetVolumeLabel("G:\\", nullptr, 0, &second));
    EXPECT_NE(first, second);

    // A reader plugged in (a new drive) and unplugged again.
    SimPcDescription d;
    ASSERT_TRUE(SimPcDescription::Load(folder_, &d, &error));
    SimDriveConfig h;
    h.letter = 'H';
    d.drives.push_back(h);
    fsys::create_directories(folder_ + "/H");
    ASSERT_TRUE(d.Save(folder_, &error));
    EXPECT_EQ(watcher.Poll(), std::vector<UINT>{DBT_DEVICEARRIVAL});
    EXPECT_EQ(vol_->GetDriveType("H:\\"), DRIVE_REMOVABLE);
    d.drives.pop_back();
    ASSERT_TRUE(d.Save(folder_, &error));
    EXPECT_EQ(watcher.Poll(), std::vector<UINT>{DBT_DEVICEREMOVECOMPLETE});

    // A description caught half-written (or broken) changes nothing.
    { std::ofstream(folder_ + "/pc.ini") << "[E:]\ntype = floppy\n"; }
    EXPECT_TRUE(watcher.Poll().empty());
    EXPECT_EQ(vol_->GetDriveType("C:\\"), DRIVE_FIXED);
}

TEST_F(SimulatedPcTest, AttributesTimesAndOrderOutliveTheProcess) {
    ASSERT_TRUE(fs_->CreateDirectory("E:\\VM"));
    for (const char* name : {"E:\\VM\\ZED.VOX", "E:\\VM\\ALPHA.VOX", "E:\\VM\\MID.VOX"}) {
        Put(name, name);
    }
    const FILETIME t1{0xFEDCBA98u, 0x01D00000u};
    const FILETIME t2{0x80000001u, 0xF0000000u};
    Handle h = fs_->CreateFile("E:\\VM\\ALPHA.VOX", GENERIC_WRITE, FILE_SHARE_NONE, OPEN_EXISTING, 0);
    ASSERT_TRUE(fs_->SetFileTime(h, &t1, &t2, &t1));
    fs_->CloseHandle(h);
    h = fs_->CreateFile("E:\\VM", GENERIC_WRITE, FILE_SHARE_NONE, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS);
    ASSERT_TRUE(fs_->SetFileTime(h, &t2, &t2, &t2));
    fs_->CloseHandle(h);
    ASSERT_TRUE(fs_->SetFileAttributes("E:\\VM\\ZED.VOX", FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM));
    // Enough changes to make the journal compact itself at the next start.
    for (int i = 0; i < 300; ++i) {
        ASSERT_TRUE(fs_->SetFileAttributes("E:\\VM\\MID.VOX",
                                           i % 2 == 0 ? FILE_ATTRIBUTE_READONLY : FILE_ATTRIBUTE_ARCHIVE));
    }
    ASSERT_TRUE(fs_->DeleteFile("E:\\VM\\MID.VOX"));
    Put("E:\\VM\\MID.VOX", "again"); // a new file: new attributes, last in the order
    // A word set while the file is open (as the extractor does) is kept when it closes.
    h = fs_->CreateFile("E:\\VM\\OPEN.VOX", GENERIC_WRITE, FILE_SHARE_NONE, CREATE_ALWAYS, 0);
    ASSERT_TRUE(fs_->SetFileAttributes("E:\\VM\\OPEN.VOX", FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE));
    ASSERT_TRUE(fs_->CloseHandle(h));

    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        Open();
        FindData data;
        const Handle f = fs_->FindFirstFile("E:\\VM\\*.*", &data);
        ASSERT_NE(f, InvalidHandle);
        std::vector<FindData> all{data};
        while (fs_->FindNextFile(f, &data)) {
            all.push_back(data);
        }
        fs_->FindClose(f);
        ASSERT_EQ(all.size(), 6u);
        EXPECT_EQ(all[0].fileName, ".");
        EXPECT_EQ(all[0].creationTime, t2);
        EXPECT_EQ(all[2].fileName, "ZED.VOX"); // creation order, as FAT lists
        EXPECT_EQ(all[2].attributes, FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
        EXPECT_EQ(all[3].fileName, "ALPHA.VOX");
        EXPECT_EQ(all[3].creationTime, t1);
        EXPECT_EQ(all[3].lastAccessTime, t2);
        EXPECT_EQ(all[3].lastWriteTime, t1);
        EXPECT_EQ(all[4].fileName, "MID.VOX");
        EXPECT_EQ(all[4].attributes, FILE_ATTRIBUTE_ARCHIVE);
        EXPECT_EQ(all[5].fileName, "OPEN.VOX");
        EXPECT_EQ(all[5].attributes, FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE);
    }
    EXPECT_LT(fsys::file_size(folder_ + "/.meta/E.tsv"), 2000u); // compacted
}

TEST_F(SimulatedPcTest, MetadataJournalSurvivesASecondInstanceAndATornRecord) {
    Put("E:\\A.TXT", "a");
    for (int i = 0; i < 300; ++i) {
        ASSERT_TRUE(fs_->SetFileAttributes("E:\\A.TXT",
                                           i % 2 == 0 ? FILE_ATTRIBUTE_READONLY : FILE_ATTRIBUTE_ARCHIVE));
    }
    // A second instance (simpc show, say) must not rewrite the journal under the first one.
    std::string error;
    auto second = OpenSimulatedPc(folder_, &error);
    ASSERT_NE(second, nullptr) << error;
    ASSERT_TRUE(fs_->SetFileAttributes("E:\\A.TXT", FILE_ATTRIBUTE_HIDDEN));
    second.reset();
    Open();
    EXPECT_EQ(fs_->GetFileAttributes("E:\\A.TXT"), FILE_ATTRIBUTE_HIDDEN);

    // A record torn by a crash is dropped; the records after it are whole.
    pc_.reset();
    { std::ofstream(folder_ + "/.meta/E.tsv", std::ios::app) << "S\tA.TXT\t3"; }
    Open();
    EXPECT_EQ(fs_->GetFileAttributes("E:\\A.TXT"), FILE_ATTRIBUTE_HIDDEN);
    ASSERT_TRUE(fs_->SetFileAttributes("E:\\A.TXT", FILE_ATTRIBUTE_SYSTEM));
    Open();
    EXPECT_EQ(fs_->GetFileAttributes("E:\\A.TXT"), FILE_ATTRIBUTE_SYSTEM);
}

TEST_F(SimulatedPcTest, FormatEmptiesTheCardAndSetsTheLabel) {
    ASSERT_TRUE(fs_->CreateDirectory("E:\\VM"));
    Put("E:\\VM\\A.VOX", std::string(5000, 'a'));
    ASSERT_TRUE(fs_->SetFileAttributes("E:\\VM\\A.VOX", FILE_ATTRIBUTE_READONLY));

    Handle open = fs_->CreateFile("E:\\VM\\A.VOX", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, 0);
    EXPECT_EQ(vol_->FormatDrive(4, FormatRequest{FormatRequest::FileSystemKind::Fat, "NEWCARD"}),
              ERROR_SHARING_VIOLATION);
    fs_->CloseHandle(open);
    DWORD serial = 0, formatted = 0;
    ASSERT_TRUE(vol_->GetVolumeLabel("E:\\", nullptr, 0, &serial));
    EXPECT_TRUE(pc_->Devices().Poll().empty());
    EXPECT_EQ(vol_->FormatDrive(4, FormatRequest{FormatRequest::FileSystemKind::Fat, "NEWCARD"}), 0u);
    // A new volume ID, yet the same card in the reader: no device change.
    ASSERT_TRUE(vol_->GetVolumeLabel("E:\\", nullptr, 0, &formatted));
    EXPECT_NE(formatted, serial);
    EXPECT_TRUE(pc_->Devices().Poll().empty());
    EXPECT_TRUE(fsys::is_empty(pc_->DriveFolder('E')));
    EXPECT_EQ(pc_->UsedBytes('E'), 0u);
    std::string label;
    EXPECT_TRUE(vol_->GetVolumeLabel("E:\\", &label));
    EXPECT_EQ(label, "NEWCARD");
    SimPcDescription d;
    std::string error;
    ASSERT_TRUE(SimPcDescription::Load(folder_, &d, &error));
    EXPECT_EQ(d.Find('E')->label, "NEWCARD");
    // The old metadata is gone with the files: a new file of the same name starts fresh.
    Put("E:\\A.VOX", "x");
    EXPECT_EQ(fs_->GetFileAttributes("E:\\A.VOX"), FILE_ATTRIBUTE_ARCHIVE);

    // FAT labels: upper case, 11 characters; a label FAT refuses fails the format untouched.
    Put("E:\\KEEP.TXT", "k");
    EXPECT_EQ(vol_->FormatDrive(4, FormatRequest{FormatRequest::FileSystemKind::Fat, "a;b"}),
              ERROR_INVALID_NAME);
    EXPECT_EQ(fs_->GetFileAttributes("E:\\KEEP.TXT"), FILE_ATTRIBUTE_ARCHIVE);
    EXPECT_EQ(vol_->FormatDrive(4, FormatRequest{FormatRequest::FileSystemKind::Fat, "voice card 12"}), 0u);
    EXPECT_TRUE(vol_->GetVolumeLabel("E:\\", &label));
    EXPECT_EQ(label, "VOICE CARD");

    EXPECT_EQ(vol_->FormatDrive(6, FormatRequest{}), ERROR_NOT_READY);          // G:, no medium
    EXPECT_EQ(vol_->FormatDrive(16, FormatRequest{}), ERROR_INVALID_PARAMETER); // Q:
    EXPECT_EQ(vol_->FormatDrive(99, FormatRequest{}), ERROR_INVALID_PARAMETER);
}

TEST_F(SimulatedPcTest, CaseInsensitiveLookupSeesFilesAddedBehindItsBack) {
    ASSERT_TRUE(fs_->CreateDirectory("E:\\D"));
    for (int i = 0; i < 50; ++i) {
        Put("E:\\D\\F" + std::to_string(i) + ".VOX", "x");
    }
    EXPECT_EQ(fs_->GetFileAttributes("E:\\d\\f7.vox"), FILE_ATTRIBUTE_ARCHIVE);
    EXPECT_EQ(fs_->GetFileAttributes("E:\\d\\late.txt"), INVALID_FILE_ATTRIBUTES);
    std::this_thread::sleep_for(std::chrono::milliseconds(30)); // a new directory mtime
    { std::ofstream(pc_->DriveFolder('E') + "/D/LATE.TXT") << "late"; }
    EXPECT_EQ(fs_->GetFileAttributes("E:\\d\\late.txt"), FILE_ATTRIBUTE_ARCHIVE);
    ASSERT_TRUE(fs_->DeleteFile("E:\\D\\F7.VOX"));
    EXPECT_EQ(fs_->GetFileAttributes("E:\\d\\f7.vox"), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

TEST_F(SimulatedPcTest, SmallWritesGatheredPerHandleAreSeenByEveryReader) {
    // Written in small pieces, as the extractor writes: another handle, the size, a listing and
    // the writer itself after a seek see every byte at once.
    const Handle w =
        fs_->CreateFile("E:\\G.BIN", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, CREATE_ALWAYS, 0);
    ASSERT_NE(w, InvalidHandle);
    DWORD n = 0;
    for (const char* piece : {"abc", "def", "ghi"}) {
        ASSERT_TRUE(fs_->WriteFile(w, piece, 3, &n));
    }
    const Handle r =
        fs_->CreateFile("E:\\G.BIN", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING, 0);
    ASSERT_NE(r, InvalidHandle);
    char buffer[16] = {};
    ASSERT_TRUE(fs_->ReadFile(r, buffer, sizeof buffer, &n));
    EXPECT_EQ(std::string(buffer, n), "abcdefghi");
    ASSERT_TRUE(fs_->WriteFile(w, "jk", 2, &n));
    std::uint64_t size = 0;
    EXPECT_TRUE(fs_->GetFileSize(r, &size));
    EXPECT_EQ(size, 11u);
    ASSERT_TRUE(fs_->WriteFile(w, "lm", 2, &n));
    FindData data;
    const Handle listing = fs_->FindFirstFile("E:\\G.BIN", &data);
    ASSERT_NE(listing, InvalidHandle);
    EXPECT_EQ(data.fileSize, 13u);
    fs_->FindClose(listing);
    // Back to the start through the writer: its own bytes, then an overwrite in the middle.
    ASSERT_TRUE(fs_->SetFilePointer(w, 0));
    ASSERT_TRUE(fs_->ReadFile(w, buffer, 4, &n));
    EXPECT_EQ(std::string(buffer, n), "abcd");
    ASSERT_TRUE(fs_->WriteFile(w, "XY", 2, &n));
    EXPECT_TRUE(fs_->CloseHandle(w));
    ASSERT_TRUE(fs_->SetFilePointer(r, 0));
    ASSERT_TRUE(fs_->ReadFile(r, buffer, sizeof buffer, &n));
    EXPECT_EQ(std::string(buffer, n), "abcdXYghijklm");
    EXPECT_TRUE(fs_->CloseHandle(r));
    // The space the file takes is counted once, however it was written.
    EXPECT_EQ(pc_->UsedBytes('E'), 2048u);
}

TEST_F(SimulatedPcTest, DrivesAreVolumesOfTheirOwnAndOpenFilesKeepTheirFolders) {
    // The drives' folders share one host disk, yet a move between two letters is one between
    // two volumes.
    ASSERT_TRUE(fs_->CreateDirectory("E:\\VM"));
    Put("E:\\VM\\A.VOX", "a");
    EXPECT_FALSE(fs_->MoveFileReplace("E:\\VM\\A.VOX", "C:\\A.VOX"));
    EXPECT_EQ(GetLastError(), ERROR_NOT_SAME_DEVICE);
    // A folder holding an open file is neither moved nor deleted, and keeps the file.
    const Handle open = fs_->CreateFile("E:\\VM\\A.VOX", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, 0);
    ASSERT_NE(open, InvalidHandle);
    EXPECT_FALSE(fs_->MoveFileReplace("E:\\VM", "E:\\OLD"));
    EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
    EXPECT_EQ(fs_->DeleteTree("E:\\VM"), DWORD{ERROR_SHARING_VIOLATION});
    EXPECT_TRUE(fs_->CloseHandle(open));
    EXPECT_EQ(fs_->GetFileAttributes("E:\\VM\\A.VOX"), DWORD{FILE_ATTRIBUTE_ARCHIVE});
    EXPECT_EQ(fs_->DeleteTree("E:\\VM"), 0u);
    EXPECT_EQ(pc_->UsedBytes('E'), 0u);
}

TEST_F(SimulatedPcTest, HostPathsOutsideTheDrivesWorkAsChosen) {
    // A backup saved where the technician chose, outside the simulated drives.
    const std::string dir = temp_ + "/chosen";
    fsys::create_directories(dir);
    const std::string temp = dir + "/card.vhb.tmp";
    Handle h = fs_->CreateFile(temp, GENERIC_WRITE, FILE_SHARE_NONE, CREATE_ALWAYS, 0);
    ASSERT_NE(h, InvalidHandle) << GetLastError();
    DWORD n = 0;
    ASSERT_TRUE(fs_->WriteFile(h, "archive", 7, &n));
    ASSERT_TRUE(fs_->CloseHandle(h));
    ASSERT_TRUE(fs_->MoveFileReplace(temp, dir + "/card.vhb"));
    EXPECT_EQ(fsys::file_size(dir + "/card.vhb"), 7u);
    FindData data;
    h = fs_->FindFirstFile(dir + "/*.vhb", &data);
    ASSERT_NE(h, InvalidHandle);
    EXPECT_EQ(data.fileName, "card.vhb");
    fs_->FindClose(h);
    EXPECT_EQ(fs_->CreateFile(dir + "/none/x.vhb", GENERIC_READ, 0, OPEN_EXISTING, 0), InvalidHandle);
    EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
    // A host path that lies inside a drive's folder is that drive's file, with its rules.
    ASSERT_TRUE(fs_->CreateDirectory("C:\\ZEL"));
    Put("C:\\ZEL\\RO.TXT", "r");
    ASSERT_TRUE(fs_->SetFileAttributes("C:\\ZEL\\RO.TXT", FILE_ATTRIBUTE_READONLY));
    EXPECT_EQ(fs_->CreateFile(pc_->DriveFolder('C') + "/ZEL/RO.TXT", GENERIC_WRITE, 0, OPEN_EXISTING, 0),
              InvalidHandle);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
}

TEST(SimulatedPcDescription, BrokenDescriptionsAreRefusedWithTheLine) {
    SimPcDescription d;
    std::string error;
    EXPECT_FALSE(SimPcDescription::ParseIni("[E:]\ntype = removable\ncolour = red\n", &d, &error));
    EXPECT_NE(error.find("line 3"), std::string::npos) << error;
    EXPECT_FALSE(SimPcDescription::ParseIni("[E:]\nmedia = perhaps\n", &d, &error));
    EXPECT_FALSE(SimPcDescription::ParseIni("[E:]\n[e:]\n", &d, &error));
    EXPECT_FALSE(SimPcDescription::ParseIni("type = fixed\n", &d, &error));
    EXPECT_FALSE(SimPcDescription::ParseIni("[E:]\nbytesPerSector = 0\n", &d, &error));
    ASSERT_TRUE(
        SimPcDescription::ParseIni("; comment\n[e:]  \nlabel = MY CARD ; note\nreserved = 12\n", &d, &error));
    ASSERT_EQ(d.drives.size(), 1u);
    EXPECT_EQ(d.drives[0].letter, 'E');
    EXPECT_EQ(d.drives[0].label, "MY CARD");
    EXPECT_EQ(d.drives[0].reserved, 12u);
    SimPcDescription again;
    ASSERT_TRUE(SimPcDescription::ParseIni(d.ToIni(), &again, &error));
    EXPECT_EQ(again.ToIni(), d.ToIni());
    EXPECT_EQ(OpenSimulatedPc("/nonexistent/pc", &error), nullptr);
    EXPECT_FALSE(error.empty());
}

} // namespace
