#include "platform/win32/Win32Ui.h"

#include "platform/win32/DialogBytes.h"
#include "resources/Resources.h"

#include <algorithm>

namespace platform::win32 {

namespace {

constexpr std::uint32_t SystemCommandMask = 0xFFF0;

} // namespace

// One dialog while its window is up: routes the window's messages to the dialog logic and
// shows the control models.
class Win32Ui::Running final : public WindowEvents {
public:
    Running(Win32Ui& ui, Dialog& dlg) : ui_(ui), dlg_(dlg) {}

    Dialog& dlg() { return dlg_; }
    NativeWindow hwnd() const { return hwnd_; }

    void Initialized(NativeWindow hwnd) override {
        hwnd_ = hwnd;
        SetWindowIcon(hwnd_, resources::IDR_MAINFRAME);
        dlg_.InitDialog();
        // Entries the logic added to the system menu (beyond the standard Close).
        if (const std::vector<MenuItem>* menu = dlg_.GetSystemMenu(FALSE)) {
            for (const MenuItem& item : *menu) {
                if (item.separator || (item.commandId & SystemCommandMask) != SC_CLOSE) {
                    AppendSystemMenu(hwnd_, item.commandId, item.text, item.separator);
                    if (!item.separator) {
                        menuCommands_.push_back(item.commandId);
                    }
                }
            }
        }
        Show();
        EndIfDone();
    }

    bool Message(NativeWindow /*hwnd*/, std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam,
                 std::intptr_t* result) override {
        if (showing_) {
            return false; // notifications of our own changes to the controls
        }
        if (message == WM_COMMAND) {
            // Clicks (and Enter/Esc) and combo selections; the controls' other notifications
            // (focus, edit changes, drop-downs) are not the logic's business.
            const UINT code = HIWORD(wParam);
            if (code != BN_CLICKED && code != CBN_SELCHANGE) {
                return false;
            }
            Collect();
            *result = dlg_.WindowProc(message, wParam, lParam);
        } else if (message == WM_SYSCOMMAND) {
            const auto command = static_cast<std::uint32_t>(wParam);
            const bool ours = std::any_of(menuCommands_.begin(), menuCommands_.end(), [&](std::uint32_t id) {
                return (id & SystemCommandMask) == (command & SystemCommandMask);
            });
            if (!ours && (command & SystemCommandMask) != SC_CLOSE) {
                return false; // move, minimise, ...: the window manager's
            }
            *result = dlg_.WindowProc(message, wParam, lParam);
        } else if (&dlg_ == ui_.mainWindow_ && message == WM_DEVICECHANGE) {
            *result = dlg_.WindowProc(message, wParam, lParam);
        } else if (&dlg_ == ui_.mainWindow_ && message == QueryCancelAutoPlayMessage()) {
            // The logic knows the message by the identifier its platform registered.
            *result = dlg_.WindowProc(platform::RegisterWindowMessage("QueryCancelAutoPlay"), wParam, lParam);
        } else {
            return false;
        }
        Show();
        EndIfDone();
        return true;
    }

    // Models -> window.
    void Show() {
        if (hwnd_ == 0 || showing_) {
            return;
        }
        showing_ = true;
        for (Control* c : dlg_.Controls()) {
            if (c->Id() < 0) {
                continue;
            }
            ShowItem(hwnd_, c->Id(), c->IsVisible());
            if (auto* combo = dynamic_cast<ComboBoxControl*>(c)) {
                SetComboItems(hwnd_, c->Id(), combo->Items(), combo->GetCurSel());
            } else if (auto* button = dynamic_cast<ButtonControl*>(c);
                       button != nullptr && button->GetBitmap() != 0) {
                SetButtonBitmap(hwnd_, c->Id(), button->GetBitmap());
            } else if (auto* text = dynamic_cast<TextControl*>(c)) {
                SetItemText(hwnd_, c->Id(), text->GetWindowText());
            }
        }
        for (Control* child : children_) {
            if (auto* bar = dynamic_cast<StatusBarControl*>(child)) {
                std::vector<std::string> texts;
                for (std::size_t part = 0; part < std::max<std::size_t>(1, bar->Parts().size()); ++part) {
                    texts.push_back(bar->GetText(static_cast<int>(part)));
                }
                SetStatusBar(hwnd_, bar->CreatedId(), bar->Parts(), texts);
            } else if (auto* progress = dynamic_cast<ProgressBarControl*>(child)) {
                SetProgressBar(hwnd_, progress->Id(), progress->Lower(), progress->Upper(), 1,
                               progress->GetPos());
            }
        }
        showing_ = false;
    }

    // Window -> models: what the user can change.
    void Collect() {
        for (Control* c : dlg_.Controls()) {
            if (c->Id() < 0) {
                continue;
            }
            if (auto* combo = dynamic_cast<ComboBoxControl*>(c)) {
                combo->SetCurSel(GetComboSelection(hwnd_, c->Id()));
            } else if (c->Kind() == ControlKind::Edit) {
                static_cast<TextControl*>(c)->SetWindowText(GetItemText(hwnd_, c->Id()));
            }
        }
    }

    void EndIfDone() {
        if (dlg_.IsEnded() && hwnd_ != 0 && !endedWindow_) {
            endedWindow_ = true;
            EndDialog(hwnd_, dlg_.Result());
        }
    }

    void AddChild(Control& c) { children_.push_back(&c); }
    void RemoveChild(Control& c) {
        children_.erase(std::remove(children_.begin(), children_.end(), &c), children_.end());
    }

private:
    Win32Ui& ui_;
    Dialog& dlg_;
    NativeWindow hwnd_ = 0;
    bool endedWindow_ = false;
    bool showing_ = false;
    std::vector<std::uint32_t> menuCommands_;
    std::vector<Control*> children_;
};

Win32Ui::Win32Ui(Platform& platform) : platform_(platform) {
    InitWindowing();
}

Win32Ui::~Win32Ui() = default;

Win32Ui::Running* Win32Ui::Find(const Dialog* dlg) const {
    for (Running* r : running_) {
        if (&r->dlg() == dlg) {
            return r;
        }
    }
    return nullptr;
}

NativeWindow Win32Ui::OwnerFor(const Dialog* owner) const {
    if (Running* r = Find(owner)) {
        return r->hwnd();
    }
    return running_.empty() ? 0 : running_.back()->hwnd();
}

INT_PTR Win32Ui::RunModal(Dialog& dlg) {
    Running running(*this, dlg);
    const NativeWindow owner = OwnerFor(nullptr);
    running_.push_back(&running);
    const std::intptr_t result =
        win32::RunDialog(DialogTemplateBytes(dlg.Template(), resources::IDR_MAINFRAME), owner, &running);
    running_.pop_back();
    if (result == -1 && !dlg.IsEnded()) {
        return -1; // the window could not be made
    }
    return dlg.IsEnded() ? dlg.Result() : result;
}

void Win32Ui::DialogEnded(Dialog& dlg) {
    if (Running* r = Find(&dlg)) {
        r->EndIfDone();
    }
}

int Win32Ui::MessageBox(Dialog* owner, std::string_view text, UINT type) {
    const bool waiting = waitDepth_ > 0;
    if (waiting) {
        SetWaitCursor(false);
    }
    const int answer = win32::MessageBoxA(OwnerFor(owner), std::string(text), MessageBoxCaption, type);
    if (waiting) {
        SetWaitCursor(true);
    }
    return answer;
}

namespace {

BOOL RunFileDialog(NativeWindow owner, FileDialogRequest& request, bool save) {
    FileDialog d;
    d.filterDescription = request.filterDescription;
    d.filterPattern = request.filterPattern;
    d.initialDir = request.initialDir;
    d.fileName = request.fileName;
    d.defaultExt = request.defaultExt;
    d.flags = request.flags;
    if (!GetFileName(owner, d, save)) {
        return FALSE;
    }
    request.path = d.path;
    return TRUE;
}

} // namespace

BOOL Win32Ui::GetOpenFileName(Dialog* owner, FileDialogRequest& request) {
    return RunFileDialog(OwnerFor(owner), request, false);
}

BOOL Win32Ui::GetSaveFileName(Dialog* owner, FileDialogRequest& request) {
    return RunFileDialog(OwnerFor(owner), request, true);
}

void Win32Ui::FormatDriveDialog(UINT driveNumber, Volumes& /*volumes*/) {
    // The shell formats the drive itself; it needs a window to centre on, the main one.
    ShellFormatDrive(OwnerFor(mainWindow_), driveNumber);
}

void Win32Ui::BeginWaitCursor() {
    ++waitDepth_;
    SetWaitCursor(true);
}

void Win32Ui::EndWaitCursor() {
    waitDepth_ = std::max(0, waitDepth_ - 1);
    if (waitDepth_ == 0) {
        SetWaitCursor(false);
    }
}

void Win32Ui::UpdateWindow(Dialog& dlg) {
    if (Running* r = Find(&dlg)) {
        r->Show();
        RedrawNow(r->hwnd());
    }
}

Rect Win32Ui::GetClientRect(Dialog& dlg) {
    Rect rect;
    if (Running* r = Find(&dlg)) {
        ClientSize(r->hwnd(), &rect.right, &rect.bottom);
    }
    return rect;
}

bool Win32Ui::ChildCreated(Dialog& dlg, Control& control) {
    Running* r = Find(&dlg);
    if (r == nullptr) {
        return false;
    }
    bool made = false;
    if (auto* bar = dynamic_cast<StatusBarControl*>(&control)) {
        made = CreateStatusBar(r->hwnd(), bar->CreatedId(), bar->MinHeight());
    } else if (auto* progress = dynamic_cast<ProgressBarControl*>(&control)) {
        const Rect& rc = progress->GetRect();
        made = CreateProgressBar(r->hwnd(), progress->Id(), rc.left, rc.top, rc.Width(), rc.Height());
    }
    if (made) {
        r->AddChild(control);
        r->Show();
    }
    return made;
}

void Win32Ui::ChildDestroyed(Dialog& dlg, Control& control) {
    if (Running* r = Find(&dlg)) {
        r->RemoveChild(control);
        const int id = dynamic_cast<StatusBarControl*>(&control) != nullptr
                           ? static_cast<StatusBarControl&>(control).CreatedId()
                           : control.Id();
        DestroyChild(r->hwnd(), id);
    }
}

} // namespace platform::win32
