#include "platform/win32/SysWindow.h"

#include <windows.h>

#include <commctrl.h>
#include <commdlg.h>
#include <shlobj.h>

#include <cstring>

namespace platform::win32 {

namespace {

HWND Hwnd(NativeWindow w) {
    return reinterpret_cast<HWND>(w);
}

INT_PTR CALLBACK DialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG) {
        SetWindowLongPtrA(hwnd, GWLP_USERDATA, lParam);
        reinterpret_cast<WindowEvents*>(lParam)->Initialized(reinterpret_cast<NativeWindow>(hwnd));
        return TRUE;
    }
    auto* events = reinterpret_cast<WindowEvents*>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
    std::intptr_t result = 0;
    if (events != nullptr &&
        events->Message(reinterpret_cast<NativeWindow>(hwnd), message, wParam, lParam, &result)) {
        SetWindowLongPtrA(hwnd, DWLP_MSGRESULT, result);
        return TRUE;
    }
    return FALSE;
}

} // namespace

void InitWindowing() {
    INITCOMMONCONTROLSEX controls{};
    controls.dwSize = sizeof controls;
    controls.dwICC = ICC_BAR_CLASSES | ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES;
    InitCommonControlsEx(&controls);
}

std::intptr_t RunDialog(const std::vector<std::uint8_t>& dialogTemplate, NativeWindow owner,
                        WindowEvents* events) {
    // The template must be DWORD-aligned: copy it into memory that is.
    std::vector<DWORD> aligned((dialogTemplate.size() + 3) / 4);
    std::memcpy(aligned.data(), dialogTemplate.data(), dialogTemplate.size());
    return DialogBoxIndirectParamA(GetModuleHandleA(nullptr),
                                   reinterpret_cast<LPCDLGTEMPLATEA>(aligned.data()), Hwnd(owner), DialogProc,
                                   reinterpret_cast<LPARAM>(events));
}

void EndDialog(NativeWindow hwnd, std::intptr_t result) {
    ::EndDialog(Hwnd(hwnd), result);
}

std::uint32_t QueryCancelAutoPlayMessage() {
    static const UINT id = RegisterWindowMessageA("QueryCancelAutoPlay");
    return id;
}

void SetItemText(NativeWindow hwnd, int id, const std::string& text) {
    char current[1024] = {};
    GetDlgItemTextA(Hwnd(hwnd), id, current, sizeof current);
    if (text != current) { // unchanged texts are left alone, so edits keep their caret
        SetDlgItemTextA(Hwnd(hwnd), id, text.c_str());
    }
}

std::string GetItemText(NativeWindow hwnd, int id) {
    char text[1024] = {};
    GetDlgItemTextA(Hwnd(hwnd), id, text, sizeof text);
    return text;
}

void ShowItem(NativeWindow hwnd, int id, bool visible) {
    if (HWND item = GetDlgItem(Hwnd(hwnd), id)) {
        if ((IsWindowVisible(item) != FALSE) != visible) {
            ShowWindow(item, visible ? SW_SHOW : SW_HIDE);
        }
    }
}

void SetComboItems(NativeWindow hwnd, int id, const std::vector<std::string>& items, int selection) {
    HWND combo = GetDlgItem(Hwnd(hwnd), id);
    if (combo == nullptr) {
        return;
    }
    bool same = SendMessageA(combo, CB_GETCOUNT, 0, 0) == static_cast<LRESULT>(items.size());
    for (std::size_t i = 0; same && i < items.size(); ++i) {
        char text[512] = {};
        if (SendMessageA(combo, CB_GETLBTEXTLEN, i, 0) >= static_cast<LRESULT>(sizeof text)) {
            same = false;
            break;
        }
        SendMessageA(combo, CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(text));
        same = items[i] == text;
    }
    if (!same) {
        SendMessageA(combo, CB_RESETCONTENT, 0, 0);
        for (const std::string& item : items) {
            SendMessageA(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(item.c_str()));
        }
    }
    if (SendMessageA(combo, CB_GETCURSEL, 0, 0) != selection) {
        SendMessageA(combo, CB_SETCURSEL, static_cast<WPARAM>(selection), 0);
    }
}

int GetComboSelection(NativeWindow hwnd, int id) {
    return static_cast<int>(SendDlgItemMessageA(Hwnd(hwnd), id, CB_GETCURSEL, 0, 0));
}

void SetButtonBitmap(NativeWindow hwnd, int id, int bitmapId) {
    HWND button = GetDlgItem(Hwnd(hwnd), id);
    if (button == nullptr || bitmapId == 0) {
        return;
    }
    // Loaded once per button; the system frees the bitmaps when the program ends.
    if (SendMessageA(button, BM_GETIMAGE, IMAGE_BITMAP, 0) != 0) {
        return;
    }
    HANDLE bitmap = LoadImageA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(bitmapId), IMAGE_BITMAP, 0, 0,
                               LR_LOADMAP3DCOLORS);
    if (bitmap != nullptr) {
        SendMessageA(button, BM_SETIMAGE, IMAGE_BITMAP, reinterpret_cast<LPARAM>(bitmap));
    }
}

void SetWindowIcon(NativeWindow hwnd, int iconId) {
    HINSTANCE instance = GetModuleHandleA(nullptr);
    HANDLE big = LoadImageA(instance, MAKEINTRESOURCEA(iconId), IMAGE_ICON, GetSystemMetrics(SM_CXICON),
                            GetSystemMetrics(SM_CYICON), 0);
    HANDLE small = LoadImageA(instance, MAKEINTRESOURCEA(iconId), IMAGE_ICON, GetSystemMetrics(SM_CXSMICON),
                              GetSystemMetrics(SM_CYSMICON), 0);
    SendMessageA(Hwnd(hwnd), WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(big));
    SendMessageA(Hwnd(hwnd), WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(small));
}

void AppendSystemMenu(NativeWindow hwnd, std::uint32_t commandId, const std::string& text, bool separator) {
    HMENU menu = GetSystemMenu(Hwnd(hwnd), FALSE);
    if (menu == nullptr) {
        return;
    }
    if (separator) {
        AppendMenuA(menu, MF_SEPARATOR, 0, nullptr);
    } else {
        AppendMenuA(menu, MF_STRING, commandId, text.c_str());
    }
}

void RedrawNow(NativeWindow hwnd) {
    UpdateWindow(Hwnd(hwnd));
}

void ClientSize(NativeWindow hwnd, int* width, int* height) {
    RECT r{};
    GetClientRect(Hwnd(hwnd), &r);
    *width = r.right - r.left;
    *height = r.bottom - r.top;
}

bool CreateStatusBar(NativeWindow hwnd, int id, int minHeight) {
    HWND bar = CreateWindowExA(0, STATUSCLASSNAMEA, "", WS_CHILD | WS_VISIBLE, 0, 0, 0, 0, Hwnd(hwnd),
                               reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), GetModuleHandleA(nullptr),
                               nullptr);
    if (bar == nullptr) {
        return false;
    }
    SendMessageA(bar, SB_SETMINHEIGHT, static_cast<WPARAM>(minHeight), 0);
    SendMessageA(bar, WM_SIZE, 0, 0);
    return true;
}

void SetStatusBar(NativeWindow hwnd, int id, const std::vector<int>& rightEdges,
                  const std::vector<std::string>& texts) {
    HWND bar = GetDlgItem(Hwnd(hwnd), id);
    if (bar == nullptr) {
        return;
    }
    std::vector<int> edges = rightEdges.empty() ? std::vector<int>{-1} : rightEdges;
    SendMessageA(bar, SB_SETPARTS, edges.size(), reinterpret_cast<LPARAM>(edges.data()));
    for (std::size_t part = 0; part < edges.size(); ++part) {
        const std::string text = part < texts.size() ? texts[part] : std::string();
        char current[512] = {};
        if (LOWORD(SendMessageA(bar, SB_GETTEXTLENGTHA, part, 0)) < sizeof current) {
            SendMessageA(bar, SB_GETTEXTA, part, reinterpret_cast<LPARAM>(current));
        }
        if (text != current) {
            SendMessageA(bar, SB_SETTEXTA, part, reinterpret_cast<LPARAM>(text.c_str()));
        }
    }
}

bool CreateProgressBar(NativeWindow hwnd, int id, int left, int top, int width, int height) {
    return CreateWindowExA(0, PROGRESS_CLASSA, "", WS_CHILD | WS_VISIBLE | PBS_SMOOTH, left, top, width,
                           height, Hwnd(hwnd), reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)),
                           GetModuleHandleA(nullptr), nullptr) != nullptr;
}

void SetProgressBar(NativeWindow hwnd, int id, int lower, int upper, int step, int pos) {
    HWND bar = GetDlgItem(Hwnd(hwnd), id);
    if (bar == nullptr) {
        return;
    }
    SendMessageA(bar, PBM_SETRANGE32, static_cast<WPARAM>(lower), upper);
    SendMessageA(bar, PBM_SETSTEP, static_cast<WPARAM>(step), 0);
    SendMessageA(bar, PBM_SETPOS, static_cast<WPARAM>(pos), 0);
}

void DestroyChild(NativeWindow hwnd, int id) {
    if (HWND child = GetDlgItem(Hwnd(hwnd), id)) {
        DestroyWindow(child);
    }
}

int MessageBoxA(NativeWindow owner, const std::string& text, const std::string& caption, std::uint32_t type) {
    return ::MessageBoxA(Hwnd(owner), text.c_str(), caption.c_str(), type);
}

bool GetFileName(NativeWindow owner, FileDialog& request, bool save) {
    // "Description\0Pattern\0\0"
    std::string filter = request.filterDescription;
    filter += '\0';
    filter += request.filterPattern;
    filter += '\0';
    filter += '\0';
    char file[MAX_PATH + 1] = {};
    request.fileName.copy(file, MAX_PATH);
    OPENFILENAMEA ofn{};
    ofn.lStructSize = sizeof ofn;
    ofn.hwndOwner = Hwnd(owner);
    ofn.lpstrFilter = filter.c_str();
    ofn.nFilterIndex = 1;
    ofn.lpstrFile = file;
    ofn.nMaxFile = sizeof file;
    ofn.lpstrInitialDir = request.initialDir.empty() ? nullptr : request.initialDir.c_str();
    ofn.lpstrDefExt = request.defaultExt.empty() ? nullptr : request.defaultExt.c_str();
    ofn.Flags = request.flags | OFN_EXPLORER;
    const BOOL ok = save ? GetSaveFileNameA(&ofn) : GetOpenFileNameA(&ofn);
    if (!ok) {
        return false;
    }
    request.path = file;
    return true;
}

void ShellFormatDrive(NativeWindow owner, std::uint32_t driveNumber) {
    SHFormatDrive(Hwnd(owner), driveNumber, SHFMT_ID_DEFAULT, 0);
}

void SetWaitCursor(bool wait) {
    SetCursor(LoadCursorA(nullptr, wait ? IDC_WAIT : IDC_ARROW));
}

} // namespace platform::win32
