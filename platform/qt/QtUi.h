// The Qt 6 view: platform::Ui with Qt widgets. Dialogs are built from their templates and show
// the dialog logic's control models; user actions go back through the models and WindowProc.
#pragma once

#include "platform/api/Dialog.h"
#include "platform/api/Platform.h"
#include "platform/api/Ui.h"
#include "platform/common/CommandRunner.h"
#include "platform/qt/DialogUnits.h"

#include <QObject>
#include <QPointer>

#include <memory>
#include <optional>
#include <utility>
#include <vector>

class QEventLoop;
class QMessageBox;
class QTimer;
class QWidget;

namespace platform::qt {

class DialogWindow;

// The message box of QtUi::MessageBox, ready to run: text, caption, buttons, Esc rules and width.
std::unique_ptr<QMessageBox> MakeMessageBox(QWidget* parent, std::string_view text, UINT type);

class QtUi : public QObject, public Ui, private CommandRunner::EventLoop {
    Q_OBJECT
public:
    // baseUnits: fixed base units for every dialog (tests); by default each dialog computes
    // them from its template font.
    explicit QtUi(Platform& platform, std::optional<BaseUnits> baseUnits = std::nullopt);
    ~QtUi() override;

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

    // The look of a classic utility: the Windows style, its grey palette and the dialog font.
    static void ApplyClassicLook();

    // The window of a dialog while it runs (null otherwise).
    DialogWindow* WindowOf(const Dialog& dlg) const;
    // Interval of the device-change poll in milliseconds.
    void SetDevicePollInterval(int ms);
    int WaitCursorDepth() const { return waitDepth_; }
    // Syncs every open window with its models (after any event routed to the logic).
    void SyncAll();

    // Sends a message to a dialog's logic. A command to the main dialog runs on the command
    // runner; while it is busy (not waiting for a Ui call) nothing reaches the logic. Returns
    // when the logic has handled it.
    void Route(DialogWindow& window, UINT message, WPARAM wParam, LPARAM lParam);
    // True while a command runs and is not waiting for a Ui call (user input is held off then).
    bool InputHeld() const { return runner_.InputHeld(); }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // CommandRunner::EventLoop: the Qt event loop, user input dropped by eventFilter.
    void Wake() override;
    void WaitForWake() override;
    void InputHeldChanged(bool held) override;
    void ShowBusyCursor(bool show);
    BOOL RunFileDialog(Dialog* owner, FileDialogRequest& request, bool save);
    QWidget* ParentFor(Dialog* owner) const;
    void PollDevices();
    // While a box of our own is up, the arrow replaces a wait cursor an operation has set.
    class ArrowWhileAsking;

    Platform& platform_;
    std::optional<BaseUnits> baseUnits_;
    // Running dialogs, innermost last.
    std::vector<std::pair<const Dialog*, QPointer<DialogWindow>>> running_;
    Dialog* mainWindow_ = nullptr;
    QTimer* pollTimer_ = nullptr;
    bool polling_ = false;
    int waitDepth_ = 0;
    CommandRunner runner_{*this};
    bool woken_ = false;
    QEventLoop* wakeLoop_ = nullptr;
    // The last key released and when: a press of the same key at the same time is the key held
    // down (repeating), which never counts as a new Enter or Esc.
    std::pair<int, quint64> lastRelease_{0, 0};
    // Runs out once the command has kept the window waiting for a while (since it began or since
    // its last Ui call); the wait cursor shown for it meanwhile.
    QTimer* busyCursorTimer_ = nullptr;
    bool busyCursorShown_ = false;
};

} // namespace platform::qt
