#!/usr/bin/env python3
"""Writes seed inputs for fx_fuzz: a few per catalogued effect, spread over
the stride kinds the target knows, with deterministic tails.

usage: make_corpus.py CATALOGUE.json OUT_DIR
"""
import json
import os
import random
import sys

catalogue, out = sys.argv[1], sys.argv[2]
with open(catalogue) as f:
    effects = len(json.load(f)["effects"])
os.makedirs(out, exist_ok=True)
rng = random.Random(20240611)
for effect in range(effects):
    for variant in range(6):
        stride_kind = (variant * 2 + effect) % 9
        if variant == 4:  # one larger image per effect
            head = [effect, variant % 3, 0xC0, 40 + effect, 0x00, 0xC0, 30, 0x00]
        elif variant == 5:  # the largest, 300 x 300, long enough for the streamed paths
            head = [effect, 2, 0xC0, 0x2B, 0x01, 0xC0, 0x2B, 0x01]
            stride_kind = 0
        else:
            head = [effect, variant % 3, rng.randrange(0, 0xC0), rng.randrange(0, 0xC0)]
        head += [stride_kind, rng.randrange(256)]
        tail = [rng.randrange(256) for _ in range(56)]
        with open(os.path.join(out, "seed_e%d_v%d" % (effect, variant)), "wb") as f:
            f.write(bytes(head + tail))
