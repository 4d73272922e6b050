#!/usr/bin/env python3
"""The installed Windows program under Wine, on Xvfb with the openbox window manager, driven as a
person drives it: the mouse at the screen positions of its controls and real key presses, on a
removable drive E: holding a demo card of a VoxHarbor size (a file system of 128,974,848 bytes,
mounted in a mount namespace of the test's own, so that it goes away with the test).
Results are read from outside: window titles and texts (window_probe), the card's folder, the
backups checked with vhbtool, screenshots of every step (in --screenshots), no crash dialog.

  workflow  Enter right after start (Backup, which asks for a card), Select (Esc sent to the
            dialog itself; again, choose the card, OK), Backup to a new name, the card changed,
            Restore answered No and Yes, Update, a damaged archive refused, Initialize (the format dialog, which Wine does not have, then with
            the prompts gone), About from the system menu, Close from the system menu.
  liveness  Every file call delayed makes a Backup take at least 10 s; meanwhile the window must
            answer the desktop's ping and repaint when uncovered within 200 ms, move when the
            window manager moves it, and ignore clicks.
"""
import glob
import os
import shutil
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "gui"))
from desktop import (Failure, check_liveness, click_until, key_to_window, main,  # noqa: E402
                     probes_see_a_stopped_program, release_key, watch_liveness)

WINE_RUN = os.path.join(HERE, "..", "..", "cmake", "wine-run.sh")
PROGRAM = "C:\\ZEL\\VoxHarbor\\flashkeeper3.exe"
MAIN, SELECT, ABOUT, BOX = "ZEL VoxHarbor Utility", "Select VoxHarbor Card", "About ZEL VoxHarbor Utility", "flashkeeper3"
CRASH_TITLES = ("Program Error", "Wine Debugger")
CARD_BYTES = 128_974_848
IDOK, IDCANCEL, IDYES, IDNO = 1, 2, 6, 7
SELECT_BUTTON, BACKUP, RESTORE, UPDATE, INITIALIZE = 1025, 1014, 1016, 1005, 1017
STATUS, DEVICE, TYPE, PROMPT = 1066, 1067, 1065, 1064
DAMAGED = "is damaged or is not a VoxHarbor greeting & data file.  The VoxHarbor card has not been changed."


def question(archive, card):
    return (f"The Prompt Update is version {archive} and the VoxHarbor Card prompts are version {card}.  "
            f"Would you like to replace the VoxHarbor Card prompts with version {archive}?")


def own_mount_namespace():
    """Runs this script again in a mount namespace of its own (as a mapped root unless it is root);
    False when the system offers none."""
    if os.environ.get("FK_CARD_NAMESPACE") == "1":
        return True
    command = ["unshare", "--mount", "--propagation", "private"] + ([] if os.geteuid() == 0 else ["--map-root-user"])
    if shutil.which("unshare") is None or subprocess.run(command + ["true"], capture_output=True).returncode != 0:
        return False
    os.execvpe("unshare", command + [sys.executable] + sys.argv, dict(os.environ, FK_CARD_NAMESPACE="1"))
    return True  # not reached


def tree(folder):
    """Every folder (None) and file (its bytes) below folder, by relative path."""
    found = {}
    for here, folders, files in os.walk(folder):
        for name in folders:
            found[os.path.relpath(os.path.join(here, name), folder)] = None
        for name in files:
            if name != ".windows-label":
                with open(os.path.join(here, name), "rb") as f:
                    found[os.path.relpath(os.path.join(here, name), folder)] = f.read()
    return found


def differences(have, want):
    return sorted(set(have) ^ set(want)) + sorted(k for k in set(have) & set(want) if have[k] != want[k])


class Wine:
    """The prefix with the installed program: its drive E: is the card folder (a removable drive,
    as a card reader's is); window_probe answers about its windows."""

    def __init__(self, args, d, card):
        self.args, self.d = args, d
        self.env = dict(d.env, WINEPREFIX=args.prefix)
        self.card = card
        self.wine("reg", "add", "HKLM\\Software\\Wine\\Drives", "/v", "e:", "/t", "REG_SZ", "/d", "floppy", "/f")
        link = os.path.join(args.prefix, "dosdevices", "e:")
        if os.path.lexists(link):
            os.remove(link)
        os.symlink(card, link)
        # Wine reads its drives when its server starts.
        self.stop()
        self.probe = None
        self.program = None
        d.on_close.append(self.end)

    def wine(self, *command, extra_env=None):
        subprocess.run([WINE_RUN, self.args.prefix] + list(command), env=dict(self.env, **(extra_env or {})),
                       check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def stop(self):
        subprocess.run(["wineserver", "-k"], env=self.env, stderr=subprocess.DEVNULL)
        subprocess.run(["wineserver", "-w"], env=self.env, stderr=subprocess.DEVNULL)

    def start(self, delay_ms=0):
        env = dict(self.env, VOXHARBOR_SIM_CALL_DELAY_MS=str(delay_ms))
        log = open(os.path.join(self.args.work, "program.log"), "w")
        self.program = subprocess.Popen([WINE_RUN, self.args.prefix, PROGRAM], env=env, stdout=log, stderr=log)
        self.d.pid = self.program.pid
        main = self.d.window(MAIN, timeout=120)
        self.probe = subprocess.Popen([WINE_RUN, self.args.prefix, self.args.probe], env=self.env, text=True,
                                      stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=log)
        return main

    def ask(self, request):
        self.probe.stdin.write(request + "\n")
        self.probe.stdin.flush()
        answer = self.probe.stdout.readline()
        if not answer or answer.startswith("error:"):
            raise Failure(f"window_probe {request}: {answer.strip() or 'no answer'}")
        return answer.rstrip("\r\n").replace("<CR>", "\r").replace("<LF>", "\n")

    def text(self, title, control="-"):
        return self.ask(f"text {title}|{control}")

    def click(self, title, control="-"):
        x, y = self.ask(f"center {title}|{control}").split()
        self.d.click(int(x), int(y))

    def key(self, *keys):
        self.d.run("xdotool", "key", "--delay", "100", *keys)

    def no_crash(self):
        for title in CRASH_TITLES:
            if self.d.windows(title):
                raise Failure(f'a crash dialog "{title}" appeared')
        if self.program.poll() is not None:
            raise Failure(f"the program ended ({self.program.returncode})")

    def expect(self, title, control, want):
        have = self.text(title, control)
        if have != want:
            raise Failure(f'{title} control {control} reads "{have}", not "{want}"')

    def fits(self, title, font="MS Sans Serif"):
        """Every static text of the window fits its rectangle in the template's font (8 points)."""
        answer = self.ask(f"labels {title}|{font}|8")
        if not answer.startswith("ok"):
            raise Failure(f'{title}: {answer}')

    def answer(self, text, button, shot, contains=False):
        """Waits for the program's message box, checks its text and clicks one of its buttons."""
        box = self.d.window(BOX, timeout=60)
        have = self.text(BOX)
        if (text not in have) if contains else (have != text):
            raise Failure(f'the box says "{have}", not "{text}"')
        self.d.shot(shot)
        self.click(BOX, button)
        self.d.gone(box)
        self.no_crash()

    def status(self):
        return self.ask(f"status {MAIN}")

    def system_menu(self, *keys):
        """Alt+Space opens the system menu; then its keys."""
        self.key("alt+space")
        time.sleep(0.5)
        self.key(*keys)

    def close(self, *keys):
        """Ends the program by keys (Close from the system menu unless given); it must end with 0."""
        self.system_menu("c") if not keys else self.key(*keys)
        try:
            code = self.program.wait(30)
        except subprocess.TimeoutExpired:
            raise Failure(f"the program did not end on {keys or 'Close'}")
        if code != 0:
            raise Failure(f"the program ended with {code}")

    def end(self):
        if self.probe is not None:
            self.probe.stdin.close()
            self.probe.kill()
        if self.program is not None and self.program.poll() is None:
            self.program.kill()
        self.stop()


def make_card(args, card):
    """The demo card's files on a file system of a VoxHarbor 8 Hour card's size; the size it has."""
    os.makedirs(card, exist_ok=True)
    subprocess.run(["umount", card], stderr=subprocess.DEVNULL)
    mounted = subprocess.run(["mount", "-t", "tmpfs", "-o", f"size={CARD_BYTES}", "fkcard", card],
                             capture_output=True).returncode == 0
    for entry in os.listdir(card):
        path = os.path.join(card, entry)
        shutil.rmtree(path) if os.path.isdir(path) and not os.path.islink(path) else os.remove(path)
    demo = os.path.join(args.work, "demo")
    shutil.rmtree(demo, ignore_errors=True)
    subprocess.run([args.simpc, "create-demo", demo], check=True, stdout=subprocess.DEVNULL)
    shutil.copytree(os.path.join(demo, "E", "VM"), os.path.join(card, "VM"))
    with open(os.path.join(card, ".windows-label"), "w") as f:
        f.write("VOXCARD")
    info = os.statvfs(card)
    return mounted, info.f_blocks * info.f_frsize


def backup_path(args, name):
    folder = os.path.join(args.prefix, "drive_c", "ZEL", "VoxHarbor", "Backup")
    return next((os.path.join(folder, f) for f in os.listdir(folder) if f.upper() == name.upper()), None)


def verify(args, archive, good=True):
    ok = subprocess.run([args.vhbtool, "verify", archive], capture_output=True).returncode == 0
    if ok != good:
        raise Failure(f"vhbtool verify {archive}: {'refused' if good else 'accepted'} it")


def version_file(card):
    path = os.path.join(card, "VM", "PROMPTS", "0", "0", "0", "VERSION.TXT")
    if not os.path.exists(path):
        return None
    with open(path, "rb") as f:
        return f.read()


def setup(args, d):
    card = os.path.join(args.work, "card")
    mounted, size = make_card(args, card)
    if mounted and size != CARD_BYTES:
        raise Failure(f"the card's file system has {size} bytes, not {CARD_BYTES}")
    w = Wine(args, d, card)
    # A hidden file, as the demo card has; Restore must replace such files.
    w.wine("cmd", "/c", "attrib", "+h", "E:\\VM\\SYSTEM.LOG")
    return w, card, "VoxHarbor 8 Hour" if mounted else "Unknown Card Type"


def choose_card(w, d, shot_prefix):
    w.click(MAIN, SELECT_BUTTON)
    select = d.window(SELECT)
    w.fits(SELECT, "MS Shell Dlg")
    d.shot(shot_prefix + "select-dialog")
    w.click(SELECT, 1018)  # the drop-down list opens; Enter takes its item
    time.sleep(0.5)
    d.shot(shot_prefix + "select-list")
    w.key("Return")
    w.expect(SELECT, 1018, "VOXCARD (E:)")
    w.click(SELECT, IDOK)
    d.gone(select)
    w.no_crash()


def initialize(w, question_shot, advice_shot):
    """Initialize up to the format dialog (which Wine's shell does not have)."""
    w.click(MAIN, INITIALIZE)
    w.answer("You are about to re-format the VoxHarbor card.  Do you want to continue?", IDYES,
             f"{question_shot}-initialize-question")
    w.answer("The next dialog will show the Format options.  Please select the 'FAT' (not 'FAT32') for the "
             "File System type.  The 'FAT' option must be selected or the VoxHarbor card will not work in "
             "the system.", IDOK, f"{advice_shot}-format-advice")


def forget_shots(args, pattern):
    for old in glob.glob(os.path.join(args.screenshots, pattern)):
        os.remove(old)


def workflow(args, d):
    forget_shots(args, "[0-9][0-9]-*.png")
    w, card, card_type = setup(args, d)
    main = w.start()
    time.sleep(1)
    for exe in ("flashkeeper3.exe", "vhbtool.exe"):
        resources = w.ask(f"resources C:\\ZEL\\VoxHarbor\\{exe}")
        for part in ("CompanyName=ZEL;", "FileVersion=1.2;", "ProductName=ZEL VoxHarbor Utility;",
                     "Microsoft.Windows.Common-Controls", 'level="asInvoker"', "PerMonitorV2"):
            if part not in resources:
                raise Failure(f"{exe} lacks {part} in its resources: {resources}")
    w.fits(MAIN)
    w.expect(MAIN, STATUS, "Card Not Selected")
    if w.ask(f"focus {MAIN}") != str(BACKUP):
        raise Failure("the focus does not start on Backup")
    d.shot("01-started")
    # Enter right after start presses Backup, which the focus is on.
    w.key("Return")
    w.answer("Please select a device.", IDOK, "02-enter-pressed-backup")

    # Select: Esc sent to the dialog itself cancels it and never ends the program, also when
    # it stays held down and repeats into the main dialog; then the card is chosen.
    w.click(MAIN, SELECT_BUTTON)
    select = d.window(SELECT)
    key_to_window(d, select, "Escape")
    d.gone(select)
    time.sleep(1.5)
    release_key(d, "Escape")
    w.no_crash()
    choose_card(w, d, "03-")
    for control, want in ((STATUS, "Ready"), (DEVICE, "VOXCARD (E:)"), (TYPE, card_type), (PROMPT, "1.10\r")):
        w.expect(MAIN, control, want)
    d.shot("04-card-selected")

    # Backup to a new name.
    w.click(MAIN, BACKUP)
    save = d.window("Save As")
    d.shot("05-backup-save-dialog")
    d.type("WINFLOW.vhb")
    d.gone(save)
    d.window(BOX, timeout=120)
    archive = backup_path(args, "WINFLOW.vhb")
    if archive is None:
        raise Failure(f'no backup in the Backup folder; the box says "{w.text(BOX)}"')
    verify(args, archive)
    backed_up = tree(card)
    w.answer("Backup Complete.", IDOK, "06-backup-complete")
    if w.status() != "Ready":
        raise Failure(f"the status bar reads {w.status()} after the backup")

    # The card changes: a message gone, a greeting and the mailbox file changed (the latter
    # read-only, hidden and system), a new file, and other prompts (version 1.20).
    os.remove(os.path.join(card, "VM", "MSG", "100", "M0001.VOX"))
    with open(os.path.join(card, "VM", "GREET", "100", "G0001.VOX"), "wb") as f:
        f.write(b"a new greeting")
    with open(os.path.join(card, "VM", "MBOX.DAT"), "wb") as f:
        f.write(b"999\r\n")
    with open(os.path.join(card, "VM", "NEW.TXT"), "wb") as f:
        f.write(b"new")
    with open(os.path.join(card, "VM", "PROMPTS", "0", "0", "0", "VERSION.TXT"), "wb") as f:
        f.write(b"0120\r\n")
    w.wine("cmd", "/c", "attrib", "+r", "+h", "+s", "E:\\VM\\MBOX.DAT")

    # Restore answered No (messages and greetings back, the card's own prompts kept), then Yes
    # (the backup's prompts too).
    new_file = {os.path.join("VM", "NEW.TXT"): b"new"}
    version = {os.path.join("VM", "PROMPTS", "0", "0", "0", "VERSION.TXT"): b"0120\r\n"}
    for answer, shots, want, prompts in ((IDNO, ("07", "08", "09"), dict(backed_up, **new_file, **version), "1.20\r"),
                                         (IDYES, ("10", "11", "12"), dict(backed_up, **new_file), "1.10\r")):
        w.click(MAIN, RESTORE)
        d.window("Open")
        d.shot(f"{shots[0]}-restore-open-dialog")
        d.type("WINFLOW.vhb")
        said = "yes" if answer == IDYES else "no"
        w.answer(question("1.10\r", "1.20\r"), answer, f"{shots[1]}-restore-question-{said}")
        w.answer("Restore Complete.", IDOK, f"{shots[2]}-restore-{said}-complete")
        if differences(tree(card), want):
            raise Failure(f"after Restore ({shots}) the card differs in {differences(tree(card), want)}")
        w.expect(MAIN, PROMPT, prompts)

    # Update: the shipped prompts, version 1.20.
    w.click(MAIN, UPDATE)
    d.window("Open")
    d.shot("13-update-open-dialog")
    d.type("PromptUpdateVer1_2.vhp")
    w.answer(question("1.20", "1.10\r"), IDYES, "14-update-question")
    w.answer("Prompt Update complete.", IDOK, "15-update-complete")
    if not (version_file(card) or b"").startswith(b"0120"):
        raise Failure(f"the update left the version file {version_file(card)}")
    w.expect(MAIN, PROMPT, "1.20")

    # A damaged archive (the backup cut short, as a failed copy leaves it) is refused and the
    # card stays as it is.
    damaged = os.path.join(os.path.dirname(archive), "DAMAGED.vhb")
    with open(archive, "rb") as f:
        data = f.read()
    with open(damaged, "wb") as f:
        f.write(data[:len(data) // 2])
    verify(args, damaged, good=False)
    before = tree(card)
    w.click(MAIN, RESTORE)
    d.window("Open")
    d.type("DAMAGED.vhb")
    w.answer(DAMAGED, IDOK, "16-damaged-archive-refused", contains=True)
    if differences(tree(card), before):
        raise Failure(f"the damaged archive changed the card: {differences(tree(card), before)}")

    # Initialize: Wine has no format dialog, so the format reads as cancelled: a card that
    # keeps its prompts gets nothing installed...
    initialize(w, "17", "18")
    d.wait(lambda: w.status() == "Ready", "the status bar to read Ready", timeout=60)
    time.sleep(1)
    if d.windows(BOX) or differences(tree(card), before):
        raise Failure("Initialize without a format changed the card or said something")
    d.shot("19-initialize-kept-prompts")
    # ...a card without prompts gets the initial file structure.
    shutil.rmtree(os.path.join(card, "VM", "PROMPTS"))
    initialize(w, "20", "21")
    d.wait(lambda: version_file(card) is not None and w.status() == "Ready",
           "the initial prompts on the card", timeout=60)
    w.expect(MAIN, PROMPT, "1.10")
    d.shot("22-initialized")
    w.no_crash()

    # About from the system menu (its last item), then Close from it.
    w.system_menu("Up", "Return")
    about = d.window(ABOUT)
    w.fits(ABOUT)
    w.expect(ABOUT, "-", "Version 1.2")
    d.shot("23-about")
    w.click(ABOUT, IDOK)
    d.gone(about)
    w.no_crash()
    d.shot("24-before-close")
    w.close()
    if main in d.windows(MAIN):
        raise Failure("the main window stayed after Close")
    print(f"workflow done; screenshots in {args.screenshots}")


def liveness(args, d):
    forget_shots(args, "live-*.png")
    w, card, _ = setup(args, d)
    main = w.start(delay_ms=args.delay_ms)
    choose_card(w, d, "live-01-")
    probes_see_a_stopped_program(d, args.x11_probe, w.program.pid, main)
    # The selection goes on reading the slow card after its dialog closes: Backup answers once it
    # has ended.
    save = click_until(d, lambda: w.click(MAIN, BACKUP), "Save As", "Backup")
    d.shot("live-02-backup-save-dialog")
    d.type("SLOW")
    d.gone(save)
    figures = watch_liveness(d, args.x11_probe, main, lambda: bool(d.windows(BOX)),
                             "live-03-moved-during-backup", lambda: w.click(MAIN, RESTORE))
    w.no_crash()
    w.answer("Backup Complete.", IDOK, "live-04-backup-complete")
    verify(args, backup_path(args, "SLOW.vhb"))
    time.sleep(1.0)
    if d.windows("Open"):
        raise Failure("a click made during the backup opened the Restore dialog afterwards")
    # With the focus in a read-only field, Enter is the hidden Exit command.
    w.click(MAIN, STATUS)
    w.close("Return")
    check_liveness(*figures, f"backup on the slowed card under Wine (call delay {args.delay_ms} ms)")


def own_card_namespace(args):
    if not own_mount_namespace():
        print("no mount namespace: the card is a plain folder of the build machine's size")


if __name__ == "__main__":
    sys.exit(main(("prefix", "probe", "simpc", "vhbtool", "x11-probe", "installation", "work", "screenshots"),
                  {"workflow": workflow, "liveness": liveness}, os.path.join(HERE, "openbox-rc.xml"),
                  ("wine", "wineserver"), own_card_namespace))
