// window_probe.exe TITLE CONTROL-ID: prints the screen position of the centre of a control of
// the top-level window with that title ("x y"), for clicking on it from outside (xdotool);
// exit code 1 when the window or the control is not there.
#include <windows.h>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: window_probe TITLE CONTROL-ID\n");
        return 2;
    }
    HWND window = FindWindowA(nullptr, argv[1]);
    if (window == nullptr) {
        std::fprintf(stderr, "no window \"%s\"\n", argv[1]);
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
