"""The Python examples of README.md and python/README.md run as written, and
every effect they call changes what a reader would see: an example that
blurs a uniform area or shadows an opaque image shows nothing."""
import os
import re

import numpy as np
import pytest

import kelvo_fx

HERE = os.path.dirname(os.path.abspath(__file__))
READMES = [os.path.join(HERE, "..", "..", "README.md"), os.path.join(HERE, "..", "README.md")]

# A pixel a reader sees change: some channel (alpha included) moves this far.
VISIBLE_LEVELS = 16
# ... on at least this share of the pixels the call was given.
VISIBLE_SHARE = 0.005


def example(readme):
    blocks = re.findall(r"^```python\n(.*?)^```", open(readme, encoding="utf-8").read(), re.M | re.S)
    found = [b for b in blocks if "import kelvo_fx" in b]
    assert found, "%s has no Python example" % readme
    return found[0]


def channels(pixels):
    """An (H, W, 4) view of words, bytes or a Pillow image, for comparing."""
    if hasattr(pixels, "convert"):
        return np.asarray(pixels.convert("RGBA"))
    a = np.ascontiguousarray(pixels)
    return a.view(np.uint8).reshape(a.shape[0], a.shape[1], 4) if a.dtype == np.uint32 else a


def visible_share(before, after):
    diff = np.abs(channels(before).astype(np.int16) - channels(after).astype(np.int16))
    return float((diff.max(axis=-1) >= VISIBLE_LEVELS).mean())


@pytest.mark.parametrize("readme", READMES, ids=lambda p: os.path.relpath(p, os.path.join(HERE, "..", "..")))
def test_example_runs_and_every_call_shows(readme, tmp_path, monkeypatch):
    pytest.importorskip("PIL.Image")
    seen = []

    def watch(name, fn, in_place):
        def watched(pixels, *args, **kwargs):
            before = pixels.copy()
            result = fn(pixels, *args, **kwargs)
            seen.append((name, visible_share(before, pixels if in_place else result)))
            return result
        monkeypatch.setattr(kelvo_fx, name, watched)

    watch("apply", kelvo_fx.apply, False)
    for e in kelvo_fx.effects:
        watch(e.python_name, getattr(kelvo_fx, e.python_name), not e.two_buffers)
    monkeypatch.chdir(tmp_path)
    exec(compile(example(readme), readme, "exec"), {"__name__": "readme_example"})
    assert seen, "the example calls no effect"
    for name, share in seen:
        assert share >= VISIBLE_SHARE, "%s changes %.2f%% of its pixels visibly" % (name, 100 * share)
