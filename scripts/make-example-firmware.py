#!/usr/bin/env python3
"""Writes the made-up example firmware files in examples/ (never a real firmware).

examples/ZQ5x8x.hex        about 40 KiB of generated main code as Intel HEX, made by objcopy
examples/ZQ5x8x-image.bin  an image file: 268-byte header (template block for PID_C) + 16 KiB code

The code bytes come from a fixed-seed generator, so the files are the same on every run.
Maker IDs default to the build's (VID 0x7E55, PID_C 0x2501); pass --vid/--pid to match another.
"""
import argparse
import os
import random
import struct
import subprocess
import tempfile

SMALL_IMAGE = 0x5C00
LARGE_IMAGE = 0xB800
ZERO_REGION = 0x4C00


def made_up_code(size, seed):
    rng = random.Random(seed)
    banner = b"BURNWELL EXAMPLE MAIN CODE - GENERATED, NOT A REAL FIRMWARE\x00"
    body = bytes(rng.getrandbits(8) for _ in range(size - len(banner)))
    return banner + body


def descriptor(text):
    data = text.encode("latin-1")
    out = bytes([2 * len(data) + 2, 0x03])
    for c in data:
        out += bytes([c, 0])
    return out


def template_block(vid, pid_a, pid_b, pid_c, product):
    large = product in (pid_a, pid_b)
    block = bytearray(256)
    struct.pack_into("<HHHH", block, 0, vid, vid, pid_a if large else pid_c, 0x0100)
    block[8], block[9], block[10] = 0xC0, 50, 0x40 if large else 0x00
    block[14] = 0xFF
    chain = bytes([4, 3, 9, 4]) + descriptor("Tessalin Technology Inc.") + descriptor("USB-SATA Bridge") \
        + descriptor("TESSALINMP000000001")
    block[16:16 + len(chain)] = chain
    block[249] = 0x06
    return block


def image_size_for_header(length):
    return SMALL_IMAGE if length <= ZERO_REGION or length == SMALL_IMAGE else LARGE_IMAGE


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--out", default=os.path.join(os.path.dirname(__file__), "..", "examples"))
    parser.add_argument("--vid", type=lambda v: int(v, 0), default=0x7E55)
    parser.add_argument("--pid-a", type=lambda v: int(v, 0), default=0x5801)
    parser.add_argument("--pid-b", type=lambda v: int(v, 0), default=0x5802)
    parser.add_argument("--pid-c", type=lambda v: int(v, 0), default=0x2501)
    args = parser.parse_args()
    os.makedirs(args.out, exist_ok=True)

    # Intel HEX: 40 KiB of code, so the image is the large one.
    code = made_up_code(40 * 1024, seed=0x5A5A)
    with tempfile.TemporaryDirectory() as work:
        raw = os.path.join(work, "code.bin")
        with open(raw, "wb") as f:
            f.write(code)
        subprocess.run(["objcopy", "-I", "binary", "-O", "ihex", raw, os.path.join(args.out, "ZQ5x8x.hex")],
                       check=True)
    full = code + b"\xff" * (LARGE_IMAGE - len(code))
    print("ZQ5x8x.hex: code length %d, checksum %04X" % (LARGE_IMAGE, sum(full) & 0xFFFF))

    # Image file: 16 KiB of code for PID_C (small image, 0xFF beyond the code).
    code = made_up_code(16 * 1024, seed=0xC0DE)
    image = code + b"\xff" * (image_size_for_header(len(code)) - len(code))
    checksum = sum(image) & 0xFFFF
    block = template_block(args.vid, args.pid_a, args.pid_b, args.pid_c, args.pid_c)
    block[11] = 0x5A
    struct.pack_into(">H", block, 12, checksum)
    header = bytes(block) + struct.pack("<III", args.pid_c, 0, len(code))
    with open(os.path.join(args.out, "ZQ5x8x-image.bin"), "wb") as f:
        f.write(header + code)
    print("ZQ5x8x-image.bin: code length %d, checksum %04X" % (len(code), checksum))


if __name__ == "__main__":
    main()
