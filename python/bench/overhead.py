"""What the binding adds to each call: a kelvo_fx function against the same
C function (libkelvo_fx_parallel's, on one thread) called straight through
ctypes with a ready pointer.

    PYTHONPATH=build/python python3 python/bench/overhead.py

The two ways alternate, batch by batch, and each keeps its quickest batch:
on a shared machine the minimum is the time a call takes when nothing else
interferes, and alternating exposes both ways to the same disturbances.
"""
import time

import numpy as np

import kelvo_fx

SIZES = [(64, 64, 200, 300), (3840, 2160, 1, 12)]  # width, height, calls per batch, batches
CALLS = [("scanlines", {"spacing": 3, "intensity": 0.35}),
         ("tone_map_aces", {"exposure": 1.2}),
         ("gaussian_blur", {"sigma": 2.0})]


def quickest(fns, per_batch, batches):
    best = [float("inf")] * len(fns)
    for _ in range(batches):
        for k, fn in enumerate(fns):
            t0 = time.perf_counter()
            for _ in range(per_batch):
                fn()
            best[k] = min(best[k], (time.perf_counter() - t0) / per_batch)
    return best


def main():
    print("%-10s %-14s %12s %12s %10s %7s" % ("size", "effect", "direct", "kelvo_fx", "added", "ratio"))
    for w, h, per_batch, batches in SIZES:
        rng = np.random.default_rng(0)
        pixels = rng.integers(0, 2**32, (h, w), dtype=np.uint32) | np.uint32(0xFF000000)
        for name, params in CALLS:
            effect = kelvo_fx.find_effect(name)
            fn = getattr(kelvo_fx, name)
            args = effect.arguments((), params)
            ptr, pfunc, stride = pixels.ctypes.data, effect.pfunc, 4 * w
            d, b = quickest([lambda: pfunc(ptr, w, h, stride, *args, 1),
                             lambda: fn(pixels, threads=1, **params)], per_batch, batches)
            print("%-10s %-14s %9.2f us %9.2f us %7.2f us %7.3f"
                  % ("%dx%d" % (w, h), name, d * 1e6, b * 1e6, (b - d) * 1e6, b / d))


if __name__ == "__main__":
    main()
