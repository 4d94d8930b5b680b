"""Refusals: a wrong array or value raises before the library is called, the
library's own error codes become exceptions, and the pixels are then as
they were."""
import os
import shutil
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import kelvo_fx
from conftest import SANITIZED, c_call, premultiplied_words

FOREIGN_ORDER = ">u4" if sys.byteorder == "little" else "<u4"


def _read_only():
    a = premultiplied_words((8, 8), 1)
    a.flags.writeable = False
    return a


def _overlapping_rows():
    base = premultiplied_words((8, 8), 2)
    return np.lib.stride_tricks.as_strided(base, shape=(6, 8), strides=(8, 4), writeable=True)


BAD_ARRAYS = [
    ("list", lambda: [[0] * 4] * 4, TypeError),
    ("int32", lambda: np.zeros((4, 4), np.int32), TypeError),
    ("float32", lambda: np.zeros((4, 4), np.float32), TypeError),
    ("foreign_byte_order", lambda: np.zeros((4, 4), FOREIGN_ORDER), TypeError),
    ("flat_words", lambda: np.zeros(16, np.uint32), ValueError),
    ("three_channels", lambda: np.zeros((4, 4, 3), np.uint8), ValueError),
    ("bytes_without_channels", lambda: np.zeros((4, 16), np.uint8), ValueError),
    ("no_rows", lambda: np.zeros((0, 4), np.uint32), ValueError),
    ("no_columns", lambda: np.zeros((4, 0, 4), np.uint8), ValueError),
    ("read_only", _read_only, ValueError),
    ("broadcast", lambda: np.broadcast_to(np.uint32(7), (4, 4)), ValueError),
    ("overlapping_rows", _overlapping_rows, ValueError),
]


@pytest.mark.parametrize("name", [e.python_name for e in kelvo_fx.effects])
@pytest.mark.parametrize("make,error", [b[1:] for b in BAD_ARRAYS], ids=[b[0] for b in BAD_ARRAYS])
def test_bad_arrays_are_refused_untouched(name, make, error):
    pixels = make()
    before = np.array(pixels, copy=True) if isinstance(pixels, np.ndarray) else None
    fn = getattr(kelvo_fx, name)
    with pytest.raises(error):
        # The drop shadow in place: the array is both src and dst.
        fn(pixels, pixels) if kelvo_fx.find_effect(name).two_buffers else fn(pixels)
    if before is not None:
        np.testing.assert_array_equal(pixels, before)


def test_drop_shadow_dst_must_match_src():
    src = premultiplied_words((8, 8), 4)
    for dst, error in [(np.zeros((8, 9), np.uint32), ValueError),
                       (np.zeros((8, 8, 4), np.uint8), TypeError),
                       ([0] * 64, TypeError)]:
        with pytest.raises(error):
            kelvo_fx.drop_shadow(src, dst)
    kelvo_fx.drop_shadow(_read_only())  # a read-only src is fine


# (function, parameters, exception): the values the catalogue's ranges and
# kinds leave out. NaN and infinities are refused although the library
# defines them, because the catalogue's ranges (and kvfx) do not include them.
BAD_VALUES = [
    ("gaussian_blur", {"sigma": True}, TypeError),
    ("gaussian_blur", {"sigma": "2"}, TypeError),
    ("gaussian_blur", {"sigma": float("nan")}, ValueError),
    ("gaussian_blur", {"sigma": float("inf")}, ValueError),
    ("bloom", {"threshold": 1.01}, ValueError),
    ("scanlines", {"spacing": 2.0}, TypeError),
    ("scanlines", {"spacing": 0}, ValueError),
    ("vignette", {"color": 2**32}, ValueError),
    ("vignette", {"colour": 0}, TypeError),
    ("drop_shadow", {"dx": 1.0, "offset_x": 2.0}, TypeError),
    # Colour text as kvfx reads it, and nothing else.
    ("drop_shadow", {"color": "red"}, ValueError),
    ("bloom", {"tint": "12345"}, ValueError),
    ("bloom", {"tint": " ff8040"}, ValueError),
    ("vignette", {"color": 1.5}, TypeError),
]


@pytest.mark.parametrize("name,params,error", BAD_VALUES)
def test_bad_values_are_refused_before_the_call(name, params, error):
    pixels = premultiplied_words((8, 8), 5)
    before = pixels.copy()
    with pytest.raises(error, match=name):
        getattr(kelvo_fx, name)(pixels, **params)
    np.testing.assert_array_equal(pixels, before)


# Spellings that must mean the same call: positional order, aliases, NumPy scalars.
SAME_CALLS = [
    ("bloom", (0.3, 1.5), {}, {"threshold": 0.3, "intensity": 1.5}),
    ("drop_shadow", (), {"dx": -2, "dy": 3.0}, {"offset_x": -2.0, "offset_y": 3.0}),
    ("glitch_displacement", (), {"bands": np.int64(4)}, {"band_count": 4}),
]


@pytest.mark.parametrize("name,args,kwargs,canonical", SAME_CALLS)
def test_spellings_of_one_call_agree(name, args, kwargs, canonical):
    pixels = premultiplied_words((16, 20), 6)
    expected = c_call(name, pixels, canonical)
    fn = getattr(kelvo_fx, name)
    if kelvo_fx.find_effect(name).two_buffers:
        got = fn(pixels, None, *args, **kwargs)
    else:
        got = pixels
        fn(got, *args, **kwargs)
    np.testing.assert_array_equal(got, expected)


# threads= is a count the library takes as an int32: a bool, a float or text
# is no count, and what int32 cannot hold (or a negative, which the library
# would read as automatic) is refused rather than changed.
BAD_THREADS = [("x", TypeError), (1.5, TypeError), (True, TypeError), (np.bool_(False), TypeError),
               (None, TypeError), (-1, ValueError), (2**31, ValueError), (np.int64(-2), ValueError)]
THREADED_CALLS = {
    "effect": lambda px, out, threads: kelvo_fx.scanlines(px, threads=threads),
    "drop_shadow": lambda px, out, threads: kelvo_fx.drop_shadow(px, px, threads=threads),
    "apply": lambda px, out, threads: kelvo_fx.apply(px.view(np.uint8).reshape(8, 8, 4), ["blur"],
                                                     threads=threads),
    "process_file": lambda px, out, threads: kelvo_fx.process_file("in.png", str(out / "o.png"), ["blur"],
                                                                   threads=threads),
    "map_files": lambda px, out, threads: kelvo_fx.map_files(["in.png"], str(out), ["blur"],
                                                             threads=threads),
}


@pytest.mark.parametrize("call", sorted(THREADED_CALLS))
@pytest.mark.parametrize("threads,error", BAD_THREADS, ids=lambda v: repr(v))
def test_bad_thread_counts_are_refused_before_any_work(call, threads, error, tmp_path):
    pixels = premultiplied_words((8, 8), 7)
    before = pixels.copy()
    out = tmp_path / "out"
    with pytest.raises(error, match=r"threads must be an integer in \[0, 2147483647\]"):
        THREADED_CALLS[call](pixels, out, threads)
    np.testing.assert_array_equal(pixels, before)
    assert not out.exists()


def test_without_pillow_arrays_work_and_files_say_what_they_need(monkeypatch, tmp_path):
    for name in [m for m in sys.modules if m == "PIL" or m.startswith("PIL.")]:
        monkeypatch.delitem(sys.modules, name)
    monkeypatch.setitem(sys.modules, "PIL", None)  # import PIL now fails
    pixels = premultiplied_words((8, 8), 8)
    kelvo_fx.gaussian_blur(pixels, threads=2)
    kelvo_fx.apply(pixels.view(np.uint8).reshape(8, 8, 4), ["vignette"])
    for call in (lambda: kelvo_fx.map_files(["a.png"], str(tmp_path / "out"), ["blur"]),
                 lambda: kelvo_fx.process_file("a.png", str(tmp_path / "b.png"), ["blur"])):
        with pytest.raises(ImportError, match="needs Pillow"):
            call()
    assert not (tmp_path / "out").exists()


@pytest.mark.parametrize("effect", kelvo_fx.effects, ids=lambda e: e.python_name)
def test_library_refusals_are_value_errors_naming_the_rule(effect):
    # A NULL buffer: the library answers as its catalogue entry says, and the
    # binding turns a refusal into ValueError.
    args = effect.arguments()
    buffers = (None, None) if effect.two_buffers else (None,)
    rc = effect.cfunc(*buffers, 4, 4, 16, *args)
    refuses = effect.entry["bad_buffer"] == "refuse"
    assert rc == (kelvo_fx.FX_ERR_INVALID_ARGUMENT if refuses else kelvo_fx.FX_OK)
    if refuses:
        with pytest.raises(ValueError, match=r"%s: .*non-NULL buffer" % effect.python_name):
            effect.raise_for(rc)
    else:
        effect.raise_for(rc)


HOOKED_LIBRARY = os.environ.get("KELVO_FX_HOOKED_PARALLEL_LIBRARY")


@pytest.mark.skipif(not HOOKED_LIBRARY, reason="needs the test build of the parallel library "
                    "(KELVO_FX_HOOKED_PARALLEL_LIBRARY), which can fail an allocation on demand")
def test_scratch_memory_failure_is_memory_error_with_pixels_unchanged(tmp_path):
    # Run apart, on a copy of the package that holds the test build of the
    # library its effects call, whose exported hook makes the next scratch
    # allocation fail.
    package = tmp_path / "kelvo_fx"
    shutil.copytree(os.path.dirname(kelvo_fx.__file__), package)
    shutil.copy(HOOKED_LIBRARY, package / os.path.basename(kelvo_fx.parallel_library_path))
    script = textwrap.dedent("""
        import ctypes, zlib
        import numpy as np
        import kelvo_fx
        from kelvo_fx import _library
        hook = _library.load_library(_library.PARALLEL)[0].kv_fx_test_fail_allocation_after
        a = np.full((256, 256), 0xFF404040, np.uint32)
        a[50:150, 50:150] = 0xFFF0F0F0
        crc = zlib.crc32(a)
        for name, params in [("gaussian_blur", {"sigma": 9.0}), ("bloom", {"sigma": 9.0})]:
            hook(0)
            try:
                getattr(kelvo_fx, name)(a, **params)
                print(name, "no error")
            except MemoryError as e:
                print(name, "MemoryError", name in str(e), zlib.crc32(a) == crc)
            hook(-1)
    """)
    env = dict(os.environ, PYTHONPATH=str(tmp_path))
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                         env=env, timeout=120, cwd=tmp_path)
    assert out.returncode == 0, out.stderr
    assert out.stdout.split("\n")[:2] == ["gaussian_blur MemoryError True True",
                                          "bloom MemoryError True True"], out.stdout
