// The Linux host: removable block devices as drive letters, the installation tree in the
// data directories, vfat attributes and times on real cards.
#pragma once

#include "platform/api/Platform.h"
#include "platform/host/HostVolumes.h"
#include "platform/host/Udisks.h"

#include <memory>
#include <string>
#include <vector>

namespace platform {

namespace host {

struct HostConfig {
    VolumesConfig volumes;
    // C:\ZEL\VoxHarbor\: Prompts and Data from dataDir, Backup in backupDir.
    std::string dataDir;
    std::string backupDir;
    // Ask udisks2 (on the system bus, or on busAddress when set); without it the mount table
    // and udev's block devices are read directly.
    bool useUdisks = true;
    std::string busAddress;
};

// The configuration of the running program: the installed data directory (or
// FLASHKEEPER3_DATA_DIR), the per-user Backup folder under $XDG_DATA_HOME (or ~/.local/share).
HostConfig DefaultHostConfig();

// Builds the host platform from a configuration; udisks, when given, is used instead of
// connecting to udisks2 (tests). Creates the Backup folder when it is missing.
std::unique_ptr<Platform> CreateHostPlatform(HostConfig config, std::unique_ptr<UdisksService> udisks,
                                             std::string* error);

// A host platform whose only drives are the given folders: nothing is discovered and udisks2 is
// not asked (the tools, the benchmark and the tests). C:'s Prompts and Data come from dataDir, its
// Backup from backupDir.
std::unique_ptr<Platform> CreateFolderPlatform(std::vector<FolderDrive> drives, const std::string& dataDir,
                                               const std::string& backupDir, std::string* error);

} // namespace host

std::unique_ptr<Platform> CreateHostPlatform(std::string* error);

} // namespace platform
