// Measures from outside how soon a window answers the desktop:
//   x11_probe ping WINDOW [TIMEOUT_MS]    sends _NET_WM_PING and waits for the pong on the root
//   x11_probe expose WINDOW [TIMEOUT_MS]  covers the window with a magenta window, uncovers it
//                                         and waits until no magenta is left where it was
// Prints the milliseconds it took; exit 1 on a timeout (printing "timeout"), 2 on bad use.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

double MsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

int MeasurePing(Display* display, Window window, int timeoutMs) {
    const Window root = DefaultRootWindow(display);
    // The pong goes to the root window for clients that watch its structure (and the window manager).
    XSelectInput(display, root, StructureNotifyMask | SubstructureNotifyMask);
    const Atom protocols = XInternAtom(display, "WM_PROTOCOLS", False);
    const Atom ping = XInternAtom(display, "_NET_WM_PING", False);
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = window;
    event.xclient.message_type = protocols;
    event.xclient.format = 32;
    event.xclient.data.l[0] = static_cast<long>(ping);
    event.xclient.data.l[1] = CurrentTime;
    event.xclient.data.l[2] = static_cast<long>(window);
    const auto start = Clock::now();
    XSendEvent(display, window, False, NoEventMask, &event);
    XFlush(display);
    while (MsSince(start) < timeoutMs) {
        while (XPending(display) > 0) {
            XEvent reply;
            XNextEvent(display, &reply);
            if (reply.type == ClientMessage && reply.xclient.message_type == protocols &&
                static_cast<Atom>(reply.xclient.data.l[0]) == ping &&
                static_cast<Window>(reply.xclient.data.l[2]) == window) {
                std::printf("%.1f\n", MsSince(start));
                return 0;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    std::printf("timeout\n");
    return 1;
}

// Magenta pixels left in the window's screen area (every second pixel of every second row).
long MagentaLeft(Display* display, int x, int y, unsigned w, unsigned h) {
    XImage* image = XGetImage(display, DefaultRootWindow(display), x, y, w, h, AllPlanes, ZPixmap);
    if (image == nullptr) {
        return -1;
    }
    long count = 0;
    for (unsigned row = 0; row < h; row += 2) {
        for (unsigned column = 0; column < w; column += 2) {
            if ((XGetPixel(image, static_cast<int>(column), static_cast<int>(row)) & 0xffffff) == 0xff00ff) {
                ++count;
            }
        }
    }
    XDestroyImage(image);
    return count;
}

int MeasureExpose(Display* display, Window window, int timeoutMs) {
    XWindowAttributes attributes;
    if (XGetWindowAttributes(display, window, &attributes) == 0) {
        return 2;
    }
    int x = 0;
    int y = 0;
    Window child;
    XTranslateCoordinates(display, window, DefaultRootWindow(display), 0, 0, &x, &y, &child);
    const auto w = static_cast<unsigned>(attributes.width);
    const auto h = static_cast<unsigned>(attributes.height);
    XSetWindowAttributes cover{};
    cover.override_redirect = True;
    cover.background_pixel = 0xff00ff;
    const Window coverWindow =
        XCreateWindow(display, DefaultRootWindow(display), x, y, w, h, 0, CopyFromParent, InputOutput,
                      CopyFromParent, CWOverrideRedirect | CWBackPixel, &cover);
    XMapRaised(display, coverWindow);
    XSync(display, False);
    // The cover is on the screen before it goes.
    const auto shown = Clock::now();
    while (MagentaLeft(display, x, y, w, h) == 0 && MsSince(shown) < 1000) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    XDestroyWindow(display, coverWindow);
    XSync(display, False);
    const auto start = Clock::now();
    while (MsSince(start) < timeoutMs) {
        if (MagentaLeft(display, x, y, w, h) == 0) {
            std::printf("%.1f\n", MsSince(start));
            return 0;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    std::printf("timeout\n");
    return 1;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: x11_probe ping|expose WINDOW [TIMEOUT_MS]\n");
        return 2;
    }
    const Window window = std::strtoul(argv[2], nullptr, 0);
    const int timeoutMs = argc > 3 ? std::atoi(argv[3]) : 5000;
    Display* display = XOpenDisplay(nullptr);
    if (display == nullptr) {
        std::fprintf(stderr, "x11_probe: cannot open the display\n");
        return 2;
    }
    const std::string what = argv[1];
    const int result = what == "ping"     ? MeasurePing(display, window, timeoutMs)
                       : what == "expose" ? MeasureExpose(display, window, timeoutMs)
                                          : 2;
    XCloseDisplay(display);
    return result;
}
