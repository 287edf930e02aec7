#!/usr/bin/env python3
"""Writes the hostile seeds of the packer's image decoders into fuzz/image-seeds/<format>/.

Each file is a small image built byte by byte to break a decoder that trusts it:
run-length codes past the row and past the image, BMP moves in every
direction, truncations, huge declared sizes, indices past the palette, JPEG
variants that aren't read and scans without end, WebP containers that lie. The
fuzz targets' replay tests run them, with the fixtures of
tests/fixtures/images/, in every build. Run from the repository's top folder:
    python3 fuzz/make_image_seeds.py
"""
import os
import struct
import zlib

HERE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "image-seeds")


def write(fmt, name, data):
    folder = os.path.join(HERE, fmt)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


# ---------------------------------------------------------------------------
def tga(kind, w, h, bits, data, desc=0, cmap=None, id_field=b""):
    cmap_type, first, length, entry_bits, entries = (1, *cmap) if cmap else (0, 0, 0, 0, b"")
    return struct.pack("<BBBHHBHHHHBB", len(id_field), cmap_type, kind, first, length, entry_bits, 0, 0, w, h, bits,
                       desc) + id_field + entries + data


def tga_seeds():
    pal = (0, 4, 24, bytes(range(12)))
    write("tga", "rle-run-past-the-image", tga(10, 2, 2, 24, b"\xff\x01\x02\x03"))
    write("tga", "rle-run-across-rows", tga(10, 3, 2, 24, b"\x85\x01\x02\x03"))
    write("tga", "rle-literal-past-the-image", tga(10, 2, 1, 24, b"\x7f" + bytes(384)))
    write("tga", "rle-cut-inside-a-packet", tga(9, 4, 4, 8, b"\x83", cmap=pal))
    write("tga", "raw-cut", tga(2, 4, 4, 32, bytes(63)))
    write("tga", "huge", tga(2, 65535, 65535, 32, bytes(16)))
    write("tga", "index-outside-the-map", tga(1, 2, 1, 8, b"\x01\x09", cmap=pal))
    write("tga", "map-first-above-index", tga(1, 1, 1, 8, b"\x00", cmap=(5, 4, 24, bytes(12))))
    write("tga", "map-cut", tga(1, 1, 1, 8, b"", cmap=(0, 300, 32, bytes(20))))
    write("tga", "id-field-past-the-end", tga(2, 1, 1, 24, b"", id_field=bytes(255))[:40])
    write("tga", "16-bit-with-alpha-bit", tga(2, 2, 2, 16, b"\x00\x80\xff\x7f\x1f\x00\xe0\x83", desc=0x21))
    write("tga", "grey-alpha-right-to-left", tga(3, 2, 2, 16, bytes(range(8)), desc=0x38))
    write("tga", "type-0", tga(0, 1, 1, 8, b"\x00"))
    write("tga", "zero-width", tga(2, 0, 5, 24, b""))


# ---------------------------------------------------------------------------
def bmp(w, h, bits, compression, data, colours=2, info_size=40, masks=b""):
    info = struct.pack("<IiiHHIIiiII", info_size, w, h, 1, bits, compression, len(data), 0, 0, colours, 0)
    info = info.ljust(info_size, b"\x00")
    palette = b"".join(bytes([40 * k % 256, (255 - 40 * k) % 256, 9 * k % 256, 0]) for k in range(min(colours, 256) if bits <= 8 else 0))
    offset = 14 + len(info) + len(masks) + len(palette)
    return b"BM" + struct.pack("<IHHI", offset + len(data), 0, 0, offset) + info + masks + palette + data


def bmp_seeds():
    rle8 = lambda data, w=4, h=2, top=False: bmp(w, -h if top else h, 8, 1, bytes(data))
    rle4 = lambda data, w=4, h=2: bmp(w, h, 4, 2, bytes(data))
    write("bmp", "rle8-run-past-the-row", rle8([9, 1, 0, 1]))
    write("bmp", "rle8-run-into-the-padding", rle8([4, 1, 0, 0, 4, 1, 0, 1], w=3))
    write("bmp", "rle8-literal-past-the-row", rle8([0, 6, 1, 1, 1, 1, 1, 1, 0, 1]))
    write("bmp", "rle8-run-past-the-image", rle8([4, 1, 0, 0, 4, 1, 0, 0, 4, 1, 0, 1]))
    write("bmp", "rle8-move-right-out", rle8([0, 2, 5, 0, 1, 1, 0, 1]))
    write("bmp", "rle8-move-up-out", rle8([0, 2, 0, 3, 1, 1, 0, 1]))
    write("bmp", "rle8-move-right-and-up-out", rle8([0, 2, 255, 255, 0, 1]))
    write("bmp", "rle8-move-after-the-last-row", rle8([0, 0, 0, 0, 0, 2, 1, 0, 0, 1]))
    write("bmp", "rle8-move-then-run", rle8([0, 2, 2, 1, 2, 1, 0, 1]))
    write("bmp", "rle8-top-down-move", rle8([0, 2, 3, 1, 1, 1, 0, 1], top=True))
    write("bmp", "rle8-without-end", rle8([4, 1, 0, 0, 4, 1]))
    write("bmp", "rle8-index-past-the-palette", rle8([2, 7, 0, 1]))
    write("bmp", "rle8-huge-and-empty", bmp(16384, 16384, 8, 1, b"\x00\x01"))
    write("bmp", "rle4-run-past-the-row", rle4([9, 0x10, 0, 1]))
    write("bmp", "rle4-odd-literal", rle4([0, 3, 0x10, 0x10, 0, 0, 0, 1]))
    write("bmp", "rle4-literal-cut", rle4([0, 8, 0x11]))
    write("bmp", "rows-cut", bmp(4, 4, 24, 0, bytes(40)))
    write("bmp", "huge", bmp(65536, 65536, 24, 0, bytes(16)))
    write("bmp", "negative-width", bmp(-4, 1, 24, 0, bytes(12)))
    write("bmp", "int-min-height", bmp(1, -2 ** 31, 24, 0, bytes(4)))
    write("bmp", "palette-too-large", bmp(1, 1, 8, 0, bytes(4), colours=0x10000000))
    write("bmp", "masks-not-one-run", bmp(1, 1, 16, 3, bytes(4), masks=struct.pack("<III", 0x5005, 0x0FF0, 0x000A)))
    write("bmp", "masks-cut", bmp(1, 1, 32, 3, b"", masks=b"\xff\x00"))
    write("bmp", "alpha-bitfields", bmp(1, 1, 32, 6, b"\x01\x02\x03\x04",
                                        masks=struct.pack("<IIII", 0xFF00, 0xFF0000, 0xFF000000, 0xFF)))
    write("bmp", "core-header", b"BM" + struct.pack("<IHHI", 0, 0, 0, 32) + struct.pack("<IHHHH", 12, 1, 1, 1, 8) +
          bytes([1, 2, 3, 4, 5, 6]) + b"\x01\x00\x00\x00")
    write("bmp", "pixels-past-the-end", bmp(1, 1, 24, 0, bytes(4))[:10] + b"\xff\xff\xff\x7f" + bmp(1, 1, 24, 0, bytes(4))[14:])
    write("bmp", "header-size-200", bmp(1, 1, 24, 0, bytes(4), info_size=200))


# ---------------------------------------------------------------------------
def pcx(w, h, planes, bits, line_bytes, data, version=5, palette=b""):
    head = struct.pack("<BBBBHHHHHH", 10, version, 1, bits, 0, 0, w - 1, h - 1, 72, 72) + bytes(range(48))
    head += bytes([0, planes]) + struct.pack("<HH", line_bytes, 1)
    return head.ljust(128, b"\x00") + data + palette


def pcx_seeds():
    pal = b"\x0c" + bytes(768)
    write("pcx", "run-past-the-image", pcx(1, 1, 3, 8, 1, b"\xc5\x09"))
    write("pcx", "run-across-rows", pcx(2, 2, 3, 8, 2, b"\xcc\x07"))
    write("pcx", "absurd-line-width", pcx(1, 1000, 3, 8, 65535, b"\xc1\x00"))
    write("pcx", "line-width-too-small", pcx(9, 1, 3, 8, 1, bytes(27)))
    write("pcx", "cut", pcx(4, 4, 4, 8, 4, b"\xc9\x01"))
    write("pcx", "run-marker-at-the-end", pcx(1, 1, 1, 8, 1, b"\xc1", palette=pal))
    write("pcx", "no-palette-version-5", pcx(2, 1, 1, 8, 2, b"\x01\x02"))
    write("pcx", "grey-version-3", pcx(2, 1, 1, 8, 2, b"\x01\x02", version=3))
    write("pcx", "four-planes-of-one-bit", pcx(9, 2, 4, 1, 2, bytes(range(16))))
    write("pcx", "huge", pcx(65535, 65535, 3, 8, 65535, bytes(64)))
    write("pcx", "reversed-corners", pcx(1, 1, 3, 8, 1, b"\x01\x02\x03")[:8] + b"\x00\x00\x05\x00" +
          pcx(1, 1, 3, 8, 1, b"\x01\x02\x03")[12:])
    write("pcx", "three-planes-of-one-bit", pcx(8, 1, 3, 1, 1, b"\x01\x02\x03"))


# ---------------------------------------------------------------------------
def chunk(kind, data):
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF)


def png(w, h, depth, colour, raw, extra=b"", interlace=0, idat=None):
    ihdr = struct.pack(">IIBBBBB", w, h, depth, colour, 0, 0, interlace)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", ihdr) + extra +
            chunk(b"IDAT", zlib.compress(raw) if idat is None else idat) + chunk(b"IEND", b""))


def png_seeds():
    write("png", "huge", png(65535, 65535, 8, 6, b""))
    write("png", "large-in-few-bytes", png(16384, 16384, 8, 0, b"\x00" * 100))
    write("png", "data-cut", png(8, 8, 8, 2, bytes(8 * 25))[:-30])
    write("png", "data-short", png(8, 8, 8, 2, bytes(8 * 25 - 30)))
    write("png", "data-long", png(2, 2, 8, 0, bytes(100)))
    write("png", "no-iend", png(2, 2, 8, 0, bytes(6))[:-12])
    bad = bytearray(png(2, 2, 8, 0, bytes(6)))
    bad[30] ^= 1
    write("png", "ihdr-crc", bytes(bad))
    write("png", "index-past-the-palette", png(2, 1, 8, 3, b"\x00\x00\x07", chunk(b"PLTE", bytes(6))))
    write("png", "trns-longer-than-the-palette", png(1, 1, 8, 3, b"\x00\x00", chunk(b"PLTE", bytes(6)) +
                                                     chunk(b"tRNS", bytes(9))))
    write("png", "interlaced-16-bit-cut", png(9, 9, 16, 6, bytes(9 * 73), interlace=1)[:-40])
    write("png", "zlib-bomb", png(1, 1, 8, 0, bytes(10 ** 6)))
    write("png", "bad-filter", png(2, 1, 8, 0, b"\x09\x01\x02"))
    write("png", "huge-iccp", png(1, 1, 8, 0, b"\x00\x00", chunk(b"iCCP", b"p\x00\x00" + zlib.compress(bytes(10 ** 7)))))
    write("png", "depth-3", png(1, 1, 3, 0, b"\x00\x00"))


# ---------------------------------------------------------------------------
# JPEG, baseline and Huffman-coded, each Huffman table a single code of one bit
# (DC category 0, end of block): every block of a flat grey image is two 0 bits.
def jpeg_segment(marker, data):
    return bytes([0xFF, marker]) + struct.pack(">H", len(data) + 2) + data


def jpeg(w, h, data, comps=((1, 1, 1),), sof=0xC0, precision=8, scans=None, extra=b""):
    one_code = bytes([1] + [0] * 15)
    tables = jpeg_segment(0xDB, b"\x00" + bytes([1] * 64)) + jpeg_segment(0xC4, b"\x00" + one_code + b"\x00" +
                                                                        b"\x10" + one_code + b"\x00")
    frame = struct.pack(">BHHB", precision, h, w, len(comps)) + b"".join(bytes([c, hs << 4 | vs, 0]) for c, hs, vs in comps)
    if scans is None:
        scans = [bytes([len(comps)]) + b"".join(bytes([c, 0]) for c, _, _ in comps) + b"\x00\x3f\x00"]
    body = b"".join(jpeg_segment(0xDA, scan) + data for scan in scans)
    return b"\xff\xd8" + tables + extra + jpeg_segment(sof, frame) + body + b"\xff\xd9"


def jpeg_seeds():
    flat = jpeg(64, 64, bytes(16))  # 64 blocks of two bits
    write("jpeg", "flat-grey", flat)
    write("jpeg", "huge", jpeg(65500, 65500, bytes(16)))
    write("jpeg", "large-in-few-bytes", jpeg(16384, 16384, bytes(100)))
    write("jpeg", "data-cut", flat[:-10])
    write("jpeg", "no-end-marker", flat[:-2])
    write("jpeg", "bad-huffman-code", jpeg(64, 64, b"\xff\x00" * 8))
    write("jpeg", "arithmetic", jpeg(8, 8, b"\x3f", sof=0xC9))
    write("jpeg", "cmyk", jpeg(8, 8, b"\x00\x3f", comps=((1, 1, 1), (2, 1, 1), (3, 1, 1), (4, 1, 1))))
    write("jpeg", "two-components", jpeg(8, 8, b"\x0f", comps=((1, 1, 1), (2, 1, 1))))
    write("jpeg", "12-bit", jpeg(8, 8, b"\x3f", precision=12))
    write("jpeg", "zero-height", jpeg(8, 0, b"\x3f"))
    write("jpeg", "sampling-3x3", jpeg(24, 24, bytes(8), comps=((1, 3, 3), (2, 1, 1), (3, 1, 1))))
    dc_first = b"\x01\x01\x00\x00\x00\x00"  # component 1, DC only, first pass
    write("jpeg", "progressive-many-scans", jpeg(8, 8, b"\x3f", sof=0xC2, scans=[dc_first] * 300))
    write("jpeg", "progressive-ac-before-dc", jpeg(8, 8, b"\x3f", sof=0xC2, scans=[b"\x01\x01\x00\x01\x3f\x00"]))
    write("jpeg", "scan-of-no-component", jpeg(8, 8, b"\x3f", scans=[b"\x01\x07\x00\x00\x3f\x00"]))
    write("jpeg", "restart-markers-wrong", jpeg(16, 8, b"\x3f\xff\xd5\x3f", extra=jpeg_segment(0xDD, b"\x00\x01")))


# ---------------------------------------------------------------------------
# WebP: lossless pictures whose every Huffman code has one symbol, so that
# their pixels take no bits at all, in the RIFF container.
def vp8l(w, h, argb=(255, 10, 20, 30), alpha=True, version=0, signature=0x2F):
    fields = [(signature, 8), (w - 1, 14), (h - 1, 14), (1 if alpha else 0, 1), (version, 3), (0, 1), (0, 1), (0, 1)]
    a, r, g, b = argb
    for symbol in (g, r, b, a, 0):  # green, red, blue, alpha, distance: one 8-bit symbol each
        fields += [(1, 1), (0, 1), (1, 1), (symbol, 8)]
    bits, count = 0, 0
    for value, n in fields:
        bits |= value << count
        count += n
    return bits.to_bytes((count + 7) // 8, "little")


def riff_chunk(kind, data):
    return kind + struct.pack("<I", len(data)) + data + (b"\x00" if len(data) % 2 else b"")


def webp(*chunks, riff_size=None):
    body = b"WEBP" + b"".join(chunks)
    return b"RIFF" + struct.pack("<I", len(body) if riff_size is None else riff_size) + body


def vp8x(flags, w, h):
    return riff_chunk(b"VP8X", bytes([flags, 0, 0, 0]) + (w - 1).to_bytes(3, "little") + (h - 1).to_bytes(3, "little"))


def webp_seeds():
    flat = webp(riff_chunk(b"VP8L", vp8l(4, 4)))
    write("webp", "flat-lossless", flat)
    write("webp", "riff-size-past-the-end", webp(riff_chunk(b"VP8L", vp8l(4, 4)), riff_size=1 << 20))
    write("webp", "header-cut", flat[:20])
    write("webp", "bits-cut", flat[:-3])
    write("webp", "bad-signature", webp(riff_chunk(b"VP8L", vp8l(4, 4, signature=0x2E))))
    write("webp", "version-1", webp(riff_chunk(b"VP8L", vp8l(4, 4, version=1))))
    write("webp", "animated", webp(vp8x(0x02, 4, 4), riff_chunk(b"ANIM", bytes(6)),
                                   riff_chunk(b"ANMF", bytes(16) + riff_chunk(b"VP8L", vp8l(4, 4)))))
    write("webp", "canvas-unlike-its-picture", webp(vp8x(0x10, 16383, 16383), riff_chunk(b"VP8L", vp8l(4, 4))))
    write("webp", "lossy-garbage", webp(riff_chunk(b"VP8 ", b"\x50\x01\x00\x9d\x01\x2a\x04\x00\x04\x00" + bytes(range(40)))))
    write("webp", "lossy-huge-frame", webp(riff_chunk(b"VP8 ", b"\x50\x01\x00\x9d\x01\x2a\xff\x3f\xff\x3f" + bytes(40))))
    write("webp", "chunk-size-past-the-end", flat[:16] + struct.pack("<I", 1 << 30) + flat[20:])


tga_seeds()
bmp_seeds()
pcx_seeds()
png_seeds()
jpeg_seeds()
webp_seeds()
