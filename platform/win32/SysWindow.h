// The window calls of the Windows view, behind plain C++ types (see Sys.h for why).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace platform::win32 {

using NativeWindow = std::intptr_t; // HWND

// What a running dialog's window hands to the view.
class WindowEvents {
public:
    virtual ~WindowEvents() = default;
    // WM_INITDIALOG: the window exists, its controls too.
    virtual void Initialized(NativeWindow hwnd) = 0;
    // Any later message; true when handled, with *result as the message's result.
    virtual bool Message(NativeWindow hwnd, std::uint32_t message, std::uintptr_t wParam,
                         std::intptr_t lParam, std::intptr_t* result) = 0;
    // The command Enter gives when no push button has the focus: the template's default push
    // button, else OK.
    virtual int EnterCommand() const = 0;
};

// Common controls (status bar, progress bar), the program's resources, and the keyboard rules of
// the program's dialogs: Enter presses the focused push button, else the dialog's EnterCommand;
// a key held down does not repeat Enter or Esc into whichever dialog has the focus.
void InitWindowing();
// Runs a dialog from an in-memory DLGTEMPLATEEX modally; returns EndDialog's result (-1 when
// the window could not be made). The focus starts on the first tab stop.
std::intptr_t RunDialog(const std::vector<std::uint8_t>& dialogTemplate, NativeWindow owner,
                        WindowEvents* events);
void EndDialog(NativeWindow hwnd, std::intptr_t result);
std::uint32_t QueryCancelAutoPlayMessage();

void SetItemText(NativeWindow hwnd, int id, const std::string& text);
std::string GetItemText(NativeWindow hwnd, int id);
void ShowItem(NativeWindow hwnd, int id, bool visible);
void SetComboItems(NativeWindow hwnd, int id, const std::vector<std::string>& items, int selection);
int GetComboSelection(NativeWindow hwnd, int id);
// A bitmap-style button shows the bitmap; a text button shows its picture (the part above the
// caption drawn into the bitmap) beside its text, at the height the button has room for.
void SetButtonBitmap(NativeWindow hwnd, int id, int bitmapId);
void SetWindowIcon(NativeWindow hwnd, int iconId);
void AppendSystemMenu(NativeWindow hwnd, std::uint32_t commandId, const std::string& text, bool separator);
// Widens each static text whose text does not fit its rectangle in the dialog's font (the font
// standing in for the template's may be wider), up to the dialog's right edge.
void FitStaticTexts(NativeWindow hwnd);
void RedrawNow(NativeWindow hwnd);
void ClientSize(NativeWindow hwnd, int* width, int* height);

// Run-time children (the status bar, msctls_statusbar32, and the smooth progress bar), reached
// through the handles made here: the progress bar carries the status bar's id.
NativeWindow CreateStatusBar(NativeWindow hwnd, int id, int minHeight);
void SetStatusBar(NativeWindow bar, const std::vector<int>& rightEdges,
                  const std::vector<std::string>& texts);
NativeWindow CreateProgressBar(NativeWindow hwnd, int id, int left, int top, int width, int height);
void SetProgressBar(NativeWindow bar, int lower, int upper, int step, int pos);
void DestroyChild(NativeWindow child);

int MessageBoxA(NativeWindow owner, const std::string& text, const std::string& caption, std::uint32_t type);
struct FileDialog {
    std::string filterDescription, filterPattern, initialDir, fileName, defaultExt;
    std::uint32_t flags = 0;
    std::string path;
};
bool GetFileName(NativeWindow owner, FileDialog& request, bool save);
// The shell's format dialog for a drive (A: = 0), without an owner window.
void ShellFormatDrive(std::uint32_t driveNumber);
void SetWaitCursor(bool wait);

// The window thread's wake-up for the command runner: set from any thread; the window's thread
// processes its messages meanwhile, keyboard and mouse input to the program's windows dropped.
class WakeEvent {
public:
    WakeEvent();
    ~WakeEvent();
    WakeEvent(const WakeEvent&) = delete;
    WakeEvent& operator=(const WakeEvent&) = delete;
    void Set();
    // Returns once Set has been called (since the last return).
    void ProcessMessagesUntilSet();

private:
    void* event_;
};

} // namespace platform::win32
