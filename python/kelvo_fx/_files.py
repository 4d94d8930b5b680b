"""Image files through a chain, one at a time or many on a thread pool.

Files are read and written with Pillow. The effects release the GIL (they
are ctypes calls), as do Pillow's codecs for most of their work, so threads
give real parallelism on distinct files.
"""
import os
import struct
import sys
import tempfile
import threading
import zlib
from concurrent.futures import ThreadPoolExecutor, as_completed

import numpy as np

from . import _straight


class MapFilesError(RuntimeError):
    """Some files of a map_files() run failed; the others were written.

    failures: {input path: the exception it raised}; outputs: the list
    map_files() would have returned, None where the file failed.
    """

    def __init__(self, failures, outputs):
        self.failures = failures
        self.outputs = outputs
        first = next(iter(failures.items()))
        super().__init__("%d of %d files failed; first %s: %s"
                         % (len(failures), len(outputs), first[0], first[1]))


def _pil():
    try:
        from PIL import Image
    except ImportError:
        raise ImportError("kelvo_fx: reading and writing image files needs Pillow "
                          "(Debian: python3-pil)") from None
    return Image


def output_format(path):
    """Pillow's format name for path's extension; ValueError if it has none."""
    Image = _pil()
    ext = os.path.splitext(path)[1].lower()
    fmt = Image.registered_extensions().get(ext)
    if fmt is None or fmt not in Image.SAVE:
        raise ValueError("%s: no image format writes %r files" % (path, ext or "extension-less"))
    return fmt


def _chunk(kind, data):
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))


def write_png(f, pixels):
    """Writes (H, W, 3 or 4) uint8 RGB or RGBA as an 8-bit PNG.

    Pillow's PNG encoder holds the GIL throughout; this one spends its time
    in zlib, which releases it, so threads encode files in parallel. Every
    row uses the "sub" filter (each byte less the one a pixel to its left).
    """
    h, w, ch = pixels.shape
    rows = pixels.reshape(h, w * ch)
    filtered = np.empty((h, w * ch + 1), np.uint8)
    filtered[:, 0] = 1
    filtered[:, 1:ch + 1] = rows[:, :ch]
    np.subtract(rows[:, ch:], rows[:, :-ch], out=filtered[:, ch + 1:])
    header = struct.pack(">IIBBBBB", w, h, 8, 6 if ch == 4 else 2, 0, 0, 0)
    f.write(b"\x89PNG\r\n\x1a\n" + _chunk(b"IHDR", header) +
            _chunk(b"IDAT", zlib.compress(filtered.tobytes(), 6)) + _chunk(b"IEND", b""))


def _same_file(a, b):
    try:
        return os.path.samefile(a, b)
    except OSError:
        return False


def process_file(in_path, out_path, steps, apply_image):
    """Reads in_path, runs the resolved steps, writes out_path by way of a
    temporary file beside it, so a failure never leaves a partial file."""
    Image = _pil()
    fmt = output_format(out_path)
    if _same_file(in_path, out_path):
        raise ValueError("%s: the output would overwrite the input" % in_path)
    with Image.open(in_path) as image:
        image.load()
        result = apply_image(image, steps)
    if fmt == "JPEG" and result.mode not in ("RGB", "L"):
        # No alpha in JPEG: the premultiplied colour, i.e. over black, as kvfx writes it.
        result = Image.fromarray(_straight.over_black(np.asarray(result.convert("RGBA"))), "RGB")
    directory = os.path.dirname(os.path.abspath(out_path))
    fd, tmp = tempfile.mkstemp(prefix=".kelvo_fx-", suffix=os.path.splitext(out_path)[1],
                               dir=directory)
    try:
        with os.fdopen(fd, "wb") as f:
            if fmt == "PNG" and result.mode in ("RGB", "RGBA"):
                write_png(f, np.asarray(result))
            else:
                result.save(f, format=fmt)
        os.replace(tmp, out_path)
    except BaseException:
        try:
            os.unlink(tmp)
        except OSError:
            pass
        raise
    return out_path


class _Progress:
    """'[done/total] name' on one line of a terminal; silent elsewhere."""

    def __init__(self, total, enabled, stream=None):
        self.stream = stream or sys.stderr
        if enabled is None:
            enabled = hasattr(self.stream, "isatty") and self.stream.isatty()
        self.enabled, self.total, self.done = enabled, total, 0
        self.lock = threading.Lock()

    def step(self, name):
        if not self.enabled:
            return
        with self.lock:
            self.done += 1
            self.stream.write("\r\033[K[%d/%d] %s" % (self.done, self.total, name))
            self.stream.flush()

    def finish(self):
        if self.enabled:
            self.stream.write("\r\033[K[%d/%d] done\n" % (self.done, self.total))
            self.stream.flush()


def map_files(inputs, out_dir, steps, apply_image, workers, progress):
    inputs = [os.fspath(p) for p in inputs]
    outputs = [os.path.join(out_dir, os.path.basename(p)) for p in inputs]
    seen = {}
    for i, o in zip(inputs, outputs):
        if o in seen:
            raise ValueError("%s and %s would both be written to %s" % (seen[o], i, o))
        seen[o] = i
        output_format(o)
    if workers is None:
        workers = os.cpu_count() or 1
    if workers < 1:
        raise ValueError("workers must be at least 1, not %r" % (workers,))
    os.makedirs(out_dir, exist_ok=True)
    bar = _Progress(len(inputs), progress)
    failures = {}
    results = [None] * len(inputs)
    with ThreadPoolExecutor(max_workers=workers) as pool:
        futures = {pool.submit(process_file, inputs[k], outputs[k], steps, apply_image): k
                   for k in range(len(inputs))}
        for future in as_completed(futures):
            k = futures[future]
            try:
                results[k] = future.result()
            except Exception as e:  # one bad file does not stop the others
                failures[inputs[k]] = e
            bar.step(os.path.basename(inputs[k]))
    bar.finish()
    if failures:
        raise MapFilesError(dict(sorted(failures.items())), results)
    return results
