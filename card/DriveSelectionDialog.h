// DriveSelectionDialog: the small modal dialog behind the Select button (template 148). It lists
// the drive slots it was given by their volume labels and hands back the chosen index, or "None"
// in the first item text when slot 0 holds no drive.
#pragma once

#include "card/DriveSlots.h"
#include "platform/api/Dialog.h"
#include "platform/api/Volumes.h"

#include <array>
#include <cstdint>
#include <string>

class DriveSelectionDialog : public platform::Dialog {
public:
    static constexpr int ControlIdDeviceList = 1018;

    DriveSelectionDialog(platform::Ui& ui, platform::Volumes& volumes);

    LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override;

    // The item text of a root: "LABEL (E:)", or "Removable Disk (E:)" when the label is empty or
    // cannot be read.
    static std::string ItemText(platform::Volumes& volumes, const std::string& root);

    // --- members, in declaration order ---
    std::int32_t selectedIndex = 0;
    std::array<std::string, DriveSlotCount> itemTexts{};
    std::array<std::string, DriveSlotCount> driveRoots{};
    platform::ComboBoxControl* deviceCombo = nullptr;

protected:
    BOOL OnInitDialog() override;
    void DoDataExchange(platform::DataExchange& dx) override;

private:
    platform::Volumes& volumes_;
};
