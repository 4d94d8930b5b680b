"""What the package's tests share: random images, the library's own call on a
tight buffer (the reference every layout must match) and the catalogue's
straight-alpha conversions (exported by the test helper module)."""
import ctypes
import os

import numpy as np
import pytest

import kelvo_fx

SANITIZED = os.environ.get("KELVO_FX_SANITIZED") == "1"
KVFX = os.environ.get("KELVO_FX_KVFX")

# Every effect with parameters away from their defaults, so a parameter
# passed in the wrong place shows; bloom twice for its two code paths.
EFFECT_CASES = [
    ("gaussian_blur", {"sigma": 3.5}),
    ("bloom", {"threshold": 0.3, "intensity": 1.5, "sigma": 2.5, "tint": 0xFFC080}),
    ("bloom", {"threshold": 0.4, "intensity": 0.8, "sigma": 7.0, "tint": 0x80FFFF}),
    ("drop_shadow", {"offset_x": -3.0, "offset_y": 5.0, "sigma": 2.0, "color": 0xC0102030}),
    ("tone_map_aces", {"exposure": 1.7}),
    ("color_grade", {"brightness": 0.05, "contrast": 1.3, "saturation": 0.7, "gamma": 1.4}),
    ("vignette", {"strength": 0.8, "radius": 0.3, "softness": 0.6, "color": 0x203040}),
    ("film_grain", {"amount": 0.2, "seed": 77}),
    ("scanlines", {"spacing": 2, "intensity": 0.5}),
    ("chromatic_aberration", {"strength_x": 4.0, "strength_y": -2.0, "angle": 0.6}),
    ("glitch_displacement", {"band_count": 5, "max_shift": 9, "seed": 3}),
]


def case_id(case):
    name, params = case
    return name + ("_sigma%g" % params["sigma"] if name == "bloom" else "")


def premultiplied_words(shape, seed):
    """Random valid premultiplied words (no channel above alpha), with fully
    transparent and opaque pixels among them."""
    rng = np.random.default_rng(seed)
    a = rng.integers(0, 256, shape, dtype=np.uint32)
    a[rng.random(shape) < 0.2] = 255
    a[rng.random(shape) < 0.05] = 0
    words = a << 24
    for shift in (16, 8, 0):
        words |= (rng.integers(0, 256, shape, dtype=np.uint32) * a // 255) << shift
    return words


def straight_rgba(h, w, seed, opaque=False):
    rng = np.random.default_rng(seed)
    rgba = rng.integers(0, 256, (h, w, 4), dtype=np.uint8)
    # Smooth bright areas so that bloom and the blurs have something to work on.
    rgba[h // 4:h // 2, w // 4:w // 2, :3] = 250
    if opaque:
        rgba[..., 3] = 255
    else:
        rgba[..., 3][rng.random((h, w)) < 0.3] = 255
        rgba[..., 3][rng.random((h, w)) < 0.1] = 0
    return rgba


def c_call(name, words, params):
    """The library's result on a tight copy of words (H, W) uint32."""
    effect = kelvo_fx.find_effect(name)
    args = effect.arguments((), params)
    buf = np.array(words, dtype=np.uint32, order="C", copy=True)
    h, w = buf.shape
    if effect.two_buffers:
        out = np.zeros_like(buf)
        rc = effect.cfunc(buf.ctypes.data, out.ctypes.data, w, h, 4 * w, *args)
        buf = out
    else:
        rc = effect.cfunc(buf.ctypes.data, w, h, 4 * w, *args)
    assert rc == kelvo_fx.FX_OK
    return buf


def words_of(view):
    """The words a (H, W) uint32 or (H, W, 4) uint8 array holds, as a tight copy."""
    tight = np.ascontiguousarray(view)
    return tight if tight.dtype == np.uint32 else tight.view(np.uint32)[..., 0]


@pytest.fixture(scope="session")
def catalogue_convert():
    """convert(words, to_premultiplied) by the catalogue's C++ functions."""
    path = os.environ.get("KELVO_FX_TEST_HELPER")
    if not path:
        pytest.skip("KELVO_FX_TEST_HELPER is not set (run the tests through ctest)")
    fn = ctypes.CDLL(path).kvfx_test_convert_words
    fn.argtypes = [ctypes.c_void_p, ctypes.c_size_t, ctypes.c_int]
    fn.restype = None

    def convert(words, to_premultiplied):
        out = np.array(words, dtype=np.uint32, order="C", copy=True)
        fn(out.ctypes.data, out.size, 1 if to_premultiplied else 0)
        return out
    return convert
