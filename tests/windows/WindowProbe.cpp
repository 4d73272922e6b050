// Looks at the program's windows from outside, for the window tests. It reads requests from
// standard input, one a line, and answers each with one line (so that one Wine process serves a
// whole test); a window is named by its exact title, a control by its id:
//   center TITLE|ID      screen position of the control's centre, "x y" (ID "-": the window's)
//   text TITLE|ID        the control's text (ID "-": every static text of the window, " | " between)
//   status TITLE         the state text of the window's status bar (its part 0)
//   focus TITLE          the id of the control that has the keyboard focus
//   labels TITLE|FONT|POINTS  "ok N" when each of the N static texts fits its rectangle in the
//                        window's font (the template's, made as the dialog manager makes it: font
//                        handles do not cross processes), else what is cut ("cut: TEXT needs WxH
//                        in WxH; ...")
//   resources FILE       the version information and the application manifest of a program
// In answers a carriage return reads <CR> and a line feed <LF>. An answer that cannot be given
// starts with "error:".
#include <windows.h>

#include <commctrl.h>

#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

namespace {

// The text of a window of another process (GetWindowText gives only captions there).
std::string Text(HWND window) {
    char text[1024] = {};
    DWORD_PTR ignored = 0;
    SendMessageTimeoutA(window, WM_GETTEXT, sizeof text, reinterpret_cast<LPARAM>(text), SMTO_ABORTIFHUNG,
                        5000, &ignored);
    return text;
}

std::vector<HWND> Children(HWND window) {
    std::vector<HWND> children;
    for (HWND child = GetWindow(window, GW_CHILD); child != nullptr; child = GetWindow(child, GW_HWNDNEXT)) {
        children.push_back(child);
    }
    return children;
}

bool IsStaticText(HWND control) {
    char name[32] = {};
    GetClassNameA(control, name, sizeof name);
    const LONG type = GetWindowLongA(control, GWL_STYLE) & SS_TYPEMASK;
    return lstrcmpiA(name, "Static") == 0 && (type == SS_LEFT || type == SS_CENTER || type == SS_RIGHT) &&
           IsWindowVisible(control) && !Text(control).empty();
}

std::string Join(const std::vector<std::string>& parts) {
    std::string out;
    for (const std::string& part : parts) {
        out += (out.empty() ? "" : " | ") + part;
    }
    return out;
}

// Part 0 of the window's status bar, through WM_GETTEXT (the bar's own messages would hand a
// pointer of this process to another).
std::string StatusText(HWND window) {
    for (HWND child : Children(window)) {
        char name[32] = {};
        GetClassNameA(child, name, sizeof name);
        if (lstrcmpiA(name, STATUSCLASSNAMEA) == 0) {
            return Text(child);
        }
    }
    return "error: no status bar";
}

std::string Labels(HWND window, const std::string& face, int points) {
    HDC dc = GetDC(window);
    LOGFONTA description{};
    description.lfHeight = -MulDiv(points, GetDeviceCaps(dc, LOGPIXELSY), 72);
    description.lfWeight = FW_NORMAL;
    description.lfCharSet = DEFAULT_CHARSET;
    lstrcpynA(description.lfFaceName, face.c_str(), LF_FACESIZE);
    HFONT font = CreateFontIndirectA(&description);
    HGDIOBJ old = SelectObject(dc, font);
    std::string cut;
    int count = 0;
    for (HWND control : Children(window)) {
        if (!IsStaticText(control)) {
            continue;
        }
        ++count;
        const std::string text = Text(control);
        RECT have{};
        GetClientRect(control, &have);
        TEXTMETRICA metrics{};
        GetTextMetricsA(dc, &metrics);
        RECT need = have;
        if (have.bottom < 2 * metrics.tmHeight) {
            // One line: the text's own extent.
            SIZE size{};
            GetTextExtentPoint32A(dc, text.c_str(), static_cast<int>(text.size()), &size);
            need.right = size.cx;
            need.bottom = size.cy;
        } else {
            DrawTextA(dc, text.c_str(), -1, &need, DT_CALCRECT | DT_WORDBREAK | DT_NOPREFIX);
        }
        if (need.right > have.right || need.bottom > have.bottom) {
            cut += (cut.empty() ? "cut: " : "; ") + text + " needs " + std::to_string(need.right) + "x" +
                   std::to_string(need.bottom) + " in " + std::to_string(have.right) + "x" +
                   std::to_string(have.bottom);
        }
    }
    SelectObject(dc, old);
    DeleteObject(font);
    ReleaseDC(window, dc);
    return cut.empty() ? "ok " + std::to_string(count) : cut;
}

std::string Focus(HWND window) {
    GUITHREADINFO info{};
    info.cbSize = sizeof info;
    if (!GetGUIThreadInfo(GetWindowThreadProcessId(window, nullptr), &info) || info.hwndFocus == nullptr) {
        return "error: no focus";
    }
    return std::to_string(GetDlgCtrlID(info.hwndFocus));
}

std::string Resources(const std::string& file) {
    DWORD ignored = 0;
    std::vector<char> data(GetFileVersionInfoSizeA(file.c_str(), &ignored));
    if (data.empty() || !GetFileVersionInfoA(file.c_str(), 0, static_cast<DWORD>(data.size()), data.data())) {
        return "error: no version information";
    }
    std::string out;
    for (const char* name : {"CompanyName", "FileVersion", "ProductName", "ProductVersion"}) {
        char* value = nullptr;
        UINT length = 0;
        const std::string key = std::string("\\StringFileInfo\\040904B0\\") + name;
        if (VerQueryValueA(data.data(), key.c_str(), reinterpret_cast<void**>(&value), &length) &&
            length > 0) {
            out += std::string(name) + "=" + value + ";";
        }
    }
    HMODULE module = LoadLibraryExA(file.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    HRSRC manifest =
        module != nullptr ? FindResourceA(module, MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(24)) : nullptr;
    if (manifest != nullptr) {
        const auto* bytes = static_cast<const char*>(LockResource(LoadResource(module, manifest)));
        out += "manifest=" + std::string(bytes, SizeofResource(module, manifest));
    }
    if (module != nullptr) {
        FreeLibrary(module);
    }
    return out;
}

std::string Answer(const std::string& line) {
    const std::size_t space = line.find(' ');
    const std::string verb = line.substr(0, space);
    const std::string rest = space == std::string::npos ? std::string() : line.substr(space + 1);
    if (verb == "resources") {
        return Resources(rest);
    }
    // TITLE|ID, or TITLE|FONT|POINTS for labels.
    std::vector<std::string> fields;
    for (std::size_t start = 0;;) {
        const std::size_t bar = rest.find('|', start);
        fields.push_back(rest.substr(start, bar == std::string::npos ? std::string::npos : bar - start));
        if (bar == std::string::npos) {
            break;
        }
        start = bar + 1;
    }
    const std::string title = fields[0];
    const std::string id = verb == "labels" || fields.size() < 2 ? "-" : fields[1];
    HWND window = FindWindowA(nullptr, title.c_str());
    if (window == nullptr) {
        return "error: no window \"" + title + "\"";
    }
    HWND control = id == "-" ? window : GetDlgItem(window, std::stoi(id));
    if (control == nullptr) {
        return "error: no control " + id;
    }
    if (verb == "center") {
        RECT r{};
        GetWindowRect(control, &r);
        return std::to_string((r.left + r.right) / 2) + " " + std::to_string((r.top + r.bottom) / 2);
    }
    if (verb == "text") {
        if (control != window) {
            return Text(control);
        }
        std::vector<std::string> texts;
        for (HWND child : Children(window)) {
            if (IsStaticText(child)) {
                texts.push_back(Text(child));
            }
        }
        return Join(texts);
    }
    if (verb == "status") {
        return StatusText(window);
    }
    if (verb == "focus") {
        return Focus(window);
    }
    if (verb == "labels") {
        return fields.size() == 3 ? Labels(window, fields[1], std::stoi(fields[2]))
                                  : "error: labels TITLE|FONT|POINTS";
    }
    return "error: unknown request " + verb;
}

} // namespace

int main() {
    std::string line;
    while (std::getline(std::cin, line)) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        std::string answer;
        for (const char c : Answer(line)) {
            answer += c == '\r' ? "<CR>" : c == '\n' ? "<LF>" : std::string(1, c);
        }
        std::printf("%s\n", answer.c_str());
        std::fflush(stdout);
    }
    return 0;
}
