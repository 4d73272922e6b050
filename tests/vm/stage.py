"""The VM stage of ./test: the real card stack in the virtual PC (tests/vm/guest.py).

    python3 -m tests.vm.stage [--preset ci] [--only NAME ...]     (from the top of the tree)

Boots one guest with a USB CompactFlash reader holding a FAT16 card image of a VoxHarbor size (and
a spare image of the same size and label that the scenarios swap in) and runs, in order:
  contract   the file-service contract on the card mounted by udisks2 (host_tests, VfatCard)
  vhbtool    vhbtool create and extract on the mounted card keep the FAT attribute bytes
  faults     the fault walk (fault_tests, "VmCard"): platform calls of Backup and Restore failed
             one at a time through the fault decorator on the host platform and the card
  scenarios  the Backup, Restore, Update and Initialize scenarios on the real host platform
             (operations_tests, the "Host" PC), then the round trip (backup, vhbtool compare of
             the card with it, initialise, restore) whose backup is kept
and after the guest is off, checks the card image from outside with fsck.fat -n and mtools
against that backup: every entry's attribute bits, write time and content. Then, in a guest of
its own,
  stick      a backup on a USB stick (a FAT volume in a second USB device) whose power is cut the
             moment "Backup Complete." shows: the stick holds that backup, whole.
Beside it all, in guests of its own, runs
  powercut   power cuts in a Backup, an Initialize and a Restore (tests/vm/powercut.py), whose
             results are shown at the end.
Prints "N passed, N failed" at the end; exits non-zero when anything failed.
"""

import argparse
import json
import os
import re
import shutil
import subprocess
import sys
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from . import powercut
from .guest import Guest, GuestError

# What the guests run, from the preset's build.
GUEST_PROGRAMS = ["host_tests", "operations_tests", "fault_tests", "vhbtool"]

# A VoxHarbor 4 Hour card: 64,028,672 bytes, FAT16 as the system formats it.
CARD_BYTES = 64028672


def make_card(path, size=CARD_BYTES, label="VOXCARD", serial="1A2B3C4D"):
    if os.path.exists(path):
        os.remove(path)
    subprocess.run(["mkfs.fat", "-F", "16", "-n", label, "-i", serial, "-C", path, str(size // 1024)],
                   check=True, stdout=subprocess.DEVNULL)


def fsck(image):
    r = subprocess.run(["fsck.fat", "-n", image], stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                       text=True)
    return r.returncode, r.stdout


class Stage:
    def __init__(self, preset):
        self.build = os.path.join(ROOT, "build")
        self.tests = os.path.join(self.build, preset, "tests")
        self.cards = os.path.join(self.build, "vm", "cards")
        os.makedirs(self.cards, exist_ok=True)
        self.passed = []
        self.failed = []

    def result(self, name, ok, detail=""):
        (self.passed if ok else self.failed).append(name)
        print("%s: %s%s" % ("PASS" if ok else "FAIL", name, "" if ok else "\n" + detail.rstrip()))
        sys.stdout.flush()

    def guest_run(self, g, name, command, timeout=600):
        started = time.monotonic()
        rc, out = g.run(command, timeout=timeout)
        print("--- %s: %.1f s" % (name, time.monotonic() - started))
        return rc, out

    def gtest(self, g, name, command, timeout=600):
        rc, out = self.guest_run(g, name, command, timeout)
        summary = [l for l in out.splitlines() if l.startswith("[  PASSED") or l.startswith("[  FAILED")
                   or l.startswith("[  SKIPPED") or l.startswith("[   WALK")]
        print("\n".join(summary))
        self.result(name, rc == 0, out[-12000:])


def card_mount_script():
    # The reader's block device as udisks2 shows it, mounted the way a desktop mounts it.
    return r'''
dev=$(lsblk -dnpo NAME,TRAN | awk '$2 == "usb" {print $1; exit}')
[ -n "$dev" ] || { echo "no USB disk in the guest"; lsblk; exit 1; }
mnt=$(udisksctl mount -b "$dev" 2>&1) || { echo "udisksctl mount: $mnt"; exit 1; }
mnt=${mnt#* at }; mnt=${mnt%.}
echo "card $dev mounted at $mnt"
'''


FAT_BITS = {"R": 0x01, "H": 0x02, "S": 0x04, "A": 0x20}


def check_card_against_backup(image, archive, vhbtool, work):
    """Compares the card image, read with mtools, with the entries of a backup archive."""
    problems = []
    listing = json.loads(subprocess.run([vhbtool, "list", "--json", archive], check=True,
                                        stdout=subprocess.PIPE, text=True).stdout)
    expected_dir = os.path.join(work, "expected")
    card_dir = os.path.join(work, "card")
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(card_dir)
    subprocess.run([vhbtool, "extract", archive, expected_dir], check=True, stdout=subprocess.DEVNULL)
    env = dict(os.environ, TZ="UTC", MTOOLS_SKIP_CHECK="1")
    subprocess.run(["mcopy", "-s", "-m", "-n", "-i", image, "::/*", card_dir], check=True, env=env)
    attrs = {}
    out = subprocess.run(["mattrib", "-/", "-i", image, "::/"], check=True, stdout=subprocess.PIPE,
                         text=True, env=env).stdout
    for line in out.splitlines():
        flags, _, path = line.partition("::/")
        attrs[path.upper()] = sum(FAT_BITS[c] for c in flags if c in FAT_BITS)
    for e in listing["entries"]:
        # Stored paths double some separators ("E:\\VM\\MSG\\100\M0001.VOX").
        rel = re.sub(r"\\+", "/", e["path"].split(":", 1)[1]).strip("/")
        if not rel:
            continue
        word = attrs.get(rel.upper())
        if word is None:
            problems.append("missing on the card: " + rel)
            continue
        if word != e["attributes"] & 0x27:
            problems.append("%s: attributes %#x on the card, %#x in the backup" % (rel, word, e["attributes"]))
        if e["kind"] != "file":
            continue
        on_card = os.path.join(card_dir, rel)
        mtime = int(os.stat(on_card).st_mtime)
        stored = e["lastWriteTime"] // 10000000 - 11644473600
        if mtime != stored:
            problems.append("%s: written %d on the card, %d in the backup" % (rel, mtime, stored))
        with open(on_card, "rb") as a, open(os.path.join(expected_dir, rel), "rb") as b:
            if a.read() != b.read():
                problems.append("%s: content differs from the backup" % rel)
    if len(attrs) - 1 != len([e for e in listing["entries"] if e["path"].split(":", 1)[1].strip("\\")]):
        problems.append("the card has %d entries, the backup %d" % (len(attrs) - 1, len(listing["entries"])))
    return problems, len(listing["entries"])


VHBTOOL_ON_CARD = r'''
fatattr="python3 %(fatattr)s"
rm -rf "$mnt/SRC" "$mnt/OUT"
mkdir -p "$mnt/SRC/VM"
echo hidden >"$mnt/SRC/VM/HS.VOX"
echo readonly >"$mnt/SRC/VM/RO.VOX"
$fatattr set 0x26 "$mnt/SRC/VM/HS.VOX"
$fatattr set 0x21 "$mnt/SRC/VM/RO.VOX"
%(vhbtool)s create "$mnt/SRC" /tmp/a.vhb || exit 1
%(vhbtool)s list /tmp/a.vhb
%(vhbtool)s extract /tmp/a.vhb "$mnt/OUT" || exit 1
$fatattr get "$mnt/OUT/VM/HS.VOX" "$mnt/OUT/VM/RO.VOX"
udisksctl unmount -b "$dev" >/dev/null
'''


def stick_cut(st, vhbtool):
    """Two backups of the card under one name on a USB stick, the second cut off by the power
    the moment it says "Backup Complete.": from outside, the stick must hold that second backup,
    whole (a stick is no card: what goes on it is flushed before the program says so)."""
    card = os.path.join(st.cards, "stick-card.img")
    stick = os.path.join(st.cards, "stick.img")
    make_card(card)
    make_card(stick, label="STICK", serial="571C0000")
    started = time.monotonic()
    try:
        with Guest(st.build, cards={"reader0": card, "stick": stick}, boot_timeout=300) as g:
            g.on_mark = lambda step: g.power_cut()
            try:
                rc, out = g.run("FK_VM_READER=reader0 FK_VM_POWERCUT=stick FK_VM_STICK=STICK %s/operations_tests "
                                "--gtest_filter='On/PowerCutOn.*/Host' --gtest_brief=1" % st.tests)
                st.result("stick: the power was cut at \"Backup Complete.\"", False, out[-6000:])
                return
            except (GuestError, OSError):
                pass  # the cut ended QEMU under the command
    except GuestError as e:
        st.result("stick: the guest", False, str(e))
        return
    print("--- stick: %.1f s" % (time.monotonic() - started))
    work = os.path.join(st.build, "vm", "out", "stick")
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    archive = os.path.join(work, "CARD.VHB")
    env = dict(os.environ, MTOOLS_SKIP_CHECK="1")
    copied = subprocess.run(["mcopy", "-n", "-i", stick, "::/CARD.VHB", archive], env=env,
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    verified = subprocess.run([vhbtool, "verify", archive], stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                              text=True) if copied.returncode == 0 else copied
    listed = subprocess.run([vhbtool, "list", archive], stdout=subprocess.PIPE, text=True)
    second = verified.returncode == 0 and "NEW.VOX" in listed.stdout
    st.result("stick: after the cut it holds the second backup, whole", second,
              copied.stdout + verified.stdout + listed.stdout[-2000:])


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--preset", default="ci")
    parser.add_argument("--only", action="append", default=[])
    a = parser.parse_args()
    st = Stage(a.preset)
    want = lambda name: not a.only or name in a.only
    # The guests' programs, built (or brought up to date) first: a clean clone needs nothing more.
    if not os.path.exists(os.path.join(st.build, a.preset, "build.ninja")):
        subprocess.run(["cmake", "--preset", a.preset], cwd=ROOT, check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", "--preset", a.preset, "-j%d" % (os.cpu_count() or 2), "--target",
                    *GUEST_PROGRAMS], cwd=ROOT, check=True)

    card = os.path.join(st.cards, "card4h.img")
    make_card(card)
    # Another card of the same size and label, told apart only by its volume serial: the one the
    # scenarios swap in while a question is open.
    spare = os.path.join(st.cards, "spare4h.img")
    make_card(spare, serial="5EA2CA2D")
    kept = os.path.join(st.build, "vm", "out", "backup")
    shutil.rmtree(kept, ignore_errors=True)
    vhbtool = os.path.join(st.build, a.preset, "tools", "vhbtool", "vhbtool")
    cuts = None
    # Once, before guests start side by side.
    subprocess.run([os.path.join(ROOT, "tests", "vm", "build-guest.sh"), os.path.join(st.build, "vm")],
                   check=True)
    if want("powercut"):
        # In guests of its own, beside this one: the stage's time is the longer of the two.
        cuts_dir = os.path.join(st.build, "vm", "out", "powercut")
        shutil.rmtree(cuts_dir, ignore_errors=True)
        os.makedirs(cuts_dir)
        report = powercut.Report()
        cuts = threading.Thread(target=powercut.step, args=(report, st.build, st.tests, vhbtool, cuts_dir,
                                                             check_card_against_backup))
        cuts.start()
    started = time.monotonic()
    if any(want(n) for n in ("contract", "vhbtool", "faults", "scenarios")):
        try:
            with Guest(st.build, cards={"reader0": card}, spares={"reader0": spare}, boot_timeout=300) as g:
                if want("contract"):
                    st.gtest(g, "contract", card_mount_script() + '''
FK_VM_CARD_MOUNT="$mnt" %s/host_tests --gtest_filter='*VfatCard*:RealFat.*' --gtest_brief=1
rc=$?
udisksctl unmount -b "$dev" >/dev/null || rc=1
exit $rc''' % st.tests)
                if want("vhbtool"):
                    rc, out = st.guest_run(g, "vhbtool", card_mount_script() + VHBTOOL_ON_CARD % {
                        "fatattr": os.path.join(ROOT, "tests", "vm", "fatattr.py"),
                        "vhbtool": os.path.join(st.build, a.preset, "tools", "vhbtool", "vhbtool")})
                    lines = out.splitlines()
                    ok = (rc == 0 and any(l.startswith("f 38 ") and l.endswith("HS.VOX") for l in lines)
                          and any(l.startswith("f 33 ") and l.endswith("RO.VOX") for l in lines)
                          and any(l.startswith("38 ") and l.endswith("/OUT/VM/HS.VOX") for l in lines)
                          and any(l.startswith("33 ") and l.endswith("/OUT/VM/RO.VOX") for l in lines))
                    st.result("vhbtool keeps FAT attribute bytes on a mounted card", ok, out)
                if want("faults"):
                    st.gtest(g, "faults", "FK_VM_READER=reader0 %s/fault_tests --gtest_filter='*/VmCard' "
                             "--gtest_brief=1" % st.tests)
                if want("scenarios"):
                    st.gtest(g, "scenarios", "FK_VM_READER=reader0 %s/operations_tests "
                             "--gtest_filter='*/Host:-On/RoundTripOn.*' --gtest_brief=1" % st.tests)
                    st.gtest(g, "round trip", "FK_VM_READER=reader0 FK_VM_KEEP=%s FK_VM_VHBTOOL=%s "
                             "%s/operations_tests --gtest_filter='On/RoundTripOn.*/Host' --gtest_brief=1"
                             % (kept, vhbtool, st.tests))
            print("--- guest: %.1f s in all" % (time.monotonic() - started))
            rc, out = fsck(card)
            st.result("fsck.fat -n after the guest", rc == 0, out)
        except GuestError as e:
            st.result("guest", False, str(e))

    archive = os.path.join(kept, "demo.vhb")
    if os.path.exists(archive):
        problems, count = check_card_against_backup(
            card, archive, vhbtool,
            os.path.join(st.build, "vm", "out", "outside"))
        st.result("the restored card read with mtools equals its backup (%d entries)" % count, not problems,
                  "\n".join(problems))

    if want("stick"):
        stick_cut(st, vhbtool)

    if cuts is not None:
        cuts.join()
        report.replay(st)

    print("%d passed, %d failed" % (len(st.passed), len(st.failed)))
    return 1 if st.failed else 0


if __name__ == "__main__":
    sys.exit(main())
