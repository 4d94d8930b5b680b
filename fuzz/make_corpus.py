#!/usr/bin/env python3
"""Writes the seed corpus for fx_fuzz: a few inputs per effect, spread over
the stride kinds the target knows, with deterministic tails."""
import os
import random
import sys

out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "corpus")
os.makedirs(out, exist_ok=True)
rng = random.Random(20240611)
for effect in range(10):
    for variant in range(5):
        stride_kind = (variant * 2 + effect) % 9
        if variant == 4:  # one larger image per effect
            head = [effect, variant % 3, 0xC0, 40 + effect, 0x00, 0xC0, 30, 0x00]
        else:
            head = [effect, variant % 3, rng.randrange(0, 0xC0), rng.randrange(0, 0xC0)]
        head += [stride_kind, rng.randrange(256)]
        tail = [rng.randrange(256) for _ in range(56)]
        name = os.path.join(out, "e%d_v%d" % (effect, variant))
        with open(name, "wb") as f:
            f.write(bytes(head + tail))
