"""The virtual PC with a USB card reader, for tests that need the real card stack.

A guest from Debian packages (tests/vm/build-guest.sh): the Debian kernel under QEMU (TCG), the
host's root shared read-only over virtio-9p, the build tree shared read-write at the same path,
udev, the system D-Bus, polkit and udisks2 inside. Card readers are usb-storage devices with
removable=on on a qemu-xhci controller, each on a raw card image of the host.

    with Guest(build_dir, cards={"reader0": "card.img"}) as g:
        rc, out = g.run("udisksctl status")
        g.unplug("reader0"); g.plug("reader0")      # USB hot-plug through QEMU's monitor
        g.power_cut()                               # QEMU stops at once; nothing is flushed

A reader runs as fast as the host's page cache unless the guest is given a ReaderSpeed: then each
reader's card goes through a QEMU throttle filter of its own (bandwidth for reads and writes, and
commands per second), as a real USB CompactFlash reader is slow; set_reader_speed(ident, speed)
changes it while the guest runs (None: no limit). card_stats(ident) gives what reached that
reader's card (commands and bytes, read, written and flushed).

Fixed disks (disks={"pc": "pc.img"}) are virtio disks, /dev/disk/by-id/virtio-ID in the guest.
freeze() copies images while the guest is stopped: what a power cut at that instant leaves.

Tests inside the guest may ask the host for hot-plug on /dev/ttyS2: a line "unplug ID", "plug ID"
or "plug-spare ID" (the reader comes back with its spare card image, as if another card had been
put in) is answered "ok" once QEMU has done it, "check ID" (an unplugged reader) once its card
image passed fsck.fat -n, "mark STEP ID" once the on_mark callback (if any) has seen it; anything
else is answered "error TEXT" (see serve_requests).

As a command, from the top of the tree:
    python3 -m tests.vm.guest [--card ID=IMAGE ...] [--timeout S] BUILD_DIR -- COMMAND...
"""

import argparse
import json
import os
import re
import shlex
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time

# What fsck.fat -n reports of a card pulled while files were being written on it that costs no
# file anything: their clusters allocated but not yet in any folder, and the second FAT behind
# the first.
PULL_LEFTOVER = re.compile(r"^(Reclaimed \d+ unused clusters? \(\d+ bytes\)\.?|"
                           r"FATs differ but appear to be intact\.?.*|Using first FAT\.?)$")

# What fsck.fat -n says of a file whose write a pull cut short (on the line after its path).
WRITE_CUT_SHORT = re.compile(r"File size is \d+ bytes, cluster chain length is \d+|Contains a free cluster|"
                             r"Truncating file to \d+ bytes")

HERE = os.path.dirname(os.path.abspath(__file__))


class GuestError(Exception):
    pass


class ReaderSpeed:
    """What a real USB CompactFlash reader manages: megabytes (10^6 bytes) per second read and
    written, and commands per second of either kind."""

    def __init__(self, read_mb=25.0, write_mb=12.0, iops=2000):
        self.read_mb, self.write_mb, self.iops = read_mb, write_mb, iops

    def limits(self):
        return {"bps-read": int(self.read_mb * 1e6), "bps-write": int(self.write_mb * 1e6),
                "iops-total": int(self.iops)}

    def __str__(self):
        return "%g MB/s read, %g MB/s write, %d commands/s" % (self.read_mb, self.write_mb, self.iops)


class Guest:
    def __init__(self, build_dir, cards=None, spares=None, memory_mb=1024, boot_timeout=180, log=None,
                 disks=None, reader_speed=None, cpus=1, cpu_model="max"):
        self.build_dir = os.path.abspath(build_dir)
        self.vm_dir = os.path.join(self.build_dir, "vm")
        self.cards = dict(cards or {})
        # A second card image per reader, for swapping cards in one reader.
        self.spares = dict(spares or {})
        self.disks = dict(disks or {})
        # None: the cards are as fast as the host's page cache (the tests); else a ReaderSpeed.
        self.reader_speed = reader_speed
        self.nodes = {ident: ident + "-card" for ident in self.cards}
        self.on_mark = None
        self.memory_mb = memory_mb
        self.cpus = cpus
        self.cpu_model = cpu_model
        self.boot_timeout = boot_timeout
        self.log = log or sys.stderr
        self.proc = None
        self.run_dir = None
        self._cmd = None
        self._cmd_buffer = b""
        self._qmp = None
        self._qmp_file = None
        self._qmp_lock = threading.Lock()
        self._requests = None
        self._next_id = 0
        self.plugged = set()

    # ------------------------------------------------------------------ lifetime
    def __enter__(self):
        try:
            self.start()
        except BaseException:
            self.power_cut()
            raise
        return self

    def __exit__(self, *exc):
        self.stop()

    def start(self):
        """Boots the guest; on failure QEMU is ended again (a with block does that itself)."""
        subprocess.run([os.path.join(HERE, "build-guest.sh"), self.vm_dir], check=True)
        os.makedirs(os.path.join(self.vm_dir, "runs"), exist_ok=True)
        self.run_dir = tempfile.mkdtemp(prefix="run-", dir=os.path.join(self.vm_dir, "runs"))
        sock = lambda name: os.path.join(self.run_dir, name)
        self.console_log = sock("console.log")
        args = [
            "qemu-system-x86_64", "-machine", "pc,accel=tcg", "-cpu", self.cpu_model, "-smp", str(self.cpus),
            "-m", str(self.memory_mb), "-nodefaults", "-display", "none", "-no-reboot",
            "-kernel", os.path.join(self.vm_dir, "vmlinuz"),
            "-initrd", os.path.join(self.vm_dir, "initrd.img"),
            # no_timer_check: under a loaded host, software emulation can miss the kernel's early timer
            # test, which then panics ("IO-APIC + timer doesn't work").
            "-append", "console=ttyS0 quiet panic=-1 no_timer_check fk.init=%s fk.build=%s"
            % (os.path.join(HERE, "guest-init"), self.build_dir),
            "-virtfs", "local,path=/,mount_tag=hostroot,security_model=none,readonly=on,multidevs=remap",
            "-virtfs", "local,path=%s,mount_tag=build,security_model=none,multidevs=remap" % self.build_dir,
            "-serial", "file:" + self.console_log,
            "-serial", "unix:%s,server=on,wait=off" % sock("cmd.sock"),
            "-serial", "unix:%s,server=on,wait=off" % sock("req.sock"),
            "-qmp", "unix:%s,server=on,wait=off" % sock("qmp.sock"),
            "-device", "qemu-xhci,id=xhci",
        ]
        for ident, image in self.disks.items():
            args += ["-blockdev", "driver=raw,node-name=%s-disk,file.driver=file,file.filename=%s,file.locking=off"
                     % (ident, os.path.abspath(image))]
            args += ["-device", "virtio-blk-pci,drive=%s-disk,serial=%s" % (ident, ident)]
        for ident in sorted(set(self.cards) | set(self.spares)):
            if self.reader_speed is not None:
                args += ["-object", json.dumps(dict(self._throttle_group(ident), **{"qom-type": "throttle-group"}))]
        for ident, image in self.cards.items():
            args += self._blockdev_options(ident, self.nodes[ident], image)
            args += ["-device", self._reader(ident)]
            self.plugged.add(ident)
        for ident, image in self.spares.items():
            args += self._blockdev_options(ident, ident + "-spare", image)
        self.proc = subprocess.Popen(args, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                     stderr=subprocess.STDOUT)
        deadline = time.monotonic() + 10
        while not os.path.exists(sock("qmp.sock")) or not os.path.exists(sock("cmd.sock")):
            if self.proc.poll() is not None or time.monotonic() > deadline:
                raise GuestError("qemu did not start: " + self.proc.stdout.read().decode(errors="replace"))
            time.sleep(0.05)
        self._cmd = socket.socket(socket.AF_UNIX)
        self._cmd.connect(sock("cmd.sock"))
        self._qmp = socket.socket(socket.AF_UNIX)
        self._qmp.connect(sock("qmp.sock"))
        self._qmp_file = self._qmp.makefile("rwb")
        self._qmp_file.readline()  # the greeting
        self.qmp("qmp_capabilities")
        self._requests = socket.socket(socket.AF_UNIX)
        self._requests.connect(sock("req.sock"))
        threading.Thread(target=self.serve_requests, daemon=True).start()
        started = time.monotonic()
        self._read_line(time.monotonic() + self.boot_timeout, expect="READY")
        self.log.write("vm: guest ready in %.1f s\n" % (time.monotonic() - started))

    def stop(self):
        """Powers the guest off after syncing its disks; kills QEMU if it does not end."""
        if self.proc is None:
            return
        if self.proc.poll() is None:
            try:
                self._cmd.sendall(b"POWEROFF\n")
                self.proc.wait(timeout=30)
            except (OSError, subprocess.TimeoutExpired):
                self.proc.kill()
                self.proc.wait()
        self._close()

    def power_cut(self):
        """Ends QEMU at once, as pulling the PC's plug: what the guest had not written is lost."""
        if self.proc is not None and self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
        self._close()

    def _close(self):
        for s in (self._cmd, self._qmp, self._requests):
            if s is not None:
                try:
                    s.close()
                except OSError:
                    pass
        self.proc = None

    # ------------------------------------------------------------------ commands
    def run(self, command, timeout=300, env=None):
        """Runs a shell command in the guest (bash, in the run folder); returns (exit code, output)."""
        if self.proc is None or self.proc.poll() is not None:
            raise GuestError("the guest is not running")
        self._next_id += 1
        ident = "c%d" % self._next_id
        script = os.path.join(self.run_dir, ident + ".sh")
        with open(script, "w") as f:
            for k, v in (env or {}).items():
                f.write("export %s=%s\n" % (k, shlex.quote(v)))
            f.write(command + "\n")
        self._cmd.sendall(("%s %s\n" % (ident, self.run_dir)).encode())
        line = self._read_line(time.monotonic() + timeout, expect=ident + " ")
        with open(os.path.join(self.run_dir, ident + ".out"), errors="replace") as f:
            output = f.read()
        return int(line.split()[1]), output

    def _read_line(self, deadline, expect):
        while True:
            while b"\n" in self._cmd_buffer:
                line, self._cmd_buffer = self._cmd_buffer.split(b"\n", 1)
                text = line.decode(errors="replace").strip()
                if text.startswith(expect):
                    return text
            remaining = deadline - time.monotonic()
            if remaining <= 0 or self.proc.poll() is not None:
                raise GuestError("no answer from the guest (waiting for %r); its console:\n%s"
                                 % (expect, self.console_tail()))
            self._cmd.settimeout(min(remaining, 1.0))
            try:
                chunk = self._cmd.recv(4096)
            except socket.timeout:
                continue
            if not chunk:
                raise GuestError("the guest closed its command port; its console:\n" + self.console_tail())
            self._cmd_buffer += chunk

    def console_tail(self, lines=40):
        try:
            with open(self.console_log, errors="replace") as f:
                return "".join(f.readlines()[-lines:])
        except OSError:
            return "(no console log)"

    # ------------------------------------------------------------------ monitor and hot-plug
    def qmp(self, command, **arguments):
        with self._qmp_lock:
            msg = {"execute": command}
            if arguments:
                msg["arguments"] = arguments
            self._qmp_file.write(json.dumps(msg).encode() + b"\n")
            self._qmp_file.flush()
            while True:
                reply = json.loads(self._qmp_file.readline())
                if "return" in reply:
                    return reply["return"]
                if "error" in reply:
                    raise GuestError("%s: %s" % (command, reply["error"].get("desc")))
                # events ({"event": ...}) are not waited for

    def unplug(self, ident):
        """Pulls the reader ident off the USB bus (the card image stays as it is); returns once
        QEMU has let go of it, so that it can be plugged in again at once."""
        self.qmp("device_del", id=ident)
        deadline = time.monotonic() + 20
        while any(p.get("name") == ident for p in self.qmp("qom-list", path="/machine/peripheral")):
            if time.monotonic() > deadline:
                raise GuestError("%s is still on the bus" % ident)
            time.sleep(0.05)
        self.plugged.discard(ident)

    def plug(self, ident, spare=False):
        """Plugs the reader ident back in, with its card image or its spare one."""
        if spare and ident not in self.spares:
            raise GuestError("%s has no spare card" % ident)
        self.qmp("device_add", **self._reader_args(ident, spare))
        self.plugged.add(ident)

    def insert_card(self, ident, image):
        """Plugs a reader ident holding another card image (a reader of that name is pulled first)."""
        if ident in self.plugged:
            self.unplug(ident)
        deadline = time.monotonic() + 30
        while any(c.get("name") == ident for c in self.qmp("qom-list", path="/machine/peripheral")):
            if time.monotonic() > deadline:
                raise GuestError("the reader %s does not leave the USB bus" % ident)
            time.sleep(0.1)
        self._next_id += 1
        node = "%s-%d" % (ident, self._next_id)
        for node_args in self._blockdev_nodes(ident, node, image):
            self.qmp("blockdev-add", **node_args)
        self.cards[ident] = os.path.abspath(image)
        self.nodes[ident] = node
        self.plug(ident)

    def freeze(self, copies):
        """Stops the guest, copies each (image, copy) pair and lets the guest go on. QEMU's stop
        completes the requests in flight first, so each copy holds exactly what the disk held at
        that instant: what a power cut then would leave. Returns how long the guest stood still."""
        started = time.monotonic()
        self.qmp("stop")
        try:
            for image, copy in copies:
                subprocess.run(["cp", "--sparse=always", image, copy], check=True)
        finally:
            self.qmp("cont")
        return time.monotonic() - started

    def serve_requests(self):
        buffer = b""
        while True:
            try:
                chunk = self._requests.recv(4096)
            except OSError:
                return
            if not chunk:
                return
            buffer += chunk
            while b"\n" in buffer:
                line, buffer = buffer.split(b"\n", 1)
                words = line.decode(errors="replace").split()
                try:
                    if len(words) == 2 and words[0] == "unplug":
                        self.unplug(words[1])
                    elif len(words) == 2 and words[0] == "plug":
                        self.plug(words[1])
                    elif len(words) == 2 and words[0] == "plug-spare":
                        self.plug(words[1], spare=True)
                    elif len(words) == 2 and words[0] == "check":
                        self.check_card(words[1])
                    elif len(words) == 3 and words[0] == "mark":
                        if self.on_mark is not None:
                            self.on_mark(words[1])
                    else:
                        raise GuestError("unknown request %r" % line)
                    answer = "ok\n"
                except GuestError as e:
                    answer = "error %s\n" % e
                try:
                    self._requests.sendall(answer.encode())
                except OSError:
                    return

    def check_card(self, ident):
        """fsck.fat -n of an unplugged reader's card image; a GuestError names what it found.
        The dirty bit passes: a card pulled while mounted always carries it. So do clusters that
        files still being written had taken (reclaimed as unused: space lost, no file harmed) and
        a second FAT that the pull caught half written while the first is intact; anything else
        that fsck.fat finds fails."""
        if ident in self.plugged:
            raise GuestError("%s is plugged in: its card is in use" % ident)
        r = subprocess.run(["fsck.fat", "-n", self.cards[ident]], stdout=subprocess.PIPE,
                           stderr=subprocess.STDOUT, text=True)
        if r.returncode == 0:
            return
        findings = [l for l in r.stdout.splitlines()[1:]
                    if l.strip() and "Dirty bit" not in l and "removing dirty bit" not in l
                    and "Leaving filesystem unchanged" not in l and not l.startswith(self.cards[ident])
                    and not PULL_LEFTOVER.match(l.strip())]
        # A file whose write the pull cut short: its folder entry on the card before its FAT
        # chain, or the other way round (vfat orders neither). The program has said the operation
        # failed; a disk check repairs such a card, so it passes when a repaired copy is clean.
        cut_short = [l for l in findings if not l.startswith("/") and not WRITE_CUT_SHORT.search(l)]
        if findings and not cut_short and self._repairs_to_clean(self.cards[ident]):
            return
        if findings:
            raise GuestError(" / ".join(findings[:6]))

    @staticmethod
    def _repairs_to_clean(image):
        with tempfile.TemporaryDirectory() as work:
            copy = os.path.join(work, "card.img")
            shutil.copyfile(image, copy)
            subprocess.run(["fsck.fat", "-a", "-w", copy], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            return subprocess.run(["fsck.fat", "-n", copy], stdout=subprocess.DEVNULL,
                                  stderr=subprocess.DEVNULL).returncode == 0

    def card_stats(self, ident):
        """What has reached the card in reader ident since it was plugged in: a dict with the
        commands (rd_operations, wr_operations, flush_operations) and bytes (rd_bytes, wr_bytes)
        as QEMU's block statistics count them."""
        for entry in self.qmp("query-blockstats"):
            if entry.get("qdev", "").startswith("/machine/peripheral/%s/" % ident) or entry.get("qdev") == ident:
                return entry["stats"]
        raise GuestError("no block statistics for the reader %s" % ident)

    def set_reader_speed(self, ident, speed):
        """Changes the speed of reader ident's card while the guest runs (the guest must have been
        given a reader speed): a ReaderSpeed, or None for no limit at all. What is under way
        goes on at the new speed."""
        limits = speed.limits() if speed is not None else {k: 0 for k in ReaderSpeed().limits()}
        self.qmp("qom-set", path="/objects/%s-speed" % ident, property="limits", value=limits)

    def _throttle_group(self, ident):
        return {"id": ident + "-speed", "limits": self.reader_speed.limits()}

    def _blockdev_nodes(self, ident, node, image):
        """The block nodes of a card image, the last one named node: the image, behind the reader's
        throttle filter when the guest has a reader speed."""
        if self.reader_speed is None:
            return [_blockdev_args(node, image)]
        return [_blockdev_args(node + "-image", image),
                {"driver": "throttle", "node-name": node, "throttle-group": ident + "-speed",
                 "file": node + "-image"}]

    def _blockdev_options(self, ident, node, image):
        options = []
        for node_args in self._blockdev_nodes(ident, node, image):
            options += ["-blockdev", json.dumps(node_args)]
        return options

    def _reader_args(self, ident, spare=False):
        return {"driver": "usb-storage", "bus": "xhci.0", "drive": (ident + "-spare") if spare else self.nodes[ident],
                "removable": "on", "id": ident}

    def _reader(self, ident):
        return ",".join(["usb-storage"] + ["%s=%s" % (k, v) for k, v in self._reader_args(ident).items()
                                           if k != "driver"])


def _blockdev_args(node, image):
    return {"driver": "raw", "node-name": node,
            "file": {"driver": "file", "filename": os.path.abspath(image), "locking": "off"}}


def main():
    parser = argparse.ArgumentParser(description="Runs one command in the virtual PC.")
    parser.add_argument("--card", action="append", default=[], metavar="ID=IMAGE")
    parser.add_argument("--timeout", type=float, default=600)
    parser.add_argument("build_dir")
    parser.add_argument("command", nargs=argparse.REMAINDER)
    a = parser.parse_args()
    command = a.command[1:] if a.command[:1] == ["--"] else a.command
    cards = dict(c.split("=", 1) for c in a.card)
    with Guest(a.build_dir, cards=cards) as g:
        rc, out = g.run(" ".join(shlex.quote(c) for c in command) if command else "true", timeout=a.timeout)
    sys.stdout.write(out)
    return rc


if __name__ == "__main__":
    sys.exit(main())
