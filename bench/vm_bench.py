#!/usr/bin/env python3
"""The benchmark on the real card stack: flashkeeper3_bench --host in the virtual PC, with two
FAT16 cards of a VoxHarbor size on USB readers (one filled and backed up, one restored onto), the
archives in the guest's RAM.

    bench/vm_bench.py [--megabytes 512] [--repeat 1] [--backup-turns 5] [--preset release]

Backup and tar -cf take seconds and run in turn (--backup-turns): one run of each is not enough
under emulation, where the host's load moves every figure by 10 to 20 %.
"""
import argparse
import os
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "scripts", "vm"))
sys.path.insert(0, os.path.join(ROOT, "tests", "vm"))
from vmguest import Guest  # noqa: E402
from vm_stage import make_card  # noqa: E402


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--megabytes", type=int, default=512)
    p.add_argument("--repeat", type=int, default=1)
    p.add_argument("--backup-turns", type=int, default=5)
    p.add_argument("--preset", default="release")
    a = p.parse_args()
    build = os.path.join(ROOT, "build")
    cards = os.path.join(build, "vm", "cards")
    os.makedirs(cards, exist_ok=True)
    full, empty = os.path.join(cards, "bench-full.img"), os.path.join(cards, "bench-empty.img")
    size = a.megabytes * 1000 * 1000 // 512 * 512
    make_card(full, size)
    make_card(empty, size, label="EMPTY")
    bench = os.path.join(build, a.preset, "bench", "flashkeeper3_bench")
    # Room in RAM for the archive and the tar file beside the page cache of both cards.
    memory = max(1024, 3 * a.megabytes + 768)
    with Guest(build, cards={"full": full, "empty": empty}, memory_mb=memory,
               boot_timeout=600) as g:
        rc, out = g.run(r'''
set -e
mounted=()
for dev in $(lsblk -dnpo NAME,TRAN | awk '$2 == "usb" {print $1}'); do
    m=$(udisksctl mount -b "$dev"); m=${m#* at }; mounted+=("${m%%.}")
done
full=$(printf '%%s\n' "${mounted[@]}" | grep -v EMPTY)
empty=$(printf '%%s\n' "${mounted[@]}" | grep EMPTY)
grep -E " ($full|$empty) " /proc/mounts
%s --host "$full" "$empty" --work /tmp/fk-bench --repeat %d --backup-turns %d
''' % (bench, a.repeat, a.backup_turns), timeout=3600)
    sys.stdout.write(out)
    return rc


if __name__ == "__main__":
    sys.exit(main())
