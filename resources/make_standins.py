#!/usr/bin/env python3
"""Writes the stand-in image payloads for the embedded catalogue.

Used when no real payloads are given to the build. Each stand-in is
deterministic filler (the same bytes on every run and every host) with the
records of resources/standin_layout.h laid over it, so the simulated drive
and the tests can tell a correctly written ISP area or code block from a
wrong one. Only the Python standard library is used.

    make_standins.py --catalogue resources/catalogue.csv --out DIR [--stamp FILE]
"""

import argparse
import hashlib
import os
import struct
import sys
import zlib

IMAGE_MAGIC = b"KSTRIMG\0"
ISP_MAGIC = b"KSTRISP\0"
CODE_MAGIC = b"KSTRCODE"
AUX_MAGIC = b"KSTRAUX\0"
NAME_LENGTH = 16

ISP_OFFSET = 16384
ISP_SIZE = 49152
CODE_BLOCK_SIZE = 4096
CODE_BLOCKS = (5, 12)
AUX_OFFSET = 65536
AUX_SIZE = 16384
SIZES = (65536, 131072)


def read_catalogue(path):
    """Returns [(id, size, relative path with backslashes)] in file order."""
    rows = []
    with open(path, encoding="ascii") as f:
        for number, line in enumerate(f, 1):
            line = line.strip()
            if not line or line.startswith("#"):
                continue
            fields = line.split(",")
            if len(fields) != 3:
                raise SystemExit(f"{path}:{number}: expected id,size,path")
            rows.append((int(fields[0]), int(fields[1]), fields[2]))
    return rows


def image_name(relative):
    """The name an image carries: its catalogue path, upper case, NUL-padded."""
    name = relative.upper().encode("ascii")
    if len(name) > NAME_LENGTH:
        raise SystemExit(f"image name too long for the record: {relative}")
    return name.ljust(NAME_LENGTH, b"\0")


def filler(seed, size):
    """Deterministic pseudo-random bytes: SHA-256 in counter mode."""
    out = bytearray()
    counter = 0
    while len(out) < size:
        out += hashlib.sha256(seed + struct.pack(">I", counter)).digest()
        counter += 1
    return out[:size]


def seal(data, start, length):
    """Stores the CRC-32 of a region's first length-4 bytes in its last 4."""
    end = start + length
    crc = zlib.crc32(bytes(data[start:end - 4])) & 0xFFFFFFFF
    struct.pack_into(">I", data, end - 4, crc)


def make_image(resource_id, size, relative):
    if size not in SIZES:
        raise SystemExit(f"{relative}: size {size} is not one of {SIZES}")
    name = image_name(relative)
    data = filler(b"kestrune stand-in %d " % resource_id + name, size)

    # Code blocks first: they lie inside the ISP payload, whose CRC covers them.
    for block in CODE_BLOCKS:
        start = block * CODE_BLOCK_SIZE
        header = CODE_MAGIC + bytes([block]) + name
        data[start:start + len(header)] = header
        seal(data, start, CODE_BLOCK_SIZE)

    header = ISP_MAGIC + name
    data[ISP_OFFSET:ISP_OFFSET + len(header)] = header
    seal(data, ISP_OFFSET, ISP_SIZE)

    if size >= AUX_OFFSET + AUX_SIZE:
        header = AUX_MAGIC + name
        data[AUX_OFFSET:AUX_OFFSET + len(header)] = header
        seal(data, AUX_OFFSET, AUX_SIZE)

    # The image record last: its CRC covers everything from the ISP payload on.
    body_crc = zlib.crc32(bytes(data[ISP_OFFSET:])) & 0xFFFFFFFF
    record = IMAGE_MAGIC + name + struct.pack(">II", size, body_crc)
    data[0:len(record)] = record
    return bytes(data)


def write_if_changed(path, data):
    """Leaves an identical file alone so that its time stamp stays."""
    try:
        with open(path, "rb") as f:
            if f.read() == data:
                return
    except OSError:
        pass
    tmp = path + ".tmp"
    with open(tmp, "wb") as f:
        f.write(data)
    os.replace(tmp, path)


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--catalogue", required=True)
    parser.add_argument("--out", required=True)
    parser.add_argument("--stamp")
    args = parser.parse_args(argv)

    rows = read_catalogue(args.catalogue)
    ids = [row[0] for row in rows]
    if len(set(ids)) != len(ids):
        raise SystemExit("duplicate resource id in the catalogue")
    for resource_id, size, relative in rows:
        parts = relative.split("\\")
        target = os.path.join(args.out, *parts)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        write_if_changed(target, make_image(resource_id, size, relative))
    if args.stamp:
        with open(args.stamp, "w", encoding="ascii") as f:
            f.write(f"{len(rows)} stand-ins\n")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
