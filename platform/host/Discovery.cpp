#include "platform/host/Discovery.h"

#include <fcntl.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <set>

namespace platform::host {

namespace {

// Mount points where desktops and technicians put user volumes; other mounts of fixed disks
// (/, /boot, /home) are the system's and get no letter.
bool IsUserMountPoint(std::string_view mountPoint) {
    return mountPoint.starts_with("/media/") || mountPoint.starts_with("/run/media/") ||
           mountPoint.starts_with("/mnt/");
}

} // namespace

std::string DecodeUdevEscapes(std::string_view name) {
    std::string out;
    for (size_t i = 0; i < name.size(); ++i) {
        // A backslash, "x" and two hex digits of either case (an unsigned value takes no sign).
        unsigned byte = 0;
        if (name[i] == '\\' && i + 3 < name.size() && name[i + 1] == 'x' &&
            std::from_chars(name.data() + i + 2, name.data() + i + 4, byte, 16).ptr == name.data() + i + 4) {
            out += static_cast<char>(byte);
            i += 3;
            continue;
        }
        out += name[i];
    }
    return out;
}

std::vector<HostDrive> DiscoverBlockDrives(const BlockDevices& devices,
                                           const std::vector<MountEntry>& mounts) {
    std::vector<BlockDisk> disks = devices.disks;
    std::sort(disks.begin(), disks.end(), [](const auto& a, const auto& b) { return a.name < b.name; });
    std::vector<HostDrive> drives;
    for (const BlockDisk& disk : disks) {
        const std::string& name = disk.name;
        if (name.starts_with("loop") || name.starts_with("ram") || name.starts_with("zram") ||
            name.starts_with("dm-") || name.starts_with("md") || name.starts_with("nbd") ||
            name.starts_with("fd")) {
            continue;
        }
        HostDrive d;
        d.key = "/dev/" + name;
        const bool optical = name.starts_with("sr") || disk.optical;
        // SD/MMC slots report removable 0, but their cards are removable media all the same.
        const bool removable = disk.removable || name.starts_with("mmcblk");
        d.type = optical ? DRIVE_CDROM : removable ? DRIVE_REMOVABLE : DRIVE_FIXED;
        d.size = disk.sectors * 512;
        d.mediaPresent = d.size > 0;

        // The volume: the first mounted partition, else the first partition, else the whole
        // medium (cards formatted without a partition table).
        std::vector<BlockPartition> volumes = disk.partitions;
        std::sort(volumes.begin(), volumes.end(),
                  [](const auto& a, const auto& b) { return a.name < b.name; });
        if (volumes.empty()) {
            volumes.push_back({name, disk.deviceNumber});
        }
        const BlockPartition* chosen = &volumes.front();
        const MountEntry* mount = nullptr;
        for (const BlockPartition& c : volumes) {
            // The device number decides; the source name only where udev gave no number.
            const auto m = std::find_if(mounts.begin(), mounts.end(), [&](const MountEntry& m) {
                return m.root == "/" && (c.deviceNumber != 0 ? makedev(m.major, m.minor) == c.deviceNumber
                                                             : m.source == "/dev/" + c.name);
            });
            if (m != mounts.end()) {
                mount = &*m;
                chosen = &c;
                break;
            }
        }
        d.volumeDevice = "/dev/" + chosen->name;
        d.deviceNumber = chosen->deviceNumber;
        if (auto it = devices.labels.find(chosen->name); it != devices.labels.end()) {
            d.label = it->second;
            d.hasFileSystem = true;
        }
        if (auto it = devices.serials.find(chosen->name); it != devices.serials.end()) {
            d.serial = it->second;
            d.hasFileSystem = true;
        }
        if (mount != nullptr) {
            d.mountPoint = mount->mountPoint;
            d.fsType = mount->fsType;
            d.hasFileSystem = true;
        }
        if (d.type == DRIVE_FIXED && !IsUserMountPoint(d.mountPoint)) {
            continue;
        }
        drives.push_back(std::move(d));
    }
    return drives;
}

std::vector<HostDrive> DiscoverNetworkMounts(const std::vector<MountEntry>& mounts) {
    static const std::set<std::string> networkTypes = {"nfs",   "nfs4", "cifs",       "smb3",
                                                       "smbfs", "afs",  "fuse.sshfs", "davfs"};
    std::vector<HostDrive> drives;
    for (const MountEntry& m : mounts) {
        if (networkTypes.count(m.fsType) == 0) {
            continue;
        }
        HostDrive d;
        d.key = "net:" + m.mountPoint;
        d.type = DRIVE_REMOTE;
        d.mediaPresent = d.hasFileSystem = true;
        d.mountPoint = m.mountPoint;
        d.fsType = m.fsType;
        drives.push_back(std::move(d));
    }
    return drives;
}

std::vector<HostDrive> DrivesFromUdisks(const UdisksSnapshot& snapshot) {
    std::vector<UdisksDrive> drives = snapshot.drives;
    std::sort(drives.begin(), drives.end(), [](const auto& a, const auto& b) { return a.object < b.object; });
    std::vector<UdisksBlock> blocks = snapshot.blocks;
    std::sort(blocks.begin(), blocks.end(), [](const auto& a, const auto& b) { return a.device < b.device; });
    std::vector<HostDrive> result;
    for (const UdisksDrive& drive : drives) {
        const UdisksBlock* whole = nullptr;
        std::vector<const UdisksBlock*> partitions;
        for (const UdisksBlock& b : blocks) {
            if (b.drive != drive.object) {
                continue;
            }
            if (b.isPartition) {
                partitions.push_back(&b);
            } else if (whole == nullptr) {
                whole = &b;
            }
        }
        if (whole == nullptr) {
            continue;
        }
        HostDrive d;
        d.key = whole->device;
        d.type = drive.optical ? DRIVE_CDROM : drive.mediaRemovable ? DRIVE_REMOVABLE : DRIVE_FIXED;
        d.size = whole->size != 0 ? whole->size : drive.size;
        d.mediaPresent = (drive.mediaRemovable ? drive.mediaAvailable : true) && d.size > 0;
        // The volume: the first mounted file system, else the first file system, of the partitions
        // and then of the whole medium.
        std::vector<const UdisksBlock*> candidates = partitions;
        candidates.push_back(whole);
        auto first = [&](auto wanted) {
            const auto it = std::find_if(candidates.begin(), candidates.end(), wanted);
            return it == candidates.end() ? nullptr : *it;
        };
        const UdisksBlock* volume =
            first([](const UdisksBlock* b) { return b->hasFilesystem && !b->mountPoints.empty(); });
        if (volume == nullptr) {
            volume =
                first([](const UdisksBlock* b) { return b->hasFilesystem || b->idUsage == "filesystem"; });
        }
        const UdisksBlock* target = volume != nullptr ? volume : candidates.front();
        d.volumeDevice = target->device;
        d.deviceNumber = target->deviceNumber;
        d.udisksBlock = target->object;
        if (volume != nullptr && d.mediaPresent) {
            d.hasFileSystem = true;
            d.fsType = volume->idType;
            d.label = volume->idLabel;
            d.serial = volume->idUuid;
            if (!volume->mountPoints.empty()) {
                d.mountPoint = volume->mountPoints.front();
            }
        }
        if (d.type == DRIVE_FIXED && (whole->hintSystem || !IsUserMountPoint(d.mountPoint))) {
            continue;
        }
        if (whole->hintIgnore) {
            continue;
        }
        result.push_back(std::move(d));
    }
    return result;
}

std::map<char, HostDrive> LetterTable::Assign(std::vector<HostDrive> drives, const std::set<char>& reserved) {
    std::sort(drives.begin(), drives.end(), [](const auto& a, const auto& b) { return a.key < b.key; });
    // A drive that went away gives its letter up.
    std::erase_if(letters_, [&](const auto& entry) {
        return std::none_of(drives.begin(), drives.end(),
                            [&](const HostDrive& d) { return d.key == entry.first; });
    });
    std::map<char, HostDrive> byLetter;
    std::set<char> used = reserved;
    for (const auto& [key, letter] : letters_) {
        used.insert(letter);
    }
    for (HostDrive& d : drives) {
        auto it = letters_.find(d.key);
        if (it == letters_.end()) {
            char letter = 'D';
            while (letter <= 'Z' && used.count(letter) != 0) {
                ++letter;
            }
            if (letter > 'Z') {
                continue;
            }
            used.insert(letter);
            it = letters_.emplace(d.key, letter).first;
        }
        byLetter[it->second] = std::move(d);
    }
    return byLetter;
}

bool ParseFatBootSector(const std::uint8_t* s, std::size_t size, FatGeometry* out) {
    if (size < 512 || s[510] != 0x55 || s[511] != 0xAA || (s[0] != 0xEB && s[0] != 0xE9)) {
        return false;
    }
    auto u16 = [s](size_t o) { return static_cast<std::uint32_t>(s[o] | (s[o + 1] << 8)); };
    auto u32 = [s](size_t o) {
        return static_cast<std::uint32_t>(s[o]) | (static_cast<std::uint32_t>(s[o + 1]) << 8) |
               (static_cast<std::uint32_t>(s[o + 2]) << 16) | (static_cast<std::uint32_t>(s[o + 3]) << 24);
    };
    const std::uint32_t bps = u16(11);
    const std::uint32_t spc = s[13];
    const std::uint32_t reserved = u16(14);
    const std::uint32_t fats = s[16];
    const std::uint32_t rootEntries = u16(17);
    const std::uint32_t total = u16(19) != 0 ? u16(19) : u32(32);
    const std::uint32_t fatSize = u16(22) != 0 ? u16(22) : u32(36);
    if ((bps != 512 && bps != 1024 && bps != 2048 && bps != 4096) || spc == 0 || (spc & (spc - 1)) != 0 ||
        reserved == 0 || fats == 0 || fatSize == 0) {
        return false;
    }
    const std::uint64_t rootSectors = (rootEntries * 32ull + bps - 1) / bps;
    const std::uint64_t overhead = reserved + std::uint64_t{fats} * fatSize + rootSectors;
    if (total <= overhead) {
        return false;
    }
    const std::uint64_t clusters = (total - overhead) / spc;
    out->bytesPerSector = bps;
    out->sectorsPerCluster = spc;
    out->totalClusters = static_cast<DWORD>(clusters);
    out->fatBits = clusters < 4085 ? 12 : clusters < 65525 ? 16 : 32;
    // The volume ID follows the extended boot signature 0x29, which FAT32 keeps further on.
    const std::size_t signature = u16(22) != 0 ? 38 : 66;
    out->serial = s[signature] == 0x29 ? u32(signature + 1) : 0;
    return true;
}

bool ReadFatBootSector(const std::string& path, FatGeometry* out) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        return false;
    }
    std::uint8_t sector[512];
    const ssize_t n = pread(fd, sector, sizeof sector, 0);
    close(fd);
    return n == static_cast<ssize_t>(sizeof sector) && ParseFatBootSector(sector, sizeof sector, out);
}

} // namespace platform::host
