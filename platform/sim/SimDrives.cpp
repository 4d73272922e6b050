#include "platform/sim/SimDrives.h"

#include "platform/api/LastError.h"
#include "platform/common/WinPath.h"
#include "platform/host/HostTree.h"

#include <algorithm>
#include <array>
#include <cctype>

namespace platform::sim {

using host::BaseName;
using host::JoinHost;
using host::ParentOf;
using host::RealPath;

namespace {

constexpr auto DescriptionCheckInterval = std::chrono::milliseconds(100);

UINT DriveTypeCode(SimDriveType type) {
    // In the order of SimDriveType.
    constexpr std::array<UINT, 6> Codes = {DRIVE_REMOVABLE, DRIVE_FIXED,   DRIVE_CDROM,
                                           DRIVE_REMOTE,    DRIVE_RAMDISK, DRIVE_UNKNOWN};
    return Codes.at(static_cast<std::size_t>(type));
}

// The tag of the simulated drives' volume names.
constexpr std::string_view VolumeTag = "sim";

// The drive space taken by what is below a host folder of the drive.
std::uint64_t UsedBelow(const Drive& d, const std::string& dir) {
    std::vector<std::string> names;
    if (host::ListNames(dir, &names) != ERROR_SUCCESS) {
        return 0; // an unreadable folder counts as empty
    }
    std::uint64_t used = 0;
    for (const std::string& name : names) {
        struct stat st {};
        const std::string path = JoinHost(dir, name);
        if (::lstat(path.c_str(), &st) != 0) {
            continue;
        }
        used += d.Footprint(st);
        if (S_ISDIR(st.st_mode)) {
            used += UsedBelow(d, path);
        }
    }
    return used;
}

} // namespace

std::uint64_t Drive::FreeBytes() const {
    const std::uint64_t capacity = config.Capacity();
    const std::uint64_t taken = used + config.reserved;
    return taken >= capacity ? 0 : capacity - taken;
}

// A PC folder with pc.ini.
bool SimDrives::OpenPc(const std::string& folder, std::string* error) {
    pcFolder_ = RealPath(folder);
    if (pcFolder_.empty()) {
        *error = "the simulated PC folder does not exist: " + folder;
        return false;
    }
    SimPcDescription description;
    if (!SimPcDescription::Load(pcFolder_, &description, error)) {
        return false;
    }
    descriptionStamp_ = Stamp();
    lastCheck_ = std::chrono::steady_clock::now();
    if (!Apply(description, error)) {
        return false;
    }
    snapshot_ = Snapshot();
    return true;
}

DWORD SimDrives::GetLogicalDrives() {
    RefreshIfDue();
    DWORD mask = 0;
    for (size_t i = 0; i < drives_.size(); ++i) {
        if (drives_[i] != nullptr) {
            mask |= DWORD{1} << i;
        }
    }
    return mask;
}

UINT SimDrives::GetDriveType(std::string_view root) {
    RefreshIfDue();
    Drive* d = DriveOf(DriveLetterOfRoot(root, VolumeTag));
    return d == nullptr ? DRIVE_NO_ROOT_DIR : DriveTypeCode(d->config.type);
}

BOOL SimDrives::GetVolumeLabel(std::string_view root, std::string* label, DWORD maxLength,
                               DWORD* serialNumber) {
    Drive* d = nullptr;
    if (DWORD err = MediaDrive(DriveLetterOfRoot(root, VolumeTag), &d)) {
        return Fail(err);
    }
    if (label != nullptr) {
        *label = d->config.label.substr(0, maxLength);
    }
    if (serialNumber != nullptr) {
        *serialNumber = d->config.VolumeSerial();
    }
    return TRUE;
}

BOOL SimDrives::GetDiskFreeSpace(std::string_view root, DWORD* sectorsPerCluster, DWORD* bytesPerSector,
                                 DWORD* freeClusters, DWORD* totalClusters) {
    Drive* d = nullptr;
    if (DWORD err = MediaDrive(DriveLetterOfRoot(root, VolumeTag), &d)) {
        return Fail(err);
    }
    if (sectorsPerCluster != nullptr) {
        *sectorsPerCluster = d->config.sectorsPerCluster;
    }
    if (bytesPerSector != nullptr) {
        *bytesPerSector = d->config.bytesPerSector;
    }
    if (freeClusters != nullptr) {
        *freeClusters = static_cast<DWORD>(
            std::min<std::uint64_t>(d->FreeBytes() / d->ClusterBytes(), d->config.totalClusters));
    }
    if (totalClusters != nullptr) {
        *totalClusters = d->config.totalClusters;
    }
    return TRUE;
}

Handle SimDrives::FindFirstVolume(std::string* volumeName) {
    RefreshIfDue();
    auto e = std::make_unique<Enumeration<std::string>>();
    for (size_t i = 0; i < drives_.size(); ++i) {
        if (drives_[i] != nullptr) {
            e->items.push_back(MadeUpVolumeName(VolumeTag, static_cast<char>('A' + i)));
        }
    }
    if (e->items.empty()) {
        return FailHandle(ERROR_NO_MORE_FILES);
    }
    if (volumeName == nullptr) {
        return FailHandle(ERROR_INVALID_PARAMETER);
    }
    *volumeName = e->items[0];
    e->next = 1;
    const Handle h = nextHandle_++;
    volumes_[h] = std::move(e);
    return h;
}

BOOL SimDrives::FindNextVolume(Handle h, std::string* volumeName) {
    const auto it = volumes_.find(h);
    return it == volumes_.end() ? Fail(ERROR_INVALID_HANDLE) : it->second->Next(volumeName);
}

BOOL SimDrives::FindVolumeClose(Handle h) {
    return volumes_.erase(h) == 0 ? Fail(ERROR_INVALID_HANDLE) : TRUE;
}

BOOL SimDrives::QueryVolumeDiskExtents(std::string_view volumeNameWithoutBackslash) {
    RefreshIfDue();
    // The device is named without the trailing backslash; with it, the name is the root
    // directory, which does not answer the request.
    const std::string_view name = volumeNameWithoutBackslash;
    Drive* d = DriveOf(DriveLetterOfDevice(name, VolumeTag));
    if (d == nullptr) {
        return Fail(name.empty() || name.back() != '\\' ? ERROR_FILE_NOT_FOUND : ERROR_INVALID_FUNCTION);
    }
    if (!d->config.media) {
        return Fail(ERROR_NOT_READY);
    }
    if (!d->config.volume) {
        return Fail(ERROR_INVALID_FUNCTION);
    }
    return TRUE;
}

DWORD SimDrives::FormatDrive(UINT driveNumber, const FormatRequest& request) {
    RefreshIfDue();
    Drive* d = driveNumber < 26 ? DriveOf(static_cast<char>('A' + driveNumber)) : nullptr;
    if (d == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    if (!d->config.media) {
        return ERROR_NOT_READY;
    }
    if (IsWriteProtected(d)) {
        return ERROR_WRITE_PROTECT;
    }
    if (d->config.fault == SimFault::Write) {
        return ERROR_WRITE_FAULT;
    }
    if (openBelow_ && openBelow_(d->hostRoot)) {
        return ERROR_SHARING_VIOLATION; // the volume cannot be locked
    }
    // The label is kept in the description file, where '#' would start a comment.
    std::string label;
    if (request.label.find('#') != std::string::npos ||
        FatVolumeLabel(request.label, &label) != ERROR_SUCCESS) {
        return ERROR_INVALID_NAME;
    }
    // A format writes a new volume ID.
    const DWORD serial = NextVolumeSerial(d->config.VolumeSerial());
    {
        // The label is part of the description; write it first so that a failure leaves
        // the drive as it was.
        SimPcDescription description;
        std::string error;
        if (!SimPcDescription::Load(pcFolder_, &description, &error) ||
            description.Find(d->config.letter) == nullptr) {
            return ERROR_GEN_FAILURE;
        }
        description.Find(d->config.letter)->label = label;
        description.Find(d->config.letter)->serial = serial;
        if (!description.Save(pcFolder_, &error)) {
            return ERROR_WRITE_FAULT;
        }
        descriptionStamp_ = Stamp();
    }
    d->config.label = label;
    d->config.serial = serial;
    // The device-change poll knows the card by its serial; a format is not another card.
    snapshot_[static_cast<std::size_t>(d->config.letter - 'A')].serial = serial;
    std::vector<std::string> names;
    if (DWORD listed = host::ListNames(d->hostRoot, &names)) {
        return listed;
    }
    DWORD err = ERROR_SUCCESS;
    for (const std::string& name : names) {
        // The drive's used space is counted afresh below, not entry by entry.
        const DWORD e = host::RemoveTree(JoinHost(d->hostRoot, name), [](const struct stat&) {});
        if (err == ERROR_SUCCESS) {
            // A busy host entry is another program of the simulated PC holding it.
            err = e == ERROR_BUSY ? ERROR_SHARING_VIOLATION : e;
        }
    }
    const DWORD merr = d->meta.Clear();
    d->used = UsedBelow(*d, d->hostRoot);
    return err != ERROR_SUCCESS ? err : merr;
}

std::vector<UINT> SimDrives::Poll() {
    CheckDescription();
    const auto now = Snapshot();
    std::vector<UINT> events;
    for (size_t i = 0; i < now.size(); ++i) {
        const DriveState before = snapshot_[i];
        const DriveState after = now[i];
        if (before == after) {
            continue;
        }
        // 0 absent, 1 present without medium, 2 present with medium. Another card in the
        // reader (its serial differs) is the one card's removal and the other's arrival.
        const bool swapped = before.presence == 2 && after.presence == 2;
        if (after.presence == 0 || (before.presence == 2 && after.presence == 1) || swapped) {
            events.push_back(DBT_DEVICEREMOVECOMPLETE);
        }
        if (after.presence != 0 && !(before.presence == 2 && after.presence == 1)) {
            events.push_back(DBT_DEVICEARRIVAL);
        }
    }
    snapshot_ = now;
    return events;
}

SimDrives::DescriptionStamp SimDrives::Stamp() const {
    DescriptionStamp s;
    struct stat st {};
    if (!pcFolder_.empty() && ::stat((pcFolder_ + "/pc.ini").c_str(), &st) == 0) {
        s.exists = true;
        s.mtimeNs = static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
        s.size = static_cast<std::int64_t>(st.st_size);
        s.inode = st.st_ino;
    }
    return s;
}

void SimDrives::RefreshIfDue() {
    if (std::chrono::steady_clock::now() - lastCheck_ >= DescriptionCheckInterval) {
        CheckDescription();
    }
}

void SimDrives::CheckDescription() {
    lastCheck_ = std::chrono::steady_clock::now();
    const DescriptionStamp stamp = Stamp();
    if (stamp == descriptionStamp_) {
        return;
    }
    SimPcDescription description;
    std::string error;
    // A description that cannot be read right now (being edited, or broken) leaves the
    // PC as it was; the next change of the file is looked at again.
    if (!SimPcDescription::Load(pcFolder_, &description, &error)) {
        return;
    }
    descriptionStamp_ = stamp;
    Apply(description, &error);
}

bool SimDrives::Apply(const SimPcDescription& description, std::string* error) {
    std::array<bool, 26> described{};
    for (const SimDriveConfig& config : description.drives) {
        const size_t index = static_cast<size_t>(config.letter - 'A');
        described[index] = true;
        const std::string folder = config.folder.empty() ? std::string(1, config.letter) : config.folder;
        const std::string hostFolder = folder[0] == '/' ? folder : pcFolder_ + "/" + folder;
        std::string root = RealPath(hostFolder);
        if (root.empty()) {
            root = hostFolder; // no folder: the drive behaves as one without medium
        }
        std::unique_ptr<Drive>& slot = drives_[index];
        if (slot == nullptr || slot->hostRoot != root) {
            auto drive = std::make_unique<Drive>();
            drive->config = config;
            drive->hostRoot = root;
            // Never a generation seen before, also for a drive that comes back.
            drive->mediaGeneration = ++generations_;
            const std::string metaFolder = pcFolder_ + "/.meta";
            ::mkdir(metaFolder.c_str(), 0777); // exists already, or the open below says why not
            if (drive->meta.Open(metaFolder + "/" + config.letter + ".tsv", error) != ERROR_SUCCESS) {
                return false;
            }
            drive->used = UsedBelow(*drive, drive->hostRoot);
            slot = std::move(drive);
            continue;
        }
        Drive& d = *slot;
        const bool mediaWas = d.config.media;
        const DWORD serialWas = d.config.VolumeSerial();
        d.config = config;
        // Another card put in while the drive was not looked at: the old one went first.
        const bool swapped = mediaWas && config.media && config.VolumeSerial() != serialWas;
        if ((mediaWas && !config.media) || swapped) {
            d.mediaGeneration = ++generations_;
        }
        if ((!mediaWas && config.media) || swapped) {
            d.used = UsedBelow(d, d.hostRoot); // possibly another card
        }
    }
    for (size_t i = 0; i < drives_.size(); ++i) {
        if (!described[i] && drives_[i] != nullptr) {
            drives_[i].reset();
        }
    }
    return true;
}

std::array<SimDrives::DriveState, 26> SimDrives::Snapshot() const {
    std::array<DriveState, 26> s{};
    for (size_t i = 0; i < drives_.size(); ++i) {
        if (drives_[i] != nullptr) {
            const SimDriveConfig& c = drives_[i]->config;
            s[i] = {c.media ? 2 : 1, c.media ? c.VolumeSerial() : 0};
        }
    }
    return s;
}

Drive* SimDrives::DriveOf(char letter) {
    letter = static_cast<char>(std::toupper(static_cast<unsigned char>(letter)));
    if (letter < 'A' || letter > 'Z') {
        return nullptr;
    }
    return drives_[static_cast<size_t>(letter - 'A')].get();
}

DWORD SimDrives::MediaDrive(char letter, Drive** drive) {
    RefreshIfDue();
    Drive* d = DriveOf(letter);
    if (d == nullptr) {
        return ERROR_PATH_NOT_FOUND;
    }
    if (!d->config.media) {
        return ERROR_NOT_READY;
    }
    *drive = d;
    return ERROR_SUCCESS;
}

DWORD SimDrives::MountsOf(char drive, std::vector<host::DriveMount>* mounts) {
    Drive* d = nullptr;
    if (DWORD err = MediaDrive(drive, &d)) {
        return err;
    }
    mounts->assign(1, host::DriveMount{{}, d->hostRoot});
    return ERROR_SUCCESS;
}

SimDrives::DrivePath SimDrives::DriveOfHost(const std::string& hostPath) {
    for (const std::unique_ptr<Drive>& d : drives_) {
        const std::string& root = d == nullptr ? std::string() : d->hostRoot;
        if (!root.empty() && hostPath.starts_with(root) &&
            (hostPath.size() == root.size() || hostPath[root.size()] == '/')) {
            return {d.get(), hostPath.substr(std::min(hostPath.size(), root.size() + 1))};
        }
    }
    return {};
}

bool SimDrives::DrivePathOf(const std::string& hostPath, std::string* drivePath) {
    RefreshIfDue();
    // The folder holding the entry with its links resolved, so that the drive's folder is seen
    // however the path reaches it.
    const std::string parent = ParentOf(hostPath);
    const std::string name = BaseName(hostPath);
    const std::string realParent = RealPath(parent.empty() ? "/" : parent);
    if (realParent.empty()) {
        return false;
    }
    const std::string canonical = name.empty() || name == "." ? realParent
                                  : name == ".."              ? ParentOf(realParent)
                                                              : JoinHost(realParent, name);
    auto [d, rel] = DriveOfHost(canonical);
    if (d == nullptr) {
        return false;
    }
    std::replace(rel.begin(), rel.end(), '/', '\\');
    *drivePath = std::string(1, d->config.letter) + ":\\" + rel;
    return true;
}

} // namespace platform::sim
