// Drives of the Linux host: C: is the local PC, removable block devices (card readers) and
// other user-visible volumes get letters from D: upward. Also the drive map that the file
// services resolve paths with. HostVolumes.cpp finds the drives and answers the volume queries;
// HostMounting.cpp mounts and formats cards.
#pragma once

#include "platform/api/Volumes.h"
#include "platform/common/FileRules.h"
#include "platform/host/Discovery.h"
#include "platform/host/HostPaths.h"
#include "platform/host/Udisks.h"

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace platform::host {

// A host folder shown as a drive of its own (tests, and the fixture trees).
struct FolderDrive {
    char letter = 'E';
    std::string folder;
    UINT type = DRIVE_REMOVABLE;
    bool mediaPresent = true;
    std::string label;
};

struct VolumesConfig {
    DiscoveryRoots roots;
    bool discover = true; // look at the machine's block devices and mounts
    std::vector<FolderDrive> folderDrives;
    std::vector<DriveMount> localMounts; // C:'s installation tree
    std::chrono::milliseconds pollInterval{1000};
};

class HostVolumes final : public Volumes, public DriveMap {
public:
    HostVolumes(VolumesConfig config, std::unique_ptr<UdisksService> udisks);

    DWORD GetLogicalDrives() override;
    UINT GetDriveType(std::string_view root) override;
    BOOL GetVolumeLabel(std::string_view root, std::string* label, DWORD maxLength = 255,
                        DWORD* serialNumber = nullptr) override;
    BOOL GetDiskFreeSpace(std::string_view root, DWORD* sectorsPerCluster, DWORD* bytesPerSector,
                          DWORD* freeClusters, DWORD* totalClusters) override;
    Handle FindFirstVolume(std::string* volumeName) override;
    BOOL FindNextVolume(Handle h, std::string* volumeName) override;
    BOOL FindVolumeClose(Handle h) override;
    BOOL QueryVolumeDiskExtents(std::string_view volumeNameWithoutBackslash) override;
    DWORD FormatDrive(UINT driveNumber, const FormatRequest& request) override;

    DWORD MountsOf(char drive, std::vector<DriveMount>* mounts) override;
    DWORD UncheckedMountsOf(char drive, std::vector<DriveMount>* mounts) override;

    // Called before FormatDrive unmounts a card, so that no descriptor of ours keeps it busy.
    void SetBeforeUnmount(std::function<void()> release) { beforeUnmount_ = std::move(release); }

    // Reads the drives afresh.
    void Refresh();
    // Whether the drives were read at all yet.
    bool Refreshed() const { return refreshed_; }
    // The drives by letter as last read (C: is not in this table), and the one behind a letter
    // (null when there is none).
    const std::map<char, HostDrive>& Current() const { return current_; }
    const HostDrive* DriveAt(char letter) const;
    // True once after udisks2 announced a change since the last call.
    bool TakeUdisksChanged() { return udisks_ != nullptr && udisks_->TakeChanged(); }
    bool HasUdisks() const { return udisks_ != nullptr; }

private:
    std::function<void()> beforeUnmount_;
    // MountsOf, with the drive's folder looked at (checked) or not.
    DWORD Mounts(char drive, std::vector<DriveMount>* mounts, bool checked);
    struct Volume {
        std::string name; // "\\?\Volume{...}\"
        char letter;
    };
    std::vector<Volume> Volumes() const;
    char LetterOf(std::string_view root) const;

    VolumesConfig config_;
    std::unique_ptr<UdisksService> udisks_;
    LetterTable letters_;
    std::map<char, HostDrive> current_;
    bool viaUdisks_ = false;
    bool refreshed_ = false;
    // The card whose mount udisks2 last refused for want of authorisation ("key#serial"), and when.
    std::string refusedMount_;
    std::chrono::steady_clock::time_point refusedAt_{};
    std::map<Handle, Enumeration<std::string>> enumerations_;
    Handle nextHandle_ = 0x10000;
};

} // namespace platform::host
