// The Windows view: platform::Ui with windows made by the Windows dialog manager from the
// dialog templates, the common controls' status and progress bars, MessageBoxA, the common
// file dialogs and the shell's format dialog. The dialog logic's control models are shown in
// the windows after every message routed to the logic, and what the user changed (edit texts,
// combo selections) goes back into the models before it.
#pragma once

#include "platform/api/Dialog.h"
#include "platform/api/Platform.h"
#include "platform/api/Ui.h"
#include "platform/win32/SysWindow.h"

#include <memory>
#include <vector>

namespace platform::win32 {

class Win32Ui final : public Ui {
public:
    explicit Win32Ui(Platform& platform);
    ~Win32Ui() override;

    INT_PTR RunModal(Dialog& dlg) override;
    void DialogEnded(Dialog& dlg) override;
    void SetMainWindow(Dialog* dlg) override { mainWindow_ = dlg; }
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
    Running* Find(const Dialog* dlg) const;
    // The window of owner while it runs, otherwise the innermost running one (0: none).
    NativeWindow OwnerFor(const Dialog* owner) const;

    Platform& platform_;
    std::vector<Running*> running_; // innermost last
    Dialog* mainWindow_ = nullptr;
    int waitDepth_ = 0;
};

} // namespace platform::win32
