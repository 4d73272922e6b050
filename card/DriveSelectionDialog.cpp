#include "card/DriveSelectionDialog.h"

#include "resources/Resources.h"

#include <algorithm>

DriveSelectionDialog::DriveSelectionDialog(platform::Ui& ui, platform::Volumes& volumes)
    : platform::Dialog(ui, resources::GetDialogTemplate(resources::IDD_DRIVESELECTION)), volumes_(volumes) {}

void DriveSelectionDialog::DoDataExchange(platform::DataExchange& dx) {
    dx.CBIndex(ControlIdDeviceList, selectedIndex);
    deviceCombo = &ComboItem(ControlIdDeviceList);
}

std::string DriveSelectionDialog::ItemText(platform::Volumes& volumes, const std::string& root) {
    std::string label;
    // A label that cannot be read (no medium, no file system) gives the Removable Disk form.
    if (!volumes.GetVolumeLabel(root, &label, 255)) {
        label.clear();
    }
    const std::string letter = root.substr(0, 1);
    if (label.empty()) {
        return "Removable Disk (" + letter + ":)";
    }
    return label + " (" + letter + ":)";
}

BOOL DriveSelectionDialog::OnInitDialog() {
    platform::Dialog::OnInitDialog();
    platform::ComboBoxControl& list = ComboItem(ControlIdDeviceList);
    for (std::size_t slot = 0; slot < driveRoots.size(); ++slot) {
        const std::string& root = driveRoots[slot];
        if (root.empty()) {
            if (slot == 0) {
                itemTexts[0] = "None";
                list.InsertString(0, "None");
            }
            continue;
        }
        // The slots are filled without gaps, so item i shows slot i. Should a gap ever appear,
        // the item is appended rather than lost.
        const int position = std::min(static_cast<int>(slot), list.GetCount());
        list.InsertString(position, ItemText(volumes_, root));
    }
    UpdateData(FALSE);
    UpdateWindow();
    return TRUE;
}

LRESULT DriveSelectionDialog::WindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
    // A selection change of the list is handled and does nothing: the choice is read on OK.
    if (message == WM_COMMAND && HIWORD(wParam) == CBN_SELCHANGE && LOWORD(wParam) == ControlIdDeviceList) {
        return 0;
    }
    return platform::Dialog::WindowProc(message, wParam, lParam);
}
