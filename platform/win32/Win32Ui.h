// The Windows view: platform::Ui with windows made by the Windows dialog manager from the
// dialog templates, the common controls' status and progress bars, MessageBoxA, the common
// file dialogs and the shell's format dialog. The dialog logic's control models are shown in
// the windows after every message routed to the logic, and what the user changed (edit texts,
// combo selections) goes back into the models before it. A command of the main dialog runs on
// the command runner, so the window stays alive while it works.
#pragma once

#include "platform/api/Dialog.h"
#include "platform/api/Platform.h"
#include "platform/api/Ui.h"
#include "platform/common/CommandRunner.h"
#include "platform/win32/SysWindow.h"

#include <memory>
#include <vector>

namespace platform::win32 {

class Win32Ui final : public Ui, private CommandRunner::EventLoop {
public:
    explicit Win32Ui(Platform& platform);
    ~Win32Ui() override;

    INT_PTR RunModal(Dialog& dlg) override;
    void DialogEnded(Dialog& dlg) override;
    void SetMainWindow(Dialog* dlg) override;
    int MessageBox(Dialog* owner, std::string_view text, UINT type) override;
    BOOL GetOpenFileName(Dialog* owner, FileDialogRequest& request) override;
    BOOL GetSaveFileName(Dialog* owner, FileDialogRequest& request) override;
    void FormatDriveDialog(UINT driveNumber, Volumes& volumes) override;
    void BeginWaitCursor() override;
    void EndWaitCursor() override;
    void UpdateWindow(Dialog& dlg) override;
    Rect GetClientRect(Dialog& dlg) override;
    bool ChildCreated(Dialog& dlg, Control& control) override;
    void ChildDestroyed(Dialog& dlg, Control& control) override;

private:
    class Running;
    struct Deferred {
        UINT message;
        WPARAM wParam;
        LPARAM lParam;
    };

    // CommandRunner::EventLoop: the thread's message queue, input to our windows dropped.
    void Wake() override { wake_.Set(); }
    void WaitForWake() override { wake_.ProcessMessagesUntilSet(); }
    void InputHeldChanged(bool held) override;

    bool WaitCursorWanted() const { return waitDepth_ > 0 || runner_.InputHeld(); }
    // Device changes and AutoPlay questions that came while a command was busy reach the main
    // dialog when the command shows a box or ends, where a nested message loop would take them.
    void DeliverDeferred();
    BOOL RunFileDialog(Dialog* owner, FileDialogRequest& request, bool save);
    Running* Find(const Dialog* dlg) const;
    // The window of owner while it runs, otherwise the innermost running one (0: none).
    NativeWindow OwnerFor(const Dialog* owner) const;

    Platform& platform_;
    WakeEvent wake_;
    CommandRunner runner_{*this};
    std::vector<Running*> running_; // innermost last
    Dialog* mainWindow_ = nullptr;
    int waitDepth_ = 0;
    std::vector<Deferred> deferred_;
};

} // namespace platform::win32
