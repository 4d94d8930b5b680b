#!/usr/bin/python3
"""Writes the seed corpus of kvfx_fuzz: small PNGs of every colour type, bit
depth, transparency and interlacing, JPEGs of every kind kvfx reads (Pillow,
from Debian's python3-pil), and malformed files made from them (truncated,
bad checksums, forged sizes, a bomb header). Each seed ends with one byte
that picks the effect chain.

usage: make_seeds.py OUT_DIR
"""
import io
import os
import random
import struct
import sys
import zlib

out = sys.argv[1]
os.makedirs(out, exist_ok=True)
rng = random.Random(20240917)
seeds = {}


def chunk(kind, data):
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF)


def pack(samples, depth):
    if depth == 16:
        return b"".join(struct.pack(">H", v) for v in samples)
    if depth == 8:
        return bytes(samples)
    bits = "".join(format(v, "0%db" % depth) for v in samples)
    bits += "0" * (-len(bits) % 8)
    return bytes(int(bits[i:i + 8], 2) for i in range(0, len(bits), 8))


ADAM7 = [(0, 0, 8, 8), (4, 0, 8, 8), (0, 4, 4, 8), (2, 0, 4, 4), (0, 2, 2, 4), (1, 0, 2, 2), (0, 1, 1, 2)]


def png(width, height, ctype, depth, interlace=False, trns=False):
    channels = {0: 1, 2: 3, 3: 1, 4: 2, 6: 4}[ctype]
    top = (1 << depth) - 1
    entries = min(256, top + 1) if ctype == 3 else 0
    grid = [[tuple(rng.randrange(entries if ctype == 3 else top + 1) for _ in range(channels))
             for _ in range(width)] for _ in range(height)]

    def lines(rows):
        return b"".join(bytes([rng.randrange(5)]) + pack([v for px in r for v in px], depth) for r in rows)
    raw = b"".join(lines([r[x0::dx] for r in grid[y0::dy]]) for x0, y0, dx, dy in ADAM7
                   if width > x0 and height > y0) if interlace else lines(grid)
    data = b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, depth, ctype, 0, 0,
                                                              int(interlace)))
    if ctype == 3:
        data += chunk(b"PLTE", bytes(rng.randrange(256) for _ in range(3 * entries)))
    if trns:
        data += chunk(b"tRNS", bytes(rng.randrange(256) for _ in range(entries // 2 + 1)) if ctype == 3
                      else pack(list(grid[0][0][:3 if ctype == 2 else 1]), 16))
    data += chunk(b"tEXt", b"Comment\0seed")
    return data + chunk(b"IDAT", zlib.compress(raw)) + chunk(b"IEND", b"")


for ctype, depths in ((0, (1, 2, 4, 8, 16)), (2, (8, 16)), (3, (1, 2, 4, 8)), (4, (8, 16)), (6, (8, 16))):
    for depth in depths:
        for interlace in (False, True):
            seeds["png_c%d_d%d%s" % (ctype, depth, "_i" if interlace else "")] = png(
                9 + depth % 5, 7 + ctype, ctype, depth, interlace, trns=ctype in (0, 2, 3) and interlace)

good = seeds["png_c6_d8"]
seeds["png_truncated"] = good[:len(good) * 2 // 3]
bad_crc = bytearray(good)
bad_crc[29] ^= 1
seeds["png_bad_ihdr_crc"] = bytes(bad_crc)
seeds["png_forged_size"] = good[:16] + struct.pack(">II", 300, 300) + good[24:]
seeds["png_bomb_header"] = (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", 32768, 8192, 1, 0, 0, 0, 0)) +
                            chunk(b"IDAT", zlib.compress(bytes(4097 * 64))) + chunk(b"IEND", b""))

try:
    from PIL import Image
except ImportError:
    Image = None
    print("make_seeds: python3-pil missing, no JPEG seeds", file=sys.stderr)
if Image:
    def jpeg(mode, size, **save):
        im = Image.new(mode, size)
        n = len(im.getbands())
        im.putdata([tuple(rng.randrange(256) for _ in range(n)) if n > 1 else rng.randrange(256)
                    for _ in range(size[0] * size[1])])
        buf = io.BytesIO()
        im.save(buf, "JPEG", quality=80, **save)
        return buf.getvalue()
    seeds["jpeg_420"] = jpeg("RGB", (17, 13))
    seeds["jpeg_444"] = jpeg("RGB", (16, 16), subsampling=0)
    seeds["jpeg_progressive"] = jpeg("RGB", (19, 11), progressive=True)
    seeds["jpeg_grey"] = jpeg("L", (12, 9))
    seeds["jpeg_cmyk"] = jpeg("CMYK", (10, 10))
    for n in (3, 6, 8):
        exif = Image.Exif()
        exif[0x0112] = n
        seeds["jpeg_orientation%d" % n] = jpeg("RGB", (14, 6), exif=exif.tobytes())
    base = seeds["jpeg_420"]
    seeds["jpeg_truncated"] = base[:len(base) // 2]
    sof = base.index(b"\xff\xc0")
    seeds["jpeg_forged_size"] = base[:sof + 5] + struct.pack(">HH", 8192, 16384) + base[sof + 9:]

for name, data in seeds.items():
    with open(os.path.join(out, name), "wb") as f:
        f.write(data + bytes([rng.randrange(256)]))
print("make_seeds: %d seeds in %s" % (len(seeds), out))
