#!/usr/bin/env python3
"""Command-line behaviour of kvfx: conversions, effects by name, chains,
pipes, batch mode, the refusal of bad input, bounded memory on hostile
files, every PNG and JPEG kind, straight colour for the colour effects and
safe replacement of outputs.

usage: kvfx_cli_test.py PATH_TO_KVFX [--sanitized] [--stop-in-write LIB] [unittest args]
--sanitized: the binary runs under a sanitizer; memory and time bounds are
not checked. --stop-in-write: the build's stop_in_write.c library, which the
interruption test preloads. Peak memory is read with /usr/bin/time (Debian's time); the JPEG
kinds are made with python3-pil.
"""
import os
import random
import signal
import struct
import subprocess
import sys
import tempfile
import threading
import unittest
import zlib

try:
    from PIL import Image, ImageOps
except ImportError:  # only the JPEG kinds need it
    Image = None

KVFX = None
SANITIZED = False
STOP_IN_WRITE = None  # the library that holds kvfx inside its write
MIB = 1 << 20
EFFECTS = ["blur", "bloom", "shadow", "tonemap", "grade", "vignette", "grain",
           "scanlines", "chromatic", "glitch"]
# One slider moves one thing: the grade at its defaults leaves the colour be.
NEUTRAL_AT_DEFAULTS = {"grade"}


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


def pack_samples(samples, depth):
    if depth == 16:
        return b"".join(struct.pack(">H", v) for v in samples)
    if depth == 8:
        return bytes(samples)
    out, acc, bits = bytearray(), 0, 0
    for v in samples:
        acc, bits = acc << depth | v, bits + depth
        if bits == 8:
            out.append(acc)
            acc, bits = 0, 0
    if bits:
        out.append(acc << (8 - bits))
    return bytes(out)


ADAM7 = [(0, 0, 8, 8), (4, 0, 8, 8), (0, 4, 4, 8), (2, 0, 4, 4), (0, 2, 2, 4), (1, 0, 2, 2), (0, 1, 1, 2)]


def png_of_samples(width, height, ctype, depth, pixels, palette=None, trns=None, interlace=False):
    """Any PNG kind. pixels: row-major tuples of raw samples for the colour
    type (grey, RGB, index, grey+alpha, RGBA) at the bit depth."""
    def lines(rows):
        return b"".join(b"\0" + pack_samples([v for px in row for v in px], depth) for row in rows)
    grid = [pixels[y * width:(y + 1) * width] for y in range(height)]
    if interlace:
        raw = b""
        for x0, y0, dx, dy in ADAM7:
            sub = [row[x0::dx] for row in grid[y0::dy]]
            if sub and sub[0]:
                raw += lines(sub)
    else:
        raw = lines(grid)
    out = b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, depth, ctype, 0, 0,
                                                                 1 if interlace else 0))
    if palette:
        out += chunk(b"PLTE", b"".join(bytes(c) for c in palette))
    if trns is not None:
        out += chunk(b"tRNS", trns)
    return out + chunk(b"IDAT", zlib.compress(raw)) + chunk(b"IEND", b"")


def ihdr_only(width, height, depth=8, ctype=6):
    """A header and nothing to decode: what a forged file costs before it fails."""
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, depth, ctype, 0, 0, 0)) +
            chunk(b"IEND", b""))


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


def run(*args, stdin=None, cwd=None):
    p = subprocess.run([KVFX] + [str(a) for a in args], input=stdin, cwd=cwd,
                       stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=60)
    return p.returncode, p.stdout, p.stderr.decode()


def measured(args, stdin=None, feed=None):
    """Runs kvfx under /usr/bin/time: (rc, stdout, stderr, peak RSS in MiB,
    CPU seconds). feed: a callable writing to the child's stdin pipe."""
    if not os.path.exists("/usr/bin/time"):
        raise AssertionError("peak memory is measured with /usr/bin/time: install Debian's time package")
    with tempfile.NamedTemporaryFile("r") as report, tempfile.TemporaryFile() as out, \
            tempfile.TemporaryFile() as err:
        p = subprocess.Popen(["/usr/bin/time", "-f", "%M %U %S", "-o", report.name, KVFX] + [str(a) for a in args],
                             stdin=subprocess.PIPE if feed else stdin, stdout=out, stderr=err)
        if feed:
            threading.Thread(target=feed, args=(p.stdin,), daemon=True).start()
        try:
            p.wait(timeout=60)
        except subprocess.TimeoutExpired:
            p.kill()
            p.wait()
            raise
        if feed:
            try:
                p.stdin.close()
            except OSError:
                pass
        out.seek(0)
        err.seek(0)
        peak_kb, user, system = report.read().strip().split("\n")[-1].split()
        return p.returncode, out.read(), err.read().decode(), int(peak_kb) / 1024.0, float(user) + float(system)


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
        self.assertIn("--max-pixels N", text)
        self.assertIn("(tonemap, grade, vignette, grain, scanlines) change the colour you see", text)
        params = {"blur": ["sigma=2"], "bloom": ["threshold=", "intensity=", "sigma=", "tint=ffffff"],
                  "shadow": ["offset_x=4", "(also dx=)", "offset_y=4", "(also dy=)", "sigma=",
                             "color=80000000", "RRGGBB is opaque"], "tonemap": ["exposure=1"],
                  "grade": ["brightness=", "contrast=", "saturation=", "gamma=1"],
                  "vignette": ["strength=", "radius=", "softness=", "color=000000"],
                  "grain": ["amount=", "seed="], "scanlines": ["spacing=3", "intensity="],
                  "chromatic": ["strength_x=", "strength_y=", "angle="],
                  "glitch": ["band_count=8", "(also bands=)", "max_shift=", "seed="]}
        for name, expected in params.items():
            text = self.ok("help", name).decode()
            for p in expected:
                self.assertIn(p, text, name)

    def test_unknown_effect(self):
        rc, _, err = run("help", "sharpen")
        self.assertEqual(rc, 2)
        self.assertIn("unknown effect", err)

    def test_version(self):
        out = self.ok("--version").decode()
        self.assertRegex(out, r"^kvfx \d+\.\d+\.\d+ \(built with libkelvo_fx \d+\.\d+\.\d+, libpng [^)]+\)\n$")
        rc, _, err = run("--version", "blur")
        self.assertEqual(rc, 2, err)


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
                if name in NEUTRAL_AT_DEFAULTS:
                    # At most the grade's known one-level loss; a colour
                    # effect sees the file's straight colour as it is.
                    worst = max(abs(a - b) for p, q in zip(read_png(src)[2], got) for a, b in zip(p, q))
                    self.assertLessEqual(worst, 1, "defaults that are not neutral")
                else:
                    self.assertTrue(got != base, "no pixel changed")

    def test_neutral_grade_defaults_leave_other_settings_alone(self):
        # One setting moves one thing: the rest of the grade is neutral.
        src = self.image("in.png", 40, 30)
        self.ok(src, self.path("short.png"), "grade", "saturation=0")
        self.ok(src, self.path("long.png"), "grade", "brightness=0", "contrast=1", "saturation=0", "gamma=1")
        with open(self.path("short.png"), "rb") as a, open(self.path("long.png"), "rb") as b:
            self.assertEqual(a.read(), b.read())

    def test_jpeg_quality(self):
        src = self.write("in.png", encode_png(64, 64, test_pixels(64, 64, 4, opaque=True)))
        sizes = {}
        for quality in ("10", "92", None, "100"):
            out = self.path("q%s.jpg" % quality)
            self.ok(*((["--quality", quality] if quality else []) + [src, out, "blur", "sigma=0"]))
            with open(out, "rb") as f:
                sizes[quality] = f.read()
        self.assertEqual(sizes[None], sizes["92"], "the default is not the one help states")
        self.assertLess(len(sizes["10"]), len(sizes["92"]))
        self.assertLess(len(sizes["92"]), len(sizes["100"]))
        self.assertIn("default 92", self.ok("help").decode())

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

    def test_every_thread_count_writes_the_same_bytes(self):
        # Enough words for two pieces of the smallest size worth a thread.
        src = self.image("in.png", 768, 720)
        chain = ["blur", "sigma=3", "shadow", "bloom", "sigma=9", "grain", "chromatic", "vignette"]
        outputs = {}
        for threads in ("1", "2", "0"):
            out = self.path("t%s.png" % threads)
            self.ok("--threads", threads, src, out, *chain)
            with open(out, "rb") as f:
                outputs[threads] = f.read()
        # Not assertEqual on the list: its report diffs the files' bytes, for minutes.
        for threads in ("2", "0"):
            self.assertTrue(outputs[threads] == outputs["1"], "--threads %s differs from 1" % threads)

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

    def test_two_inputs_of_one_name_are_refused_before_any_work(self):
        os.mkdir(self.path("a"))
        os.mkdir(self.path("b"))
        a, b = self.image("a/x.png"), self.image("b/x.png", seed=2)
        outdir = self.path("same")
        rc, _, err = run("--out-dir", outdir, a, self.image("y.png"), b, "--", "blur")
        self.assertEqual(rc, 2)
        self.assertEqual(err, "kvfx: %s and %s would both be written to %s/x.png (rename one, or use separate runs)\n"
                         % (a, b, outdir))
        self.assertFalse(os.path.exists(outdir))

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
                     ["--out-dir", self.path("o"), self.image("a.png"), "--", "nope"],
                     ["--out-dir=", self.image("a.png"), "--", "blur"],
                     ["--max-pixels", "0", "--out-dir", self.path("o"), self.image("a.png"), "--", "blur"]):
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
                 (["shadow", "color=zz000000"], "not a colour"),
                 (["blur", "sigma=1", "sigma=8"], "blur: sigma given twice"),
                 (["shadow", "dx=1", "offset_x=20"], "shadow: offset_x given twice, as dx= and as offset_x="),
                 (["glitch", "bands=2", "seed=3", "bands=2"], "glitch: band_count given twice")]
        for chain, message in cases:
            with self.subTest(chain=chain):
                self.check_refused([src, self.path("out.png")] + chain, 2, message, self.path("out.png"))
        for option, values in (("--threads", ("x", "-1", "1.5", "", "4097")),
                               ("--quality", ("0", "101", "9x", "", "-5"))):
            for value in values:
                with self.subTest(option=option, value=value):
                    self.check_refused([option, value, src, self.path("out.png"), "blur"], 2,
                                       option, self.path("out.png"))
        # The same parameter in two calls of one effect is two settings, not a repeat.
        self.ok(src, self.path("twice.png"), "blur", "sigma=1", "blur", "sigma=2")

    def test_unwritable_outputs(self):
        src = self.image("in.png")
        rc, _, err = run(src, self.path("no/such/dir/out.png"), "blur")
        self.assertEqual(rc, 1)
        self.assertIn("cannot write", err)
        # A type no writer handles is a command-line mistake, found before the
        # input is read: here the input does not even exist.
        for out in ("out.bmp", "x.gif", "noextension"):
            with self.subTest(out=out):
                self.check_refused([self.path("missing.png"), self.path(out), "blur"], 2,
                                   "unknown output type", self.path(out))
        rc, _, err = run("--out-dir", self.path("o"), self.path("missing.gif"), "--", "blur")
        self.assertEqual((rc, err), (2, "kvfx: %s: unknown output type (use .png, .jpg or .jpeg)\n"
                                     % os.path.join(self.path("o"), "missing.gif")))
        self.assertFalse(os.path.exists(self.path("o")))

    def test_input_is_replaced_only_when_named_as_output(self):
        src = self.image("in.png", opaque=True)
        self.ok(src, src, "scanlines", "spacing=1", "intensity=1")
        self.assertTrue(all(p == (0, 0, 0, 255) for p in read_png(src)[2]))
        self.no_leftovers()


class Demo(Case):
    def test_writes_every_effect_and_a_contact_sheet(self):
        out = self.path("demo/sub")
        said = self.ok("demo", out).decode()
        self.assertIn(out + "/", said)
        self.assertIn("contact_sheet.png", said)
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
        # Each effect image comes with the command that makes it: every
        # setting spelled out, and the same bytes when run.
        commands = [line.split()[1:] for line in said.splitlines() if line.split()[1:2] == ["kvfx"]]
        self.assertEqual(sorted(c[2] for c in commands), sorted(e + ".png" for e in EFFECTS))
        for words in commands:
            with self.subTest(command=" ".join(words)):
                again = self.path("again.png")
                self.ok(os.path.join(out, words[1]), again, *words[3:])
                with open(again, "rb") as a, open(os.path.join(out, words[2]), "rb") as b:
                    self.assertTrue(a.read() == b.read(), "the demo's file differs from its command's")
        # The grade's defaults are neutral; the demo's own settings must show.
        _, _, graded = read_png(os.path.join(out, "grade.png"))
        moved = sum(1 for p, q in zip(px, graded) if max(abs(a - b) for a, b in zip(p, q)) > 8)
        self.assertGreater(moved, len(px) // 4, "the demo's grade hardly changes the scene")

    def test_demo_folder_is_never_an_option(self):
        here = self.path("here")
        os.mkdir(here)
        for word, code in (("--help", 0), ("-h", 0), ("--threads=2", 2), ("-o", 2)):
            with self.subTest(word=word):
                rc, out, err = run("demo", word, cwd=here)
                self.assertEqual(rc, code, err)
                self.assertEqual(out.startswith(b"usage: kvfx"), code == 0)
                self.assertEqual(os.listdir(here), [])


def noop_chain():
    """An effect that changes nothing and needs no conversion: the output is
    the decoder's straight colour, bit for bit."""
    return ["scanlines", "intensity=0"]


class HostileInput(Case):
    """Files nobody here made: forged sizes, bombs, endless or huge data. Each
    is refused with one line naming it, within the time and memory a header
    check costs."""

    def refused(self, args, message, named, peak_mib=64, cpu_s=0.1, **kw):
        rc, out, err, peak, cpu = measured(args, **kw)
        self.assertEqual((rc, out), (1, b""), err)
        self.assertTrue(err.startswith("kvfx: " + named + ": ") and err.count("\n") == 1, err)
        self.assertIn(message, err)
        if not SANITIZED:
            self.assertLessEqual(peak, peak_mib, err)
            self.assertLessEqual(cpu, cpu_s, err)
        self.no_leftovers()

    def forged_jpeg(self, width, height):
        """A real JPEG whose frame header claims another size, cut to 700 bytes."""
        src = self.write("small.png", encode_png(64, 64, test_pixels(64, 64, 5, opaque=True)))
        self.ok(src, self.path("small.jpg"), *noop_chain())
        with open(self.path("small.jpg"), "rb") as f:
            data = bytearray(f.read())
        sof = data.index(b"\xff\xc0")
        data[sof + 5:sof + 9] = struct.pack(">HH", height, width)
        return bytes(data[:700])

    def test_forged_sizes_and_bombs(self):
        zero_rows = lambda w, h: zlib.compress(b"\0" * ((w // 8 + 1) * h), 9)
        bomb = (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", 32768, 8192, 1, 0, 0, 0, 0)) +
                chunk(b"IDAT", zero_rows(32768, 8192)) + chunk(b"IEND", b""))
        small_bomb = (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", 4096, 4096, 1, 0, 0, 0, 0)) +
                      chunk(b"IDAT", zero_rows(4096, 4096)) + chunk(b"IEND", b""))
        self.assertLess(len(bomb), 40000)
        cases = [
            ("PNG header claiming 16384 x 16384", ihdr_only(16384, 16384), [], "too large"),
            ("PNG header claiming 16385 x 8192", ihdr_only(16385, 8192), [], "too large"),
            ("all-zero 1-bit PNG of 32768 x 8192", bomb, [], "too large"),
            ("a bomb above a lowered limit", small_bomb, ["--max-pixels", "1000000"], "limit is 1000000"),
            ("truncated JPEG claiming 16384 x 16384", self.forged_jpeg(16384, 16384), [], "too large"),
            # Within the limit the size passes; the missing data is found
            # before the pixel memory it would fill is ever touched.
            ("PNG header claiming 16384 x 8192", ihdr_only(16384, 8192), [], "not a valid PNG"),
            ("PNG header above a raised limit", ihdr_only(16384, 16384), ["--max-pixels=300000000"],
             "not a valid PNG"),
            ("truncated JPEG claiming 16384 x 8192", self.forged_jpeg(16384, 8192), [], "not a valid JPEG"),
        ]
        for name, data, options, message in cases:
            with self.subTest(name):
                path = self.write("forged.img", data)
                self.refused(options + [path, self.path("out.png"), "blur"], message, path)

    def test_endless_and_huge_inputs(self):
        huge = self.path("zeros.png")
        with open(huge, "wb") as f:
            f.truncate(3 << 30)  # sparse: 3 GiB that cost nothing to make

        def forever(prefix, piece):
            def feed(pipe):
                try:
                    pipe.write(prefix)
                    while True:
                        pipe.write(piece)
                except (BrokenPipeError, OSError, ValueError):
                    pass
            return feed

        png_start = b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", 1, 1, 8, 6, 0, 0, 0))
        with open("/dev/zero", "rb") as zero:
            cases = [
                ("3 GiB file of zeros", [huge], {}, huge, "not a PNG or JPEG"),
                ("/dev/zero", ["/dev/zero"], {}, "/dev/zero", "not a PNG or JPEG"),
                ("endless stdin", ["-"], {"stdin": zero}, "stdin", "not a PNG or JPEG"),
                ("PNG header, then chunks without end", ["-"],
                 {"feed": forever(png_start, chunk(b"juNk", bytes(65536)))}, "stdin",
                 "more than 16 MiB of data for a 1 x 1 image"),
                ("JPEG start, then zeros without end", ["-"],
                 {"feed": forever(b"\xff\xd8\xff", bytes(65536))}, "stdin",
                 "no image header in the first 16 MiB"),
            ]
            for name, args, kw, named, message in cases:
                with self.subTest(name):
                    self.refused(args + [self.path("out.png"), "blur"], message, named, cpu_s=1.0, **kw)

    def test_peak_memory_within_three_times_the_decoded_size(self):
        if Image is None:
            self.fail("the JPEG cases need Debian's python3-pil")
        w = h = 2048
        decoded_mib = w * h * 4 / MIB
        row = bytes(random.Random(3).randrange(256) for _ in range(w * 4))
        raw = b"\0" + row + (b"\2" + bytes(w * 4)) * (h - 1)  # every row the same: quick to make
        png = self.write("big.png", b"\x89PNG\r\n\x1a\n" +
                         chunk(b"IHDR", struct.pack(">IIBBBBB", w, h, 8, 6, 0, 0, 0)) +
                         chunk(b"IDAT", zlib.compress(raw, 1)) + chunk(b"IEND", b""))
        exif = Image.Exif()
        exif[0x0112] = 6
        jpg = self.path("big.jpg")
        ramp = Image.linear_gradient("L").resize((w, h))
        Image.merge("RGB", (ramp, ramp.transpose(Image.Transpose.ROTATE_90), ramp.transpose(Image.Transpose.FLIP_TOP_BOTTOM))).save(
            jpg, quality=90, progressive=True, subsampling=0, exif=exif.tobytes())
        cases = [("PNG, drop shadow, blur and grade", png, "out.png", ["shadow", "blur", "grade"]),
                 ("PNG to JPEG, bloom", png, "out.jpg", ["bloom"]),
                 ("progressive 4:4:4 JPEG turned a quarter", jpg, "out.png", ["glitch"])]
        for name, src, out, chain in cases:
            with self.subTest(name):
                rc, _, err, peak, _ = measured([src, self.path(out)] + chain)
                self.assertEqual(rc, 0, err)
                if not SANITIZED:
                    self.assertLessEqual(peak, 3 * decoded_mib, "%.1f MiB for %.1f MiB of pixels" % (peak, decoded_mib))


def png_kind(ctype, depth, trns, interlace, rng, width=13, height=11, truth=None):
    """A PNG of the kind, the straight RGBA it must decode to, and the 8-bit
    truth it was made from (pass it back to make a 16-bit file's twin)."""
    top = (1 << depth) - 1
    if ctype == 3:
        palette = [tuple(rng.randrange(256) for _ in "rgb") for _ in range(min(256, top + 1))]
        alphas = [rng.choice([0, 30, 128, 255]) for _ in palette[:len(palette) // 2 + 1]] if trns else []
        index = [rng.randrange(len(palette)) for _ in range(width * height)]
        expected = [palette[k] + ((alphas + [255] * 256)[k],) for k in index]
        data = png_of_samples(width, height, 3, depth, [(k,) for k in index], palette,
                              bytes(alphas) if trns else None, interlace)
        return data, expected, None
    level = (lambda: rng.randrange(top + 1) * 255 // top) if depth < 8 else (lambda: rng.randrange(256))
    truth = truth or [(level(), level(), level(), rng.choice([0, 1, 77, 128, 254, 255])) for _ in range(width * height)]
    # 16-bit samples carry noise below one 8-bit level: scaling must drop it.
    sample = (lambda v: min(65535, max(0, v * 257 + rng.randint(-128, 127)))) if depth == 16 else \
        (lambda v: v * top // 255)
    grey, alpha = not ctype & 2, bool(ctype & 4)
    colours = [(r,) if grey else (r, g, b) for r, g, b, _ in truth]
    pixels = [tuple(map(sample, c + ((t[3],) if alpha else ()))) for c, t in zip(colours, truth)]
    expected = [(c * 3 if grey else c) + (t[3] if alpha else 255,) for c, t in zip(colours, truth)]
    trns_chunk = None
    if trns:
        key = pixels[0][:len(colours[0])]
        trns_chunk = b"".join(struct.pack(">H", v) for v in key)
        expected = [e[:3] + (0 if p[:len(key)] == key else 255,) for p, e in zip(pixels, expected)]
    return png_of_samples(width, height, ctype, depth, pixels, None, trns_chunk, interlace), expected, truth


class Decoding(Case):
    """Every PNG and JPEG kind comes out as the colours it holds."""

    def decoded(self, data, name="in.img"):
        src = self.write(name, data)
        self.ok(src, self.path("out.png"), *noop_chain())
        return read_png(self.path("out.png"))

    def test_every_png_kind(self):
        rng = random.Random(11)
        kinds = [(0, 1, False, False), (0, 2, False, True), (0, 4, False, False), (0, 8, True, False),
                 (0, 16, False, False), (0, 16, True, True), (2, 8, False, True), (2, 8, True, False),
                 (2, 16, False, False), (2, 16, True, False), (3, 1, False, False), (3, 2, True, False),
                 (3, 4, True, True), (3, 8, True, False), (4, 8, False, False), (4, 16, False, True),
                 (6, 8, False, False), (6, 8, False, True), (6, 16, False, False), (6, 16, False, True)]
        for ctype, depth, trns, interlace in kinds:
            with self.subTest(ctype=ctype, depth=depth, trns=trns, interlace=interlace):
                data, expected, truth = png_kind(ctype, depth, trns, interlace, rng)
                w, h, got = self.decoded(data)
                self.assertEqual((w, h), (13, 11))
                if depth != 16:
                    self.assertEqual(got, expected)
                    continue
                # 16-bit samples are scaled to 8 bits, never gamma-encoded:
                # within one level of the 8-bit twin, and of the truth.
                twin, twin_expected, _ = png_kind(ctype, 8, False, False, rng, truth=truth)
                _, _, twin_got = self.decoded(twin, "twin.png")
                for a, b, c in zip(got, twin_got, expected):
                    self.assertLessEqual(max(abs(x - y) for x, y in zip(a[:3], b[:3])), 1, (a, b))
                    self.assertLessEqual(max(abs(x - y) for x, y in zip(a[:3], c[:3])), 1, (a, c))
                    if not trns:
                        self.assertLessEqual(abs(a[3] - b[3]), 1, (a, b))

    def test_png_exif_orientation_before_or_after_the_image_data(self):
        if Image is None:
            self.fail("the reference orientation comes from Debian's python3-pil")
        w, h = 6, 4
        px = [(x * 40, y * 60, 200, 255) for y in range(h) for x in range(w)]
        plain = encode_png(w, h, px)
        idat = plain.index(b"IDAT") - 4
        iend = plain.index(b"IEND") - 4
        for n in (1, 3, 5, 6, 8):
            exif = chunk(b"eXIf", b"II*\0" + struct.pack("<IHHHIHHI", 8, 1, 0x0112, 3, 1, n, 0, 0))
            for where, data in (("before", plain[:idat] + exif + plain[idat:]),
                                ("after", plain[:iend] + exif + plain[iend:])):
                with self.subTest(orientation=n, where=where):
                    path = self.write("in.png", data)
                    ref = ImageOps.exif_transpose(Image.open(path)).convert("RGBA")
                    ow, oh, got = self.decoded(data)
                    self.assertEqual(((ow, oh), got), (ref.size, list(ref.getdata())))

    def pillow_jpeg(self, name, mode, pixels, size, **save):
        if Image is None:
            self.fail("the JPEG kinds are made with Debian's python3-pil")
        im = Image.new(mode, size)
        im.putdata(pixels)
        path = self.path(name)
        im.save(path, quality=95, **save)
        return path

    def test_every_jpeg_kind_matches_an_independent_decoder(self):
        w, h = 48, 32
        def colour(x, y):
            base = [(220, 40, 40), (40, 200, 60), (40, 60, 210), (230, 220, 50)][(x >= w // 2) + 2 * (y >= h // 2)]
            return tuple(min(255, c + x) for c in base)
        rgb = [colour(x, y) for y in range(h) for x in range(w)]
        cmyk = [(c // 2, m // 3, 255 - y, 40 + (x * 4) % 200) for (c, m, y), x in zip(rgb, [i % w for i in range(w * h)])]
        cases = [("baseline 4:2:0", "RGB", rgb, {}), ("4:4:4", "RGB", rgb, {"subsampling": 0}),
                 ("progressive", "RGB", rgb, {"progressive": True}),
                 ("greyscale", "L", [sum(p) // 3 for p in rgb], {}),
                 ("CMYK", "CMYK", cmyk, {})]
        for n in range(1, 9):
            exif = Image.Exif() if Image else {}
            exif[0x0112] = n
            cases.append(("orientation %d" % n, "RGB", rgb, {"exif": exif.tobytes()}))
        for name, mode, pixels, save in cases:
            with self.subTest(name):
                path = self.pillow_jpeg("in.jpg", mode, pixels, (w, h), **save)
                ref = Image.open(path)
                if mode == "CMYK":  # ink values, as an independent decoder reads them
                    want = [tuple(((255 - c) * (255 - k) + 127) // 255 for c in px[:3]) for px in ref.getdata()
                            for k in [px[3]]]
                    size = ref.size
                else:
                    ref = ImageOps.exif_transpose(ref).convert("RGB")
                    want, size = list(ref.getdata()), ref.size
                with open(path, "rb") as f:
                    ow, oh, got = self.decoded(f.read(), "kind.jpg")
                self.assertEqual((ow, oh), size)
                worst = max(max(abs(a - b) for a, b in zip(p[:3], q)) for p, q in zip(got, want))
                self.assertLessEqual(worst, 1)
                self.assertTrue(all(p[3] == 255 for p in got))


def soft_disc(width, height, rgb_at, background=None):
    """A disc with a six-pixel soft edge; colour from rgb_at(x, y), and
    `background` (or the same colour) where it is fully transparent."""
    px = []
    for y in range(height):
        for x in range(width):
            d = ((x - width / 2 + 0.5) ** 2 + (y - height / 2 + 0.5) ** 2) ** 0.5
            a = max(0, min(255, int((min(width, height) / 2 - 2 - d) * 255 / 6)))
            px.append((background if a == 0 and background else rgb_at(x, y)) + (a,))
    return px


class StraightColour(Case):
    """An image file holds straight alpha: the colour effects change the
    colour one sees (soft edges survive), the effects that mix pixels mix
    premultiplied colour, and a chain converts only where it changes kind."""

    W, H = 40, 36

    def icon(self, name, opaque=False, **kw):
        px = soft_disc(self.W, self.H, lambda x, y: (200, 40 + x * 5, 90 + y * 4), **kw)
        if opaque:
            px = [p[:3] + (255,) for p in px]
        return self.write(name, encode_png(self.W, self.H, px))

    def test_colour_effects_treat_edges_like_the_opaque_twin(self):
        icon, twin = self.icon("icon.png"), self.icon("twin.png", opaque=True)
        _, _, before = read_png(icon)
        chains = [["grade", "brightness=0.3"], ["tonemap", "exposure=2"], ["vignette", "strength=1"],
                  ["grain", "amount=0.3"], ["scanlines", "spacing=2", "intensity=0.5"],
                  ["grade", "brightness=0.3", "tonemap", "grain"]]
        for chain in chains:
            with self.subTest(chain=chain):
                self.ok(icon, self.path("a.png"), *chain)
                self.ok(twin, self.path("b.png"), *chain)
                _, _, got = read_png(self.path("a.png"))
                _, _, want = read_png(self.path("b.png"))
                edges = [i for i, p in enumerate(before) if 0 < p[3] < 255]
                self.assertGreater(len(edges), 100)
                for i, (p, q, b) in enumerate(zip(got, want, before)):
                    self.assertEqual(p[3], b[3], i)  # alpha untouched
                    self.assertEqual(p[:3], q[:3], i)  # even at alpha 0: no conversion at all
                    # the output's premultiplied colour never exceeds its alpha
                    self.assertTrue(all(premultiply(c, p[3]) <= p[3] for c in p[:3]))

    def test_mixing_effects_mix_premultiplied_colour(self):
        # A red disc on transparent black: blurred straight colour would
        # darken the edge toward black; premultiplied colour stays red.
        px = soft_disc(self.W, self.H, lambda x, y: (255, 0, 0), background=(0, 0, 0))
        src = self.write("red.png", encode_png(self.W, self.H, px))
        for chain in (["blur", "sigma=3"], ["chromatic", "strength_x=0", "strength_y=0"]):
            with self.subTest(chain=chain):
                self.ok(src, self.path("out.png"), *chain)
                _, _, got = read_png(self.path("out.png"))
                seen = [p for p in got if p[3] >= 32]
                self.assertGreater(len(seen), 100)
                for p in seen:
                    self.assertGreaterEqual(p[0], 240, p)
                    self.assertLessEqual(max(p[1], p[2]), 8, p)

    def test_a_chain_equals_one_run_per_effect(self):
        # Between runs the image is a straight-alpha file; within a chain the
        # words change kind only where the effects do, with the same result.
        src = self.icon("icon.png")
        chains = [[["grade", "brightness=0.3"], ["blur"]], [["blur"], ["grade", "brightness=0.3"]],
                  [["tonemap"], ["shadow", "sigma=2"], ["vignette"], ["glitch", "bands=3"], ["grain"]]]
        for chain in chains:
            with self.subTest(chain=chain):
                self.ok(src, self.path("chain.png"), *[a for step in chain for a in step])
                step_in = src
                for k, step in enumerate(chain):
                    step_out = self.path("step%d.png" % k)
                    self.ok(step_in, step_out, *step)
                    step_in = step_out
                self.assertTrue(read_png(self.path("chain.png")) == read_png(step_in))


class Outputs(Case):
    """Writing never leaves a partial file, never changes what a replaced
    file was, and says which file failed and why."""

    def test_an_interrupted_write_leaves_no_partial_file(self):
        if not STOP_IN_WRITE:
            self.skipTest("needs --stop-in-write LIBRARY (run it through ctest)")
        # Noise, so the PNG takes many writes: the first leaves a partial file.
        w, h = 256, 256
        noise = random.Random(6).randbytes(w * h * 4)
        raw = b"".join(b"\0" + noise[y * w * 4:(y + 1) * w * 4] for y in range(h))
        src = self.write("noise.png", b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", w, h, 8, 6, 0, 0, 0)) +
                         chunk(b"IDAT", zlib.compress(raw, 0)) + chunk(b"IEND", b""))
        out = self.path("out.png")
        # kvfx stops itself after its first write into the temporary file
        # (stop_in_write.c); the signal is sent while it is held there.
        env = dict(os.environ, LD_PRELOAD=STOP_IN_WRITE,
                   ASAN_OPTIONS="verify_asan_link_order=0:" + os.environ.get("ASAN_OPTIONS", ""))
        for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
            with self.subTest(signal=sig.name):
                with open(out, "wb") as f:
                    f.write(b"keep me")
                p = subprocess.Popen([KVFX, src, out] + noop_chain(), stderr=subprocess.PIPE, env=env)
                try:
                    # Waits for the stop, or the end if the preload never took hold.
                    _, status = os.waitpid(p.pid, os.WUNTRACED)
                    if not os.WIFSTOPPED(status):
                        p.returncode = os.waitstatus_to_exitcode(status)
                        self.fail("kvfx ended without stopping in its write")
                    temps = [n for n in os.listdir(self.dir) if n.startswith(".kvfx-")]
                    self.assertEqual(len(temps), 1)
                    self.assertGreater(os.path.getsize(self.path(temps[0])), 0)
                    p.send_signal(sig)  # what Ctrl-C, kill and a closed terminal send
                    os.kill(p.pid, signal.SIGCONT)
                    p.communicate(timeout=30)
                finally:
                    if p.returncode is None:
                        p.kill()
                        p.wait()
                self.assertEqual(p.returncode, -sig)
                self.no_leftovers()
                with open(out, "rb") as f:
                    self.assertEqual(f.read(), b"keep me")

    def test_a_replaced_output_keeps_what_it_was(self):
        src = self.image("in.png")
        os.mkdir(self.path("real"))

        def plain(mode):
            def make(out):
                with open(out, "wb") as f:
                    f.write(b"old")
                os.chmod(out, mode)
                return out
            return make

        def link_to(target):
            def make(out):
                if target:
                    plain(0o640)(self.path(target))
                os.symlink(os.path.join("real", "t.png") if target else "missing.png", out)
                return self.path(target) if target else None
            return make

        cases = [("private file", plain(0o600), 0o600), ("group-readable file", plain(0o640), 0o640),
                 ("executable file", plain(0o755), 0o755), ("symbolic link", link_to("real/t.png"), 0o640)]
        for name, make, mode in cases:
            with self.subTest(name):
                out = self.path("out.png")
                if os.path.lexists(out):
                    os.remove(out)
                written = make(out)
                self.ok(src, out, "blur")
                self.assertEqual(os.stat(written).st_mode & 0o7777, mode)
                self.assertEqual(read_png(written)[:2], (48, 36))
                self.assertEqual(os.path.islink(out), written != out)
                self.no_leftovers()
                self.no_leftovers(self.path("real"))
        os.remove(self.path("out.png"))
        link_to(None)(self.path("out.png"))
        os.mkdir(self.path("dir.png"))
        for name, out, message in [("dangling symbolic link", "out.png", "it is a symbolic link to missing.png, which does not exist"),
                                   ("directory", "dir.png", "is a directory")]:
            with self.subTest(name):
                rc, _, err = run(src, self.path(out), "blur")
                self.assertEqual(rc, 1)
                self.assertEqual(err, "kvfx: cannot write %s: %s\n" % (self.path(out), message))
        self.assertEqual(os.readlink(self.path("out.png")), "missing.png")

    def test_write_failures_name_the_file_and_the_reason(self):
        src = self.image("in.png", 64, 64)
        out = self.path("out.png")
        with open(out, "wb") as f:
            f.write(b"keep me")

        def file_size_limit():
            import resource
            resource.setrlimit(resource.RLIMIT_FSIZE, (4096, 4096))

        with open("/dev/full", "wb") as full:
            cases = [("full disk on stdout", [src, "-"], {"stdout": full},
                      "kvfx: cannot write stdout: No space left on device\n"),
                     ("file size limit", [src, out], {"stdout": subprocess.PIPE, "preexec_fn": file_size_limit},
                      "kvfx: cannot write %s: File too large\n" % out)]
            for name, args, kw, message in cases:
                with self.subTest(name):
                    p = subprocess.run([KVFX] + args + ["blur"], stderr=subprocess.PIPE, timeout=60, **kw)
                    self.assertEqual((p.returncode, p.stderr.decode()), (1, message))
                    self.no_leftovers()
                    with open(out, "rb") as f:
                        self.assertEqual(f.read(), b"keep me")

    def test_image_data_never_goes_to_a_terminal(self):
        import pty
        src = self.image("in.png")
        for name, stream, args, message in [
                ("stdout", "stdout", [src, "-"], "stdout is a terminal"),
                ("stdin", "stdin", ["-", self.path("out.png")], "stdin is a terminal")]:
            with self.subTest(name):
                master, slave = pty.openpty()
                try:
                    p = subprocess.run([KVFX] + args + ["blur"], stderr=subprocess.PIPE, timeout=60,
                                       **{stream: slave})
                    os.set_blocking(master, False)
                    try:
                        shown = os.read(master, 4096)
                    except OSError:
                        shown = b""
                finally:
                    os.close(master)
                    os.close(slave)
                self.assertEqual(p.returncode, 1)
                self.assertEqual(shown, b"")
                err = p.stderr.decode()
                self.assertTrue(err.startswith("kvfx: ") and err.count("\n") == 1, err)
                self.assertIn(message, err)
                self.assertFalse(os.path.exists(self.path("out.png")))


if __name__ == "__main__":
    KVFX = os.path.abspath(sys.argv.pop(1))
    if "--sanitized" in sys.argv:
        sys.argv.remove("--sanitized")
        SANITIZED = True
    if "--stop-in-write" in sys.argv:
        at = sys.argv.index("--stop-in-write")
        STOP_IN_WRITE = os.path.abspath(sys.argv.pop(at + 1))
        sys.argv.pop(at)
    unittest.main(verbosity=1)
