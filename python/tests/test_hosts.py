"""One catalogue for every host this suite can drive, the package and kvfx:
each parameter's name and other name are taken by both and shown alike in
their help, and colour text means one colour in both (README, Colours). The
package's namespace is the catalogue's functions and its API, nothing else."""
import subprocess
import types

import numpy as np
import pytest

import kelvo_fx
from conftest import KVFX, c_call, premultiplied_words, straight_rgba

needs_kvfx = pytest.mark.skipif(not KVFX, reason="kvfx is not built (KELVO_FX_KVFX unset)")


def test_the_namespace_holds_the_api_only():
    names = {n for n in dir(kelvo_fx) if not (n.startswith("__") and n.endswith("__"))}
    private = {n for n in names if n.startswith("_")}
    assert all(isinstance(getattr(kelvo_fx, n), types.ModuleType) for n in private), private
    assert names - private == set(kelvo_fx.__all__)
    assert {e.python_name for e in kelvo_fx.effects} <= set(kelvo_fx.__all__)
    everything = {}
    exec("from kelvo_fx import *", everything)
    assert set(everything) - {"__builtins__"} == set(kelvo_fx.__all__)


def spellings():
    """(effect, parameter, spelling) for every name and other name."""
    return [(e, p, n) for e in kelvo_fx.effects for p in e.params for n in (p.name, p.alias) if n]


def away_from_default(p):
    """A value inside the slider, away from the default, in kvfx's text and
    as Python takes it: a parameter that did not arrive shows."""
    if p.kind in ("colour", "colour_alpha"):
        return "c0408020", 0xC0408020
    v = p.soft_min + 0.37 * (p.soft_max - p.soft_min)
    v = int(v) if p.kind == "integer" else round(v, 3)
    if v == p.default:
        v = v + 1 if p.kind == "integer" else round(v + 0.1, 3)
    return str(v), v


@pytest.mark.parametrize("effect,param,name", spellings(),
                         ids=lambda v: v if isinstance(v, str) else getattr(v, "name", None))
def test_every_name_reaches_the_same_argument_in_python(effect, param, name):
    _, value = away_from_default(param)
    expected = c_call(effect.python_name, premultiplied_words((12, 14), 3), {param.name: value})
    words = premultiplied_words((12, 14), 3)
    fn = getattr(kelvo_fx, effect.python_name)
    got = fn(words, None, **{name: value}) if effect.two_buffers else (fn(words, **{name: value}), words)[1]
    np.testing.assert_array_equal(got, expected)
    assert "%s=" % param.name in fn.__doc__
    if param.alias:
        assert "(also %s=)" % param.alias in fn.__doc__


@needs_kvfx
@pytest.mark.parametrize("effect,param,name", spellings(),
                         ids=lambda v: v if isinstance(v, str) else getattr(v, "name", None))
def test_every_name_gives_kvfx_the_pixels_apply_gives(tmp_path, effect, param, name):
    Image = pytest.importorskip("PIL.Image")
    text, value = away_from_default(param)
    src = tmp_path / "in.png"
    Image.fromarray(straight_rgba(21, 30, seed=4), "RGBA").save(src)
    out = tmp_path / "out.png"
    subprocess.run([KVFX, str(src), str(out), effect.name, "%s=%s" % (name, text)], check=True)
    with Image.open(src) as image:
        ours = np.asarray(kelvo_fx.apply(image, [(effect.name, {name: value})]))
    with Image.open(out) as theirs:
        np.testing.assert_array_equal(ours, np.asarray(theirs.convert("RGBA")))


@needs_kvfx
@pytest.mark.parametrize("effect", kelvo_fx.effects, ids=lambda e: e.name)
def test_kvfx_help_shows_each_name_with_its_other_name(effect):
    text = subprocess.run([KVFX, "help", effect.name], check=True, capture_output=True, text=True).stdout
    for p in effect.params:
        line = next((l for l in text.splitlines() if l.split("=")[0].strip() == p.name), None)
        assert line is not None, "kvfx help %s does not list %s=" % (effect.name, p.name)
        assert ("(also %s=)" % p.alias in line) == bool(p.alias), line


COLOUR_TEXT = ["000000", "80102030", "#ff8040", "0xC0FFFFFF", "00ff0000"]


@needs_kvfx
@pytest.mark.parametrize("text", COLOUR_TEXT)
@pytest.mark.parametrize("effect,param", [(e, p) for e in kelvo_fx.effects for p in e.params
                                          if p.kind in ("colour", "colour_alpha")],
                         ids=lambda v: v.name)
def test_colour_text_gives_kvfx_the_pixels_apply_gives(tmp_path, effect, param, text):
    Image = pytest.importorskip("PIL.Image")
    src = tmp_path / "in.png"
    Image.fromarray(straight_rgba(24, 32, seed=9), "RGBA").save(src)
    out = tmp_path / "out.png"
    subprocess.run([KVFX, str(src), str(out), effect.name, "%s=%s" % (param.name, text)], check=True)
    with Image.open(src) as image:
        ours = np.asarray(kelvo_fx.apply(image, [(effect.name, {param.name: text})]))
    with Image.open(out) as theirs:
        np.testing.assert_array_equal(ours, np.asarray(theirs.convert("RGBA")))


# Text is read as kvfx reads it; a number is the C word as it stands.
COLOUR_VALUES = [("000000", 0xFF000000), ("#000000", 0xFF000000), ("0x000000", 0xFF000000),
                 ("80102030", 0x80102030), ("FFc0A0", 0xFFFFC0A0), ("0X00ff0000", 0x00FF0000),
                 (0x000000, 0x000000), (0x80102030, 0x80102030)]


@pytest.mark.parametrize("given,word", COLOUR_VALUES, ids=lambda v: repr(v))
def test_colours_by_the_one_rule(given, word):
    shadow = kelvo_fx.find_effect("drop_shadow")
    assert shadow.arguments((), {"color": given})[-1] == word
