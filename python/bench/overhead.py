"""What the binding adds to each call: a kelvo_fx function against the same
C function called straight through ctypes with a ready pointer.

    PYTHONPATH=build/python python3 python/bench/overhead.py

Prints, per image size and effect, the best time per call of each way over a
few repeats (the machine may be shared) and their ratio.
"""
import timeit

import numpy as np

import kelvo_fx

SIZES = [(64, 64), (3840, 2160)]
CALLS = [("scanlines", {"spacing": 3, "intensity": 0.35}),
         ("tone_map_aces", {"exposure": 1.2}),
         ("gaussian_blur", {"sigma": 2.0})]


def best_per_call(fn, seconds):
    number = 1
    while True:
        t = timeit.timeit(fn, number=number)
        if t > seconds / 5:
            break
        number *= 4
    return min(timeit.repeat(fn, number=number, repeat=5)) / number


def main():
    print("%-11s %-14s %12s %12s %10s %7s" % ("size", "effect", "direct", "kelvo_fx", "added", "ratio"))
    for w, h in SIZES:
        rng = np.random.default_rng(0)
        pixels = rng.integers(0, 2**32, (h, w), dtype=np.uint32) | np.uint32(0xFF000000)
        seconds = 0.1 if w * h < 1e5 else 1.0
        for name, params in CALLS:
            effect = kelvo_fx.find_effect(name)
            fn = getattr(kelvo_fx, name)
            args = effect.arguments((), params)
            ptr, cfunc, stride = pixels.ctypes.data, effect.cfunc, 4 * w

            def direct():
                cfunc(ptr, w, h, stride, *args)

            def binding():
                fn(pixels, **params)

            d = best_per_call(direct, seconds)
            b = best_per_call(binding, seconds)
            print("%-11s %-14s %10.2f us %10.2f us %7.2f us %7.3f"
                  % ("%dx%d" % (w, h), name, d * 1e6, b * 1e6, (b - d) * 1e6, b / d))


if __name__ == "__main__":
    main()
