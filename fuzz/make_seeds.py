#!/usr/bin/env python3
"""Writes the committed seeds of fuzz/corpus: archives from hand-laid blocks, version files and
pc.ini texts (run from fuzz/). Seeds made from real archives come from the build (SeedMaker.cpp)."""
import struct

BLOCK = 1024


def block(data=b""):
    return data + b"\0" * (BLOCK - len(data))


def header(path, attributes, halves=("0",) * 6):
    b = bytearray(BLOCK)
    b[0:len(path)] = path.encode()
    b[64:64 + len(str(attributes))] = str(attributes).encode()
    for i, h in enumerate(halves):
        b[96 + 32 * i:96 + 32 * i + len(h)] = h.encode()
    return bytes(b)


def stream(data):
    """A BACKUP_DATA record of data, padded to whole blocks (one more when it fills them)."""
    s = struct.pack("<IIQI", 1, 0, len(data), 0) + data
    return s + b"\0" * (BLOCK - len(s) % BLOCK)


def directory(path):
    return header(path, 16) + block()


def file(path, data, attributes=32):
    return header(path, attributes, ("4294967295", "30000000", "1", "0", "2147483648", "29999999")) + stream(data)


seeds = {
    "version-only.vhb": block(b"1.10\r"),
    "empty-version.vhb": block(),
    "messages.vhb": block(b"1.10\r") + directory("E:\\\\VM\\") + directory("E:\\\\VM\\\\MSG\\")
    + file("E:\\\\VM\\\\MSG\\M0001.WAV", bytes(range(256)) * 5) + file("E:\\NOTES.TXT", b"")
    + file("E:\\\\VM\\\\MSG\\M0002.WAV", b"x" * (BLOCK - 20)),
    "prompts.vhb": block(b"1.30") + directory("E:\\\\VM\\") + directory("E:\\\\VM\\\\PROMPTS\\")
    + directory("E:\\\\VM\\\\PROMPTS\\\\0\\") + directory("E:\\\\VM\\\\PROMPTS\\\\0\\\\0\\")
    + directory("E:\\\\VM\\\\PROMPTS\\\\0\\\\0\\\\0\\")
    + file("E:\\\\VM\\\\PROMPTS\\\\0\\\\0\\\\0\\VERSION.TXT", b"0130\r\n", 33),
    # File data whose second block looks like an entry header: the records say it is data.
    "header-in-data.vhb": block(b"1.10") + file("G:\\DATA.BIN", b"d" * 1004 + b"Z:\\\\EVIL\\X" + b"\0" * 300),
    # Header numbers that are no 32-bit decimals, around a good entry.
    "bad-numbers.vhb": block(b"1.10") + header("E:\\A.TXT", "32x") + stream(b"a")
    + header("E:\\B.TXT", 32, ("4294967296",) * 6) + stream(b"b") + file("E:\\OK.TXT", b"ok"),
    # A record that claims almost 2^64 bytes: the header rule takes over.
    "lying-record.vhb": block(b"1.10") + header("G:\\LONG", 32)
    + (struct.pack("<IIQI", 1, 0, 2**64 - 6, 0) + b"T" * 1004) + file("G:\\NEXT", b"next"),
    "unsafe-paths.vhb": block() + file("E:\\\\..\\\\OUT.TXT", b"no") + file("E:\\A/B", b"no")
    + file("E:\\CON", b"no") + directory("E:\\\\.\\") + file("E:\\OK.TXT", b"yes"),
}
for name, data in seeds.items():
    with open("corpus/archive/" + name, "wb") as f:
        f.write(data)

versions = {
    "crlf": b"0110\r\n", "plain": b"0110", "four-digits": b"1234\n", "empty": b"", "zero": b"0",
    "zero-one": b"01\nsecond line", "long": b"0" + b"9" * 70 + b"\n", "nul": b"01\x0010\n",
    "percent": b"%s%n%x\r\n",
}
for name, data in versions.items():
    with open("corpus/version/" + name, "wb") as f:
        f.write(data)

pcini = {
    "two-drives.ini": b"; a PC\n[C:]\ntype = fixed\nfolder = C\ntotalClusters = 4194304\n\n[E:]\ntype = removable\n"
    b"media = yes\nlabel = VOXCARD\nbytesPerSector = 512\nsectorsPerCluster = 4\ntotalClusters = 31264\n"
    b"reserved = 0\nfault = none\nvolume = yes\n",
    "empty-reader.ini": b"[g:]\r\nTYPE = Removable\r\nmedia = off # pulled\r\nlabel =\r\n",
    "broken.ini": b"[E:]\ntype = floppy\n",
}
for name, data in pcini.items():
    with open("corpus/pcini/" + name, "wb") as f:
        f.write(data)
