#!/usr/bin/env python3
"""Reads or sets the FAT attribute byte of files on a mounted vfat volume, through the kernel's
FAT ioctls, independently of the program's own file services.

    fatattr.py get PATH...          prints "WORD PATH" per path
    fatattr.py set WORD PATH...
"""
import fcntl
import os
import struct
import sys

FAT_IOCTL_GET_ATTRIBUTES = 0x80047210  # _IOR('r', 0x10, __u32)
FAT_IOCTL_SET_ATTRIBUTES = 0x40047211  # _IOW('r', 0x11, __u32)


def get(path):
    fd = os.open(path, os.O_RDONLY)
    try:
        return struct.unpack("I", fcntl.ioctl(fd, FAT_IOCTL_GET_ATTRIBUTES, b"\0" * 4))[0]
    finally:
        os.close(fd)


def set_(path, word):
    fd = os.open(path, os.O_RDONLY)
    try:
        fcntl.ioctl(fd, FAT_IOCTL_SET_ATTRIBUTES, struct.pack("I", word))
    finally:
        os.close(fd)


if __name__ == "__main__":
    if sys.argv[1] == "get":
        for p in sys.argv[2:]:
            print(get(p), p)
    else:
        for p in sys.argv[3:]:
            set_(p, int(sys.argv[2], 0))
