"""The benchmark on the real card stack: flashkeeper3_bench in the virtual PC, with two FAT16
cards of a VoxHarbor size on USB readers (one filled and backed up, one restored onto), the
archives in the guest's RAM.

    python3 -m bench.vm_bench [--megabytes 512] [--repeat 1] [--backup-turns 5] [--preset release]

compares the CPU time of Backup and Restore with tar's on fast cards (the host's page cache).
Backup and tar -cf take seconds and run in turn (--backup-turns): one run of each is not enough
under emulation, where the host's load moves every figure by 10 to 20 %.

    python3 -m bench.vm_bench --reader [--turns 3] [--read-mb 25] [--write-mb 12] [--iops 2000]

measures what a technician waits for: the wall time of Backup, Restore (answered Yes), Prompt
update and Initialize's install step with both cards behind a real reader's speed, against the
floor measured in the same guest on the same card, under the mount options udisks2 gives it:
  Backup      reading every file once: tar -cf - | cat, and cat of every file (the faster counts)
  Restore     cp -r of the same tree onto the empty card, then sync
  Update      cp -r of the prompts it writes onto the card, then sync (the program also deletes
              the card's prompts first; the floor does not)
  Initialize  the same prompts onto the freshly formatted card (the install step; the format
              itself is udisks2's and is left out, the card being formatted before)
Every row is the best of --turns turns, the program and its floor taken in turn. The card's
commands (read and written, as QEMU's throttle counts them) are printed for the best turn of each.
The readers run at that speed only while a step is measured; filling the card, copying it for the
floor, formatting and comparing run unthrottled. The PC's own disk (C:, where the backup is
written and read back) is an ext4 disk of the guest, not its RAM.
"""
import argparse
import os
import re
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
if __name__ == "__main__" and not __package__:
    # Run as a file (python3 bench/vm_bench.py): run again as the module it is, from the top of
    # the tree, so that the test harness's package imports as it does under -m.
    os.chdir(ROOT)
    os.execv(sys.executable, [sys.executable, "-m", "bench.vm_bench"] + sys.argv[1:])
from tests.vm.guest import Guest, ReaderSpeed
from tests.vm.stage import make_card

MOUNT_CARDS = r'''
mounted=()
for dev in $(lsblk -dnpo NAME,TRAN | awk '$2 == "usb" {print $1}'); do
    m=$(udisksctl mount -b "$dev"); m=${m#* at }; mounted+=("${m%%.}")
done
full=$(printf '%s\n' "${mounted[@]}" | grep -v EMPTY)
empty=$(printf '%s\n' "${mounted[@]}" | grep EMPTY)
'''


def cpu_main(a, build, full, empty):
    bench = os.path.join(build, a.preset, "bench", "flashkeeper3_bench")
    # Room in RAM for the archive and the tar file beside the page cache of both cards.
    memory = max(1024, 3 * a.megabytes + 768)
    with Guest(build, cards={"full": full, "empty": empty}, memory_mb=memory, boot_timeout=600) as g:
        rc, out = g.run("set -e\n" + MOUNT_CARDS + r'''
grep -E " ($full|$empty) " /proc/mounts
%s --host "$full" "$empty" --work /tmp/fk-bench --repeat %d --backup-turns %d
''' % (bench, a.repeat, a.backup_turns), timeout=3600)
    sys.stdout.write(out)
    return rc


# The guest's side of --reader: where things are, and the commands each step runs.
READER_SETUP = r'''
set -e
W=/tmp/fk-reader
# The PC's own disk (C:, where the backup is written and read back, and the floor's copy of the
# card): ext4 on a disk of the guest, not its RAM, so that what is read back comes from a disk.
mkdir -p $W
mountpoint -q $W || mount /dev/disk/by-id/virtio-pc $W
rm -rf $W/*
# The full card is filled without udisks2's "flush" (the fill is set-up, not measured), then
# both cards are mounted by udisks2 as a desktop mounts them.
full_dev=$(lsblk -dnpo NAME,TRAN,LABEL | awk '$2 == "usb" && $3 != "EMPTY" {print $1}')
empty_dev=$(lsblk -dnpo NAME,TRAN,LABEL | awk '$2 == "usb" && $3 == "EMPTY" {print $1}')
mkdir -p $W/fill
mount -t vfat -o shortname=mixed,utf8 "$full_dev" $W/fill
{bench} --fill $W/fill --work $W/fill-work
umount $W/fill
''' + MOUNT_CARDS + r'''
cat >$W/env <<ENV
FULL=$full
EMPTY=$empty
EMPTY_DEV=$empty_dev
ENV
grep -E " ($full|$empty) " /proc/mounts
# The tree the floor copies, and the archives Prompt update and Initialize install: the card's
# prompts (every VERSION.TXT 0110, the archive's version 0120, so the update always asks and
# replaces them) and, for Initialize, the mailboxes' empty folders besides.
cp -r "$full" $W/src
mkdir -p $W/prompts/VM $W/initial/VM/MAILBOX $W/data/Prompts $W/data/Data $W/backup
cp -r $W/src/VM/PROMPTS $W/prompts/VM/
for v in $W/prompts/VM/PROMPTS/*/*/*/VERSION.TXT; do printf '0110' >"$v"; done
cp -r $W/prompts/VM/PROMPTS $W/initial/VM/
for d in $W/src/VM/MAILBOX/*/; do mkdir $W/initial/VM/MAILBOX/$(basename "$d"); done
{vhbtool} create --version 0120 $W/prompts $W/data/Prompts/PromptUpdateVer1_2.vhp
{vhbtool} create $W/initial $W/data/Data/InitializedFileStruct.vhb
ls $W/src/VM | tr '\n' ' ' | grep -qx 'MAILBOX PROMPTS ' || { echo "unexpected card tree: $(ls $W/src/VM)"; exit 1; }
echo "bytes all $(find $W/src -type f -printf '%s\n' | awk '{s += $1} END {print s}')"
echo "bytes prompts $(find $W/prompts -type f -printf '%s\n' | awk '{s += $1} END {print s}')"
echo "files all $(find $W/src -type f | wc -l) prompts $(find $W/prompts -type f | wc -l)"
'''

READER_LIB = r'''
set -e
export W=/tmp/fk-reader
set -a
. $W/env
set +a
now() { date +%s.%N; }
# Prints "wall NAME SECONDS" for the command's wall time.
timed() { local name=$1 t0 t1; shift; t0=$(now); "$@"; t1=$(now); echo "wall $name $(echo "$t1 - $t0" | bc)"; }
# The page cache holds nothing of the cards, so every read reaches the reader.
cold() { sync; echo 3 >/proc/sys/vm/drop_caches; }
# The restore card freshly formatted (as udisks2 formats it: FAT16, its label) and mounted again.
reformat() {
    udisksctl unmount -b "$EMPTY_DEV" >/dev/null
    mkfs.fat -F 16 -n EMPTY -i 5E5E5E5E "$EMPTY_DEV" >/dev/null
    udevadm settle
    m=$(udisksctl mount -b "$EMPTY_DEV"); m=${m#* at }; m=${m%.}
    [ "$m" = "$EMPTY" ] || { echo "the empty card came back at $m"; exit 1; }
}
child() { {bench} --child "$1" $W "$2" --host "$3"; }
'''

# Each step: its name, what runs untimed before it, and the timed command. A program's step
# prints its own wall time of the operation (from the click to its message); a floor's is timed.
PROGRAM = "program"
FLOOR = "floor"
STEPS = [
    ("Backup", PROGRAM, "full", "rm -f $W/backup/BENCH.VHB; cold",
     r"child backup 'C:\ZEL\VoxHarbor\Backup\BENCH.VHB' $FULL"),
    ("Backup", FLOOR + " tar", "full", "cold", "timed floor sh -c 'tar -cf - -C \"$FULL\" . | cat >/dev/null'"),
    ("Backup", FLOOR + " cat", "full", "cold",
     "timed floor sh -c 'find \"$FULL\" -type f -print0 | xargs -0 cat >/dev/null'"),
    ("Restore", PROGRAM, "empty", "reformat; cold", r"child restore 'C:\ZEL\VoxHarbor\Backup\BENCH.VHB' $EMPTY"),
    ("Update", PROGRAM, "empty", "cold", r"child update 'C:\ZEL\VoxHarbor\Prompts\PromptUpdateVer1_2.vhp' $EMPTY"),
    # The floor of Restore in two parts: the prompts (the floor of Update and Initialize), then the rest.
    ("Prompts", FLOOR, "empty", "reformat; cold",
     "mkdir $EMPTY/VM; timed floor sh -c 'cp -r $W/src/VM/PROMPTS $EMPTY/VM/ && sync -f $EMPTY'"),
    ("Rest", FLOOR, "empty", "", "timed floor sh -c 'cp -r $W/src/VM/MAILBOX $EMPTY/VM/ && sync -f $EMPTY'"),
    ("Initialize", PROGRAM, "empty", "reformat; cold", "child initialize - $EMPTY"),
]


def parse(out, kind):
    """(wall seconds, cpu seconds or None, peak MB or None) from a step's output."""
    if kind == PROGRAM:
        m = re.search(r"([\d.]+) s in the operation, cpu ([\d.]+) s, peak ([\d.]+) MB", out)
        return (float(m.group(1)), float(m.group(2)), float(m.group(3))) if m else None
    m = re.search(r"^wall floor ([\d.]+)$", out, re.M)
    return (float(m.group(1)), None, None) if m else None


# The guest's processor without "enhanced rep movsb": the kernel then copies and clears pages
# eight bytes per step (rep movsq, rep stosq) instead of one (rep movsb, rep stosb), which QEMU's
# software emulation runs an iteration at a time. With it, clearing and copying pages was 40 % of
# a Backup's CPU in the guest (perf), a cost of the emulation that no real PC pays; the floor and
# the program run on the same processor.
READER_CPU = "max,-erms"


def reader_main(a, build, full, empty, pc):
    speed = ReaderSpeed(a.read_mb, a.write_mb, a.iops)
    bench = os.path.join(build, a.preset, "bench", "flashkeeper3_bench")
    vhbtool = os.path.join(build, a.preset, "tools", "vhbtool", "vhbtool")
    fill = lambda text: text.replace("{bench}", bench).replace("{vhbtool}", vhbtool)
    started = time.monotonic()
    # RAM for the tree the floor copies, the backup and the two installation archives, beside the
    # page cache of both cards.
    memory = max(1024, 3 * a.megabytes + 1024)
    with Guest(build, cards={"full": full, "empty": empty}, memory_mb=memory, boot_timeout=600,
               reader_speed=speed, disks={"pc": pc}, cpus=a.cpus, cpu_model=READER_CPU) as g:
        # The readers run at their speed only while a step is measured: filling the card, copying
        # it for the floor, formatting and comparing are set-up, done at the host's speed.
        def readers(at):
            for ident in ("full", "empty"):
                g.set_reader_speed(ident, at)
        readers(None)
        rc, out = g.run(fill(READER_SETUP), timeout=3600)
        if rc != 0:
            sys.stdout.write(out)
            return rc
        sys.stdout.write(out)
        size = {k: int(v) for k, v in re.findall(r"^bytes (\w+) (\d+)$", out, re.M)}
        files = re.search(r"^files all (\d+) prompts (\d+)$", out, re.M)
        print("readers: %s; %d guest processors; load on the host at the start: %s" % (
            speed, a.cpus, os.getloadavg()[0]))
        print("card: %d files, %.1f MB; prompts %s files, %.1f MB; set-up %.0f s" % (
            int(files.group(1)), size["all"] / 1e6, files.group(2), size["prompts"] / 1e6,
            time.monotonic() - started))
        sys.stdout.flush()
        lib = fill(READER_LIB)
        # results[(row, kind)] = list of (wall, cpu, peak, card commands) per turn
        results = {}
        restored_ok = None
        for turn in range(a.turns):
            for row, kind, reader, before, command in STEPS:
                if row in ("Prompts", "Rest") and turn >= a.write_floor_turns:
                    continue
                if (row, kind) == ("Backup", FLOOR + " tar") and turn >= a.tar_floor_turns:
                    continue
                if before:
                    rc, out = g.run(lib + before, timeout=600)
                    if rc != 0:
                        print("set-up of %s %s failed:\n%s" % (row, kind, out))
                        return 1
                readers(speed)
                stats0 = g.card_stats(reader)
                rc, out = g.run(lib + command, timeout=3600)
                stats1 = g.card_stats(reader)
                readers(None)
                got = parse(out, kind)
                if rc != 0 or got is None:
                    print("%s %s FAILED (exit %d):\n%s" % (row, kind, rc, out))
                    return 1
                counts = {k: stats1[k] - stats0[k] for k in ("rd_operations", "wr_operations", "rd_bytes",
                                                             "wr_bytes")}
                results.setdefault((row, kind), []).append(got + (counts,))
                print("turn %d: %-10s %-11s %7.2f s   card: %6d reads %7.1f MB, %6d writes %7.1f MB" % (
                    turn + 1, row, kind, got[0], counts["rd_operations"], counts["rd_bytes"] / 1e6,
                    counts["wr_operations"], counts["wr_bytes"] / 1e6))
                sys.stdout.flush()
                if row == "Restore" and restored_ok is None:
                    # Once, untimed: the restored card holds the original tree, byte for byte.
                    rc, out = g.run(lib + "diff -r -q $W/src $EMPTY", timeout=3600)
                    restored_ok = rc == 0
                    if not restored_ok:
                        print(out)
    report(results, size, restored_ok, time.monotonic() - started)
    return 0 if restored_ok else 1


def best(runs):
    return min(runs, key=lambda r: r[0])


def report(results, size, restored_ok, elapsed):
    floor_backup = min(best(results[("Backup", FLOOR + " tar")]), best(results[("Backup", FLOOR + " cat")]),
                       key=lambda r: r[0])
    prompts = best(results[("Prompts", FLOOR)])
    turns = len(results[("Backup", PROGRAM)])
    print("\nbest of %d turns (the floor of the writes: of %d; tar: of %d)" % (
        turns, len(results[("Prompts", FLOOR)]), len(results[("Backup", FLOOR + " tar")])))
    # The floor of Restore: the two parts of the same turn.
    restore_floor = min((p[0] + r[0], p, r) for p, r in zip(results[("Prompts", FLOOR)], results[("Rest", FLOOR)]))
    rows = [
        ("Backup", best(results[("Backup", PROGRAM)]), floor_backup[0], size["all"]),
        ("Restore", best(results[("Restore", PROGRAM)]), restore_floor[0], size["all"]),
        ("Update", best(results[("Update", PROGRAM)]), prompts[0], size["prompts"]),
        ("Initialize", best(results[("Initialize", PROGRAM)]), prompts[0], size["prompts"]),
    ]
    goals = {"Backup": 1.05, "Restore": 1.10, "Update": 1.10, "Initialize": 1.10}
    print("%-11s %9s %9s %7s %9s %9s %8s %8s   %s" % ("operation", "program", "floor", "ratio", "MB/s",
                                                      "floor MB/s", "cpu", "peak", "goal"))
    peak = 0
    for name, run, floor, nbytes in rows:
        wall, cpu, mb, _ = run
        peak = max(peak, mb)
        ratio = wall / floor
        print("%-11s %7.2f s %7.2f s %6.2fx %9.1f %9.1f %6.2f s %5.1f MB   %s (<= %.2fx)" % (
            name, wall, floor, ratio, nbytes / 1e6 / wall, nbytes / 1e6 / floor, cpu, mb,
            "met" if ratio <= goals[name] else "NOT met", goals[name]))
    print("\nfloors: Backup: tar -cf - | cat %.2f s, cat of every file %.2f s; Restore: cp -r %.2f s "
          "(prompts %.2f s + the rest %.2f s)" % (
              best(results[("Backup", FLOOR + " tar")])[0], best(results[("Backup", FLOOR + " cat")])[0],
              restore_floor[0], restore_floor[1][0], restore_floor[2][0]))
    print("\ncard commands in the best turn (reads / writes, as the throttle counts them):")
    for key in [("Backup", PROGRAM), ("Backup", FLOOR + " tar"), ("Backup", FLOOR + " cat"), ("Restore", PROGRAM),
                ("Update", PROGRAM), ("Initialize", PROGRAM), ("Prompts", FLOOR), ("Rest", FLOOR)]:
        c = best(results[key])[3]
        print("  %-10s %-11s %7d reads %8.1f MB   %7d writes %8.1f MB" % (
            key[0], key[1], c["rd_operations"], c["rd_bytes"] / 1e6, c["wr_operations"], c["wr_bytes"] / 1e6))
    print("\npeak memory of the operations: %.1f MB (goal: under 32 MB): %s" % (peak, "met" if peak < 32 else "NOT met"))
    print("restored card %s the original" % ("matches" if restored_ok else "DIFFERS FROM"))
    print("whole run %.0f s; load on the host at the end: %.2f" % (elapsed, os.getloadavg()[0]))


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--megabytes", type=int, default=512)
    p.add_argument("--repeat", type=int, default=1)
    p.add_argument("--backup-turns", type=int, default=5)
    p.add_argument("--preset", default="release")
    p.add_argument("--reader", action="store_true", help="wall time at a real reader's speed against the floor")
    p.add_argument("--turns", type=int, default=3)
    p.add_argument("--write-floor-turns", type=int, default=1,
                   help="turns that run the floor of the writes (cp -r, minutes on a full card)")
    p.add_argument("--tar-floor-turns", type=int, default=1,
                   help="turns that run tar -cf - | cat as well as cat (tar is the slower floor of the two)")
    p.add_argument("--read-mb", type=float, default=25.0)
    p.add_argument("--write-mb", type=float, default=12.0)
    p.add_argument("--iops", type=int, default=2000)
    p.add_argument("--cpus", type=int, default=1,
                   help="processors of the guest in --reader")
    a = p.parse_args()
    build = os.path.join(ROOT, "build")
    # The programs of the guest, built (or brought up to date) first: a clean clone needs nothing more.
    if not os.path.exists(os.path.join(build, a.preset, "build.ninja")):
        subprocess.run(["cmake", "--preset", a.preset], cwd=ROOT, check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", "--preset", a.preset, "-j%d" % (os.cpu_count() or 2), "--target",
                    "flashkeeper3_bench", "vhbtool"], cwd=ROOT, check=True, stdout=subprocess.DEVNULL)
    cards = os.path.join(build, "vm", "cards")
    os.makedirs(cards, exist_ok=True)
    full, empty = os.path.join(cards, "bench-full.img"), os.path.join(cards, "bench-empty.img")
    size = a.megabytes * 1000 * 1000 // 512 * 512
    make_card(full, size)
    make_card(empty, size, label="EMPTY")
    if not a.reader:
        return cpu_main(a, build, full, empty)
    # The PC's disk: room for the floor's copy of the card, the backup and the two installation
    # archives; sparse, with its inode tables written now rather than by the guest meanwhile.
    pc = os.path.join(cards, "bench-pc.img")
    if os.path.exists(pc):
        os.remove(pc)
    with open(pc, "wb") as f:
        f.truncate(3 * size + 512 * 1000 * 1000)
    subprocess.run(["mkfs.ext4", "-q", "-F", "-N", "16384", "-E", "lazy_itable_init=0,lazy_journal_init=0", pc],
                   check=True, stdout=subprocess.DEVNULL)
    return reader_main(a, build, full, empty, pc)


if __name__ == "__main__":
    sys.exit(main())
