// Card selection: the Select button, the device list's selection change, the capacity and the
// card type, and the Device field text.
#include "app/flashkeeper3dlg.h"
#include "card/DriveSelectionDialog.h"
#include "platform/api/LastError.h"

#include <algorithm>
#include <cctype>
#include <limits>

namespace {

constexpr const char* CardNotSelected = "Card Not Selected";
constexpr std::uint64_t BytesPerMillion = 1'000'000;

// "C:\" to "Z:\" (either case): the drive code 0..23, otherwise DriveCodeNone.
std::int32_t DriveCodeOfRoot(const std::string& text) {
    if (text.size() != 3 || text[1] != ':' || text[2] != '\\') {
        return DriveCodeNone;
    }
    const char letter = static_cast<char>(std::toupper(static_cast<unsigned char>(text[0])));
    if (letter < 'C' || letter > 'Z') {
        return DriveCodeNone;
    }
    return letter - 'C';
}

// The state of a failed selection: no usable card.
void ClearCardFields(CardUtilityDialog& dlg) {
    dlg.deviceName = "";
    dlg.statusText = CardNotSelected;
    dlg.promptVersion = "";
    dlg.cardType = "";
    dlg.ShowMembers();
}

std::string NotPermittedMessage(const std::string& root) {
    return "You are not permitted to mount the card in drive " + root.substr(0, 2) +
           ".  Please enter the password if the system asks for it, or run the program as a user who "
           "is allowed to mount removable media, and then select the card again.";
}

} // namespace

std::string CardUtilityDialog::CardTypeText(std::uint64_t capacityMillions, bool* known) {
    const char* text = nullptr;
    switch (capacityMillions) {
    case 63:
    case 64:
        text = "VoxHarbor 4 Hour";
        break;
    case 127:
    case 128:
    case 129:
        text = "VoxHarbor 8 Hour";
        break;
    case 256:
        text = "VoxHarbor 12 Hour";
        break;
    case 512:
        text = "VoxHarbor 16 Hour";
        break;
    default:
        // Every other size, 32 millions and 4 GiB or more included, is a card this system does
        // not know by name; it can still be serviced.
        break;
    }
    if (known != nullptr) {
        *known = text != nullptr;
    }
    return text != nullptr ? text : "Unknown Card Type";
}

std::string CardUtilityDialog::ComposeDeviceText(const std::string& root) const {
    const std::string letter = root.substr(0, 1);
    if (volumeLabel.empty()) {
        return "Removable Disk (" + letter + ":)";
    }
    return volumeLabel + " (" + letter + ":)";
}

void CardUtilityDialog::OnSelectCard() {
    DriveSelectionDialog selection(GetUi(), Drives());
    selection.driveRoots = driveRoots;
    if (selection.DoModal() != IDOK) {
        ShowMembers();
        return;
    }

    if (selection.selectedIndex == -1) {
        ClearCardFields(*this);
        return;
    }
    deviceIndex = selection.selectedIndex;
    // No removable drive at all: OK changes nothing visible.
    if (selection.itemTexts[0] == "None") {
        return;
    }
    ShowSelectedCard();
}

void CardUtilityDialog::ShowSelectedCard() {
    statusText = "Ready";
    RefreshCardStatus();
    OnDeviceSelChange();

    const std::string root = CardRoot();
    // An empty card root means the chosen drive went away while the list was open: there is no
    // card to name, so the selection fails like one without media.
    if (root.empty() || !ProbeMedia(root)) {
        ClearCardFields(*this);
        return;
    }

    std::uint64_t capacity = 0;
    DWORD sectorsPerCluster = 0;
    DWORD bytesPerSector = 0;
    DWORD freeClusters = 0;
    DWORD totalClusters = 0;
    if (Drives().GetDiskFreeSpace(root, &sectorsPerCluster, &bytesPerSector, &freeClusters, &totalClusters)) {
        // 64 bits: a card of 4 GiB or more must not wrap into a known size.
        capacity = std::uint64_t{sectorsPerCluster} * bytesPerSector * totalClusters / BytesPerMillion;
    } else if (platform::GetLastError() == ERROR_ACCESS_DENIED) {
        // The system would not let this user reach the card's files (on Linux: the mount was not
        // authorised). Shown as an unknown card it would only fail later, for no visible reason.
        GetUi().MessageBox(this, NotPermittedMessage(root), MB_OK);
        ClearCardFields(*this);
        return;
    }
    // A failed geometry query leaves the capacity 0, which names no card type: the card shows as
    // "Unknown Card Type" and can still be used.
    deviceCapacities[static_cast<std::size_t>(deviceIndex)] =
        static_cast<std::int32_t>(std::min<std::uint64_t>(
            capacity, static_cast<std::uint64_t>(std::numeric_limits<std::int32_t>::max())));
    cardType = CardTypeText(capacity, nullptr);

    deviceName = ComposeDeviceText(root);
    if (promptVersion.empty()) {
        promptVersion = "No Prompts";
    }
    // Every capacity names a type text, so a selection that got this far stays "Ready".
    ShowMembers();
}

void CardUtilityDialog::OnDeviceSelChange() {
    UpdateData(TRUE);
    if (deviceIndex >= 0 && deviceIndex < DriveSlotCount) {
        const auto slot = static_cast<std::size_t>(deviceIndex);
        std::string item;
        if (deviceCombo->GetLBText(deviceIndex, &item) == CB_ERR) {
            item.clear();
        }
        driveCodes[slot] = DriveCodeOfRoot(item);
        driveRoots[slot] = driveCodes[slot] == DriveCodeNone ? std::string() : item;
    }

    const std::string root = CardRoot();
    if (!ProbeMedia(root)) {
        GetUi().MessageBox(this, "No media present.", MB_OK);
        promptVersion = "";
        cardType = "";
    } else {
        std::string label;
        // An unreadable label (no file system on the card) leaves the label empty, which the
        // Device field shows as "Removable Disk".
        if (!Drives().GetVolumeLabel(root, &label, 255)) {
            label.clear();
        }
        volumeLabel = label;
        RefreshCardStatus();
    }
    ShowMembers();
}
