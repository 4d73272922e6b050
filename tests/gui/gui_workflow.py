#!/usr/bin/env python3
"""The real flashkeeper3 on a simulated PC, on Xvfb with the openbox window manager, driven as a
person drives it: the mouse (and typing a file name) at screen positions through xdotool.
Results are read from outside: windows found by their titles, files on the simulated PC and
screenshots (one per step, in --screenshots).

  workflow  Select (Cancel; Esc sent to the dialog itself; again, choose the card in the list,
            OK), Backup (type a name, "Backup Complete."), Update (answer Yes), Restore (answer
            Yes), Initialize (format dialog), About from the system menu, Close from the system
            menu.
  liveness  A slow card (every file call delayed) makes a Backup take at least 10 s; meanwhile
            the window must answer the desktop's ping and repaint when uncovered within 200 ms,
            move when the window manager moves it, and ignore clicks.
  fit       On screens of 1280x800 and 1024x768 at scale factors 1, 1.5 and 2: every window the
            program opens (main window, About, Select and its list, Save As, Open, message boxes,
            the format dialog) lies on the screen with its frame, and the message box naming a
            251-character backup name keeps its text inside. Also saves the main window as the
            picture of the program (main-window.png).

Control positions come from gui_layout (the dialog templates in pixels, as the program computes
them) plus the window's position on the screen; nothing is a guessed pixel position.
"""
import json
import os
import shutil
import subprocess
import sys
import time

from desktop import (Desktop, Failure, check_liveness, click_until, key_to_window, main, probes_see_a_stopped_program,
                     release_key, watch_liveness)

class Program:
    """flashkeeper3 on the simulated PC, with the control positions of its dialogs."""

    def __init__(self, args, desktop, pc, delay_ms=0, scale=1):
        self.desktop = desktop
        self.scale = scale  # QT_SCALE_FACTOR: the layout's pixels are this many screen pixels
        layout = subprocess.run([args.layout], env=desktop.env, capture_output=True, text=True, check=True)
        self.layout = json.loads(layout.stdout)
        env = dict(desktop.env)
        env["VOXHARBOR_SIMULATED_PC"] = pc
        env["VOXHARBOR_SIM_CALL_DELAY_MS"] = str(delay_ms)
        if scale != 1:
            env["QT_SCALE_FACTOR"] = str(scale)
        self.process = subprocess.Popen([args.program], env=env)
        desktop.pid = self.process.pid
        self.main = desktop.window("ZEL VoxHarbor Utility", timeout=30)
        size = self.desktop.geometry(self.main)[2:]
        expected = [round(v * scale) for v in self.layout["147"]["size"]]
        if any(abs(a - b) > scale for a, b in zip(size, expected)):
            raise Failure(f"main window is {size}, the layout helper computed {expected}")

    def control(self, window, template, control_id):
        """Screen position of the centre of a template control."""
        x, y, _, _ = self.desktop.geometry(window)
        cx, cy, cw, ch = self.layout[str(template)]["controls"][str(control_id)]
        return x + round((cx + cw // 2) * self.scale), y + round((cy + ch // 2) * self.scale)

    def click_control(self, window, template, control_id):
        self.desktop.click(*self.control(window, template, control_id))

    def open_by(self, control_id, title):
        """Clicks a button of the main window until the window it opens comes: a click made while
        the last command is still ending is dropped, as the wait cursor says."""
        for _ in range(20):
            self.click_control(self.main, 147, control_id)
            try:
                return self.desktop.window(title, timeout=2)
            except Failure:
                pass
        raise Failure(f'no window "{title}" came for button {control_id}')

    def click_button(self, window, kind, text):
        """A button of a window laid out by Qt (message box, format dialog)."""
        x, y, w, h = self.desktop.geometry(window)
        from_middle, from_right, from_bottom = (round(v * self.scale) for v in self.layout[kind][text])
        bx = x + w - from_right if kind == "format" else x + w // 2 + from_middle
        self.desktop.click(bx, y + h - from_bottom)

    def answer(self, kind, text, shot=None):
        """Waits for the program's message box and clicks one of its buttons."""
        box = self.desktop.window("flashkeeper3", timeout=60)
        if shot:
            self.desktop.shot(shot)
        self.click_button(box, kind, text)
        self.desktop.gone(box)

    def system_menu(self, item_from_bottom):
        """Right click on the dialog's background, then an item counted from the menu's end."""
        known = set(self.desktop.windows_any())
        x, y, _, _ = self.desktop.geometry(self.main)
        self.desktop.click(x + 3, y + 3, button=3)
        menu = self.desktop.wait(lambda: next((w for w in self.desktop.windows_any() if w not in known), None),
                                 "the system menu")
        mx, my, mw, mh = self.desktop.geometry(menu)
        return menu, ((mx + mw // 2, my + mh - round(8 * self.scale)) if item_from_bottom
                      else (mx + mw // 2, my + round(10 * self.scale)))

    def select_card(self, shot_prefix, cancel_first=False, fits=None):
        d = self.desktop
        if cancel_first:
            self.click_control(self.main, 147, 1025)
            select = d.window("Select VoxHarbor Card")
            self.click_control(select, 148, 2)  # Cancel
            d.gone(select)
            # Esc sent to the dialog itself cancels it and never ends the main dialog, also when
            # it stays held down and repeats into the main dialog.
            self.click_control(self.main, 147, 1025)
            select = d.window("Select VoxHarbor Card")
            key_to_window(d, select, "Escape")
            d.gone(select)
            time.sleep(1.5)
            release_key(d, "Escape")
            if self.process.poll() is not None or self.main not in d.windows("ZEL VoxHarbor Utility"):
                raise Failure("Esc sent to the drive selection dialog ended the program")
        self.click_control(self.main, 147, 1025)
        select = d.window("Select VoxHarbor Card")
        d.shot(shot_prefix + "select-dialog")
        # The closed list is as high as a line of text at the top of its template rectangle.
        sx, sy, _, _ = d.geometry(select)
        lx, ly, lw, _ = self.layout["148"]["controls"]["1018"]
        known = set(d.windows_any())
        d.click(sx + round((lx + lw // 2) * self.scale), sy + round((ly + 8) * self.scale))
        popup = d.wait(lambda: next((w for w in d.windows_any() if w not in known), None), "the drive list")
        d.shot(shot_prefix + "select-list")
        if fits is not None:
            fits["Select"] = d.check_on_screen(select, "the Select dialog")
            fits["drive list"] = d.check_on_screen(popup, "the drive list")
        px, py, pw, ph = d.geometry(popup)
        d.click(px + pw // 2, py + ph // 4)  # the first of the two drives: the card E:
        d.gone(popup)
        self.click_control(select, 148, 1)
        d.gone(select)
        d.shot(shot_prefix + "card-selected")

    def wait_exit(self):
        try:
            code = self.process.wait(15)
        except subprocess.TimeoutExpired:
            raise Failure("the program did not end")
        if code != 0:
            raise Failure(f"the program ended with {code}")

    def kill(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()


def version_text(pc):
    """The card's slot-0 version file, exactly as stored (None when there is none)."""
    card = os.path.join(pc, "E")
    for folder, _, files in os.walk(card):
        for name in files:
            path = os.path.join(folder, name)
            relative = os.path.relpath(path, card).upper()
            if name.upper() == "VERSION.TXT" and relative.startswith(os.path.join("VM", "PROMPTS", "0", "0", "")):
                with open(path, "rb") as f:
                    return f.read()
    return None


def make_pc(args, name):
    pc = os.path.join(args.work, name)
    shutil.rmtree(pc, ignore_errors=True)
    subprocess.run([args.simpc, "create-demo", pc,
                    "--prompts", os.path.join(args.installation, "PromptUpdateVer1_2.vhp"),
                    "--data", os.path.join(args.installation, "InitializedFileStruct.vhb")], check=True,
                   stdout=subprocess.DEVNULL)
    return pc


def backup_file(pc, name):
    backup = os.path.join(pc, "C", "ZEL", "VoxHarbor", "Backup")
    return next((os.path.join(backup, f) for f in os.listdir(backup) if f.upper() == name.upper()), None)


def workflow(args, d):
    pc = make_pc(args, "workflow-pc")
    original = version_text(pc)
    if original is None:
        raise Failure("the demo card has no version file")
    p = Program(args, d, pc)
    try:
        d.shot("01-started")
        p.select_card("02-", cancel_first=True)

        p.click_control(p.main, 147, 1014)  # Backup
        save = d.window("Save As")
        d.shot("03-backup-save-dialog")
        d.type("WORKFLOW")
        d.gone(save)
        box = d.window("flashkeeper3", timeout=60)
        archive = backup_file(pc, "WORKFLOW.vhb")
        if archive is None:
            raise Failure("no WORKFLOW.vhb in the Backup folder when the box came")
        subprocess.run([args.vhbtool, "verify", archive], check=True, stdout=subprocess.DEVNULL)
        d.shot("04-backup-complete")
        p.click_button(box, "MB_OK", "OK")
        d.gone(box)

        # The same name in other letters is the same file: replacing it is asked first.
        p.click_control(p.main, 147, 1014)
        save = d.window("Save As")
        d.type("workflow")
        question = d.window("Save As", besides=[save])
        d.shot("04b-backup-replace-question")
        d.run("xdotool", "key", "alt+y")
        d.gone(question)
        d.gone(save)
        p.answer("MB_OK", "OK")
        backups = os.listdir(os.path.dirname(archive))
        if [f.upper() for f in backups] != ["WORKFLOW.VHB"]:
            raise Failure(f"the Backup folder holds {backups} after the backup over WORKFLOW.vhb")

        p.click_control(p.main, 147, 1005)  # Update: the card's prompts differ from the update's
        d.window("Open")
        d.shot("05-update-open-dialog")
        d.type("PromptUpdateVer1_2.vhp")
        p.answer("MB_YESNO", "Yes", shot="06-update-question")
        p.answer("MB_OK", "OK", shot="07-update-complete")
        updated = version_text(pc)
        if updated == original:
            raise Failure("the update did not change the card's prompts")

        p.click_control(p.main, 147, 1016)  # Restore the backup, prompts included
        d.window("Open")
        d.shot("08-restore-open-dialog")
        d.type("WORKFLOW.vhb")
        p.answer("MB_YESNOCANCEL", "Yes", shot="09-restore-question")
        p.answer("MB_OK", "OK", shot="10-restore-complete")
        if version_text(pc) != original:
            raise Failure("the restore did not bring the card's prompts back")

        p.click_control(p.main, 147, 1017)  # Initialize
        p.answer("MB_YESNO", "Yes", shot="11-initialize-question")
        p.answer("MB_OK", "OK", shot="12-initialize-advice")
        title = "Format Removable Disk \\(E:\\)"
        fmt = d.window(title)
        d.shot("13-format-dialog")
        p.click_button(fmt, "format", "Start")
        confirm = d.window(title, besides=[fmt])
        d.shot("14-format-confirm")
        p.click_button(confirm, "OKCANCEL", "OK")
        d.gone(confirm)
        done = d.window(title, besides=[fmt], timeout=60)
        d.shot("15-format-complete")
        p.click_button(done, "INFO", "OK")
        d.gone(done)
        p.click_button(fmt, "format", "Close")
        d.gone(fmt)
        # The initial file structure is installed after the format: prompts again, and the
        # card's other files gone.
        d.wait(lambda: version_text(pc) is not None, "the initial prompts on the card", timeout=60)
        d.shot("16-initialized")

        menu, about_item = p.system_menu(item_from_bottom=True)
        d.shot("17-system-menu")
        d.click(*about_item)
        about = d.window("About ZEL VoxHarbor Utility")
        d.shot("18-about")
        p.click_control(about, 100, 1)
        d.gone(about)

        menu, close_item = p.system_menu(item_from_bottom=False)
        d.click(*close_item)
        p.wait_exit()
    finally:
        p.kill()
    print(f"workflow done; screenshots in {args.screenshots}")


def liveness(args, d):
    pc = make_pc(args, "liveness-pc")
    p = Program(args, d, pc, delay_ms=args.delay_ms)
    try:
        p.select_card("live-01-")
        probes_see_a_stopped_program(d, args.probe, p.process.pid, p.main)
        # The selection goes on reading the slow card after its dialog closes: Backup answers
        # once it has ended.
        save = click_until(d, lambda: p.click_control(p.main, 147, 1014), "Save As", "Backup")
        d.shot("live-02-backup-save-dialog")
        d.type("SLOW")
        d.gone(save)
        # A click on Restore while the backup runs is held off, not kept for later.
        figures = watch_liveness(d, args.probe, p.main, lambda: bool(d.windows("flashkeeper3")),
                                 "live-03-moved-during-backup", lambda: p.click_control(p.main, 147, 1016))
        if p.process.poll() is not None:
            raise Failure("the program ended during the backup")
        d.shot("live-04-backup-complete")
        p.answer("MB_OK", "OK")
        time.sleep(1.0)
        if d.windows("Open"):
            raise Failure("a click made during the backup opened the Restore dialog afterwards")
        menu, close_item = p.system_menu(item_from_bottom=False)
        d.click(*close_item)
        p.wait_exit()
    finally:
        p.kill()
    check_liveness(*figures, f"backup on the slow card (call delay {args.delay_ms} ms)")


# The screens and scale factors the windows must fit, and the name of a backup whose path is
# too long to be written (251 characters, with ".vhb" and ".tmp" more than a file name may be).
FIT_SCREENS = ("1280x800", "1024x768")
FIT_SCALES = (1, 1.5, 2)
LONG_NAME = "B" * 251


def fit_once(args, d, pc, scale, prefix):
    """Opens every window on one screen at one scale; returns each window's frame on the screen."""
    fits = {}
    p = Program(args, d, pc, scale=scale)
    try:
        fits["main window"] = d.check_on_screen(p.main, "the main window")
        menu, about_item = p.system_menu(item_from_bottom=True)
        fits["system menu"] = d.check_on_screen(menu, "the system menu")
        d.click(*about_item)
        about = d.window("About ZEL VoxHarbor Utility")
        fits["About"] = d.check_on_screen(about, "the About box")
        p.click_control(about, 100, 1)
        d.gone(about)
        p.select_card(prefix, fits=fits)
        if scale == 1.5 and d.size == (1280, 800):
            d.shot("main-window", window=p.main)

        save = p.open_by(1014, "Save As")  # Backup, under a name too long to be written
        fits["Save As"] = d.check_on_screen(save, "the Save As dialog")
        d.shot(prefix + "save-as")
        d.type(LONG_NAME, delay_ms=2)
        d.gone(save)
        box = d.window("flashkeeper3", timeout=60)
        fits["message box"] = d.check_on_screen(box, "the message box")
        # Its text is black on the grey face: some must show, and none may reach the right edge.
        picture = d.shot(prefix + "long-path")
        x, y, w, h = d.geometry(box)
        text_height = h - round(45 * scale)  # above the button row
        edge = round(5 * scale)
        if d.darkest(picture, x + 2, y + 2, w // 2, text_height) > 0.3:
            raise Failure("no text in the message box")
        if d.darkest(picture, x + w - edge, y + 2, edge - 1, text_height) < 0.5:
            raise Failure(f"the message box's text runs past its right edge (see {picture})")
        p.click_button(box, "MB_OK", "OK")
        d.gone(box)

        opened = p.open_by(1016, "Open")  # Restore: the open dialog, cancelled
        fits["Open"] = d.check_on_screen(opened, "the Open dialog")
        d.shot(prefix + "open")
        d.run("xdotool", "key", "Escape")
        d.gone(opened)

        box = p.open_by(1017, "flashkeeper3")  # Initialize: its question and advice, the format dialog
        fits["question"] = d.check_on_screen(box, "the Initialize question")
        p.click_button(box, "MB_YESNO", "Yes")
        d.gone(box)
        p.answer("MB_OK", "OK")
        fmt = d.window("Format Removable Disk \\(E:\\)")
        fits["format dialog"] = d.check_on_screen(fmt, "the format dialog")
        d.shot(prefix + "format")
        p.click_button(fmt, "format", "Close")
        d.gone(fmt)

        menu, close_item = p.system_menu(item_from_bottom=False)
        d.click(*close_item)
        p.wait_exit()
    except Failure:
        d.shot("failed-fit")
        raise
    finally:
        p.kill()
    return fits


def fit(args):
    pc = make_pc(args, "fit-pc")
    # A backup for the file dialogs to list, with its size, type and date.
    shutil.copy(os.path.join(args.installation, "InitializedFileStruct.vhb"),
                os.path.join(pc, "C", "ZEL", "VoxHarbor", "Backup", "INITIAL.vhb"))
    table = []
    for size in FIT_SCREENS:
        for scale in FIT_SCALES:
            d = Desktop(args.screenshots, size)
            try:
                fits = fit_once(args, d, pc, scale, f"fit-{size}-{scale}-")
            except Failure as failure:
                raise Failure(f"{size} at scale {scale}: {failure}")
            finally:
                d.close()
            table.append((size, scale, fits))
    print("window frames on the screen (width x height + x + y):")
    for size, scale, fits in table:
        print(f"  {size} scale {scale}: " + ", ".join(f"{k} {v}" for k, v in fits.items()))


if __name__ == "__main__":
    sys.exit(main(("program", "simpc", "vhbtool", "layout", "probe", "installation", "work", "screenshots"),
                  {"workflow": workflow, "liveness": liveness, "fit": fit}, standalone=("fit",)))
