#include "platform/win32/Win32Ui.h"

#include "platform/win32/DialogBytes.h"
#include "resources/Resources.h"

#include <algorithm>
#include <map>

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
        FitStaticTexts(hwnd_);
        EndIfDone();
    }

    int EnterCommand() const override {
        for (const ControlTemplate& t : dlg_.Template().controls) {
            if (t.kind == ControlKind::PushButton && t.defaultButton) {
                return t.id;
            }
        }
        return IDOK;
    }

    bool Message(NativeWindow /*hwnd*/, std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam,
                 std::intptr_t* result) override {
        if (showing_) {
            return false; // notifications of our own changes to the controls
        }
        if (message == WM_SETCURSOR) {
            if (!ui_.WaitCursorWanted()) {
                return false;
            }
            SetWaitCursor(true);
            *result = TRUE;
            return true;
        }
        const bool main = &dlg_ == ui_.mainWindow_;
        const bool deviceChange = main && message == WM_DEVICECHANGE;
        const bool autoPlay = main && message == QueryCancelAutoPlayMessage();
        // The logic knows the AutoPlay question by the identifier its platform registered.
        const UINT logicMessage = autoPlay ? platform::RegisterWindowMessage("QueryCancelAutoPlay") : message;
        if (message == WM_COMMAND) {
            // Clicks (and Enter/Esc) and combo selections; the controls' other notifications
            // (focus, edit changes, drop-downs) are not the logic's business.
            const UINT code = HIWORD(wParam);
            if (code != BN_CLICKED && code != CBN_SELCHANGE) {
                return false;
            }
        } else if (message == WM_SYSCOMMAND) {
            const auto command = static_cast<std::uint32_t>(wParam);
            const bool ours = std::any_of(menuCommands_.begin(), menuCommands_.end(), [&](std::uint32_t id) {
                return (id & SystemCommandMask) == (command & SystemCommandMask);
            });
            if (!ours && (command & SystemCommandMask) != SC_CLOSE) {
                return false; // move, minimise, ...: the window manager's
            }
        } else if (!deviceChange && !autoPlay) {
            return false;
        }
        if (ui_.runner_.InputHeld()) {
            // A command is busy on its own thread: nothing else may run the logic beside it.
            // Device changes wait for its next box or its end; the AutoPlay question is answered
            // (refused) now, its forced re-scan waits too.
            if (deviceChange || autoPlay) {
                ui_.deferred_.push_back({logicMessage, wParam, lParam});
            }
            *result = autoPlay || deviceChange ? 1 : 0;
            return true;
        }
        if (message == WM_COMMAND) {
            Collect();
        }
        if (main && !deviceChange && !autoPlay) {
            ui_.runner_.Run([&] { *result = dlg_.WindowProc(logicMessage, wParam, lParam); });
            ui_.DeliverDeferred();
        } else {
            // Device changes, and what reaches the dialogs and boxes a command shows, are handled
            // at once, as a nested message loop would hand them on.
            *result = dlg_.WindowProc(logicMessage, wParam, lParam);
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
        for (const auto& [child, window] : children_) {
            if (auto* bar = dynamic_cast<StatusBarControl*>(child)) {
                std::vector<std::string> texts;
                for (std::size_t part = 0; part < std::max<std::size_t>(1, bar->Parts().size()); ++part) {
                    texts.push_back(bar->GetText(static_cast<int>(part)));
                }
                SetStatusBar(window, bar->Parts(), texts);
            } else if (auto* progress = dynamic_cast<ProgressBarControl*>(child)) {
                SetProgressBar(window, progress->Lower(), progress->Upper(), 1, progress->GetPos());
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

    // Run-time children, each reached through the window made for it (the progress bar carries
    // the status bar's id).
    bool AddChild(Control& c) {
        NativeWindow window = 0;
        if (auto* bar = dynamic_cast<StatusBarControl*>(&c)) {
            window = CreateStatusBar(hwnd_, bar->CreatedId(), bar->MinHeight());
        } else if (auto* progress = dynamic_cast<ProgressBarControl*>(&c)) {
            const Rect& rc = progress->GetRect();
            window = CreateProgressBar(hwnd_, progress->Id(), rc.left, rc.top, rc.Width(), rc.Height());
        }
        if (window == 0) {
            return false;
        }
        children_[&c] = window;
        Show();
        return true;
    }
    void RemoveChild(Control& c) {
        if (auto it = children_.find(&c); it != children_.end()) {
            DestroyChild(it->second);
            children_.erase(it);
        }
    }

private:
    Win32Ui& ui_;
    Dialog& dlg_;
    NativeWindow hwnd_ = 0;
    bool endedWindow_ = false;
    bool showing_ = false;
    std::vector<std::uint32_t> menuCommands_;
    std::map<Control*, NativeWindow> children_;
};

Win32Ui::Win32Ui(Platform& platform) : platform_(platform) {
    InitWindowing();
}

Win32Ui::~Win32Ui() = default;

void Win32Ui::InputHeldChanged(bool held) {
    if (!held && waitDepth_ == 0) {
        SetWaitCursor(false);
    }
}

void Win32Ui::DeliverDeferred() {
    while (!deferred_.empty() && mainWindow_ != nullptr) {
        const Deferred d = deferred_.front();
        deferred_.erase(deferred_.begin());
        if (Running* r = Find(mainWindow_)) {
            mainWindow_->WindowProc(d.message, d.wParam, d.lParam);
            r->Show();
        }
    }
}

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
    if (!runner_.OnWindowThread()) {
        return runner_.Call([&] { return RunModal(dlg); });
    }
    DeliverDeferred();
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
    if (!runner_.OnWindowThread()) {
        return runner_.Call([&] { DialogEnded(dlg); });
    }
    if (Running* r = Find(&dlg)) {
        r->EndIfDone();
    }
}

void Win32Ui::SetMainWindow(Dialog* dlg) {
    if (!runner_.OnWindowThread()) {
        return runner_.Call([&] { SetMainWindow(dlg); });
    }
    mainWindow_ = dlg;
    deferred_.clear();
}

int Win32Ui::MessageBox(Dialog* owner, std::string_view text, UINT type) {
    if (!runner_.OnWindowThread()) {
        return runner_.Call([&] { return MessageBox(owner, text, type); });
    }
    DeliverDeferred();
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

BOOL Win32Ui::RunFileDialog(Dialog* owner, FileDialogRequest& request, bool save) {
    if (!runner_.OnWindowThread()) {
        return runner_.Call([&] { return RunFileDialog(owner, request, save); });
    }
    DeliverDeferred();
    FileDialog d;
    d.filterDescription = request.filterDescription;
    d.filterPattern = request.filterPattern;
    d.initialDir = request.initialDir;
    d.fileName = request.fileName;
    d.defaultExt = request.defaultExt;
    d.flags = request.flags;
    if (!GetFileName(OwnerFor(owner), d, save)) {
        return FALSE;
    }
    request.path = d.path;
    return TRUE;
}

BOOL Win32Ui::GetOpenFileName(Dialog* owner, FileDialogRequest& request) {
    return RunFileDialog(owner, request, false);
}

BOOL Win32Ui::GetSaveFileName(Dialog* owner, FileDialogRequest& request) {
    return RunFileDialog(owner, request, true);
}

void Win32Ui::FormatDriveDialog(UINT driveNumber, Volumes& volumes) {
    if (!runner_.OnWindowThread()) {
        return runner_.Call([&] { FormatDriveDialog(driveNumber, volumes); });
    }
    DeliverDeferred();
    // The shell formats the drive itself, in a dialog without an owner.
    ShellFormatDrive(driveNumber);
}

void Win32Ui::BeginWaitCursor() {
    if (!runner_.OnWindowThread()) {
        return runner_.Call([&] { BeginWaitCursor(); });
    }
    ++waitDepth_;
    SetWaitCursor(true);
}

void Win32Ui::EndWaitCursor() {
    if (!runner_.OnWindowThread()) {
        return runner_.Call([&] { EndWaitCursor(); });
    }
    waitDepth_ = std::max(0, waitDepth_ - 1);
    if (waitDepth_ == 0) {
        SetWaitCursor(false);
    }
}

void Win32Ui::UpdateWindow(Dialog& dlg) {
    if (!runner_.OnWindowThread()) {
        return runner_.Call([&] { UpdateWindow(dlg); });
    }
    if (Running* r = Find(&dlg)) {
        r->Show();
        RedrawNow(r->hwnd());
    }
}

Rect Win32Ui::GetClientRect(Dialog& dlg) {
    if (!runner_.OnWindowThread()) {
        return runner_.Call([&] { return GetClientRect(dlg); });
    }
    Rect rect;
    if (Running* r = Find(&dlg)) {
        ClientSize(r->hwnd(), &rect.right, &rect.bottom);
    }
    return rect;
}

bool Win32Ui::ChildCreated(Dialog& dlg, Control& control) {
    if (!runner_.OnWindowThread()) {
        return runner_.Call([&] { return ChildCreated(dlg, control); });
    }
    Running* r = Find(&dlg);
    return r != nullptr && r->AddChild(control);
}

void Win32Ui::ChildDestroyed(Dialog& dlg, Control& control) {
    if (!runner_.OnWindowThread()) {
        return runner_.Call([&] { ChildDestroyed(dlg, control); });
    }
    if (Running* r = Find(&dlg)) {
        r->RemoveChild(control);
    }
}

} // namespace platform::win32
