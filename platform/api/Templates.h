// Dialog templates as data: what a Windows dialog resource holds (controls with ids, kinds,
// texts and rectangles in dialog units). resources/ defines templates 147, 148 and 100; the
// dialog logic creates its control models from them and the Qt view its widgets.
#pragma once

#include <string>
#include <vector>

namespace platform {

enum class ControlKind { GroupBox, Label, Edit, PushButton, ComboBox, Icon };

struct Rect {
    int left = 0;
    int top = 0;
    int right = 0;
    int bottom = 0;
    int Width() const { return right - left; }
    int Height() const { return bottom - top; }
    friend bool operator==(const Rect&, const Rect&) = default;
};

struct ControlTemplate {
    int id = -1; // -1 for static controls without an id
    ControlKind kind = ControlKind::Label;
    std::string text;
    int x = 0, y = 0, cx = 0, cy = 0; // dialog units
    bool hidden = false;
    bool readOnly = false;
    bool centered = false;      // text centred (edits)
    bool defaultButton = false; // BS_DEFPUSHBUTTON
    bool tabStop = false;
    bool bitmapButton = false; // BS_BITMAP
    bool vcenter = false;      // BS_VCENTER
    bool noPrefix = false;     // SS_NOPREFIX
};

struct DialogTemplate {
    int id = 0;
    std::string title;
    int cx = 0, cy = 0; // dialog units
    std::string fontName;
    int fontPoints = 8;
    std::vector<ControlTemplate> controls; // in tab (creation) order
};

} // namespace platform
