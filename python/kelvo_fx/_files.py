"""Image files through a chain, one at a time or many on a thread pool.

Files are read and written with Pillow. The effects release the GIL (they
are ctypes calls), as do Pillow's codecs for most of their work, so threads
give real parallelism on distinct files.
"""
import os
import sys
import tempfile
import threading
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


def usable_cpus():
    """The CPUs this process may run on (its affinity where the platform
    says; the library's own count also honours a cgroup quota)."""
    try:
        return len(os.sched_getaffinity(0)) or 1
    except (AttributeError, OSError):
        return os.cpu_count() or 1


def _same_file(a, b):
    try:
        return os.path.samefile(a, b)
    except OSError:
        return False


def process_file(in_path, out_path, steps, apply_image, threads):
    """Reads in_path, runs the resolved steps, writes out_path by way of a
    temporary file beside it, so a failure never leaves a partial file.
    The input's ICC profile goes with the pixels: they are still in its
    colour space."""
    Image = _pil()
    fmt = output_format(out_path)
    if _same_file(in_path, out_path):
        raise ValueError("%s: the output would overwrite the input" % in_path)
    with Image.open(in_path) as image:
        image.load()
        icc_profile = image.info.get("icc_profile")
        result = apply_image(image, steps, threads)
    if fmt == "JPEG" and result.mode not in ("RGB", "L"):
        # No alpha in JPEG: the premultiplied colour, i.e. over black, as kvfx writes it.
        result = Image.fromarray(_straight.over_black(np.asarray(result.convert("RGBA"))), "RGB")
    directory = os.path.dirname(os.path.abspath(out_path))
    fd, tmp = tempfile.mkstemp(prefix=".kelvo_fx-", suffix=os.path.splitext(out_path)[1],
                               dir=directory)
    try:
        with os.fdopen(fd, "wb") as f:
            result.save(f, format=fmt, **({"icc_profile": icc_profile} if icc_profile else {}))
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


def map_files(inputs, out_dir, steps, apply_image, workers, progress, threads):
    inputs = [os.fspath(p) for p in inputs]
    outputs = [os.path.join(out_dir, os.path.basename(p)) for p in inputs]
    seen = {}
    for i, o in zip(inputs, outputs):
        if o in seen:
            raise ValueError("%s and %s would both be written to %s" % (seen[o], i, o))
        seen[o] = i
        output_format(o)
    cpus = usable_cpus()
    if workers is None:
        workers = cpus
    if workers < 1:
        raise ValueError("workers must be at least 1, not %r" % (workers,))
    # Workers that each take every CPU would only take turns on them.
    if threads == 0:
        threads = max(1, cpus // workers)
    os.makedirs(out_dir, exist_ok=True)
    bar = _Progress(len(inputs), progress)
    failures = {}
    results = [None] * len(inputs)
    with ThreadPoolExecutor(max_workers=workers) as pool:
        futures = {pool.submit(process_file, inputs[k], outputs[k], steps, apply_image, threads): k
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
