#include "platform/win32/DialogBytes.h"

#include "resources/Resources.h"

#include <string_view>

namespace platform::win32 {

namespace {

// Window, dialog and control styles (the documented values; <windows.h> stays out of here).
constexpr std::uint32_t WS_POPUP = 0x80000000, WS_CHILD = 0x40000000, WS_VISIBLE = 0x10000000,
                        WS_CAPTION = 0x00C00000, WS_BORDER = 0x00800000, WS_SYSMENU = 0x00080000,
                        WS_VSCROLL = 0x00200000, WS_GROUP = 0x00020000, WS_TABSTOP = 0x00010000,
                        WS_MINIMIZEBOX = 0x00020000;
constexpr std::uint32_t DS_SETFONT = 0x40, DS_MODALFRAME = 0x80, DS_CENTER = 0x0800;
constexpr std::uint32_t BS_DEFPUSHBUTTON = 0x1, BS_GROUPBOX = 0x7, BS_BITMAP = 0x80, BS_VCENTER = 0xC00;
constexpr std::uint32_t ES_CENTER = 0x1, ES_AUTOHSCROLL = 0x80, ES_READONLY = 0x800;
constexpr std::uint32_t SS_ICON = 0x3, SS_NOPREFIX = 0x80;
constexpr std::uint32_t CBS_DROPDOWNLIST = 0x3;
constexpr std::uint32_t WS_EX_CLIENTEDGE = 0x200;
// Atoms of the predefined control classes.
constexpr std::uint16_t ButtonClass = 0x80, EditClass = 0x81, StaticClass = 0x82, ComboBoxClass = 0x85;

class Bytes {
public:
    void Word(std::uint16_t v) {
        out_.push_back(static_cast<std::uint8_t>(v & 0xFF));
        out_.push_back(static_cast<std::uint8_t>(v >> 8));
    }
    void Dword(std::uint32_t v) {
        Word(static_cast<std::uint16_t>(v & 0xFFFF));
        Word(static_cast<std::uint16_t>(v >> 16));
    }
    void Short(int v) { Word(static_cast<std::uint16_t>(static_cast<std::int16_t>(v))); }
    void Byte(std::uint8_t v) { out_.push_back(v); }
    // A NUL-terminated UTF-16 string; the texts are ASCII or Latin-1.
    void Text(std::string_view text) {
        for (char c : text) {
            Word(static_cast<std::uint8_t>(c));
        }
        Word(0);
    }
    void AlignDword() {
        while (out_.size() % 4 != 0) {
            out_.push_back(0);
        }
    }
    std::vector<std::uint8_t> Take() { return std::move(out_); }

private:
    std::vector<std::uint8_t> out_;
};

void Item(Bytes& b, const ControlTemplate& c, int iconId) {
    std::uint32_t style = WS_CHILD | (c.hidden ? 0 : WS_VISIBLE) | (c.tabStop ? WS_TABSTOP : 0);
    std::uint32_t exStyle = 0;
    std::uint16_t cls = StaticClass;
    bool iconTitle = false;
    switch (c.kind) {
    case ControlKind::GroupBox:
        cls = ButtonClass;
        style |= BS_GROUPBOX;
        break;
    case ControlKind::Label:
        style |= c.noPrefix ? SS_NOPREFIX : 0;
        break;
    case ControlKind::Edit:
        cls = EditClass;
        style |= ES_AUTOHSCROLL | (c.readOnly ? ES_READONLY : 0) | (c.centered ? ES_CENTER : 0);
        exStyle |= WS_EX_CLIENTEDGE;
        break;
    case ControlKind::PushButton:
        cls = ButtonClass;
        style |= (c.defaultButton ? BS_DEFPUSHBUTTON : 0) | (c.bitmapButton ? BS_BITMAP : 0) |
                 (c.vcenter ? BS_VCENTER : 0);
        break;
    case ControlKind::ComboBox:
        cls = ComboBoxClass;
        style |= CBS_DROPDOWNLIST | WS_VSCROLL | WS_GROUP;
        break;
    case ControlKind::Icon:
        style |= SS_ICON;
        iconTitle = true;
        break;
    }
    b.AlignDword();
    b.Dword(0); // help id
    b.Dword(exStyle);
    b.Dword(style);
    b.Short(c.x);
    b.Short(c.y);
    b.Short(c.cx);
    b.Short(c.cy);
    b.Dword(static_cast<std::uint32_t>(c.id));
    b.Word(0xFFFF);
    b.Word(cls);
    if (iconTitle) {
        b.Word(0xFFFF);
        b.Word(static_cast<std::uint16_t>(iconId));
    } else {
        b.Text(c.text);
    }
    b.Word(0); // no creation data
}

} // namespace

std::vector<std::uint8_t> DialogTemplateBytes(const DialogTemplate& dialog, int iconId) {
    Bytes b;
    std::uint32_t style = WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_SETFONT | DS_CENTER;
    // The main dialog of the program has a minimize box; the others are plain modal boxes.
    if (dialog.id == resources::IDD_CARDUTILITY_DIALOG) {
        style |= WS_MINIMIZEBOX;
    }
    b.Word(1);      // dlgVer
    b.Word(0xFFFF); // signature: DLGTEMPLATEEX
    b.Dword(0);     // help id
    b.Dword(0);     // extended style
    b.Dword(style);
    b.Word(static_cast<std::uint16_t>(dialog.controls.size()));
    b.Short(0);
    b.Short(0);
    b.Short(dialog.cx);
    b.Short(dialog.cy);
    b.Word(0); // no menu
    b.Word(0); // the standard dialog class
    b.Text(dialog.title);
    b.Word(static_cast<std::uint16_t>(dialog.fontPoints));
    b.Word(400); // weight
    b.Byte(0);   // italic
    b.Byte(1);   // DEFAULT_CHARSET
    b.Text(dialog.fontName);
    for (const ControlTemplate& c : dialog.controls) {
        Item(b, c, iconId);
    }
    return b.Take();
}

} // namespace platform::win32
