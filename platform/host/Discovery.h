// Finding the host's drives: the mount table (MountTable.h), udev's block devices and udisks2's
// view of drives and block devices, turned into one list of drives with stable letters.
#pragma once

#include "platform/api/WinTypes.h"
#include "platform/host/MountTable.h"

#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace platform::host {

// Decodes the escapes udev uses in /dev/disk/by-label names ("MY\x20CARD" -> "MY CARD").
std::string DecodeUdevEscapes(std::string_view name);

// A device or volume the host offers as a drive letter.
struct HostDrive {
    std::string key; // identity while attached: the drive's whole-disk device ("/dev/sdb"), "net:<mount>"
    UINT type = DRIVE_REMOVABLE;
    bool mediaPresent = false;
    bool hasFileSystem = false;
    std::string volumeDevice;       // block device holding the file system ("/dev/sdb1"), "" when none
    std::uint64_t deviceNumber = 0; // its dev_t (makedev), 0 when unknown
    std::string mountPoint;         // "" when not mounted
    std::string fsType;
    std::string label;       // as Windows shows it
    std::string serial;      // the volume's serial (udisks2's IdUUID, "1234-ABCD" on FAT), "" unknown
    std::string udisksBlock; // udisks2 object of the volume's block device, "" without udisks2
    std::uint64_t size = 0;  // bytes of the medium
};

// The machine's block devices as udev knows them: each disk with its partitions, and the
// labels of the volumes that have one (what /dev/disk/by-label shows), by device name.
struct BlockPartition {
    std::string name;               // "sdb1"
    std::uint64_t deviceNumber = 0; // its dev_t (makedev), 0 when unknown
};
struct BlockDisk {
    std::string name; // "sdb"
    bool removable = false;
    bool optical = false;
    std::uint64_t sectors = 0; // 512-byte sectors of the medium, 0 without one
    std::uint64_t deviceNumber = 0;
    std::vector<BlockPartition> partitions;
};
struct BlockDevices {
    std::vector<BlockDisk> disks;
    std::map<std::string, std::string> labels;
    std::map<std::string, std::string> serials; // the volumes' UUIDs ("1234-ABCD" on FAT)
};

// Walks the block devices with libudev.
BlockDevices WalkBlockDevices();

// Sources for the discovery without udisks2, replaceable by fixtures in tests.
struct DiscoveryRoots {
    std::string mountInfo = "/proc/self/mountinfo";
    std::function<BlockDevices()> blockDevices = WalkBlockDevices;
};

// Removable, optical and other user-visible block devices, with their mount points from the
// mount table and their labels.
std::vector<HostDrive> DiscoverBlockDrives(const BlockDevices& devices,
                                           const std::vector<MountEntry>& mounts);
// Network file systems from the mount table.
std::vector<HostDrive> DiscoverNetworkMounts(const std::vector<MountEntry>& mounts);

// What udisks2 tells about its objects, as plain data (filled from D-Bus or by tests).
struct UdisksBlock {
    std::string object;
    std::string device; // "/dev/sdb1"
    std::uint64_t deviceNumber = 0;
    std::uint64_t size = 0;
    std::string drive; // object of the drive, "/" when none
    std::string idUsage;
    std::string idType;
    std::string idLabel;
    std::string idUuid;
    bool hintIgnore = false;
    bool hintSystem = false;
    bool hasFilesystem = false;
    std::vector<std::string> mountPoints;
    bool isPartition = false;
};

struct UdisksDrive {
    std::string object;
    bool mediaRemovable = false;
    bool mediaAvailable = false;
    bool optical = false;
    std::uint64_t size = 0;
};

struct UdisksSnapshot {
    std::vector<UdisksBlock> blocks;
    std::vector<UdisksDrive> drives;
};

std::vector<HostDrive> DrivesFromUdisks(const UdisksSnapshot& snapshot);

// Drive letters from D: upward, each kept while its drive stays attached; a new drive takes the
// lowest free letter (several new ones in the order of their keys). Drives beyond Z: get none.
class LetterTable {
public:
    // Returns the drives by letter; reserved letters are never handed out.
    std::map<char, HostDrive> Assign(std::vector<HostDrive> drives, const std::set<char>& reserved = {});

private:
    std::map<std::string, char> letters_;
};

// FAT volume geometry and volume ID from a boot sector (the first 512 bytes of the volume); the
// label is VolumeProbe's.
struct FatGeometry {
    DWORD bytesPerSector = 0;
    DWORD sectorsPerCluster = 0;
    DWORD totalClusters = 0; // data clusters
    int fatBits = 0;         // 12, 16 or 32
    DWORD serial = 0;        // the volume ID, 0 when the boot sector has none
};
bool ParseFatBootSector(const std::uint8_t* sector, std::size_t size, FatGeometry* out);
// Reads the boot sector of a device or image file; false when it cannot be read or is not FAT.
bool ReadFatBootSector(const std::string& path, FatGeometry* out);

} // namespace platform::host
