"""Straight-alpha images (Pillow, PNG files, RGBA arrays) through a chain of
effects, the way every host of the library does it: each effect is fed the
words its catalogue entry asks for (straight colour for the colour effects,
whose arithmetic never reads alpha; premultiplied for the blurs and the
displacements), converting only where the chain changes kind, and the
result is made straight again.

The conversions are whole tables of the library's two formulas
    premultiply    c' = (c * a + 127) / 255
    unpremultiply  c  = min(255, (c' * 255 + a / 2) / a), 0 where a = 0
indexed by (alpha, channel), so each is one gather per channel.
"""
import sys

import numpy as np

from . import _effects

STRAIGHT, PREMULTIPLIED = "straight_colour", "premultiplied"


def _tables():
    a = np.arange(256, dtype=np.uint32)[:, None]
    c = np.arange(256, dtype=np.uint32)[None, :]
    premultiply = (c * a + 127) // 255
    unpremultiply = np.minimum(255, (c * 255 + a // 2) // np.maximum(a, 1))
    unpremultiply[0] = 0
    return premultiply.astype(np.uint8).ravel(), unpremultiply.astype(np.uint8).ravel()


_PREMULTIPLY, _UNPREMULTIPLY = _tables()

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
    table = _PREMULTIPLY if wanted == PREMULTIPLIED else _UNPREMULTIPLY
    b = words.reshape(-1).view(np.uint8).reshape(-1, 4)
    alpha = b[:, _ALPHA]
    opaque = alpha == 255
    # Both formulas give c back at alpha 255, the common case.
    if opaque.all():
        return
    if opaque.mean() > 0.5:
        rows = np.flatnonzero(~opaque)
        sub = b[rows]
        _convert_bytes(sub, table)
        b[rows] = sub
    else:
        _convert_bytes(b, table)


def _convert_bytes(b, table):
    base = b[:, _ALPHA].astype(np.intp) << 8
    for k in _COLOURS:
        b[:, k] = table[base | b[:, k]]


def rgba_to_words(rgba):
    """A new (H, W) uint32 array of straight words from (H, W, 4) R, G, B, A bytes."""
    h, w = rgba.shape[:2]
    words = np.empty((h, w), np.uint32)
    words.view(np.uint8).reshape(h, w, 4)[...] = rgba[..., _RGBA_TO_WORD]
    return words


def words_to_rgba(words):
    h, w = words.shape
    return np.ascontiguousarray(words.view(np.uint8).reshape(h, w, 4)[..., _WORD_TO_RGBA])


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


def run_chain(words, steps):
    """Runs resolved steps over tight straight words; returns the straight
    result (a new array where the drop shadow wrote one)."""
    held = STRAIGHT
    for effect, values in steps:
        convert(words, held, effect.input)
        held = effect.input
        if effect.two_buffers:
            words = _effects.run_two_buffers(effect, words, None, values)
        else:
            _effects.run_in_place(effect, words, values)
    convert(words, held, STRAIGHT)
    return words


def apply_rgba(rgba, steps):
    return words_to_rgba(run_chain(rgba_to_words(rgba), steps))


def over_black(rgba):
    """(H, W, 3) R, G, B bytes of straight RGBA bytes premultiplied: the image over black."""
    words = rgba_to_words(rgba)
    convert(words, STRAIGHT, PREMULTIPLIED)
    return words_to_rgba(words)[..., :3]
