#!/usr/bin/env python3
"""The VM stage of ./test: the real card stack in the virtual PC (scripts/vm/vmguest.py).

    tests/vm/vm_stage.py [--preset ci] [--only NAME ...]

Boots one guest with a USB CompactFlash reader holding a FAT16 card image of a VoxHarbor size and
runs, in order:
  contract   the file-service contract on the card mounted by udisks2 (host_tests, VfatCard)
  scenarios  the Backup, Restore, Update, Initialize and round-trip scenarios on the real host
             platform (operations_tests, the "Host" PC)
and after the guest is off, checks the card image from outside with fsck.fat -n and mtools.
Prints "N passed, N failed" at the end; exits non-zero when anything failed.
"""

import argparse
import os
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(ROOT, "scripts", "vm"))
from vmguest import Guest, GuestError  # noqa: E402

# A VoxHarbor 4 Hour card: 64,028,672 bytes, FAT16 as the system formats it.
CARD_BYTES = 64028672


def make_card(path, size=CARD_BYTES, label="VOXCARD"):
    if os.path.exists(path):
        os.remove(path)
    subprocess.run(["mkfs.fat", "-F", "16", "-n", label, "-C", path, str(size // 1024)],
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
                   or l.startswith("[  SKIPPED")]
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


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--preset", default="ci")
    parser.add_argument("--only", action="append", default=[])
    a = parser.parse_args()
    st = Stage(a.preset)
    want = lambda name: not a.only or name in a.only

    card = os.path.join(st.cards, "card4h.img")
    make_card(card)
    started = time.monotonic()
    try:
        with Guest(st.build, cards={"reader0": card}) as g:
            if want("contract"):
                st.gtest(g, "contract", card_mount_script() + '''
FK_VM_CARD_MOUNT="$mnt" %s/host_tests --gtest_filter='*VfatCard*' --gtest_brief=1
rc=$?
udisksctl unmount -b "$dev" >/dev/null || rc=1
exit $rc''' % st.tests)
            if want("scenarios"):
                st.gtest(g, "scenarios", "FK_VM_READER=reader0 %s/operations_tests --gtest_filter='*/Host' "
                         "--gtest_brief=1" % st.tests)
    except GuestError as e:
        st.result("guest", False, str(e))
    print("--- guest: %.1f s in all" % (time.monotonic() - started))

    rc, out = fsck(card)
    st.result("fsck.fat -n after the guest", rc == 0, out)

    print("%d passed, %d failed" % (len(st.passed), len(st.failed)))
    return 1 if st.failed else 0


if __name__ == "__main__":
    sys.exit(main())
