// Looks at and pokes the program's windows from outside, for the window test:
//   window_probe TITLE CONTROL-ID        prints the screen position of the control's centre ("x y")
//   window_probe --syscommand TITLE ID   posts WM_SYSCOMMAND ID (a system-menu choice) to the window
//   window_probe --command TITLE ID      posts WM_COMMAND ID (as a click on that button) to the window
// Exit code 1 when the window or the control is not there.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

HWND Window(const char* title) {
    HWND window = FindWindowA(nullptr, title);
    if (window == nullptr) {
        std::fprintf(stderr, "no window \"%s\"\n", title);
    }
    return window;
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 4 && (std::strcmp(argv[1], "--syscommand") == 0 || std::strcmp(argv[1], "--command") == 0)) {
        HWND window = Window(argv[2]);
        const UINT message = std::strcmp(argv[1], "--syscommand") == 0 ? WM_SYSCOMMAND : WM_COMMAND;
        return window != nullptr && PostMessageA(window, message, std::strtoul(argv[3], nullptr, 0), 0) ? 0
                                                                                                        : 1;
    }
    if (argc != 3) {
        std::fprintf(stderr, "usage: window_probe [--syscommand|--command] TITLE ID\n");
        return 2;
    }
    HWND window = Window(argv[1]);
    if (window == nullptr) {
        return 1;
    }
    HWND control = GetDlgItem(window, std::atoi(argv[2]));
    RECT r{};
    if (control == nullptr || !GetWindowRect(control, &r)) {
        std::fprintf(stderr, "no control %s in \"%s\"\n", argv[2], argv[1]);
        return 1;
    }
    std::printf("%ld %ld\n", (r.left + r.right) / 2, (r.top + r.bottom) / 2);
    return 0;
}
