#include "platform/win32/SysWindow.h"

#include <windows.h>

#include <commctrl.h>
#include <commdlg.h>
#include <shlobj.h>

#include <algorithm>
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
        // The focus goes to the first tab stop through the dialog manager, which also makes a
        // push button there the one Enter presses (a plain default focus does not).
        if (IsWindow(hwnd)) {
            if (HWND first = GetNextDlgTabItem(hwnd, nullptr, FALSE)) {
                SendMessageA(hwnd, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(first), TRUE);
            }
        }
        return FALSE;
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

bool IsOurDialog(HWND hwnd) {
    return hwnd != nullptr && GetWindowLongPtrA(hwnd, DWLP_DLGPROC) == reinterpret_cast<LONG_PTR>(DialogProc);
}

bool IsPushButton(HWND hwnd) {
    return (SendMessageA(hwnd, WM_GETDLGCODE, 0, 0) & (DLGC_DEFPUSHBUTTON | DLGC_UNDEFPUSHBUTTON)) != 0;
}

// The command Enter gives in one of our dialogs: the focused push button, else the dialog's own.
int EnterCommand(HWND dialog, HWND focus) {
    if (focus != nullptr && IsChild(dialog, focus) && IsPushButton(focus) && IsWindowVisible(focus)) {
        return GetDlgCtrlID(focus);
    }
    return reinterpret_cast<WindowEvents*>(GetWindowLongPtrA(dialog, GWLP_USERDATA))->EnterCommand();
}

// Runs in the modal loops of dialogs and message boxes before their keyboard handling.
LRESULT CALLBACK KeyboardRules(int code, WPARAM wParam, LPARAM lParam) {
    auto* msg = reinterpret_cast<MSG*>(lParam);
    if (code == MSGF_DIALOGBOX && msg != nullptr && msg->message == WM_KEYDOWN &&
        (msg->wParam == VK_RETURN || msg->wParam == VK_ESCAPE)) {
        // Bit 30: the key was down already. A key held down repeats into whichever window has the
        // focus, also into the main dialog once the box that took its first press has closed.
        if ((msg->lParam & (1 << 30)) != 0) {
            return 1;
        }
        HWND dialog = GetAncestor(msg->hwnd, GA_ROOT);
        // A control that wants the key (an open drop-down list) keeps it.
        const bool wanted = (SendMessageA(msg->hwnd, WM_GETDLGCODE, msg->wParam, lParam) &
                             (DLGC_WANTMESSAGE | DLGC_WANTALLKEYS)) != 0;
        if (msg->wParam == VK_RETURN && !wanted && IsOurDialog(dialog) &&
            GetWindowLongPtrA(dialog, GWLP_USERDATA) != 0 && GetKeyState(VK_MENU) >= 0) {
            const int id = EnterCommand(dialog, msg->hwnd);
            PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                         reinterpret_cast<LPARAM>(GetDlgItem(dialog, id)));
            return 1;
        }
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

} // namespace

void InitWindowing() {
    INITCOMMONCONTROLSEX controls{};
    controls.dwSize = sizeof controls;
    controls.dwICC = ICC_BAR_CLASSES | ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES;
    InitCommonControlsEx(&controls);
    static const HHOOK keyboardRules =
        SetWindowsHookExA(WH_MSGFILTER, KeyboardRules, nullptr, GetCurrentThreadId());
    static_cast<void>(keyboardRules); // for the life of the program
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

std::string GetItemText(NativeWindow hwnd, int id) {
    char text[1024] = {};
    GetDlgItemTextA(Hwnd(hwnd), id, text, sizeof text);
    return text;
}

void SetItemText(NativeWindow hwnd, int id, const std::string& text) {
    if (text != GetItemText(hwnd, id)) { // unchanged texts are left alone, so edits keep their caret
        SetDlgItemTextA(Hwnd(hwnd), id, text.c_str());
    }
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
    // Made once per button; the system frees the bitmaps when the program ends.
    if (SendMessageA(button, BM_GETIMAGE, IMAGE_BITMAP, 0) != 0) {
        return;
    }
    HINSTANCE instance = GetModuleHandleA(nullptr);
    HBITMAP bitmap = static_cast<HBITMAP>(
        LoadImageA(instance, MAKEINTRESOURCEA(bitmapId), IMAGE_BITMAP, 0, 0, LR_LOADMAP3DCOLORS));
    if (bitmap == nullptr) {
        return;
    }
    if ((GetWindowLongA(button, GWL_STYLE) & BS_BITMAP) == 0) {
        // A text button: the picture above the caption in the bitmap (32 x 32 pixels from x = 5),
        // scaled to the button's height less its frame, beside the text.
        constexpr int PictureLeft = 5, PictureSide = 32, Frame = 6, Largest = 30;
        RECT r{};
        GetClientRect(button, &r);
        const int side = std::max(8, std::min<int>(r.bottom - r.top - Frame, Largest));
        HDC screen = GetDC(nullptr);
        HDC from = CreateCompatibleDC(screen);
        HDC to = CreateCompatibleDC(screen);
        HBITMAP picture = CreateCompatibleBitmap(screen, side, side);
        HGDIOBJ oldFrom = SelectObject(from, bitmap);
        HGDIOBJ oldTo = SelectObject(to, picture);
        SetStretchBltMode(to, HALFTONE);
        SetBrushOrgEx(to, 0, 0, nullptr);
        StretchBlt(to, 0, 0, side, side, from, PictureLeft, 0, PictureSide, PictureSide, SRCCOPY);
        SelectObject(from, oldFrom);
        SelectObject(to, oldTo);
        DeleteDC(from);
        DeleteDC(to);
        ReleaseDC(nullptr, screen);
        DeleteObject(bitmap);
        bitmap = picture;
    }
    SendMessageA(button, BM_SETIMAGE, IMAGE_BITMAP, reinterpret_cast<LPARAM>(bitmap));
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

void FitStaticTexts(NativeWindow hwnd) {
    HWND dialog = Hwnd(hwnd);
    HFONT font = reinterpret_cast<HFONT>(SendMessageA(dialog, WM_GETFONT, 0, 0));
    RECT client{};
    GetClientRect(dialog, &client);
    HDC dc = GetDC(dialog);
    HGDIOBJ oldFont = SelectObject(dc, font);
    for (HWND child = GetWindow(dialog, GW_CHILD); child != nullptr; child = GetWindow(child, GW_HWNDNEXT)) {
        char className[16] = {};
        GetClassNameA(child, className, sizeof className);
        const LONG style = GetWindowLongA(child, GWL_STYLE);
        if (lstrcmpiA(className, "Static") != 0 || (style & SS_TYPEMASK) != SS_LEFT) {
            continue;
        }
        char text[512] = {};
        GetWindowTextA(child, text, sizeof text);
        RECT have{};
        GetClientRect(child, &have);
        RECT need = have;
        const UINT format =
            DT_CALCRECT | DT_WORDBREAK | DT_EXPANDTABS | ((style & SS_NOPREFIX) ? DT_NOPREFIX : 0);
        DrawTextA(dc, text, -1, &need, format);
        if (need.bottom <= have.bottom && need.right <= have.right) {
            continue;
        }
        // Wider until the wrapped text fits its height, at most to the dialog's right edge.
        RECT at{};
        GetWindowRect(child, &at);
        MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&at), 2);
        const int room = client.right - at.left - 2;
        int width = have.right;
        while (width < room) {
            width = std::min(room, width + 4);
            need = RECT{0, 0, width, 0};
            DrawTextA(dc, text, -1, &need, format);
            if (need.bottom <= have.bottom && need.right <= width) {
                break;
            }
        }
        SetWindowPos(child, nullptr, 0, 0, width, have.bottom, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    }
    SelectObject(dc, oldFont);
    ReleaseDC(dialog, dc);
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

NativeWindow CreateStatusBar(NativeWindow hwnd, int id, int minHeight) {
    HWND bar = CreateWindowExA(0, STATUSCLASSNAMEA, "", WS_CHILD | WS_VISIBLE, 0, 0, 0, 0, Hwnd(hwnd),
                               reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), GetModuleHandleA(nullptr),
                               nullptr);
    if (bar == nullptr) {
        return 0;
    }
    SendMessageA(bar, SB_SETMINHEIGHT, static_cast<WPARAM>(minHeight), 0);
    SendMessageA(bar, WM_SIZE, 0, 0);
    return reinterpret_cast<NativeWindow>(bar);
}

void SetStatusBar(NativeWindow barWindow, const std::vector<int>& rightEdges,
                  const std::vector<std::string>& texts) {
    HWND bar = Hwnd(barWindow);
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

NativeWindow CreateProgressBar(NativeWindow hwnd, int id, int left, int top, int width, int height) {
    HWND bar = CreateWindowExA(0, PROGRESS_CLASSA, "", WS_CHILD | WS_VISIBLE | PBS_SMOOTH, left, top, width,
                               height, Hwnd(hwnd), reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)),
                               GetModuleHandleA(nullptr), nullptr);
    if (bar != nullptr) {
        // Above the status bar, which it partly covers.
        SetWindowPos(bar, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    }
    return reinterpret_cast<NativeWindow>(bar);
}

void SetProgressBar(NativeWindow barWindow, int lower, int upper, int step, int pos) {
    HWND bar = Hwnd(barWindow);
    SendMessageA(bar, PBM_SETRANGE32, static_cast<WPARAM>(lower), upper);
    SendMessageA(bar, PBM_SETSTEP, static_cast<WPARAM>(step), 0);
    SendMessageA(bar, PBM_SETPOS, static_cast<WPARAM>(pos), 0);
}

void DestroyChild(NativeWindow child) {
    DestroyWindow(Hwnd(child));
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

void ShellFormatDrive(std::uint32_t driveNumber) {
    // No owner: the main dialog stays enabled while the format dialog is open.
    SHFormatDrive(nullptr, driveNumber, SHFMT_ID_DEFAULT, SHFMT_OPT_FULL);
}

void SetWaitCursor(bool wait) {
    SetCursor(LoadCursorA(nullptr, wait ? IDC_WAIT : IDC_ARROW));
}

WakeEvent::WakeEvent() : event_(CreateEventA(nullptr, FALSE, FALSE, nullptr)) {}

WakeEvent::~WakeEvent() {
    CloseHandle(event_);
}

void WakeEvent::Set() {
    SetEvent(event_);
}

void WakeEvent::ProcessMessagesUntilSet() {
    for (;;) {
        const DWORD woken =
            MsgWaitForMultipleObjectsEx(1, &event_, INFINITE, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
        if (woken == WAIT_OBJECT_0) {
            return;
        }
        MSG msg;
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            if (msg.message == WM_QUIT) {
                PostQuitMessage(static_cast<int>(msg.wParam)); // for the loop that owns it
                return;
            }
            const bool input = (msg.message >= WM_KEYFIRST && msg.message <= WM_KEYLAST) ||
                               (msg.message >= WM_MOUSEFIRST && msg.message <= WM_MOUSELAST);
            if (input) {
                continue; // dropped rather than kept, so that nothing starts once the command ends
            }
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
    }
}

} // namespace platform::win32
