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
};

// Common controls (status bar, progress bar) and the program's resources.
void InitWindowing();
// Runs a dialog from an in-memory DLGTEMPLATEEX modally; returns EndDialog's result (-1 when
// the window could not be made).
std::intptr_t RunDialog(const std::vector<std::uint8_t>& dialogTemplate, NativeWindow owner,
                        WindowEvents* events);
void EndDialog(NativeWindow hwnd, std::intptr_t result);
std::uint32_t QueryCancelAutoPlayMessage();

void SetItemText(NativeWindow hwnd, int id, const std::string& text);
std::string GetItemText(NativeWindow hwnd, int id);
void ShowItem(NativeWindow hwnd, int id, bool visible);
void SetComboItems(NativeWindow hwnd, int id, const std::vector<std::string>& items, int selection);
int GetComboSelection(NativeWindow hwnd, int id);
void SetButtonBitmap(NativeWindow hwnd, int id, int bitmapId);
void SetWindowIcon(NativeWindow hwnd, int iconId);
void AppendSystemMenu(NativeWindow hwnd, std::uint32_t commandId, const std::string& text, bool separator);
void RedrawNow(NativeWindow hwnd);
void ClientSize(NativeWindow hwnd, int* width, int* height);

// Run-time children: the status bar (msctls_statusbar32) and the smooth progress bar.
bool CreateStatusBar(NativeWindow hwnd, int id, int minHeight);
void SetStatusBar(NativeWindow hwnd, int id, const std::vector<int>& rightEdges,
                  const std::vector<std::string>& texts);
bool CreateProgressBar(NativeWindow hwnd, int id, int left, int top, int width, int height);
void SetProgressBar(NativeWindow hwnd, int id, int lower, int upper, int step, int pos);
void DestroyChild(NativeWindow hwnd, int id);

int MessageBoxA(NativeWindow owner, const std::string& text, const std::string& caption, std::uint32_t type);
struct FileDialog {
    std::string filterDescription, filterPattern, initialDir, fileName, defaultExt;
    std::uint32_t flags = 0;
    std::string path;
};
bool GetFileName(NativeWindow owner, FileDialog& request, bool save);
// The shell's format dialog for a drive (A: = 0).
void ShellFormatDrive(NativeWindow owner, std::uint32_t driveNumber);
void SetWaitCursor(bool wait);

} // namespace platform::win32
