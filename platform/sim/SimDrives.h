// The simulated PC's drives: what pc.ini describes, re-read when the description changes,
// answering the volume queries, turning changes into device-change events, and telling the host's
// file services where each drive's folder is (a host::DriveMap). Free space is counted in
// clusters of each drive's geometry.
#pragma once

#include "platform/api/Volumes.h"
#include "platform/common/FileRules.h"
#include "platform/host/HostPaths.h"
#include "platform/sim/SimMetadata.h"
#include "platform/sim/SimulatedPc.h"

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <unordered_map>
#include <vector>

namespace platform::sim {

struct Drive {
    SimDriveConfig config;
    std::string hostRoot; // canonical, no trailing slash
    MetadataStore meta;
    std::uint64_t used = 0;
    // Bumped whenever the medium goes away: handles opened before fail from then on.
    std::uint64_t mediaGeneration = 0;

    std::uint64_t ClusterBytes() const { return std::max<std::uint64_t>(1, config.ClusterBytes()); }
    // Bytes rounded up to whole clusters.
    std::uint64_t Rounded(std::uint64_t bytes) const {
        return (bytes + ClusterBytes() - 1) / ClusterBytes() * ClusterBytes();
    }
    // What a host entry takes of the drive: a file its clusters, a directory one cluster (FAT
    // keeps a directory in a cluster of its own), anything else nothing.
    std::uint64_t Footprint(const struct stat& st) const {
        return S_ISDIR(st.st_mode)   ? ClusterBytes()
               : S_ISREG(st.st_mode) ? Rounded(static_cast<std::uint64_t>(st.st_size))
                                     : 0;
    }
    // Space given back: the count of used bytes shrinks, never below zero.
    void Freed(std::uint64_t bytes) { used = used >= bytes ? used - bytes : 0; }
    std::uint64_t FreeBytes() const;
};

class SimDrives final : public Volumes, public DeviceWatcher, public host::DriveMap {
public:
    // A PC folder with pc.ini.
    bool OpenPc(const std::string& folder, std::string* error);
    // Whether a handle of the file services is open on a host path or below it (a volume with
    // one cannot be locked for formatting).
    void SetOpenBelow(std::function<bool(const std::string&)> openBelow) {
        openBelow_ = std::move(openBelow);
    }

    // The drives and their volumes.
    DWORD GetLogicalDrives() override;
    UINT GetDriveType(std::string_view root) override;
    BOOL GetDiskFreeSpace(std::string_view root, DWORD* sectorsPerCluster, DWORD* bytesPerSector,
                          DWORD* freeClusters, DWORD* totalClusters) override;
    BOOL GetVolumeLabel(std::string_view root, std::string* label, DWORD maxLength,
                        DWORD* serialNumber) override;
    DWORD FormatDrive(UINT driveNumber, const FormatRequest& request) override;
    Handle FindFirstVolume(std::string* volumeName) override;
    BOOL FindNextVolume(Handle h, std::string* volumeName) override;
    BOOL FindVolumeClose(Handle h) override;
    BOOL QueryVolumeDiskExtents(std::string_view volumeNameWithoutBackslash) override;

    // Device changes: what pc.ini says now against what was last reported.
    std::vector<UINT> Poll() override;

    // The drive's folder; ERROR_NOT_READY without a medium, ERROR_PATH_NOT_FOUND for no drive.
    DWORD MountsOf(char drive, std::vector<host::DriveMount>* mounts) override;
    // A host path inside a drive's folder is that drive's path, with the drive's rules.
    bool DrivePathOf(const std::string& hostPath, std::string* drivePath) override;
    // The drive of a host path inside its folder, and the path relative to it ('/'-separated,
    // "" for the folder itself); no drive when the path is in no drive's folder.
    struct DrivePath {
        Drive* drive = nullptr;
        std::string rel;
    };
    DrivePath DriveOfHost(const std::string& hostPath);

    // The drive of a letter (either case), null when there is none.
    Drive* DriveOf(char letter);
    // Re-reads pc.ini when it changed, at most every ~100 ms (RefreshIfDue) or now.
    void RefreshIfDue();
    void CheckDescription();

    static bool IsWriteProtected(const Drive* d) {
        return d != nullptr && d->config.type == SimDriveType::Cdrom;
    }

private:
    struct DescriptionStamp {
        bool exists = false;
        std::int64_t mtimeNs = 0;
        std::int64_t size = 0;
        std::uint64_t inode = 0;
        bool operator==(const DescriptionStamp&) const = default;
    };

    // What the device-change poll compares: 0 absent, 1 present without medium, 2 with medium,
    // and the medium's serial.
    struct DriveState {
        int presence = 0;
        DWORD serial = 0;
        bool operator==(const DriveState&) const = default;
    };

    DescriptionStamp Stamp() const;
    bool Apply(const SimPcDescription& description, std::string* error);
    std::array<DriveState, 26> Snapshot() const;
    // The drive of a letter, with its medium in.
    DWORD MediaDrive(char letter, Drive** drive);

    std::function<bool(const std::string&)> openBelow_;
    std::string pcFolder_;
    std::array<std::unique_ptr<Drive>, 26> drives_;
    std::unordered_map<Handle, std::unique_ptr<Enumeration<std::string>>> volumes_;
    // Volume enumerations are numbered apart from the file services' handles.
    Handle nextHandle_ = 0x40000000;
    std::uint64_t generations_ = 0;
    DescriptionStamp descriptionStamp_;
    std::chrono::steady_clock::time_point lastCheck_{};
    std::array<DriveState, 26> snapshot_{};
};

} // namespace platform::sim
