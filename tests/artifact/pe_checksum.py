#!/usr/bin/env python3
"""Checks a PE image's header checksum: present and equal to the one Windows computes (the 16-bit
one's-complement sum of the file, the checksum field left out, plus the file's length), which
drivers, boot-time loaders and some scanners verify.
usage: pe_checksum.py PROGRAM.exe"""
import struct
import sys


def main(path):
    data = open(path, "rb").read()
    header = struct.unpack_from("<I", data, 0x3C)[0]
    field = header + 4 + 20 + 64  # the CheckSum field of the optional header
    stored = struct.unpack_from("<I", data, field)[0]
    padded = data + b"\0" * (len(data) % 2)
    total = 0
    for offset in range(0, len(padded), 2):
        if field <= offset < field + 4:
            continue
        total += struct.unpack_from("<H", padded, offset)[0]
        total = (total & 0xFFFF) + (total >> 16)
    computed = ((total & 0xFFFF) + (total >> 16)) + len(data)
    if stored == 0 or stored != computed:
        print(f"{path}: header checksum {stored:#x}, computed {computed:#x}")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
