// The user-interface services the dialog logic needs, as synchronous calls that return the
// answer (as on Windows). The Qt view implements them for the real program; tests use a
// scripted implementation that answers from a queue and records what was shown.
#pragma once

#include "platform/api/Controls.h"
#include "platform/api/Volumes.h"
#include "platform/api/WinTypes.h"

#include <string>
#include <string_view>

namespace platform {

class Dialog;

// Caption of every message box: the program file's name without extension.
inline constexpr const char* MessageBoxCaption = "flashkeeper3";

struct FileDialogRequest {
    std::string filterDescription; // "VoxHarbor Greeting & Data Files (*.vhb)"
    std::string filterPattern;     // "*.vhb"
    std::string initialDir;        // Windows form, "C:\\ZEL\\Voxharbor\\Backup\\"
    std::string fileName;          // preset of the file name box, "*.vhb"
    std::string defaultExt;        // "vhb", or empty
    DWORD flags = 0;               // OFN_* options
    std::string path;              // the chosen path on return (Windows or host form)
};

// The dialog logic may run on a thread other than the window's (the Qt view runs each command of
// the main dialog so); every call is then carried out on the window's thread while the caller
// waits, so the calls keep their order and their answers.
class Ui {
public:
    virtual ~Ui() = default;

    // Runs the dialog modally: calls dlg.InitDialog() (which runs OnInitDialog), shows it, and
    // returns the result once dlg.EndDialog has been called (also when OnInitDialog ends it).
    // Device-change notifications still reach the main window meanwhile.
    virtual INT_PTR RunModal(Dialog& dlg) = 0;
    // The dialog's window should close now (EndDialog was called).
    virtual void DialogEnded(Dialog& dlg) = 0;
    // The application's main window: device-change notifications go to it.
    virtual void SetMainWindow(Dialog* dlg) = 0;

    // MB_OK, MB_YESNO or MB_YESNOCANCEL; returns IDOK, IDYES, IDNO or IDCANCEL.
    virtual int MessageBox(Dialog* owner, std::string_view text, UINT type) = 0;
    // FALSE when cancelled; otherwise request.path holds the chosen path.
    virtual BOOL GetOpenFileName(Dialog* owner, FileDialogRequest& request) = 0;
    virtual BOOL GetSaveFileName(Dialog* owner, FileDialogRequest& request) = 0;
    // The shell's format dialog for a drive number (A: = 0), without an owner: it lets the
    // user format through volumes.FormatDrive, cancel, or see the format fail; returns when the
    // user closes it. The result is not examined by the program.
    virtual void FormatDriveDialog(UINT driveNumber, Volumes& volumes) = 0;

    virtual void BeginWaitCursor() = 0;
    virtual void EndWaitCursor() = 0;

    // Shows the dialog's control models now (UpdateWindow after Invalidate), without
    // processing any other event.
    virtual void UpdateWindow(Dialog& dlg) = 0;
    // Client area in pixels.
    virtual Rect GetClientRect(Dialog& dlg) = 0;
    // A control created at run time (status bar, progress bar) appears / disappears.
    // Returns false when the control could not be created.
    virtual bool ChildCreated(Dialog& dlg, Control& control) = 0;
    virtual void ChildDestroyed(Dialog& dlg, Control& control) = 0;
};

} // namespace platform
