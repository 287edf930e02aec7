#!/usr/bin/python3
"""The benchmark's peer: the same conversion written by hand, as a capable user
would with NumPy and Pillow. Reads the archive entry by entry, inflates type-4
payloads with zlib, widens ARGB4444 with vectorised NumPy and lets Pillow save
each image under its stored name (format chosen by the extension).

    peer.py ARCHIVE
"""
import struct
import sys
import zlib

import numpy as np
from PIL import Image


def convert(kind, width, height, payload):
    if kind == 4:
        px = np.frombuffer(zlib.decompress(payload), dtype=np.uint8, count=width * height * 2)
        low, high = px[0::2], px[1::2]  # low byte: G B, high byte: A R
        rgba = np.empty((height * width, 4), dtype=np.uint8)
        rgba[:, 0] = (high & 15) * 17
        rgba[:, 1] = (low >> 4) * 17
        rgba[:, 2] = (low & 15) * 17
        rgba[:, 3] = (high >> 4) * 17
        return rgba.reshape(height, width, 4)
    bgra = np.frombuffer(payload, dtype=np.uint8, count=width * height * 4).reshape(height, width, 4)
    return bgra[:, :, [2, 1, 0, 3]]


def main(path):
    with open(path, "rb") as f:
        count = struct.unpack_from("<I", f.read(256), 4)[0]
        table = f.read(12 * count)
        for i in range(1, count):
            _, offset, size = struct.unpack_from("<III", table, 12 * i)
            f.seek(offset)
            header = f.read(80)
            name = header[:32].split(b"\0")[0].decode("latin-1")
            width, height, kind = struct.unpack_from("<HHB", header, 32)
            rgba = convert(kind, width, height, f.read(size))
            Image.fromarray(rgba, "RGBA").save(name)


if __name__ == "__main__":
    main(sys.argv[1])
