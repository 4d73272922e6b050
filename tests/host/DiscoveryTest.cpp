// Drive discovery against fixtures: mountinfo, the block devices udev would list, and udisks2
// snapshots; stable letters; device-change events; FAT boot sectors from mkfs.fat.
#include "HostTestSupport.h"

#include "platform/api/LastError.h"
#include "platform/host/Discovery.h"
#include "platform/host/HostPlatform.h"
#include "platform/host/HostWatcher.h"
#include "platform/host/VolumeProbe.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cstring>
#include <filesystem>

using namespace platform;
using namespace platform::host;
using hosttest::TempDir;
using hosttest::WriteText;

namespace {

TEST(MountInfo, ParsesFieldsAndDecodesEscapes) {
    const std::string text = "26 1 254:0 / / rw,relatime - ext4 /dev/vda rw\n"
                             "97 26 8:17 / /media/tech/MY\\040CARD rw,nosuid shared:52 master:3 - vfat "
                             "/dev/sdb1 rw,uid=1000,flush\n"
                             "garbage line without separator\n"
                             "98 26 0:50 /export /mnt/voice\\134share rw - nfs4 server:/export rw\n"
                             "99 26 8:33 / /x rw -\n";
    const auto entries = ParseMountInfo(text);
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries[1].mountPoint, "/media/tech/MY CARD");
    EXPECT_EQ(entries[1].fsType, "vfat");
    EXPECT_EQ(entries[1].source, "/dev/sdb1");
    EXPECT_EQ(entries[1].major, 8u);
    EXPECT_EQ(entries[1].minor, 17u);
    EXPECT_EQ(entries[2].mountPoint, "/mnt/voice\\share");
    EXPECT_EQ(entries[2].root, "/export");
    // vfat's "flush" (every close of a written file waits) is one of the file system's own options.
    EXPECT_TRUE(HasOption(entries[1], "flush"));
    EXPECT_FALSE(HasOption(entries[1], "flus"));
    EXPECT_FALSE(HasOption(entries[0], "flush"));

    EXPECT_EQ(DecodeUdevEscapes("MY\\x20CARD"), "MY CARD");
    EXPECT_EQ(DecodeUdevEscapes("A\\x2fB\\x5c"), "A/B\\");
    EXPECT_EQ(DecodeUdevEscapes("TRAIL\\x2"), "TRAIL\\x2");
    EXPECT_EQ(DecodeUdevEscapes("NO\\xZZ"), "NO\\xZZ");
}

// The block devices of a machine with a card reader holding a mounted card, an empty reader, a
// DVD drive, a USB disk mounted under /media, the system disk and a loop device.
class SysfsFixture : public ::testing::Test {
protected:
    void SetUp() override {
        roots.mountInfo = dir / "mountinfo";
        roots.blockDevices = [this] { return devices; };
        Disk("sda", false, 100000000, makedev(8, 0), {{"sda1", makedev(8, 1)}});
        Disk("sdb", true, 125056, makedev(8, 16), {{"sdb1", makedev(8, 17)}});
        Disk("sdc", true, 0, makedev(8, 32), {});
        Disk("sdd", false, 2000000, makedev(8, 48), {{"sdd1", makedev(8, 49)}});
        Disk("sr0", true, 0, makedev(11, 0), {});
        Disk("loop0", false, 1000, makedev(7, 0), {});
        devices.labels["sdb1"] = "MY CARD";
        devices.labels["sdd1"] = "BACKUPS";
        WriteMounts("");
    }

    void Disk(const std::string& name, bool removable, std::uint64_t sectors, std::uint64_t dev,
              std::vector<BlockPartition> partitions) {
        devices.disks.push_back(BlockDisk{name, removable, false, sectors, dev, std::move(partitions)});
    }
    BlockDisk& DiskNamed(const std::string& name) {
        return *std::find_if(devices.disks.begin(), devices.disks.end(),
                             [&](const BlockDisk& d) { return d.name == name; });
    }

    void WriteMounts(const std::string& extra) {
        WriteText(roots.mountInfo, "26 1 8:1 / / rw - ext4 /dev/sda1 rw\n"
                                   "97 26 8:17 / /media/tech/MY\\040CARD rw - vfat /dev/sdb1 rw\n"
                                   "98 26 8:49 / /media/tech/BACKUPS rw - ext4 /dev/sdd1 rw\n"
                                   "99 26 0:60 / /mnt/office rw - cifs //srv/office rw\n" +
                                       extra);
    }

    std::vector<HostDrive> Discover() {
        return DiscoverBlockDrives(devices, ParseMountInfo(hosttest::ReadText(roots.mountInfo)));
    }

    TempDir dir;
    BlockDevices devices;
    DiscoveryRoots roots;
};

TEST_F(SysfsFixture, FindsReadersOpticalAndUserDisksButNotTheSystem) {
    const auto drives = Discover();
    ASSERT_EQ(drives.size(), 4u);
    EXPECT_EQ(drives[0].key, "/dev/sdb");
    EXPECT_EQ(drives[0].type, DRIVE_REMOVABLE);
    EXPECT_TRUE(drives[0].mediaPresent);
    EXPECT_EQ(drives[0].mountPoint, "/media/tech/MY CARD");
    EXPECT_EQ(drives[0].fsType, "vfat");
    EXPECT_EQ(drives[0].volumeDevice, "/dev/sdb1");
    EXPECT_EQ(drives[0].deviceNumber, makedev(8, 17));
    EXPECT_EQ(drives[0].size, 125056u * 512u);
    // The other drives' types, labels and the network share show through their letters below.
}

TEST_F(SysfsFixture, VolumesShowLettersTypesAndDeviceChanges) {
    VolumesConfig config;
    config.roots = roots;
    config.pollInterval = std::chrono::milliseconds(0);
    HostVolumes volumes(config, nullptr);
    HostWatcher watcher(volumes, config.pollInterval);
    EXPECT_TRUE(watcher.Poll().empty()); // the first look only takes stock

    // D: card reader with card, E: empty reader, F: USB disk, G: DVD, H: network share.
    EXPECT_EQ(volumes.GetLogicalDrives(),
              (1u << 2) | (1u << 3) | (1u << 4) | (1u << 5) | (1u << 6) | (1u << 7));
    EXPECT_EQ(volumes.GetDriveType("C:\\"), DRIVE_FIXED);
    EXPECT_EQ(volumes.GetDriveType("D:\\"), DRIVE_REMOVABLE);
    EXPECT_EQ(volumes.GetDriveType("e:\\"), DRIVE_REMOVABLE);
    EXPECT_EQ(volumes.GetDriveType("F:\\"), DRIVE_FIXED);
    EXPECT_EQ(volumes.GetDriveType("G:\\"), DRIVE_CDROM);
    EXPECT_EQ(volumes.GetDriveType("H:\\"), DRIVE_REMOTE);
    EXPECT_EQ(volumes.GetDriveType("K:\\"), DRIVE_NO_ROOT_DIR);
    std::string label;
    EXPECT_TRUE(volumes.GetVolumeLabel("D:\\", &label));
    EXPECT_EQ(label, "MY CARD");
    EXPECT_TRUE(volumes.GetVolumeLabel("D:\\", &label, 2));
    EXPECT_EQ(label, "MY");
    EXPECT_FALSE(volumes.GetVolumeLabel("E:\\", &label));
    EXPECT_EQ(GetLastError(), ERROR_NOT_READY);

    // The fixture's mount point is not the card's device: never use such a folder.
    std::vector<host::DriveMount> mounts;
    EXPECT_EQ(volumes.MountsOf('D', &mounts), ERROR_NOT_READY);
    EXPECT_EQ(volumes.MountsOf('E', &mounts), ERROR_NOT_READY);
    EXPECT_EQ(volumes.MountsOf('Q', &mounts), ERROR_PATH_NOT_FOUND);
    // Without udisks2 a card cannot be formatted; a fixed disk never is.
    EXPECT_EQ(volumes.FormatDrive(3, FormatRequest{}), ERROR_NOT_SUPPORTED);
    EXPECT_EQ(volumes.FormatDrive(5, FormatRequest{}), ERROR_ACCESS_DENIED);

    // The volume scan: every drive has a volume; only those with media answer the extents request.
    std::string name;
    std::vector<std::string> names;
    Handle h = volumes.FindFirstVolume(&name);
    ASSERT_NE(h, InvalidHandle);
    do {
        names.push_back(name);
    } while (volumes.FindNextVolume(h, &name));
    EXPECT_EQ(GetLastError(), ERROR_NO_MORE_FILES);
    volumes.FindVolumeClose(h);
    ASSERT_EQ(names.size(), 6u);
    int removableAnswering = 0;
    for (const std::string& n : names) {
        ASSERT_EQ(n.back(), '\\');
        if (volumes.GetDriveType(n) == DRIVE_REMOVABLE &&
            volumes.QueryVolumeDiskExtents(n.substr(0, n.size() - 1))) {
            ++removableAnswering;
        }
    }
    EXPECT_EQ(removableAnswering, 1);

    // A card goes into the empty reader.
    DiskNamed("sdc").sectors = 250112;
    EXPECT_EQ(watcher.Poll(), std::vector<UINT>{DBT_DEVICEARRIVAL});
    EXPECT_TRUE(watcher.Poll().empty());
    // The first reader is unplugged: its letter goes, the others keep theirs.
    std::erase_if(devices.disks, [](const BlockDisk& d) { return d.name == "sdb"; });
    EXPECT_EQ(watcher.Poll(), std::vector<UINT>{DBT_DEVICEREMOVECOMPLETE});
    EXPECT_EQ(volumes.GetDriveType("D:\\"), DRIVE_NO_ROOT_DIR);
    EXPECT_EQ(volumes.GetDriveType("E:\\"), DRIVE_REMOVABLE);
    EXPECT_EQ(volumes.GetDriveType("G:\\"), DRIVE_CDROM);
    // A new reader takes the lowest free letter.
    Disk("sdf", true, 0, makedev(8, 80), {});
    EXPECT_EQ(watcher.Poll(), std::vector<UINT>{DBT_DEVICEARRIVAL});
    EXPECT_EQ(volumes.GetDriveType("D:\\"), DRIVE_REMOVABLE);
    EXPECT_FALSE(volumes.QueryVolumeDiskExtents("D:"));
    // Card pulled from E:.
    DiskNamed("sdc").sectors = 0;
    EXPECT_EQ(watcher.Poll(), std::vector<UINT>{DBT_DEVICEREMOVECOMPLETE});
}

// Without udisks2: a card the desktop (or a technician) mounted is used where it is mounted,
// found by its device number, and its files are reached through the drive letter.
TEST_F(SysfsFixture, MountedCardIsUsedThroughItsLetter) {
    const std::string card = dir / "media/VOX CARD";
    std::filesystem::create_directories(card);
    struct stat st {};
    ASSERT_EQ(stat(card.c_str(), &st), 0);
    const std::string dev = std::to_string(major(st.st_dev)) + ":" + std::to_string(minor(st.st_dev));
    DiskNamed("sdb").partitions[0].deviceNumber = st.st_dev;
    WriteMounts("100 26 " + dev + " / " + dir.path() + "/media/VOX\\040CARD rw - vfat /dev/sdb1 rw\n");
    host::HostConfig config;
    config.volumes.roots = roots;
    config.dataDir = dir / "data";
    config.backupDir = dir / "backup";
    config.useUdisks = false;
    std::string error;
    auto p = host::CreateHostPlatform(config, nullptr, &error);
    ASSERT_NE(p, nullptr) << error;
    ASSERT_TRUE(p->Files().CreateDirectory("D:\\VM"));
    EXPECT_TRUE(std::filesystem::is_directory(card + "/VM"));
    EXPECT_EQ(p->WindowsPathOf(card + "/VM"), "D:\\VM");
    DWORD spc = 0, bps = 0, freeClusters = 0, total = 0;
    EXPECT_TRUE(p->Drives().GetDiskFreeSpace("D:\\", &spc, &bps, &freeClusters, &total));
    EXPECT_GT(total, 0u);
}

// Letters kept while attached are shown by the sysfs volumes above; here, the end of the alphabet.
TEST(LetterTable, NeverPassesZ) {
    LetterTable table;
    std::vector<HostDrive> many(30);
    for (int i = 0; i < 30; ++i) {
        many[i].key = "/dev/x" + std::to_string(100 + i);
    }
    const auto letters = table.Assign(many, {});
    EXPECT_EQ(letters.size(), 23u); // D: to Z:
    EXPECT_EQ(letters.begin()->first, 'D');
    EXPECT_EQ(letters.rbegin()->first, 'Z');
}

// The partitioned card and the empty reader are met through the udisks2 mock; here, a card
// formatted without a partition table and the system disk, which is never offered.
TEST(UdisksSnapshot, DrivesFromObjects) {
    UdisksSnapshot s;
    const std::string drivePath = "/org/freedesktop/UDisks2/drives/";
    const std::string blockPath = "/org/freedesktop/UDisks2/block_devices/";
    auto add = [&](const std::string& name, unsigned minor, std::uint64_t size, const std::string& drive,
                   const char* fsType, std::vector<std::string> mounts) -> UdisksBlock& {
        UdisksBlock b;
        b.object = blockPath + name;
        b.device = "/dev/" + name;
        b.deviceNumber = makedev(8, minor);
        b.size = size;
        b.drive = drivePath + drive;
        b.idUsage = "filesystem";
        b.idType = fsType;
        b.hasFilesystem = true;
        b.mountPoints = std::move(mounts);
        s.blocks.push_back(b);
        return s.blocks.back();
    };
    s.drives.push_back({drivePath + "Reader_C", true, true, false, 128974848});
    add("sdd", 48, 128974848, "Reader_C", "vfat", {});
    s.drives.push_back({drivePath + "Disk", false, true, false, 1000000000});
    add("sda", 0, 1000000000, "Disk", "ext4", {"/"}).hintSystem = true;

    const auto drives = DrivesFromUdisks(s);
    ASSERT_EQ(drives.size(), 1u);
    EXPECT_EQ(drives[0].key, "/dev/sdd");
    EXPECT_EQ(drives[0].type, DRIVE_REMOVABLE);
    EXPECT_TRUE(drives[0].hasFileSystem);
    EXPECT_TRUE(drives[0].mountPoint.empty());
    EXPECT_EQ(drives[0].udisksBlock, blockPath + "sdd");
}

// A real FAT16 image of a 64,028,672-byte card, made by mkfs.fat where it is installed: its geometry
// and volume ID from the boot sector, its label from the volume probe.
TEST(FatBootSector, GeometryGivesTheCardsCapacity) {
    if (!hosttest::HaveProgram("mkfs.fat")) {
        GTEST_SKIP() << "mkfs.fat (dosfstools) is not installed: the real-image half is skipped";
    }
    TempDir dir;
    const std::string image = dir / "card.img";
    // 125056 sectors of 512 bytes: 62528 KiB.
    FatGeometry g;
    ASSERT_EQ(
        std::system(("mkfs.fat -F 16 -n VOXCARD -i 1A2B3C4D -C " + image + " 62528 >/dev/null 2>&1").c_str()),
        0);
    ASSERT_TRUE(ReadFatBootSector(image, &g));
    EXPECT_EQ(g.fatBits, 16);
    EXPECT_EQ(g.serial, 0x1A2B3C4Du);
    VolumeProbe probe;
    ASSERT_TRUE(ProbeVolume(image, &probe));
    EXPECT_EQ(probe.label, "VOXCARD");
    const std::uint64_t capacity = std::uint64_t{g.sectorsPerCluster} * g.bytesPerSector * g.totalClusters;
    EXPECT_LE(capacity, 64028672u);
    EXPECT_GE(capacity / 1000000, 63u); // a "4 Hour" card, as Windows measures it
    if (hosttest::HaveProgram("minfo")) {
        // mtools reads the same geometry.
        const std::string out = dir / "minfo.txt";
        ASSERT_EQ(std::system(("minfo -i " + image + " :: >" + out + " 2>&1").c_str()), 0);
        const std::string text = hosttest::ReadText(out);
        EXPECT_NE(text.find("cluster size: " + std::to_string(g.sectorsPerCluster) + " sectors"),
                  std::string::npos)
            << text;
    }
}

} // namespace
