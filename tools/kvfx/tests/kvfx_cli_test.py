#!/usr/bin/env python3
"""Command-line behaviour of kvfx: conversions, effects by name, chains,
pipes, batch mode and the refusal of bad input.

usage: kvfx_cli_test.py PATH_TO_KVFX [unittest args]
"""
import os
import random
import struct
import subprocess
import sys
import tempfile
import unittest
import zlib

KVFX = None
EFFECTS = ["blur", "bloom", "shadow", "tonemap", "grade", "vignette", "grain",
           "scanlines", "chromatic", "glitch"]


# --- minimal PNG codec (8-bit RGB / RGBA) ----------------------------------

def chunk(kind, data):
    return (struct.pack(">I", len(data)) + kind + data +
            struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF))


def encode_png(width, height, pixels, ihdr=None):
    """pixels: list of (r, g, b, a) tuples, row-major, straight alpha."""
    raw = bytearray()
    for y in range(height):
        raw.append(0)
        for r, g, b, a in pixels[y * width:(y + 1) * width]:
            raw += bytes((r, g, b, a))
    header = ihdr or struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) +
            chunk(b"IDAT", zlib.compress(bytes(raw))) + chunk(b"IEND", b""))


def decode_png(data):
    assert data[:8] == b"\x89PNG\r\n\x1a\n", "not a PNG"
    pos, idat = 8, b""
    while pos < len(data):
        length, kind = struct.unpack(">I4s", data[pos:pos + 8])
        body = data[pos + 8:pos + 8 + length]
        if kind == b"IHDR":
            width, height, depth, ctype = struct.unpack(">IIBB", body[:10])
            assert depth == 8 and ctype in (2, 6), (depth, ctype)
        elif kind == b"IDAT":
            idat += body
        pos += 12 + length
    channels = 4 if ctype == 6 else 3
    raw = zlib.decompress(idat)
    stride = width * channels
    prev = bytearray(stride)
    out = []
    for y in range(height):
        f = raw[y * (stride + 1)]
        line = bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
        for i in range(stride):
            a = line[i - channels] if i >= channels else 0
            b = prev[i]
            c = prev[i - channels] if i >= channels else 0
            if f == 1:
                line[i] = (line[i] + a) & 255
            elif f == 2:
                line[i] = (line[i] + b) & 255
            elif f == 3:
                line[i] = (line[i] + (a + b) // 2) & 255
            elif f == 4:
                p = a + b - c
                pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
                pred = a if pa <= pb and pa <= pc else (b if pb <= pc else c)
                line[i] = (line[i] + pred) & 255
        for x in range(width):
            px = tuple(line[x * channels:(x + 1) * channels])
            out.append(px if channels == 4 else px + (255,))
        prev = line
    return width, height, out


def read_png(path):
    with open(path, "rb") as f:
        return decode_png(f.read())


def premultiply(c, a):
    return (c * a + 127) // 255


def unpremultiply(c, a):
    return 0 if a == 0 else min(255, (c * 255 + a // 2) // a)


def test_pixels(width, height, seed, opaque=False):
    rng = random.Random(seed)
    px = []
    for y in range(height):
        for x in range(width):
            a = 255 if opaque else rng.choice([0, 1, 2, 64, 128, 200, 254, 255, 255])
            if not opaque and x < width // 4:
                a = 0  # a fully transparent strip for the shadow to fall on
            bright = (x + y) % 11 == 0
            px.append((255 if bright else rng.randrange(256), 255 if bright else rng.randrange(256),
                       rng.randrange(256), a))
    return px


def run(*args, stdin=None):
    p = subprocess.run([KVFX] + [str(a) for a in args], input=stdin,
                       stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=60)
    return p.returncode, p.stdout, p.stderr.decode()


class Case(unittest.TestCase):
    maxDiff = 2000

    def setUp(self):
        self._tmp = tempfile.TemporaryDirectory()
        self.dir = self._tmp.name

    def tearDown(self):
        self._tmp.cleanup()

    def path(self, name):
        return os.path.join(self.dir, name)

    def write(self, name, data):
        with open(self.path(name), "wb") as f:
            f.write(data)
        return self.path(name)

    def image(self, name, width=48, height=36, seed=1, opaque=False):
        return self.write(name, encode_png(width, height, test_pixels(width, height, seed, opaque)))

    def ok(self, *args, stdin=None):
        rc, out, err = run(*args, stdin=stdin)
        self.assertEqual(rc, 0, err)
        self.assertEqual(err, "")
        return out

    def no_leftovers(self, directory=None):
        left = [n for n in os.listdir(directory or self.dir) if n.startswith(".kvfx-")]
        self.assertEqual(left, [])


class Help(Case):
    def test_lists_every_effect_and_its_parameters(self):
        text = self.ok("help").decode()
        for name in EFFECTS:
            self.assertIn("  " + name, text)
        params = {"blur": ["sigma=2"], "bloom": ["threshold=", "intensity=", "sigma=", "tint=ffffff"],
                  "shadow": ["dx=", "dy=", "sigma=", "color=80000000"], "tonemap": ["exposure=1"],
                  "grade": ["brightness=", "contrast=", "saturation=", "gamma=1"],
                  "vignette": ["strength=", "radius=", "softness=", "color=000000"],
                  "grain": ["amount=", "seed="], "scanlines": ["spacing=3", "intensity="],
                  "chromatic": ["strength_x=", "strength_y=", "angle="],
                  "glitch": ["bands=", "max_shift=", "seed="]}
        for name, expected in params.items():
            text = self.ok("help", name).decode()
            for p in expected:
                self.assertIn(p, text, name)

    def test_unknown_effect(self):
        rc, _, err = run("help", "sharpen")
        self.assertEqual(rc, 2)
        self.assertIn("unknown effect", err)


class Conversion(Case):
    def test_round_trip_loses_only_premultiplication_rounding(self):
        w, h = 37, 23
        px = test_pixels(w, h, 7)
        src = self.write("in.png", encode_png(w, h, px))
        self.ok(src, self.path("out.png"), "blur", "sigma=0")
        ow, oh, got = read_png(self.path("out.png"))
        self.assertEqual((ow, oh), (w, h))
        for (r, g, b, a), q in zip(px, got):
            want = tuple(unpremultiply(premultiply(c, a), a) for c in (r, g, b)) + (a,)
            self.assertEqual(q, want)
            if a == 255:
                self.assertEqual(q, (r, g, b, a))

    def test_jpeg_out_and_back(self):
        src = self.image("in.png", opaque=True)
        self.ok(src, self.path("out.JPG"), "tonemap")
        with open(self.path("out.JPG"), "rb") as f:
            self.assertEqual(f.read(3), b"\xff\xd8\xff")
        self.ok(self.path("out.JPG"), self.path("back.png"), "blur", "sigma=0")
        self.assertEqual(read_png(self.path("back.png"))[:2], (48, 36))


class Effects(Case):
    def test_each_effect_with_defaults_changes_the_image_and_keeps_its_size(self):
        src = self.image("in.png", 64, 48)
        self.ok(src, self.path("base.png"), "blur", "sigma=0")
        _, _, base = read_png(self.path("base.png"))
        for name in EFFECTS:
            with self.subTest(effect=name):
                out = self.path(name + ".png")
                self.ok(src, out, name)
                w, h, got = read_png(out)
                self.assertEqual((w, h), (64, 48))
                self.assertTrue(got != base, "no pixel changed")

    def test_parameters_reach_the_effect(self):
        src = self.image("in.png", 20, 10, opaque=True)
        self.ok(src, self.path("out.png"), "scanlines", "spacing=4", "intensity=1")
        _, _, got = read_png(self.path("out.png"))
        _, _, orig = read_png(src)
        for y in range(10):
            row, orow = got[y * 20:(y + 1) * 20], orig[y * 20:(y + 1) * 20]
            self.assertEqual(row, [(0, 0, 0, 255)] * 20 if y % 4 == 0 else orow, y)

    def test_chain_runs_left_to_right(self):
        src = self.image("in.png", 40, 30, opaque=True)
        a, b = ["scanlines", "spacing=2", "intensity=0.5"], ["tonemap", "exposure=2"]
        self.ok(src, self.path("ab.png"), *(a + b))
        self.ok(src, self.path("a.png"), *a)
        self.ok(self.path("a.png"), self.path("a_b.png"), *b)
        self.ok(src, self.path("ba.png"), *(b + a))
        ab = read_png(self.path("ab.png"))
        self.assertTrue(ab == read_png(self.path("a_b.png")), "chain differs from one effect per run")
        self.assertTrue(ab != read_png(self.path("ba.png")), "order made no difference")

    def test_shadow_keeps_the_size_and_falls_on_transparent_pixels(self):
        w, h = 30, 20
        px = [(200, 50, 50, 255) if 5 <= x < 15 and 5 <= y < 12 else (0, 0, 0, 0)
              for y in range(h) for x in range(w)]
        src = self.write("in.png", encode_png(w, h, px))
        self.ok(src, self.path("out.png"), "shadow", "dx=6", "dy=3", "sigma=0", "color=ff000000")
        ow, oh, got = read_png(self.path("out.png"))
        self.assertEqual((ow, oh), (w, h))
        self.assertEqual(got[14 * w + 20], (0, 0, 0, 255))   # under the moved square
        self.assertEqual(got[8 * w + 8], (200, 50, 50, 255))  # the square itself
        self.assertEqual(got[2 * w + 25][3], 0)               # elsewhere still clear


class Pipes(Case):
    def test_stdin_to_stdout_matches_files(self):
        src = self.image("in.png")
        with open(src, "rb") as f:
            data = f.read()
        out = self.ok("-", "-", "grain", "seed=5", "vignette", stdin=data)
        self.ok(src, self.path("out.png"), "grain", "seed=5", "vignette")
        self.assertEqual(decode_png(out), read_png(self.path("out.png")))

    def test_garbage_on_stdin(self):
        rc, out, err = run("-", "-", "blur", stdin=b"hello")
        self.assertEqual((rc, out), (1, b""))
        self.assertIn("kvfx: stdin:", err)


class Batch(Case):
    def test_goes_on_past_a_bad_file_and_fails_at_the_end(self):
        good = [self.image("g%d.png" % i, 16 + i, 9, seed=i) for i in range(3)]
        bad = self.write("bad.png", encode_png(8, 8, test_pixels(8, 8, 1))[:60])
        outdir = self.path("out")
        rc, _, err = run("--out-dir", outdir, good[0], bad, good[1], good[2], "--", "grade", "glitch", "bands=3")
        self.assertEqual(rc, 1)
        lines = err.strip().split("\n")
        self.assertEqual(len(lines), 2, err)  # the bad file, then the summary; no progress off a terminal
        self.assertIn("bad.png", lines[0])
        self.assertIn("1 of 4 files failed", lines[1])
        self.assertEqual(sorted(os.listdir(outdir)), ["g0.png", "g1.png", "g2.png"])
        for i in range(3):
            self.ok(good[i], self.path("single.png"), "grade", "glitch", "bands=3")
            self.assertEqual(read_png(os.path.join(outdir, "g%d.png" % i)), read_png(self.path("single.png")))

    def test_all_good_and_refusal_to_overwrite_inputs(self):
        a, b = self.image("a.png"), self.image("b.png", seed=2)
        self.ok("--out-dir", self.path("o"), a, b, "--", "blur")
        with open(a, "rb") as f:
            before = f.read()
        rc, _, err = run("--out-dir", self.dir, a, "--", "blur")
        self.assertEqual(rc, 1)
        self.assertIn("overwrite the input", err)
        with open(a, "rb") as f:
            self.assertEqual(f.read(), before)

    def test_progress_only_on_a_terminal(self):
        import pty
        master, slave = pty.openpty()
        try:
            p = subprocess.run([KVFX, "--out-dir", self.path("o"), self.image("a.png"), self.image("b.png"),
                                "--", "blur"], stdout=subprocess.PIPE, stderr=slave, timeout=60)
            os.close(slave)
            seen = b""
            while True:
                try:
                    chunk = os.read(master, 4096)
                except OSError:
                    break
                if not chunk:
                    break
                seen += chunk
        finally:
            os.close(master)
        self.assertEqual(p.returncode, 0)
        self.assertIn(b"[2/2]", seen)

    def test_usage(self):
        for args in (["--out-dir", self.path("o"), self.image("a.png"), "blur"],
                     ["--out-dir", self.path("o"), "--", "blur"],
                     ["--out-dir", self.path("o"), self.image("a.png"), "--", "nope"]):
            rc, _, err = run(*args)
            self.assertEqual(rc, 2, args)
            self.assertTrue(err.startswith("kvfx: "))
        self.assertFalse(os.path.exists(self.path("o")))


class BadInput(Case):
    def bad_files(self):
        good = encode_png(8, 8, test_pixels(8, 8, 3))
        idat = good.index(b"IDAT")
        corrupt = bytearray(good)
        corrupt[idat + 6] ^= 0xFF
        wide = struct.pack(">IIBBBBB", 1000001, 1, 8, 6, 0, 0, 0)
        many = struct.pack(">IIBBBBB", 20000, 20000, 8, 6, 0, 0, 0)
        self.ok(self.write("j.png", good), self.path("ok.jpg"), "blur")
        with open(self.path("ok.jpg"), "rb") as f:
            jpeg = f.read()
        os.mkdir(self.path("dir.png"))
        return [("missing", self.path("nope.png"), "cannot open"),
                ("directory", self.path("dir.png"), "directory"),
                ("empty", self.write("empty.png", b""), "empty"),
                ("text", self.write("text.png", b"just some text\n"), "not a PNG or JPEG"),
                ("truncated png", self.write("trunc.png", good[:len(good) // 2]), "not a valid PNG"),
                ("corrupt png", self.write("corrupt.png", bytes(corrupt)), "not a valid PNG"),
                ("too wide", self.write("wide.png", encode_png(1, 1, [(0, 0, 0, 0)], wide)), "too large"),
                ("too many", self.write("many.png", encode_png(1, 1, [(0, 0, 0, 0)], many)), "too large"),
                ("truncated jpeg", self.write("trunc.jpg", jpeg[:len(jpeg) // 2]), "not a valid JPEG")]

    def check_refused(self, args, code, message, out):
        with open(out, "wb") as f:
            f.write(b"keep me")
        rc, stdout, err = run(*args)
        self.assertEqual(rc, code, err)
        self.assertEqual(stdout, b"")
        self.assertTrue(err.startswith("kvfx: ") and err.count("\n") == 1, err)
        self.assertIn(message, err)
        with open(out, "rb") as f:
            self.assertEqual(f.read(), b"keep me")  # not clobbered
        self.no_leftovers()

    def test_unreadable_and_invalid_images(self):
        for name, path, message in self.bad_files():
            with self.subTest(name):
                self.check_refused([path, self.path("out.png"), "blur"], 1, message, self.path("out.png"))

    def test_bad_command_lines(self):
        src = self.image("in.png")
        cases = [(["sharpen"], "unknown effect"),
                 (["blur", "radius=3"], "unknown parameter"),
                 (["sigma=3", "blur"], "before any effect"),
                 (["blur", "sigma=abc"], "not a number"),
                 (["blur", "sigma=1.5x"], "not a number"),
                 (["blur", "sigma="], "not a number"),
                 (["blur", "sigma=nan"], "out of range"),
                 (["blur", "sigma=-1"], "out of range"),
                 (["bloom", "threshold=2"], "out of range"),
                 (["grain", "seed=1.5"], "not an integer"),
                 (["grain", "seed=99999999999"], "out of range"),
                 (["scanlines", "spacing=0"], "out of range"),
                 (["glitch", "max_shift=0"], "out of range"),
                 (["grade", "gamma=0"], "out of range"),
                 (["vignette", "color=12345"], "not a colour"),
                 (["shadow", "color=zz000000"], "not a colour")]
        for chain, message in cases:
            with self.subTest(chain=chain):
                self.check_refused([src, self.path("out.png")] + chain, 2, message, self.path("out.png"))

    def test_unwritable_outputs(self):
        src = self.image("in.png")
        rc, _, err = run(src, self.path("no/such/dir/out.png"), "blur")
        self.assertEqual(rc, 1)
        self.assertIn("cannot write", err)
        self.check_refused([src, self.path("out.bmp"), "blur"], 1, "unknown output type", self.path("out.bmp"))

    def test_input_is_replaced_only_when_named_as_output(self):
        src = self.image("in.png", opaque=True)
        self.ok(src, src, "scanlines", "spacing=1", "intensity=1")
        self.assertTrue(all(p == (0, 0, 0, 255) for p in read_png(src)[2]))
        self.no_leftovers()


class Demo(Case):
    def test_writes_every_effect_and_a_contact_sheet(self):
        out = self.path("demo/sub")
        self.ok("demo", out)
        names = sorted(os.listdir(out))
        self.assertEqual(names, sorted([e + ".png" for e in EFFECTS] + ["original.png", "contact_sheet.png"]))
        w, h, px = read_png(os.path.join(out, "original.png"))
        self.assertEqual((w, h), (320, 200))
        alphas = {p[3] for p in px}
        self.assertIn(0, alphas)
        self.assertIn(255, alphas)
        self.assertTrue(any(0 < a < 255 for a in alphas))
        sw, sh, _ = read_png(os.path.join(out, "contact_sheet.png"))
        self.assertGreaterEqual((sw, sh), (4 * 320, 3 * 200))


if __name__ == "__main__":
    KVFX = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=1)
