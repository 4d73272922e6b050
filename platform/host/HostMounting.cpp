// Mounting and formatting cards on the Linux host: a card that is attached but not mounted is
// mounted through udisks2 when a path on it is first resolved, and Initialize's format goes to
// udisks2 too (unmount, make the file system, mount again).
#include "platform/host/HostVolumes.h"

#include <sys/stat.h>

#include <cctype>
#include <string_view>

namespace platform::host {

namespace {

// A FAT label as Windows writes one: upper case, at most 11 characters, none of the characters
// FAT refuses in labels.
std::string FatLabel(std::string_view label) {
    std::string out;
    for (char c : label) {
        if (static_cast<unsigned char>(c) < 0x20 ||
            std::string_view("*?.,;:/\\|+=<>[]\"").find(c) != std::string_view::npos) {
            continue;
        }
        out += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        if (out.size() == 11) {
            break;
        }
    }
    return out;
}

// How long a refused mount stands: longer than one action's calls on the card, shorter than the
// time a user takes to read the message and try again.
constexpr auto RefusalHolds = std::chrono::seconds(5);

} // namespace

DWORD HostVolumes::MountsOf(char drive, std::vector<DriveMount>* mounts) {
    return Mounts(drive, mounts, true);
}

DWORD HostVolumes::UncheckedMountsOf(char drive, std::vector<DriveMount>* mounts) {
    return Mounts(drive, mounts, false);
}

DWORD HostVolumes::Mounts(char drive, std::vector<DriveMount>* mounts, bool checked) {
    mounts->clear();
    if (drive == 'C') {
        *mounts = config_.localMounts;
        return ERROR_SUCCESS;
    }
    if (!refreshed_) {
        Refresh();
    }
    auto it = current_.find(drive);
    if (it == current_.end()) {
        return ERROR_PATH_NOT_FOUND;
    }
    HostDrive& d = it->second;
    if (!d.mediaPresent) {
        return ERROR_NOT_READY;
    }
    if (!d.hasFileSystem) {
        return ERROR_UNRECOGNIZED_VOLUME;
    }
    if (d.mountPoint.empty()) {
        if (udisks_ == nullptr || d.udisksBlock.empty()) {
            // Without udisks2 a card that nobody mounted cannot be reached.
            return ERROR_NOT_READY;
        }
        // The desktop may have mounted it since we last looked: take that mount rather than
        // racing it with one of our own.
        Refresh();
        it = current_.find(drive);
        if (it == current_.end() || !it->second.mediaPresent) {
            return ERROR_NOT_READY;
        }
        if (it->second.mountPoint.empty()) {
            // One user action touches the card several times (a selection five): after a refusal
            // (a password prompt dismissed, or a user who may not mount) the same card is not
            // asked for again within that action, which would prompt again each time.
            const std::string card = it->second.key + "#" + it->second.serial;
            if (card == refusedMount_ && std::chrono::steady_clock::now() - refusedAt_ < RefusalHolds) {
                return ERROR_ACCESS_DENIED;
            }
            std::string mountPoint;
            const DWORD err = udisks_->Mount(it->second.udisksBlock, &mountPoint);
            if (err == ERROR_ACCESS_DENIED) {
                refusedMount_ = card;
                refusedAt_ = std::chrono::steady_clock::now();
            }
            if (err != ERROR_SUCCESS) {
                return err;
            }
            it->second.mountPoint = mountPoint;
        }
    }
    const HostDrive& ready = it->second;
    const dev_t device = static_cast<dev_t>(ready.deviceNumber);
    if (!checked) {
        mounts->push_back(DriveMount{{}, ready.mountPoint, false, {}, device});
        return ERROR_SUCCESS;
    }
    // The mount point must still hold this medium: after a card is pulled, an empty folder left
    // behind must never take the card's files.
    struct stat st {};
    if (stat(ready.mountPoint.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) ||
        (device != 0 && st.st_dev != device)) {
        return ERROR_NOT_READY;
    }
    mounts->push_back(DriveMount{{}, ready.mountPoint, true, st, device});
    return ERROR_SUCCESS;
}

DWORD HostVolumes::FormatDrive(UINT driveNumber, const FormatRequest& request) {
    if (driveNumber >= 26) {
        return ERROR_INVALID_PARAMETER;
    }
    Refresh();
    const char letter = static_cast<char>('A' + driveNumber);
    const HostDrive* d = DriveAt(letter);
    if (d == nullptr) {
        return ERROR_PATH_NOT_FOUND;
    }
    // Only cards in readers are ever formatted; never a fixed disk or a share.
    if (d->type != DRIVE_REMOVABLE) {
        return ERROR_ACCESS_DENIED;
    }
    if (!d->mediaPresent) {
        return ERROR_NOT_READY;
    }
    if (udisks_ == nullptr || d->udisksBlock.empty()) {
        return ERROR_NOT_SUPPORTED;
    }
    const std::string block = d->udisksBlock;
    const bool wasMounted = !d->mountPoint.empty();
    if (wasMounted) {
        if (beforeUnmount_) {
            beforeUnmount_();
        }
        // A busy card stays mounted and untouched.
        const DWORD err = udisks_->Unmount(block);
        if (err != ERROR_SUCCESS) {
            return err;
        }
    }
    const int fatBits = request.fileSystem == FormatRequest::FileSystemKind::Fat32 ? 32 : 16;
    const DWORD formatError = udisks_->Format(block, "vfat", FatLabel(request.label), fatBits, request.quick);
    if (wasMounted || formatError == ERROR_SUCCESS) {
        // Mounted again in either case: a failed format leaves the card as it was, and usable.
        // A mount that fails here is tried again when the card's root is next opened.
        std::string mountPoint;
        (void)udisks_->Mount(block, &mountPoint);
    }
    Refresh();
    return formatError;
}

} // namespace platform::host
