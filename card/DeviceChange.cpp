// The six drive slots: the removable drive letters C: to Z:, re-read on every device change and
// every forced re-scan, and the hidden device list that mirrors them.
#include "app/flashkeeper3dlg.h"
#include "platform/api/LastError.h"

#include <algorithm>

namespace {

constexpr int MaxCountedVolumes = 6;

} // namespace

BOOL CardUtilityDialog::OnDeviceChange(UINT eventType, std::uintptr_t /*eventData: never read*/) {
    if (eventType != 0 && eventType != DBT_DEVICEARRIVAL && eventType != DBT_DEVICEREMOVECOMPLETE) {
        return FALSE;
    }

    // When no removable volume answers, the list keeps its items (only missing roots are added
    // below).
    const int answering = ScanRemovableVolumes();
    if (answering >= 1) {
        while (deviceCombo->GetCount() > 0) {
            deviceCombo->DeleteString(deviceCombo->GetCount() - 1);
        }
    }

    for (std::string& root : driveRoots) {
        root.clear();
    }

    // A mask of 0 is the query's failure as well as "no drives": either way no slot is filled.
    const DWORD mask = Drives().GetLogicalDrives();
    std::size_t nextSlot = 0;
    // A: and B: are never considered. A seventh removable drive finds the slots full: the first
    // six in letter order are kept.
    for (int bit = 2; bit <= 25 && nextSlot < driveRoots.size(); ++bit) {
        if ((mask & (DWORD{1} << bit)) == 0) {
            continue;
        }
        std::string root = std::string(1, static_cast<char>('A' + bit)) + ":\\";
        if (Drives().GetDriveType(root) == DRIVE_REMOVABLE) {
            driveRoots[nextSlot++] = std::move(root);
        }
    }

    for (std::size_t slot = 0; slot < driveRoots.size(); ++slot) {
        const std::string& root = driveRoots[slot];
        driveCodes[slot] = root.empty() ? DriveCodeNone : static_cast<std::int32_t>(root[0] - 'C');
    }

    for (std::size_t slot = 0; slot < driveRoots.size(); ++slot) {
        const std::string& root = driveRoots[slot];
        if (root.empty() || deviceCombo->FindStringExact(-1, root) != CB_ERR) {
            continue;
        }
        // A list that kept its items may be shorter than the slot number: the root then goes to
        // the end rather than being lost.
        const int position = std::min(static_cast<int>(slot), deviceCombo->GetCount());
        deviceCombo->InsertString(position, root);
    }

    ShowMembers();
    return TRUE;
}

int CardUtilityDialog::ScanRemovableVolumes() {
    std::string volumeName;
    const platform::Handle scan = Drives().FindFirstVolume(&volumeName);
    if (scan == platform::InvalidHandle) {
        return 0;
    }
    int count = 0;
    do {
        if (Drives().GetDriveType(volumeName) != DRIVE_REMOVABLE) {
            continue;
        }
        std::string device = volumeName;
        if (!device.empty() && device.back() == '\\') {
            device.pop_back();
        }
        // A volume that cannot be opened or does not answer the extents request does not count.
        if (Drives().QueryVolumeDiskExtents(device)) {
            ++count;
        }
    } while (count < MaxCountedVolumes && Drives().FindNextVolume(scan, &volumeName));
    // The enumeration ends with ERROR_NO_MORE_FILES; any other failure of FindNextVolume ends it
    // as well, with what was counted so far.
    Drives().FindVolumeClose(scan);
    return count;
}

bool CardUtilityDialog::ProbeMedia(const std::string& root) {
    const platform::Handle h = Files().CreateFile(root, GENERIC_READ, FILE_SHARE_NONE, OPEN_EXISTING, 0);
    if (h == platform::InvalidHandle) {
        // Only "device not ready" means the medium is absent; a root that cannot be opened for
        // another reason (a directory opened as a file gives access denied) has media.
        return platform::GetLastError() != ERROR_NOT_READY;
    }
    Files().CloseHandle(h);
    return true;
}

DWORD CardUtilityDialog::ProbePath(const std::string& path) {
    const platform::Handle h = Files().CreateFile(path, GENERIC_READ, FILE_SHARE_NONE, OPEN_EXISTING, 0);
    if (h == platform::InvalidHandle) {
        return platform::GetLastError();
    }
    Files().CloseHandle(h);
    return ERROR_SUCCESS;
}
