// What the card operations show besides their texts: an OK message box and the wait cursor.
#pragma once

#include "app/flashkeeper3dlg.h"

#include <string>

namespace operations {

// Shows text in an OK message box.
inline void ShowMessage(CardUtilityDialog& dlg, const std::string& text) {
    dlg.GetUi().MessageBox(&dlg, text, MB_OK);
}

// The wait cursor while it is held, or until End.
class WaitCursor {
public:
    explicit WaitCursor(platform::Ui& ui) : ui_(ui) { ui_.BeginWaitCursor(); }
    ~WaitCursor() { End(); }
    WaitCursor(const WaitCursor&) = delete;
    WaitCursor& operator=(const WaitCursor&) = delete;

    void End() {
        if (shown_) {
            ui_.EndWaitCursor();
            shown_ = false;
        }
    }

private:
    platform::Ui& ui_;
    bool shown_ = true;
};

} // namespace operations
