"""Straight-alpha images (Pillow, PNG files, RGBA arrays) through a chain of
effects, the way every host of the library does it: each effect is fed the
words its catalogue entry asks for (straight colour for the colour effects,
whose arithmetic never reads alpha; premultiplied for the blurs and the
displacements), converting only where the chain changes kind, and the
result is made straight again.

The two conversions are the library's formulas, on all pixels at once in
16-bit lanes (no intermediate exceeds 65535):
    premultiply    c' = (c * a + 127) / 255
    unpremultiply  c  = min(255, (c' * 255 + a / 2) / a), 0 where a = 0
"""
import sys

import numpy as np

from . import _effects

STRAIGHT, PREMULTIPLIED = "straight_colour", "premultiplied"


# Where a word's channels sit among its bytes in memory, and the byte order
# that turns R, G, B, A bytes into words.
if sys.byteorder == "little":
    _ALPHA, _COLOURS = 3, (0, 1, 2)
    _RGBA_TO_WORD = [2, 1, 0, 3]   # word bytes B, G, R, A
    _WORD_TO_RGBA = [2, 1, 0, 3]
else:
    _ALPHA, _COLOURS = 0, (1, 2, 3)
    _RGBA_TO_WORD = [3, 0, 1, 2]   # word bytes A, R, G, B
    _WORD_TO_RGBA = [1, 2, 3, 0]


def convert(words, held, wanted):
    """Converts tight words (any shape, C-contiguous uint32) in place from
    what they hold to what is wanted."""
    if held == wanted:
        return
    b = words.reshape(-1).view(np.uint8).reshape(-1, 4)
    opaque = b[:, _ALPHA] == 255
    # Both formulas give c back at alpha 255, the common case.
    if opaque.all():
        return
    to_premultiplied = wanted == PREMULTIPLIED
    if opaque.mean() > 0.5:
        rows = np.flatnonzero(~opaque)
        sub = b[rows]
        _convert_bytes(sub, to_premultiplied)
        b[rows] = sub
    else:
        _convert_bytes(b, to_premultiplied)


def _convert_bytes(b, to_premultiplied):
    a = b[:, _ALPHA].astype(np.uint16)[:, None]
    c = b.astype(np.uint16)
    if to_premultiplied:
        c *= a
        c += 127
        c //= 255
    else:
        c *= 255
        c += a >> 1
        c //= np.maximum(a, 1)
        np.minimum(c, 255, out=c)
        c[a[:, 0] == 0] = 0
    for k in _COLOURS:
        b[:, k] = c[:, k]


def rgba_to_words(rgba):
    """A new (H, W) uint32 array of straight words from (H, W, 4) R, G, B, A bytes."""
    h, w = rgba.shape[:2]
    words = np.empty((h, w), np.uint32)
    b = words.view(np.uint8).reshape(h, w, 4)
    for dst, src in enumerate(_RGBA_TO_WORD):  # one plane at a time: quicker than a gather
        b[..., dst] = rgba[..., src]
    return words


def words_to_rgba(words):
    h, w = words.shape
    b = words.view(np.uint8).reshape(h, w, 4)
    rgba = np.empty((h, w, 4), np.uint8)
    for dst, src in enumerate(_WORD_TO_RGBA):
        rgba[..., dst] = b[..., src]
    return rgba


def resolve_chain(chain, lookup):
    """[(Effect, C arguments)] for a chain of names or (name, {parameters})
    pairs, every value checked before any pixel is touched."""
    if isinstance(chain, (str, bytes, dict)) or (isinstance(chain, tuple) and chain
                                                  and isinstance(chain[0], str)):
        raise TypeError("chain must be a list of effect names or (name, {parameters}) pairs, "
                        "not %r" % (chain,))
    steps = []
    for step in chain:
        if isinstance(step, str):
            name, params = step, {}
        else:
            try:
                name, params = step
            except (TypeError, ValueError):
                raise TypeError("chain step %r is not a name or a (name, {parameters}) pair"
                                % (step,)) from None
            if params is None:
                params = {}
            if not isinstance(params, dict):
                raise TypeError("%s: parameters must be a dict, not %s" % (name, type(params).__name__))
        effect = lookup(name)
        steps.append((effect, effect.arguments((), params)))
    return steps


def run_chain(words, steps, threads):
    """Runs resolved steps over tight straight words, each on `threads`
    threads; returns the straight result (a new array where the drop shadow
    wrote one)."""
    held = STRAIGHT
    for effect, values in steps:
        convert(words, held, effect.input)
        held = effect.input
        if effect.two_buffers:
            words = _effects.run_two_buffers(effect, words, None, values, threads)
        else:
            _effects.run_in_place(effect, words, values, threads)
    convert(words, held, STRAIGHT)
    return words


def apply_rgba(rgba, steps, threads):
    return words_to_rgba(run_chain(rgba_to_words(rgba), steps, threads))


def over_black(rgba):
    """(H, W, 3) R, G, B bytes of straight RGBA bytes premultiplied: the image over black."""
    words = rgba_to_words(rgba)
    convert(words, STRAIGHT, PREMULTIPLIED)
    return words_to_rgba(words)[..., :3]
