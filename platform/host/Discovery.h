// Finding the host's drives: the mount table, /sys/block, /dev/disk/by-label and udisks2's
// view of drives and block devices, turned into one list of drives with stable letters.
#pragma once

#include "platform/api/WinTypes.h"

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace platform::host {

// One line of /proc/self/mountinfo.
struct MountEntry {
    unsigned major = 0;
    unsigned minor = 0;
    std::string root;
    std::string mountPoint;
    std::string fsType;
    std::string source;
};

// Parses mountinfo text; octal escapes (\040 for a blank) are decoded. Malformed lines are skipped.
std::vector<MountEntry> ParseMountInfo(std::string_view text);
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
    std::string udisksBlock; // udisks2 object of the volume's block device, "" without udisks2
    std::uint64_t size = 0;  // bytes of the medium
};

// Sources for the fallback discovery, folders replaceable by fixtures in tests.
struct DiscoveryRoots {
    std::string mountInfo = "/proc/self/mountinfo";
    std::string sysBlock = "/sys/block";
    std::string byLabel = "/dev/disk/by-label";
};

// Removable, optical and other user-visible block devices found through /sys/block, with their
// mount points from mountinfo and labels from by-label.
std::vector<HostDrive> DiscoverFromSysfs(const DiscoveryRoots& roots, const std::vector<MountEntry>& mounts);
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
    bool hintIgnore = false;
    bool hintSystem = false;
    bool hasFilesystem = false;
    std::vector<std::string> mountPoints;
    bool isPartition = false;
    std::string partitionTable; // object of the whole-disk block of a partition
};

struct UdisksDrive {
    std::string object;
    bool removable = false;
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

// FAT volume geometry and label from a boot sector (the first 512 bytes of the volume).
struct FatGeometry {
    DWORD bytesPerSector = 0;
    DWORD sectorsPerCluster = 0;
    DWORD totalClusters = 0; // data clusters
    int fatBits = 0;         // 12, 16 or 32
    std::string label;       // boot-sector label, blanks trimmed, "" for "NO NAME"
};
bool ParseFatBootSector(const std::uint8_t* sector, std::size_t size, FatGeometry* out);
// Reads the boot sector of a device or image file; false when it cannot be read or is not FAT.
bool ReadFatBootSector(const std::string& path, FatGeometry* out);

} // namespace platform::host
