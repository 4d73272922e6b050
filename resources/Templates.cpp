#include "resources/Resources.h"

#include <stdexcept>

namespace resources {

namespace {

using platform::ControlKind;
using platform::ControlTemplate;
using platform::DialogTemplate;

ControlTemplate Static(ControlKind kind, std::string text, int x, int y, int cx, int cy) {
    ControlTemplate t;
    t.kind = kind;
    t.text = std::move(text);
    t.x = x;
    t.y = y;
    t.cx = cx;
    t.cy = cy;
    return t;
}

ControlTemplate Item(int id, ControlKind kind, std::string text, int x, int y, int cx, int cy) {
    ControlTemplate t = Static(kind, std::move(text), x, y, cx, cy);
    t.id = id;
    return t;
}

ControlTemplate Button(int id, std::string text, int x, int y) {
    ControlTemplate t = Item(id, ControlKind::PushButton, std::move(text), x, y, 45, 14);
    t.tabStop = true;
    t.vcenter = true;
    return t;
}

ControlTemplate ReadOnlyEdit(int id, int x, int y, int cx, bool centered = false) {
    ControlTemplate t = Item(id, ControlKind::Edit, "", x, y, cx, 12);
    t.readOnly = true;
    t.centered = centered;
    return t;
}

ControlTemplate Hidden(ControlTemplate t) {
    t.hidden = true;
    return t;
}

// Template 147, the main dialog. Controls in tab order: the operation buttons come first so
// that the focus starts on Backup and Tab runs Backup, Restore, Update, Initialize, Select.
DialogTemplate MakeMainDialog() {
    DialogTemplate d;
    d.id = IDD_CARDUTILITY_DIALOG;
    d.title = "ZEL VoxHarbor Utility";
    d.cx = 315;
    d.cy = 212;
    d.fontName = "MS Sans Serif";
    d.fontPoints = 8;
    auto& c = d.controls;
    c.push_back(Button(1014, "Backup", 18, 68));
    c.push_back(Button(1016, "Restore", 18, 92));
    c.push_back(Button(1005, "Update", 18, 130));
    c.push_back(Button(1017, "Initialize", 18, 168));
    c.push_back(Button(1025, "Select", 18, 22));
    c.push_back(Static(ControlKind::GroupBox, "VoxHarbor Card", 8, 3, 300, 50));
    c.push_back(Static(ControlKind::Label, "Status", 74, 18, 21, 8));
    c.push_back(ReadOnlyEdit(1066, 102, 16, 80));
    c.push_back(Static(ControlKind::Label, "Device", 74, 34, 24, 8));
    c.push_back(ReadOnlyEdit(1067, 102, 32, 80));
    c.push_back(Static(ControlKind::Label, "Type", 194, 18, 17, 8));
    c.push_back(ReadOnlyEdit(1065, 215, 16, 80));
    c.push_back(Static(ControlKind::Label, "Prompt Version", 194, 34, 48, 8));
    c.push_back(ReadOnlyEdit(1064, 245, 32, 50, true));
    c.push_back(Static(ControlKind::GroupBox, "Messages", 8, 56, 300, 59));
    c.push_back(Static(ControlKind::Label,
                       "Save all messages, greetings, recorded names, and system prompts to a backup file. "
                       "The Caller-ID information for messages will be lost.",
                       74, 67, 230, 20));
    c.push_back(Static(ControlKind::Label,
                       "Restore all messages, greetings, recorded names, and system prompts from a backup "
                       "file. All data currently on the card will be lost",
                       74, 91, 230, 20));
    c.push_back(Static(ControlKind::GroupBox, "Prompts", 8, 118, 300, 35));
    c.push_back(Static(ControlKind::Label,
                       "Replace the system prompts with a newer version. The messages, greetings, and "
                       "recorded names will not be affected.",
                       74, 129, 230, 20));
    c.push_back(Static(ControlKind::GroupBox, "File System", 8, 156, 300, 35));
    c.push_back(Static(ControlKind::Label,
                       "Re-format the card and install the system prompts. All data currently on the card "
                       "will be lost.",
                       74, 167, 230, 20));
    // Hidden controls that take part in the design. Their rectangles are not given by the
    // design; they sit where a hidden control does no harm.
    ControlTemplate combo = Item(1018, ControlKind::ComboBox, "", 200, 180, 100, 60);
    c.push_back(Hidden(combo));
    ControlTemplate exitButton = Item(1, ControlKind::PushButton, "Exit", 260, 195, 42, 14);
    exitButton.bitmapButton = true;
    c.push_back(Hidden(exitButton));
    ControlTemplate read = Item(1015, ControlKind::PushButton, "", 210, 195, 42, 14);
    read.bitmapButton = true;
    c.push_back(Hidden(read));
    c.push_back(Hidden(ReadOnlyEdit(1007, 10, 195, 20)));
    c.push_back(Hidden(ReadOnlyEdit(1009, 35, 195, 20)));
    c.push_back(Hidden(ReadOnlyEdit(1010, 60, 195, 20)));
    c.push_back(Hidden(ReadOnlyEdit(1012, 85, 195, 20)));
    return d;
}

// Template 148, the drive selection dialog.
DialogTemplate MakeDriveSelection() {
    DialogTemplate d;
    d.id = IDD_DRIVESELECTION;
    d.title = "Select VoxHarbor Card";
    d.cx = 222;
    d.cy = 60;
    d.fontName = "MS Shell Dlg";
    d.fontPoints = 8;
    ControlTemplate combo = Item(1018, ControlKind::ComboBox, "", 60, 16, 128, 113);
    combo.tabStop = true;
    d.controls.push_back(combo);
    ControlTemplate ok = Item(1, ControlKind::PushButton, "OK", 58, 39, 50, 14);
    ok.defaultButton = true;
    ok.tabStop = true;
    d.controls.push_back(ok);
    ControlTemplate cancel = Item(2, ControlKind::PushButton, "Cancel", 112, 39, 50, 14);
    cancel.tabStop = true;
    d.controls.push_back(cancel);
    return d;
}

// Template 100, the About box.
DialogTemplate MakeAbout() {
    DialogTemplate d;
    d.id = IDD_ABOUTBOX;
    d.title = "About ZEL VoxHarbor Utility";
    d.cx = 217;
    d.cy = 55;
    d.fontName = "MS Sans Serif";
    d.fontPoints = 8;
    d.controls.push_back(Static(ControlKind::Icon, "", 11, 17, 20, 20));
    ControlTemplate version = Static(ControlKind::Label, "Version 1.2", 40, 10, 119, 8);
    version.noPrefix = true;
    d.controls.push_back(version);
    ControlTemplate ok = Item(1, ControlKind::PushButton, "OK", 178, 7, 32, 14);
    ok.defaultButton = true;
    ok.tabStop = true;
    d.controls.push_back(ok);
    return d;
}

} // namespace

const DialogTemplate& GetDialogTemplate(int id) {
    static const DialogTemplate mainDialog = MakeMainDialog();
    static const DialogTemplate driveSelection = MakeDriveSelection();
    static const DialogTemplate about = MakeAbout();
    switch (id) {
    case IDD_CARDUTILITY_DIALOG:
        return mainDialog;
    case IDD_DRIVESELECTION:
        return driveSelection;
    case IDD_ABOUTBOX:
        return about;
    default:
        throw std::out_of_range("no dialog template " + std::to_string(id));
    }
}

std::string LoadString(int id) {
    if (id == IDS_ABOUTBOX) {
        return "&About ZEL VoxHarbor Utility...";
    }
    return {};
}

} // namespace resources
