#include "platform/host/HostVolumes.h"

#include "platform/api/LastError.h"
#include "platform/host/Errno.h"
#include "platform/host/VolumeProbe.h"

#include <cerrno>
#include <sys/statvfs.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <set>

namespace platform::host {

namespace {

// A Windows-looking volume name, derived from the drive's key so it stays the same while the
// drive stays attached.
std::string VolumeNameOf(const std::string& key) {
    std::uint64_t h = 14695981039346656037ull;
    for (unsigned char c : key) {
        h = (h ^ c) * 1099511628211ull;
    }
    char text[64];
    std::snprintf(text, sizeof text, "\\\\?\\Volume{%08x-%04x-%04x-%04x-%012llx}\\",
                  static_cast<unsigned>(h >> 32), static_cast<unsigned>((h >> 16) & 0xFFFF),
                  static_cast<unsigned>(h & 0xFFFF), static_cast<unsigned>(key.size() & 0xFFFF),
                  static_cast<unsigned long long>(h & 0xFFFFFFFFFFFFull));
    return text;
}

// The serial as Windows reports it: FAT's volume ID, which udisks2 and udev show as "1234-ABCD";
// another file system's UUID folded into 32 bits (it serves only to tell cards apart); without
// either, the boot sector's where it can be read; else 0, unknown.
DWORD VolumeSerialOf(const HostDrive& d) {
    DWORD serial = 0;
    if (ParseVolumeSerial(d.serial, &serial)) {
        return serial;
    }
    if (!d.serial.empty()) {
        std::uint32_t h = 2166136261u;
        for (const unsigned char c : d.serial) {
            h = (h ^ c) * 16777619u;
        }
        return h;
    }
    FatGeometry fat;
    if (!d.volumeDevice.empty() && ReadFatBootSector(d.volumeDevice, &fat)) {
        return fat.serial;
    }
    return 0;
}

} // namespace

HostVolumes::HostVolumes(VolumesConfig config, std::unique_ptr<UdisksService> udisks)
    : config_(std::move(config)), udisks_(std::move(udisks)) {}

void HostVolumes::Refresh() {
    std::vector<HostDrive> found;
    viaUdisks_ = false;
    if (config_.discover) {
        UdisksSnapshot snapshot;
        if (udisks_ != nullptr && udisks_->Snapshot(&snapshot)) {
            found = DrivesFromUdisks(snapshot);
            viaUdisks_ = true;
        }
        const std::vector<MountEntry> mounts = ReadMountInfo(config_.roots.mountInfo);
        if (!viaUdisks_) {
            found = DiscoverBlockDrives(config_.roots.blockDevices(), mounts);
        }
        const std::vector<HostDrive> network = DiscoverNetworkMounts(mounts);
        found.insert(found.end(), network.begin(), network.end());
    }
    std::set<char> reserved = {'A', 'B', 'C'};
    for (const FolderDrive& f : config_.folderDrives) {
        reserved.insert(f.letter);
    }
    current_ = letters_.Assign(std::move(found), reserved);
    for (const FolderDrive& f : config_.folderDrives) {
        HostDrive d;
        d.key = std::string("folder:") + f.letter;
        d.type = f.type;
        d.mediaPresent = f.mediaPresent;
        d.hasFileSystem = true;
        d.mountPoint = f.folder;
        d.label = f.label;
        current_[f.letter] = d;
    }
    refreshed_ = true;
}

const HostDrive* HostVolumes::DriveAt(char letter) const {
    auto it = current_.find(letter);
    return it == current_.end() ? nullptr : &it->second;
}

char HostVolumes::LetterOf(std::string_view root) const {
    if (root.starts_with("\\\\?\\Volume{")) {
        std::string name(root);
        if (name.back() != '\\') {
            name += '\\';
        }
        const std::vector<Volume> volumes = Volumes();
        const auto it =
            std::find_if(volumes.begin(), volumes.end(), [&](const Volume& v) { return v.name == name; });
        return it == volumes.end() ? 0 : it->letter;
    }
    if (root.size() >= 2 && root[1] == ':' && std::isalpha(static_cast<unsigned char>(root[0]))) {
        return static_cast<char>(std::toupper(static_cast<unsigned char>(root[0])));
    }
    return 0;
}

DWORD HostVolumes::GetLogicalDrives() {
    Refresh();
    DWORD mask = 1u << 2; // C:, the local PC
    for (const auto& [letter, drive] : current_) {
        mask |= 1u << (letter - 'A');
    }
    return mask;
}

UINT HostVolumes::GetDriveType(std::string_view root) {
    if (!refreshed_) {
        Refresh();
    }
    const char letter = LetterOf(root);
    if (letter == 'C') {
        return DRIVE_FIXED;
    }
    const HostDrive* d = DriveAt(letter);
    return d == nullptr ? DRIVE_NO_ROOT_DIR : d->type;
}

BOOL HostVolumes::GetVolumeLabel(std::string_view root, std::string* label, DWORD maxLength,
                                 DWORD* serialNumber) {
    if (label != nullptr) {
        label->clear();
    }
    if (serialNumber != nullptr) {
        *serialNumber = 0;
    }
    const char letter = LetterOf(root);
    if (letter == 0) {
        return Fail(ERROR_INVALID_NAME);
    }
    if (letter == 'C') {
        return TRUE;
    }
    // The serial tells whether the card is still the one a question was asked about: it is read
    // now, not taken from the last poll (another card may have gone in since).
    if (!refreshed_ || serialNumber != nullptr) {
        Refresh();
    }
    // The label is known without mounting the card (udisks2 and udev read it from the volume).
    const HostDrive* d = DriveAt(letter);
    if (d == nullptr) {
        return Fail(ERROR_PATH_NOT_FOUND);
    }
    if (!d->mediaPresent) {
        return Fail(ERROR_NOT_READY);
    }
    if (!d->hasFileSystem) {
        return Fail(ERROR_UNRECOGNIZED_VOLUME);
    }
    if (label != nullptr) {
        std::string text = d->label;
        VolumeProbe probe;
        if (text.empty() && !viaUdisks_ && !d->volumeDevice.empty() && ProbeVolume(d->volumeDevice, &probe)) {
            text = probe.label;
        }
        *label = text.substr(0, maxLength);
    }
    if (serialNumber != nullptr) {
        *serialNumber = VolumeSerialOf(*d);
    }
    return TRUE;
}

BOOL HostVolumes::GetDiskFreeSpace(std::string_view root, DWORD* sectorsPerCluster, DWORD* bytesPerSector,
                                   DWORD* freeClusters, DWORD* totalClusters) {
    const char letter = LetterOf(root);
    if (letter == 0) {
        return Fail(ERROR_INVALID_NAME);
    }
    std::vector<DriveMount> mounts;
    const DWORD err = MountsOf(letter, &mounts);
    if (err != ERROR_SUCCESS) {
        return Fail(err);
    }
    if (mounts.empty()) {
        return Fail(ERROR_NOT_READY);
    }
    // C: is measured where the backups go, the last of its folders.
    struct statvfs vfs {};
    if (statvfs(mounts.back().hostFolder.c_str(), &vfs) != 0) {
        return FailWithErrno(errno, IoDirection::Read);
    }
    DWORD sector = 512;
    const HostDrive* d = letter == 'C' ? nullptr : DriveAt(letter);
    FatGeometry fat;
    // The sector size is in the boot sector, which only root can read from the device; 512 is
    // what every CompactFlash card has.
    if (d != nullptr && !d->volumeDevice.empty() && ReadFatBootSector(d->volumeDevice, &fat)) {
        sector = fat.bytesPerSector;
    }
    // On vfat the fundamental block is the cluster and the block counts are the data clusters,
    // which gives the capacity Windows shows for the same card.
    const std::uint64_t cluster = vfs.f_frsize != 0 ? vfs.f_frsize : vfs.f_bsize;
    const std::uint64_t perCluster = std::max<std::uint64_t>(1, cluster / sector);
    auto clamp = [](std::uint64_t v) { return static_cast<DWORD>(std::min<std::uint64_t>(v, 0xFFFFFFFFu)); };
    if (sectorsPerCluster != nullptr) {
        *sectorsPerCluster = clamp(perCluster);
    }
    if (bytesPerSector != nullptr) {
        *bytesPerSector = sector;
    }
    if (freeClusters != nullptr) {
        *freeClusters = clamp(vfs.f_bavail);
    }
    if (totalClusters != nullptr) {
        *totalClusters = clamp(vfs.f_blocks);
    }
    return TRUE;
}

std::vector<HostVolumes::Volume> HostVolumes::Volumes() const {
    std::vector<Volume> volumes{{VolumeNameOf("local:C"), 'C'}};
    for (const auto& [letter, drive] : current_) {
        volumes.push_back({VolumeNameOf(drive.key), letter});
    }
    return volumes;
}

Handle HostVolumes::FindFirstVolume(std::string* volumeName) {
    Refresh();
    Enumeration<std::string> names;
    for (const Volume& v : Volumes()) {
        names.items.push_back(v.name);
    }
    *volumeName = names.items.front();
    names.next = 1;
    const Handle h = nextHandle_++;
    enumerations_[h] = std::move(names);
    return h;
}

BOOL HostVolumes::FindNextVolume(Handle h, std::string* volumeName) {
    const auto it = enumerations_.find(h);
    return it == enumerations_.end() ? Fail(ERROR_INVALID_HANDLE) : it->second.Next(volumeName);
}

BOOL HostVolumes::FindVolumeClose(Handle h) {
    return enumerations_.erase(h) == 1 ? TRUE : Fail(ERROR_INVALID_HANDLE);
}

BOOL HostVolumes::QueryVolumeDiskExtents(std::string_view volumeNameWithoutBackslash) {
    const char letter = LetterOf(volumeNameWithoutBackslash);
    if (letter == 'C') {
        return TRUE;
    }
    const HostDrive* d = DriveAt(letter);
    if (d == nullptr) {
        return Fail(ERROR_FILE_NOT_FOUND);
    }
    // A reader without a card has a volume device but no extents.
    return d->mediaPresent ? TRUE : Fail(ERROR_NOT_READY);
}

} // namespace platform::host
