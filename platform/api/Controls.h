// Control models: the state of a dialog's controls, with the Windows rules for indexes and
// selections. The dialog logic changes them; a view (Qt, or the scripted test Ui) shows them and
// writes the user's changes back.
#pragma once

#include "platform/api/Templates.h"
#include "platform/api/WinTypes.h"

#include <string>
#include <string_view>
#include <vector>

namespace platform {

class Control {
public:
    Control(int id, ControlKind kind) : id_(id), kind_(kind) {}
    virtual ~Control() = default;
    int Id() const { return id_; }
    ControlKind Kind() const { return kind_; }
    bool IsVisible() const { return visible_; }
    void ShowWindow(bool visible) { visible_ = visible; }

private:
    int id_;
    ControlKind kind_;
    bool visible_ = true;
};

// Edit, label, group box and button texts.
class TextControl : public Control {
public:
    using Control::Control;
    void SetWindowText(std::string_view text) { text_ = text; }
    const std::string& GetWindowText() const { return text_; }

private:
    std::string text_;
};

class ButtonControl : public TextControl {
public:
    using TextControl::TextControl;
    // Bitmap resource shown on the button (0: none).
    void SetBitmap(int bitmapId) { bitmapId_ = bitmapId; }
    int GetBitmap() const { return bitmapId_; }

private:
    int bitmapId_ = 0;
};

// Drop-down list combo box, unsorted.
class ComboBoxControl : public Control {
public:
    explicit ComboBoxControl(int id) : Control(id, ControlKind::ComboBox) {}
    int GetCount() const { return static_cast<int>(items_.size()); }
    // -1 (CB_ERR) when nothing is selected.
    int GetCurSel() const { return curSel_; }
    // An index outside the items clears the selection and returns CB_ERR.
    int SetCurSel(int index);
    // Inserts at index (-1 appends); CB_ERR when index is beyond the end. Returns the position.
    int InsertString(int index, std::string_view text);
    int AddString(std::string_view text) { return InsertString(-1, text); }
    // Returns the remaining count, or CB_ERR for a bad index. Deleting the selected item clears
    // the selection; deleting one before it moves it down.
    int DeleteString(int index);
    // CB_ERR for a bad index.
    int GetLBText(int index, std::string* text) const;
    // Case-insensitive whole-text search from after startAfter (-1: from the start), wrapping.
    int FindStringExact(int startAfter, std::string_view text) const;
    const std::vector<std::string>& Items() const { return items_; }

private:
    std::vector<std::string> items_;
    int curSel_ = CB_ERR;
};

// Status bar: parts with right edges, a text per part.
class StatusBarControl : public Control {
public:
    explicit StatusBarControl(int id = 0) : Control(id, ControlKind::Label) {}
    void MarkCreated(int id, const Rect& rect) {
        createdId_ = id;
        rect_ = rect;
    }
    int CreatedId() const { return createdId_; }
    const Rect& CreatedRect() const { return rect_; }
    void SetMinHeight(int h) { minHeight_ = h; }
    int MinHeight() const { return minHeight_; }
    void SetParts(const std::vector<int>& rightEdges);
    const std::vector<int>& Parts() const { return edges_; }
    void SetText(int part, std::string_view text);
    std::string GetText(int part) const;

private:
    int createdId_ = 0;
    Rect rect_;
    int minHeight_ = 0;
    std::vector<int> edges_;
    std::vector<std::string> texts_;
};

// Progress bar: range, step and position (msctls_progress32).
class ProgressBarControl : public Control {
public:
    ProgressBarControl(int id, const Rect& rect) : Control(id, ControlKind::Label), rect_(rect) {}
    const Rect& GetRect() const { return rect_; }
    void SetRange(int lower, int upper) {
        lower_ = lower;
        upper_ = upper;
    }
    int Lower() const { return lower_; }
    int Upper() const { return upper_; }
    void SetStep(int step) { step_ = step; }
    void SetPos(int pos) { pos_ = pos; }
    int GetPos() const { return pos_; }
    // Advances by the step; wraps to the lower bound past the upper one, as the control does.
    void StepIt();

private:
    Rect rect_;
    int lower_ = 0;
    int upper_ = 100;
    int step_ = 10;
    int pos_ = 0;
};

// One item of a (system) menu; an empty text with separator set is a separator.
struct MenuItem {
    UINT commandId = 0;
    std::string text;
    bool separator = false;
};

} // namespace platform
