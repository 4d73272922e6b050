"""The powercut step of the VM stage: power cuts in the middle of a Backup, an Initialize and a
Restore of a card filled with messages, on the real card stack and a real PC disk.

One guest runs the operations (operations_tests, PowerCutOn, FK_VM_POWERCUT): a backup, the
earlier archive; a second backup under the same name after one message changed; an initialise
and a restore of the second backup, twice. The C:\\ZEL tree with its Backup folder lies on an
ext4 virtio disk. While the second run of each operation goes on, the host stops the guest at
instants spread over the time the first run took (freeze) and copies the card and the PC disk:
what a cut then leaves. The restore's last cut is a real one: QEMU is ended at once. A second,
fresh guest then takes the cards left by the cuts in turn as newly inserted cards and checks:
  card      the kernel mounts it, and fsck.fat repairs a copy to clean;
  start-up  the dialog selects it and shows the version the card holds (read with mtools), or
            none;
  repair    a restore of the second backup completes, and the card then equals that archive
            entry by entry (mtools: attributes, write times, contents), as after an uninterrupted
            restore;
  archive   the Backup folder (e2fsck on a copy of the PC disk, then debugfs) holds under the
            chosen name the earlier archive or the new one, byte for byte, nothing else.
"""

import hashlib
import itertools
import os
import re
import shutil
import subprocess
import threading
import time

from .guest import PULL_LEFTOVER, Guest, GuestError, ReaderSpeed

# The smallest card FAT16 takes, as the system formats it, with the demo card's files and a few
# messages: every check restores it, and a restore's time goes by the files more than by bytes.
CARD_BYTES = 16 * 1024 * 1024
MESSAGES = 6
DISK_BYTES = 32 * 1024 * 1024
# Cuts in the second run of each operation, spread evenly over the time the first run took (the
# second backup is quicker: its card is read from memory); the restore's last is the real one.
# The guest's card reader runs at a real reader's speed.
CUTS = {"backup": 10, "initialize": 7, "restore": 8}
# The Prompt field for each version file the operations write; "No Prompts" without one.
VERSIONS = {b"0110\r\n": "1.10\r", b"0100\n": "1.00", None: "No Prompts"}


def sh(args, **kw):
    return subprocess.run(args, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, **kw)


def make_images(work):
    card = os.path.join(work, "card.img")
    disk = os.path.join(work, "pc.img")
    for path in (card, disk):
        if os.path.exists(path):
            os.remove(path)
    subprocess.run(["mkfs.fat", "-F", "16", "-n", "VOXCARD", "-C", card, str(CARD_BYTES // 1024)],
                   check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["mkfs.ext4", "-q", "-F", "-L", "PC", disk, str(DISK_BYTES // 1024) + "k"], check=True)
    return card, disk


def backup_folder(disk, work):
    """{name: bytes} of the Backup folder on a PC disk image, read after e2fsck -y of a copy."""
    copy = os.path.join(work, "disk-read.img")
    shutil.copyfile(disk, copy)
    r = sh(["e2fsck", "-fy", copy])
    if r.returncode >= 4:
        raise GuestError("e2fsck could not repair the PC disk: " + r.stdout[-2000:])
    names = lambda path: [l.strip("/").split("/")[4] for l in sh(["debugfs", "-R", "ls -p " + path, copy]).stdout
                          .splitlines() if l.startswith("/") and l.strip("/").split("/")[4] not in (".", "..")]
    folders = [n for n in names("/") if n.startswith("fk-hostpc-")]
    files = {}
    for folder in folders:
        for name in names("/%s/backup" % folder):
            out = os.path.join(work, "dumped")
            sh(["debugfs", "-R", "dump /%s/backup/%s %s" % (folder, name, out), copy])
            with open(out, "rb") as f:
                files[name] = f.read()
    os.remove(copy)
    return files, r.returncode


def expected_state(image):
    """The prompt version the card holds as mtools reads it; None when no version file is readable."""
    r = subprocess.run(["mtype", "-i", image, "::/VM/PROMPTS/0/0/0/VERSION.TXT"], stdout=subprocess.PIPE,
                       stderr=subprocess.DEVNULL, env=dict(os.environ, MTOOLS_SKIP_CHECK="1"))
    return r.stdout if r.returncode == 0 else None


def fsck_findings(image, work):
    """(what fsck.fat -n finds beyond the dirty bit, whether a repaired copy is clean)."""
    r = sh(["fsck.fat", "-n", image])
    findings = [l for l in r.stdout.splitlines()[1:] if l.strip() and not l.startswith(image)
                and "irty bit" not in l and "Leaving filesystem unchanged" not in l]
    copy = os.path.join(work, "fsck.img")
    shutil.copyfile(image, copy)
    sh(["fsck.fat", "-a", "-w", copy])
    clean = sh(["fsck.fat", "-n", copy]).returncode == 0
    os.remove(copy)
    return findings, clean


class Cutter:
    """Takes the cuts while the guest's operations run; the guest announces each operation."""

    def __init__(self, g, card, disk, work):
        self.g, self.card, self.disk, self.work = g, card, disk, work
        self.step = None
        self.started = None
        self.durations = {}
        self.cuts = []          # (operation, fraction of its expected time, card copy, disk copy)
        self.at = {}            # step -> [(card copy, disk copy)] taken as each run of it begins
        self.real = None        # (card, disk) of the real cut
        self.stopping = threading.Event()
        self.thread = None
        self.stood = 0.0

    def copies(self, name):
        return [(self.card, os.path.join(self.work, name + "-card.img")),
                (self.disk, os.path.join(self.work, name + "-disk.img"))]

    def on_mark(self, step):
        now = time.monotonic()
        if self.thread is not None:
            self.stopping.set()
            self.thread.join()
        if self.step is not None:
            self.durations.setdefault(self.step, []).append(now - self.started)
        name = "at-%s%d" % (step, len(self.at.get(step, [])))
        self.stood += self.g.freeze(self.copies(name))
        self.at.setdefault(step, []).append(tuple(c for _, c in self.copies(name)))
        self.step, self.started = step, time.monotonic()
        if step in CUTS and len(self.durations.get(step, [])) == 1:
            self.stopping = threading.Event()
            self.thread = threading.Thread(target=self.cut, args=(step, self.durations[step][0]))
            self.thread.start()

    def cut(self, step, expected):
        """Cuts at k / (n + 1) of the expected time, k = 1, 2, ...: while the operation lasts
        beyond n, on at the same pace. The restore's n-th cut is the real one."""
        n = CUTS[step]
        # The restore's real cut, its last, ends the guest: the restore's cuts are spread over four
        # fifths of its time, so that the real one comes well before the restore ends (it takes a
        # second, and the closes on the card overlap, so the second run may be a little quicker).
        span = 0.8 if step == "restore" else 1.0
        stood = 0.0  # the guest's clock stands still while it is stopped: so does the schedule
        for k in itertools.count(1):
            fraction = span * k / (n + 1)
            if self.stopping.wait(max(0.0, self.started + stood + fraction * expected - time.monotonic())):
                return
            if step == "restore" and k == n:
                self.real = (self.card, self.disk)
                self.cuts.append((step, fraction, self.card, self.disk))
                self.g.power_cut()
                return
            name = "cut%02d" % len(self.cuts)
            took = self.g.freeze(self.copies(name))
            stood += took
            self.stood += took
            self.cuts.append((step, fraction) + tuple(c for _, c in self.copies(name)))


class Report:
    """Results and lines of a step that runs beside the stage's guest, shown once it is done."""

    def __init__(self):
        self.lines = []
        self.results = []

    def say(self, text):
        self.lines.append(("say", text))

    def result(self, name, ok, detail=""):
        self.lines.append(("result", (name, ok, detail)))

    def replay(self, st):
        for kind, item in self.lines:
            if kind == "say":
                print(item)
            else:
                st.result(*item)


def step(report, build, tests, vhbtool, work, compare):
    """The whole step: the operations with their cuts in one guest, the checks in a fresh one."""
    started = time.monotonic()
    card, disk = make_images(work)
    cutter = None
    try:
        with Guest(build, cards={"cut": card}, disks={"pc": disk}, boot_timeout=300, log=_Log(report),
                   reader_speed=ReaderSpeed()) as g:
            cutter = run(report, g, tests, card, disk, work)
    except GuestError as e:
        report.result("powercut: the guest of the operations", False, str(e))
    if cutter is not None and "initialize" in cutter.at and cutter.cuts:
        # The two archives: before the second backup, and after it.
        archives = {}
        for name, (_, disk) in (("earlier", cutter.at["backup"][1]), ("new", cutter.at["initialize"][0])):
            archives[name] = os.path.join(work, name + ".vhb")
            with open(archives[name], "wb") as f:
                f.write(backup_folder(disk, work)[0]["card.vhb"])
        # An Initialize and a Backup cut for real as well, one after the other in guests of their
        # own beside the checks: on copies of the full card as the first initialise found it (the
        # new archive is the earlier one there), cut at half the time the first run took.
        late = []
        for operation in ("initialize", "backup"):
            card_copy = os.path.join(work, "real-%s-card.img" % operation)
            shutil.copyfile(cutter.at["initialize"][0][0], card_copy)
            disk_copy = os.path.join(work, "real-%s-disk.img" % operation)
            subprocess.run(["mkfs.ext4", "-q", "-F", "-L", "PC", disk_copy, str(DISK_BYTES // 1024) + "k"], check=True)
            late.append((operation, card_copy, disk_copy, cutter.durations[operation][0] / 2))
        thread = threading.Thread(target=lambda: [cut_for_real(report, build, tests, op, c, d, archives["new"], t)
                                                  for op, c, d, t in late])
        thread.start()
        check(report, build, tests, vhbtool, cutter, work, compare, archives, (thread, late))
    report.say("--- powercut: %.1f s in all" % (time.monotonic() - started))


class _Log:
    def __init__(self, report):
        self.report = report

    def write(self, text):
        self.report.say(text.rstrip("\n"))


def cut_for_real(report, build, tests, operation, card, disk, earlier, after):
    """Runs the operation ("initialize", "backup" over the earlier archive) on the card in a
    guest of its own, with the C:\\ZEL tree on the disk, and ends QEMU after seconds into it."""
    try:
        with Guest(build, cards={"cut": card}, disks={"pc": disk}, boot_timeout=300, log=_Log(report),
                   reader_speed=ReaderSpeed()) as g:
            timer = threading.Timer(after, g.power_cut)
            g.on_mark = lambda step: timer.start()
            try:
                rc, out = g.run(
                    "mkdir -p /mnt/pc && mount /dev/disk/by-id/virtio-pc /mnt/pc && TMPDIR=/mnt/pc FK_VM_READER=cut "
                    "FK_VM_CARD_AS_FOUND=1 FK_VM_POWERCUT=%s FK_VM_POWERCUT_ARCHIVE=%s %s/operations_tests "
                    "--gtest_filter='On/PowerCutOn.*/Host' --gtest_brief=1" % (operation, earlier, tests))
                report.result("powercut: the real cut came while the %s ran" % operation, False, out[-4000:])
            except (GuestError, OSError):
                pass  # the cut ended QEMU under the command
    except GuestError as e:
        report.result("powercut: the guest of the %s" % operation, False, str(e))


def run(report, g, tests, card, disk, work):
    """The operations with their cuts; the guest is ended by the real cut. Returns the cutter."""
    started = time.monotonic()
    rc, out = g.run("mkdir -p /mnt/pc && mount /dev/disk/by-id/virtio-pc /mnt/pc")
    if rc != 0:
        raise GuestError("the PC disk does not mount: " + out)
    cutter = Cutter(g, card, disk, work)
    g.on_mark = cutter.on_mark
    command = r"""TMPDIR=/mnt/pc FK_VM_READER=cut FK_VM_POWERCUT=%d %s/operations_tests \
    --gtest_filter='On/PowerCutOn.*/Host' --gtest_brief=1""" % (MESSAGES, tests)
    try:
        rc, out = g.run(command, env={k: v for k, v in os.environ.items() if k == "FLASHKEEPER3_CARD_FLUSH"})
        report.result("powercut: the real cut came while the restore ran", cutter.real is not None and rc == 0,
                      out[-6000:])
    except (GuestError, OSError) as e:
        # The real cut ends QEMU under the command: its port is gone.
        if cutter.real is None:
            report.result("powercut: the operations in the guest", False, str(e))
    g.power_cut()
    report.say("--- powercut run: %.1f s (guest stopped %.1f s for %d copies); operations took %s"
               % (time.monotonic() - started, cutter.stood, len(cutter.cuts),
                  ", ".join("%s %s s" % (k, "/".join("%.1f" % d for d in v)) for k, v in cutter.durations.items())))
    return cutter


# A card left by a cut, put into the reader: mounted as a desktop does (the kernel must take it),
# then the program is started on it and restores the backup. After "Restore Complete." the card
# is pulled as it is: the restore has flushed it.
CHECK = r"""
for _ in $(seq 1 150); do dev=$(lsblk -dnpo NAME,TRAN | awk '$2 == "usb" {print $1; exit}'); [ -n "$dev" ] && break; sleep 0.2; done
udevadm settle
mode=check
if mnt=$(udisksctl mount -b "$dev" 2>&1); then echo "kernel mount: ok"; else echo "kernel mount: failed: $mnt"; mode=reinit; fi
FK_VM_READER=cut FK_VM_CARD_AS_FOUND=1 FK_VM_POWERCUT=$mode FK_VM_POWERCUT_ARCHIVE=%s \
    %s/operations_tests --gtest_filter='On/PowerCutOn.*/Host' --gtest_brief=1
"""


def card_state(image, findings, work):
    """What the checks can see of a card: every entry's name, size, write time and contents, and
    what fsck.fat finds. Cards that a backup left alike differ in access dates only."""
    env = dict(os.environ, TZ="UTC", MTOOLS_SKIP_CHECK="1")
    listing = subprocess.run(["mdir", "-/", "-a", "-i", image, "::/"], stdout=subprocess.PIPE,
                             stderr=subprocess.STDOUT, env=env).stdout
    files = os.path.join(work, "state")
    shutil.rmtree(files, ignore_errors=True)
    os.makedirs(files)
    subprocess.run(["mcopy", "-s", "-n", "-i", image, "::/*", files], stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, env=env)
    h = hashlib.sha256(listing + "\n".join(findings).encode())
    for folder, _, names in sorted(os.walk(files)):
        for name in sorted(names):
            with open(os.path.join(folder, name), "rb") as f:
                h.update(name.encode() + f.read())
    return h.hexdigest()


def check(report, build, tests, vhbtool, cutter, work, compare, archives, late):
    """Every cut card and PC disk; the cards in a fresh guest, each distinct card once. late is
    the thread that cuts an initialise and a backup for real beside this, and those cuts."""
    known = {}
    for name in ("earlier", "new"):
        with open(archives[name], "rb") as f:
            known[name] = f.read()
    new = archives["new"]
    summary = {"tried": 0, "survived": 0, "needed fsck": 0, "prompts missing": 0, "unformatted": 0,
               "tmp left": 0, "new archive": 0, "journal replayed": 0, "lost clusters after the restore": 0,
               "restored after fsck": 0}

    def left_by(name, card, disk, earlier="earlier"):
        """What a cut left, read before any guest touches its images again. The archive under the
        chosen name must be the earlier one, byte for byte, or a whole new one: the one the run
        made, or one that vhbtool verify passes (a backup cut for real wrote it anew)."""
        problems = []
        findings, repairable = fsck_findings(card, work)
        if not repairable:
            problems.append("fsck.fat does not repair a copy to clean: " + " / ".join(findings[:4]))
        archive_state = ""
        if disk is not None:
            files, e2fsck_rc = backup_folder(disk, work)
            archive = files.get("card.vhb")
            is_new = archive != known[earlier] and archive is not None and (archive == known["new"] or whole(archive))
            if not is_new and archive != known[earlier]:
                problems.append("the Backup folder holds under card.vhb neither archive (%s bytes)"
                                % len(archive or b""))
            summary["tmp left"] += "card.vhb.tmp" in files
            summary["new archive"] += is_new
            summary["journal replayed"] += e2fsck_rc != 0
            archive_state = ", the new archive" if is_new else ", the earlier archive"
            if "card.vhb.tmp" in files:
                archive_state += " and a partial .tmp"
        version = expected_state(card)
        summary["tried"] += 1
        summary["needed fsck"] += bool(findings)
        summary["prompts missing"] += version is None
        return [name, card, findings, version, problems, card_state(card, findings, work), archive_state]

    def whole(archive):
        path = os.path.join(work, "found.vhb")
        with open(path, "wb") as f:
            f.write(archive)
        return sh([vhbtool, "verify", path]).returncode == 0

    checked = {}

    def check_in_guest(g, entry, plugged):
        name, card, findings, version, problems, sha, archive_state = entry
        fresh = sha not in checked
        if fresh:
            checked[sha] = check_card(g, plugged, card, version, findings, new, tests, vhbtool, work, compare,
                                      summary, report)
        # The same card as a cut checked already: the same check would follow.
        problems += checked[sha]
        summary["survived"] += not problems
        report.say("--- %s: fsck %s, version %s%s%s" % (
            name, "clean" if not findings else "; ".join(findings[:2]),
            "missing" if version is None else repr(version), archive_state,
            "" if fresh else ", the same card as an earlier one"))
        report.result("powercut: " + name, not problems, "\n".join(problems))

    found = [left_by("cut %d (%s at %.0f%%%s)" % (len(cutter.cuts) - i, op, 100 * fraction,
                                                   ", real" if i == 0 and cutter.real else ""), card, disk)
             for i, (op, fraction, card, disk) in enumerate(reversed(cutter.cuts))]
    started = time.monotonic()
    try:
        with Guest(build, cards={"cut": cutter.cuts[-1][2]}, disks={"pc": cutter.cuts[-1][3]},
                   boot_timeout=300, log=_Log(report)) as g:
            # After the real cut the PC's disk is mounted as a booting PC finds it (journal replayed).
            rc, out = g.run("mkdir -p /mnt/pc && mount /dev/disk/by-id/virtio-pc /mnt/pc && "
                            "ls -l /mnt/pc/fk-hostpc-*/backup && umount /mnt/pc")
            report.result("powercut: after the real cut the PC's disk mounts", rc == 0, out)
            for index, entry in enumerate(found):
                check_in_guest(g, entry, index == 0)
            thread, cuts = late
            thread.join()
            for number, (operation, card, disk, _) in enumerate(cuts, len(found) + 1):
                check_in_guest(g, left_by("cut %d (%s, real)" % (number, operation), card, disk, "new"), False)
    except GuestError as e:
        report.result("powercut: the checking guest", False, str(e))
    report.say("--- powercut checks: %.1f s, %d distinct cards in the guest; %s" % (
        time.monotonic() - started, len(checked), ", ".join("%s %d" % kv for kv in summary.items())))
    return summary


def check_card(g, plugged, card, version, findings, archive, tests, vhbtool, work, compare, summary, report):
    """A card left by a cut, put into the guest's reader unless plugged already: what is wrong
    with it (empty: nothing)."""
    problems = []
    # The card's file system orders its own writes: a cut can leave a folder entry on a cluster
    # the FAT already calls free, which no program can see before it writes. A restore onto such
    # a card may then end in its write-error message, which is honest; the technician runs a
    # disk check, and the restore onto the repaired card must complete.
    damaged = [f for f in findings if not PULL_LEFTOVER.match(f.strip())]
    as_found = None
    if damaged:
        as_found = card + ".as-found"
        shutil.copyfile(card, as_found)
    if not plugged:
        g.insert_card("cut", card)
    rc, out = g.run(CHECK % (archive, tests))
    as_found_out = out
    # (the message the dialog showed instead, as the test's failed comparison prints it)
    if rc != 0 and as_found is not None and "kernel mount: ok" in out and \
            re.search(r'Which is: "(?!Restore Complete\.")', out):
        report.say("--- fsck.fat finds %s; the restore ended without completing, so the card is repaired "
                   "(fsck.fat -a) and restored again" % " / ".join(damaged[:2]))
        g.unplug("cut")
        shutil.copyfile(as_found, card)
        sh(["fsck.fat", "-a", "-w", card])
        g.insert_card("cut", card)
        rc, out = g.run(CHECK % (archive, tests))
        summary["restored after fsck"] += rc == 0
    if as_found is not None:
        os.remove(as_found)
    if "kernel mount: ok" not in as_found_out:
        # udisks2 wipes the old signatures before it makes the new file system: a cut in between
        # leaves a card without one, which no program reads (mtools still does). The dialog can
        # only show no prompts; Initialize, then the restore, must make it whole.
        summary["unformatted"] += 1
        version = None
    # (split at line feeds only: a version may end in a carriage return)
    state = [l[len("state: "):] for l in as_found_out.split("\n") if l.startswith("state: ")]
    shown = VERSIONS.get(version, "?" + repr(version))
    # On a damaged card the kernel and mtools may read a version file whose chain runs into a
    # free cluster differently (mtools refuses it): there the dialog must show some state, and
    # the restore after the disk check decides.
    if not state or (state[0].split("|")[2] != shown.replace("\r", "\\r") and not damaged):
        problems.append("the dialog shows %r; the card holds version %r" % (state, version))
    if rc != 0:
        problems.append("the restore did not complete:\n" + out[-3000:])
        return problems
    g.unplug("cut")
    differences, _ = compare(card, archive, vhbtool, os.path.join(work, "outside"))
    problems += differences[:5]
    # Clusters that a cut left allocated to no file stay so until fsck.fat reclaims them: space
    # lost, nothing else, and nothing the program can see.
    after, _ = fsck_findings(card, work)
    lost = [f for f in after if f.startswith("Reclaimed")]
    summary["lost clusters after the restore"] += bool(lost)
    if len(lost) != len(after):
        problems.append("after the restore fsck.fat finds: " + " / ".join(after[:4]))
    return problems
