"""The desktop the window tests drive a program on: Xvfb with the openbox window manager on a
display Xvfb picks itself, xdotool for the mouse and keys, xwininfo for window geometry,
ImageMagick's import for screenshots, and x11_probe for the window's answers to the desktop.
Used by tests/gui (the Qt program) and tests/windows (the Windows program under Wine).
"""
import os
import shutil
import signal
import subprocess
import sys
import time

LIMIT_MS = 200.0


class Failure(Exception):
    pass


class Desktop:
    """Xvfb with openbox, on a display Xvfb picks itself."""

    def __init__(self, shots, size="1280x1024", wm_config=None):
        self.shots = shots
        self.on_close = []  # what to stop before the display goes (after a failure's screenshot)
        self.size = tuple(int(v) for v in size.split("x"))
        self.pid = 0  # of the program being driven
        read_fd, write_fd = os.pipe()
        self.xvfb = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_fd), "-screen", "0", size + "x24", "-nolisten", "tcp"],
            pass_fds=(write_fd,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(write_fd)
        number = b""
        with os.fdopen(read_fd, "rb") as pipe:
            while not number.endswith(b"\n"):
                chunk = pipe.read(1)
                if not chunk:
                    raise Failure("Xvfb did not start")
                number += chunk
        self.env = dict(os.environ)
        self.env["DISPLAY"] = ":" + number.decode().strip()
        self.env.pop("WAYLAND_DISPLAY", None)
        self.env["QT_QPA_PLATFORM"] = "xcb"
        self.wm = subprocess.Popen(["openbox"] + (["--config-file", wm_config] if wm_config else []),
                                   env=self.env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        # Start-up, not a measured answer: on a loaded machine (several window tests start their
        # desktops at once beside a build) openbox can take far longer than a window's answer may.
        self.wait(lambda: "_NET_SUPPORTING_WM_CHECK(WINDOW)" in self.run("xprop", "-root", check=False),
                  "openbox to manage the screen", timeout=90.0)

    def close(self):
        for stop in reversed(self.on_close):
            stop()
        for process in (self.wm, self.xvfb):
            if process.poll() is None:
                process.terminate()
                try:
                    process.wait(5)
                except subprocess.TimeoutExpired:
                    process.kill()

    def run(self, *command, check=True):
        result = subprocess.run(command, env=self.env, capture_output=True, text=True)
        if check and result.returncode != 0:
            raise Failure(f"{' '.join(command)} failed: {result.stderr.strip()}")
        return result.stdout

    # How long a window may take to appear or go. Not a measure of the program's answers (the
    # liveness checks time those against LIMIT_MS); it only has to outlast a loaded machine.
    WAIT_SECONDS = 45.0

    @staticmethod
    def wait(done, what, timeout=WAIT_SECONDS):
        deadline = time.monotonic() + timeout
        while True:
            value = done()
            if value:
                return value
            if time.monotonic() > deadline:
                raise Failure(f"timed out waiting for {what}")
            time.sleep(0.05)

    def windows(self, title):
        """Visible windows whose title is exactly title."""
        out = self.run("xdotool", "search", "--onlyvisible", "--name", f"^{title}$", check=False)
        return [int(w) for w in out.split()]

    def window(self, title, besides=(), timeout=WAIT_SECONDS):
        return self.wait(lambda: next((w for w in self.windows(title) if w not in besides), None),
                         f'the window "{title}"', timeout)

    def gone(self, window, timeout=WAIT_SECONDS):
        self.wait(lambda: window not in self.windows_any(), f"window {window} to close", timeout)

    def windows_any(self):
        """Visible windows of the program, popups included."""
        out = self.run("xdotool", "search", "--onlyvisible", "--pid", str(self.pid), check=False)
        return [int(w) for w in out.split()]

    def geometry(self, window):
        """Client area on the screen: x, y, width, height."""
        values = {}
        for line in self.run("xwininfo", "-id", str(window)).splitlines():
            key, _, value = line.strip().partition(":")
            values[key] = value.strip()
        return (int(values["Absolute upper-left X"]), int(values["Absolute upper-left Y"]),
                int(values["Width"]), int(values["Height"]))

    def frame(self, window):
        """The window with the frame the window manager put around it: x, y, width, height."""
        x, y, w, h = self.geometry(window)
        out = self.run("xprop", "-id", str(window), "_NET_FRAME_EXTENTS", check=False)
        left, right, top, bottom = ([int(v) for v in out.split("=")[1].split(",")] if "=" in out
                                    else (0, 0, 0, 0))
        return x - left, y - top, w + left + right, h + top + bottom

    def check_on_screen(self, window, what):
        x, y, w, h = self.frame(window)
        sw, sh = self.size
        if x < 0 or y < 0 or x + w > sw or y + h > sh:
            raise Failure(f"{what} at {w}x{h}+{x}+{y} does not fit the {sw}x{sh} screen")
        return f"{w}x{h}+{x}+{y}"

    def darkest(self, picture, x, y, w, h):
        """The darkest grey level (0 black to 1 white) in a rectangle of a screenshot."""
        return float(self.run("convert", picture, "-crop", f"{w}x{h}+{x}+{y}", "-colorspace", "gray",
                              "-format", "%[fx:minima]", "info:"))

    def click(self, x, y, button=1):
        self.run("xdotool", "mousemove", "--sync", str(x), str(y), "click", str(button))

    def type(self, text, delay_ms=20):
        self.run("xdotool", "type", "--delay", str(delay_ms), text)
        self.run("xdotool", "key", "Return")

    def shot(self, name, window=None):
        """The screen, or one window with its frame."""
        os.makedirs(self.shots, exist_ok=True)
        path = os.path.join(self.shots, name + ".png")
        self.run("import", "-window", "root", path)
        if window is not None:
            x, y, w, h = self.frame(window)
            self.run("convert", path, "-crop", f"{w}x{h}+{x}+{y}", "+repage", path)
        return path


def measure(probe, d, what, window, timeout_ms=2000):
    """Milliseconds the window took to answer a ping or to repaint once uncovered (None: no answer)."""
    out = subprocess.run([probe, what, str(window), str(timeout_ms)], env=d.env, capture_output=True, text=True)
    text = out.stdout.strip()
    return None if out.returncode != 0 else float(text)


def key_to_window(d, window, key):
    """A key sent to one window (xdotool key --window), as a program or a stray script would send it.
    Under Xvfb xdotool may leave the key held down in the server, which then repeats into
    whichever window has the focus; the caller lets it, then releases it with release_key."""
    d.run("xdotool", "key", "--window", str(window), key, check=False)


def release_key(d, key):
    d.run("xdotool", "keyup", key, check=False)


def probes_see_a_stopped_program(d, probe, pid, window):
    """The probes measure: a stopped program answers neither."""
    os.kill(pid, signal.SIGSTOP)
    try:
        stopped = (measure(probe, d, "ping", window, 500), measure(probe, d, "expose", window, 500))
    finally:
        os.kill(pid, signal.SIGCONT)
    if stopped != (None, None):
        raise Failure(f"a stopped program seemed to answer: {stopped}")


def click_until(d, click, title, what):
    """Clicks until a window with this title opens: a program busy with a slow card drops the
    clicks it gets meanwhile (its wait cursor says so)."""
    deadline = time.monotonic() + 120
    while time.monotonic() < deadline:
        click()
        try:
            return d.window(title, timeout=1)
        except Failure:
            pass
    raise Failure(f"{what} never answered a click")


def watch_liveness(d, probe, window, done, move_shot, click_held):
    """Samples the window's answers to a ping and to being uncovered until done(); meanwhile moves
    it once through the window manager and makes one click that must be held off (click_held).
    Returns the ping and repaint times, the seconds it took, and whether the move and the click
    happened before the end."""
    started = time.monotonic()
    pings, exposes = [], []
    moved = clicked = False
    while not done():
        if time.monotonic() - started > 120:
            raise Failure("the operation did not end with its box")
        pings.append(measure(probe, d, "ping", window))
        if done():
            break
        exposes.append(measure(probe, d, "expose", window))
        if len(pings) < 3:
            pass  # first let the operation get going
        elif not moved:
            x, y, _, _ = d.geometry(window)
            d.run("xdotool", "windowmove", str(window), str(x + 40), str(y + 30))
            d.wait(lambda: d.geometry(window)[:2] != (x, y), "the window to move", timeout=2)
            d.shot(move_shot)
            moved = True
        elif not clicked:
            click_held()
            clicked = True
        time.sleep(0.3)
    return pings, exposes, time.monotonic() - started, moved, clicked


def check_liveness(pings, exposes, took, moved, clicked, what):
    """Prints the figures of watch_liveness and fails unless the window answered every time
    within LIMIT_MS during an operation of at least 10 s."""
    def summary(values):
        answered = [v for v in values if v is not None]
        return (f"{len(values)} samples, max {max(answered):.1f} ms, mean {sum(answered) / len(answered):.1f} ms"
                if answered else f"{len(values)} samples, none answered")

    print(f"{what} took {took:.1f} s")
    print("ping:   " + summary(pings) + "  " + " ".join(f"{v:.1f}" if v else "timeout" for v in pings))
    print("expose: " + summary(exposes) + "  " + " ".join(f"{v:.1f}" if v else "timeout" for v in exposes))
    if took < 10.0:
        raise Failure(f"{what} took only {took:.1f} s; raise the call delay")
    if len(pings) < 5 or len(exposes) < 5:
        raise Failure("too few samples during the operation")
    late = [v for v in pings + exposes if v is None or v > LIMIT_MS]
    if late:
        raise Failure(f"the window answered later than {LIMIT_MS} ms: {late}")
    if not moved or not clicked:
        raise Failure("the operation ended before the move and the click were tried")


def main(options, modes, wm_config=None, tools=(), before=None, standalone=()):
    """The command line of a window test: MODE and --OPTION for each option (and --delay-ms);
    runs modes[MODE](args, desktop) on a fresh desktop (after before(args)), or modes[MODE](args)
    for a mode in standalone, which makes its own desktops. Exit code."""
    import argparse
    parser = argparse.ArgumentParser()
    parser.add_argument("mode", choices=sorted(modes))
    for name in options:
        parser.add_argument("--" + name, required=True)
    parser.add_argument("--delay-ms", type=int, default=20)
    args = parser.parse_args()
    if before is not None:
        before(args)
    os.makedirs(args.work, exist_ok=True)
    if args.mode in standalone:
        try:
            modes[args.mode](args)
        except Failure as failure:
            print(f"FAILED: {failure}", file=sys.stderr)
            return 1
        return 0
    return run(args.mode, lambda d: modes[args.mode](args, d), args.screenshots, wm_config, tools)


def run(mode, test, shots, wm_config=None, tools=()):
    """Runs test(desktop) on a fresh desktop; a failure leaves shots/failed-<mode>.png. Exit code."""
    for tool in ("Xvfb", "openbox", "xdotool", "xwininfo", "xprop", "import") + tuple(tools):
        if shutil.which(tool) is None:
            print(f"{tool} is missing (scripts/deps.sh installs it)", file=sys.stderr)
            return 1
    stale = os.path.join(shots, f"failed-{mode}.png")
    if os.path.exists(stale):
        os.remove(stale)
    d = Desktop(shots, wm_config=wm_config)
    try:
        test(d)
    except Failure as failure:
        try:
            d.shot(f"failed-{mode}")
        except Failure:
            pass
        print(f"FAILED: {failure}", file=sys.stderr)
        return 1
    finally:
        d.close()
    return 0
