"""The ten effects as Python functions on NumPy arrays, in place.

Everything about an effect (its C function, parameter names, kinds, defaults
and accepted ranges, which words it rewrites, which strides it takes) comes
from the catalogue; this module only decides how an array is handed over.
"""
import ctypes
import inspect
import numbers
import operator
import textwrap

import numpy as np

from . import _library

FX_OK = 0
FX_ERR_INVALID_ARGUMENT = -1
FX_ERR_OUT_OF_MEMORY = -2

_INT32_MAX = 2**31 - 1
_WORD = np.dtype(np.uint32)  # native byte order: the library's words
_BYTE = np.dtype(np.uint8)

_KIND_TEXT = {
    "real": "a real number",
    "integer": "an integer",
    "colour": "a colour (an int word 0xRRGGBB, or text 'RRGGBB' or 'AARRGGBB')",
    "colour_alpha": "a colour (an int word 0xAARRGGBB, or text 'RRGGBB' or 'AARRGGBB')",
}

_HEX_DIGITS = frozenset("0123456789abcdefABCDEF")

# How every host reads colours (README, "Colours"): a number is the C word as
# it stands; text is hex, six digits an opaque colour, eight digits AARRGGBB,
# with an optional '#' or '0x' before them, as kvfx reads it.
COLOUR_RULE = ("an int is the C word itself (so 0x000000 is transparent black); text is hex: "
               "'RRGGBB' is opaque, 'AARRGGBB' carries its alpha, '#' or '0x' before the digits "
               "is fine (README, Colours)")


# What threads= means, said once for every function that takes it.
THREADS_RULE = ("threads: 0 (the default) runs on as many threads as the process may use, "
                "1 on the calling thread only, N on at most N; the result is the same for "
                "every count")


def check_threads(owner, threads):
    """threads as the library's int32 count, or TypeError / ValueError; a
    bool is no count, and an integer type other than int must say it is one
    (operator.index)."""
    if type(threads) is not int:
        if isinstance(threads, (bool, np.bool_)):
            raise TypeError("%s: threads must be an integer in [0, %d], not bool" % (owner, _INT32_MAX))
        try:
            threads = operator.index(threads)
        except TypeError:
            raise TypeError("%s: threads must be an integer in [0, %d], not %s"
                            % (owner, _INT32_MAX, type(threads).__name__)) from None
    if not 0 <= threads <= _INT32_MAX:
        raise ValueError("%s: threads must be an integer in [0, %d] (0: as many as the process "
                         "may use), not %d" % (owner, _INT32_MAX, threads))
    return threads


def parse_colour(text):
    """The C word of colour text ('RRGGBB' opaque, 'AARRGGBB'), or None."""
    digits = text[1:] if text.startswith("#") else text[2:] if text[:2] in ("0x", "0X") else text
    if len(digits) not in (6, 8) or not _HEX_DIGITS.issuperset(digits):
        return None
    word = int(digits, 16)
    return word | 0xFF000000 if len(digits) == 6 else word


class Param:
    """One parameter as the catalogue describes it."""

    __slots__ = ("name", "alias", "kind", "default", "min", "max", "soft_min", "soft_max", "unit")

    def __init__(self, p):
        for key in self.__slots__:
            setattr(self, key, p[key])
        self.default = float(self.default) if self.kind == "real" else int(self.default)

    def __repr__(self):
        return "Param(%r, %s, default=%r)" % (self.name, self.kind, self.default)


class Effect:
    """One catalogue entry, bound to its C function (cfunc, libkelvo_fx's,
    on the calling thread) and its parallel twin (pfunc, libkelvo_fx_parallel's,
    which the package calls: the same arguments, then the thread count)."""

    def __init__(self, entry, cfunc, pfunc):
        self.name = entry["name"]                # kvfx's short name
        self.function = entry["function"]        # the C export
        self.parallel_function = entry["parallel_function"]
        self.python_name = self.function[len("kv_fx_"):]
        self.summary = entry["summary"]
        self.input = entry["input"]              # straight_colour or premultiplied
        self.visit = entry["visit"]              # rows or whole_run
        self.two_buffers = entry["two_buffers"]
        self.entry = entry["entry"]
        self.params = tuple(Param(p) for p in entry["params"])
        self.cfunc = cfunc
        self.pfunc = pfunc
        self._index = {}
        for i, p in enumerate(self.params):
            self._index[p.name] = i
            if p.alias:
                self._index[p.alias] = i
        self._defaults = [p.default for p in self.params]

    def __repr__(self):
        return "<kelvo_fx effect %s (%s)>" % (self.python_name, self.name)

    @property
    def refusal_rule(self):
        """What the library needs of a buffer before it answers FX_ERR_INVALID_ARGUMENT."""
        rules = []
        if self.entry["bad_buffer"] == "refuse":
            rules.append("a non-NULL buffer with width > 0 and height > 0")
        if self.entry["negative_rows"] == "refuse":
            rules.append("a stride that is not negative")
        if self.entry["overlapping_rows"] == "refuse":
            rules.append("a stride of at least 4 * width bytes")
        return "it needs " + " and ".join(rules) if rules else "it refuses no buffer"

    def arguments(self, args=(), kwargs=None):
        """The C arguments after the buffer, in call order: defaults filled in,
        aliases resolved, every value checked against the catalogue."""
        values = list(self._defaults)
        if len(args) > len(values):
            raise TypeError("%s takes %d parameters after the pixels, %d given"
                            % (self.python_name, len(values), len(args)))
        given = 0
        for i, v in enumerate(args):
            values[i] = self.check(self.params[i], v)
            given |= 1 << i
        if kwargs:
            for key, v in kwargs.items():
                i = self._index.get(key)
                if i is None:
                    raise TypeError("%s: unknown parameter %r (parameters: %s)"
                                    % (self.python_name, key,
                                       ", ".join(p.name for p in self.params)))
                if given >> i & 1:
                    raise TypeError("%s: parameter %r given twice"
                                    % (self.python_name, self.params[i].name))
                given |= 1 << i
                values[i] = self.check(self.params[i], v)
        return values

    def check(self, p, value):
        """value as the C type of p, or TypeError / ValueError.

        bool is refused everywhere (True is never a sensible sigma or seed);
        integers and colours take ints only (3.0 is refused, as kvfx refuses
        it); reals take ints and floats within the catalogue's finite range,
        so NaN and infinities are refused although the library defines them.
        """
        t = type(value)
        if p.kind == "real":
            if t is float or t is int:
                v = float(value)
                if p.min <= v <= p.max:
                    return v
        elif t is int and p.min <= value <= p.max:
            return value
        if t is bool or isinstance(value, np.bool_):
            raise TypeError("%s: %s must be %s, not bool" % (self.python_name, p.name, _KIND_TEXT[p.kind]))
        if t is str and p.kind in ("colour", "colour_alpha"):
            word = parse_colour(value)
            if word is None:
                raise ValueError("%s: %s: %r is not a colour (use RRGGBB or AARRGGBB hex)"
                                 % (self.python_name, p.name, value))
            return word
        if p.kind == "real":
            if t is not float and t is not int and not isinstance(value, numbers.Real):
                raise TypeError("%s: %s must be %s, not %s"
                                % (self.python_name, p.name, _KIND_TEXT[p.kind], t.__name__))
            v = float(value)
            if not p.min <= v <= p.max:
                raise ValueError("%s: %s must be a finite number in [%.10g, %.10g], not %r"
                                 % (self.python_name, p.name, p.min, p.max, value))
            return v
        if t is not int:
            try:
                value = operator.index(value)
            except TypeError:
                raise TypeError("%s: %s must be %s, not %s"
                                % (self.python_name, p.name, _KIND_TEXT[p.kind], t.__name__)) from None
        if not p.min <= value <= p.max:
            raise ValueError("%s: %s must be an integer in [%d, %d], not %d"
                             % (self.python_name, p.name, p.min, p.max, value))
        return value

    def raise_for(self, rc):
        if rc == FX_OK:
            return
        if rc == FX_ERR_OUT_OF_MEMORY:
            raise MemoryError("%s: the library could not allocate its scratch memory; "
                              "the pixels are unchanged" % self.python_name)
        if rc == FX_ERR_INVALID_ARGUMENT:
            raise ValueError("%s: the library refused the buffer (FX_ERR_INVALID_ARGUMENT): %s; "
                             "the pixels are unchanged" % (self.python_name, self.refusal_rule))
        raise RuntimeError("%s: unexpected result %d from %s" % (self.python_name, rc, self.function))


# --- arrays as pixel buffers ---------------------------------------------------

def _self_overlaps(a):
    """True unless a's elements provably occupy distinct bytes."""
    if a.flags.c_contiguous:
        return False
    extent = a.itemsize
    for stride, n in sorted((abs(s), n) for s, n in zip(a.strides, a.shape) if n > 1):
        if stride < extent:
            return True
        extent = stride * (n - 1) + extent
    return False


def _geometry(arr, what, writable):
    """(height, width, words) for an accepted array; words is a (H, W)
    uint32 view of the same memory, or None where its words are not laid out
    as words (channels out of byte order, unaligned)."""
    if not isinstance(arr, np.ndarray):
        raise TypeError("%s must be a NumPy array, not %s" % (what, type(arr).__name__))
    dt = arr.dtype
    if dt == _WORD:
        if arr.ndim != 2:
            raise ValueError("%s: a uint32 array must have shape (height, width), not %s"
                             % (what, arr.shape))
        words = arr
    elif dt == _BYTE:
        if arr.ndim != 3 or arr.shape[2] != 4:
            raise ValueError("%s: a uint8 array must have shape (height, width, 4), not %s"
                             % (what, arr.shape))
        words = arr.view(_WORD)[..., 0] if arr.strides[2] == 1 else None
    else:
        raise TypeError("%s must be uint32 (height, width) words or uint8 (height, width, 4) bytes "
                        "in native order, not %s" % (what, dt))
    h, w = arr.shape[0], arr.shape[1]
    if h == 0 or w == 0:
        raise ValueError("%s has no pixels (shape %s)" % (what, arr.shape))
    if h > _INT32_MAX or 4 * w > _INT32_MAX:
        raise ValueError("%s: %d x %d is too large for the library" % (what, w, h))
    if writable:
        if not arr.flags.writeable:
            raise ValueError("%s is read-only" % what)
        if _self_overlaps(arr):
            raise ValueError("%s is a view whose pixels overlap in memory" % what)
    return h, w, words


def _stride_for(words, h, w, effect):
    """The byte stride to hand the library for words as they lie, or None
    when it must work on a contiguous copy instead.

    A row effect takes the view's own stride: the words between rows are not
    touched. A whole-run effect rewrites everything from the first pixel to
    height * row_pixels words on, so it only sees memory the view owns when
    the rows follow each other with no gap.
    """
    if words is None or not words.flags.aligned:
        return None
    s0, s1 = words.strides
    if s1 != 4 and w > 1:
        return None
    if h == 1:
        return 4 * w
    if effect.visit == "whole_run" or s0 % 4:
        return 4 * w if s0 == 4 * w else None
    if 4 * w <= s0 <= _INT32_MAX:
        return s0
    if -_INT32_MAX <= s0 <= -4 * w and effect.entry["negative_rows"] == "work":
        return s0
    return None


def _address(a):
    """The address of a's first element. ctypes' own view of a contiguous
    writable buffer is several times quicker to make than numpy's .ctypes."""
    if a.flags.c_contiguous and a.flags.writeable:
        return ctypes.addressof(ctypes.c_char.from_buffer(a))
    return a.ctypes.data


def _fresh_copy(arr):
    """A C-ordered copy and its words (a fresh allocation is always aligned)."""
    copy = np.array(arr, order="C", copy=True)
    return copy, (copy if copy.dtype == _WORD else copy.view(_WORD)[..., 0])


def run_in_place(effect, pixels, values, threads):
    h, w, words = _geometry(pixels, "pixels", True)
    stride = _stride_for(words, h, w, effect)
    if stride is not None:
        effect.raise_for(effect.pfunc(_address(words), w, h, stride, *values, threads))
        return
    copy, cwords = _fresh_copy(pixels)
    effect.raise_for(effect.pfunc(_address(cwords), w, h, 4 * w, *values, threads))
    pixels[...] = copy


def _contiguous_words(words, h, w):
    return (words is not None and words.flags.aligned
            and (h == 1 or words.strides[0] == 4 * w) and (w == 1 or words.strides[1] == 4))


def run_two_buffers(effect, src, dst, values, threads):
    """The drop shadow: src composited over its shadow into dst (a new array
    when dst is None). Both are handed over as one tight run, which is what
    the library reads and writes."""
    h, w, swords = _geometry(src, "src", False)
    if dst is None:
        dst = np.empty(src.shape, src.dtype)
    else:
        if not isinstance(dst, np.ndarray) or dst.dtype != src.dtype:
            raise TypeError("dst must be a NumPy array of src's dtype %s, not %s"
                            % (src.dtype, getattr(dst, "dtype", type(dst).__name__)))
        if dst.shape != src.shape:
            raise ValueError("dst has shape %s, src %s" % (dst.shape, src.shape))
    _, _, dwords = _geometry(dst, "dst", True)
    d_direct = _contiguous_words(dwords, h, w)
    s_direct = _contiguous_words(swords, h, w)
    if s_direct and np.may_share_memory(src, dst) and not (
            d_direct and swords.ctypes.data == dwords.ctypes.data):
        # Overlapping but not the same buffer: read src as it was before the call.
        s_direct = False
    if not s_direct:
        src, swords = _fresh_copy(src)
    out, owords = (dst, dwords) if d_direct else _fresh_copy(dst)
    effect.raise_for(effect.pfunc(_address(swords), _address(owords), w, h, 4 * w, *values, threads))
    if out is not dst:
        dst[...] = out
    return dst


# --- the public functions ------------------------------------------------------

def _doc(effect, first):
    lines = [effect.summary[:1].upper() + effect.summary[1:] + ".", ""]
    if effect.two_buffers:
        lines += ["Writes src composited over its shadow into dst and returns dst (a new",
                  "array of src's shape and dtype when dst is None); dst may be src."]
    else:
        lines += ["Rewrites %s in place and returns None." % first]
    lines += ["",
              "Pixels are premultiplied ARGB words: uint32 of shape (H, W), or uint8 of",
              "shape (H, W, 4) holding each word's bytes in this machine's order. Views",
              "(slices, padded rows, flips) are processed where they stand; nothing",
              "outside the view is read or written.", "",
              "Calls %s (%s's words, on threads)." % (effect.parallel_function, effect.function),
              "Parameters (catalogue default, accepted range, unit):"]
    for p in effect.params:
        if p.kind == "real":
            rng = "[%.10g, %.10g]" % (p.min, p.max)
            default = "%.10g" % p.default
        elif p.kind == "integer":
            rng, default = "[%d, %d]" % (p.min, p.max), "%d" % p.default
        else:
            rng = "int word 0x%s or colour text" % ("AARRGGBB" if p.kind == "colour_alpha" else "RRGGBB")
            default = "0x%0*x" % (8 if p.kind == "colour_alpha" else 6, p.default)
        alias = " (also %s=)" % p.alias if p.alias else ""
        lines.append("    %s=%s  %s; %s%s" % (p.name, default, rng, p.unit, alias))
    if any(p.kind in ("colour", "colour_alpha") for p in effect.params):
        lines += [""] + textwrap.wrap("Colours: " + COLOUR_RULE + ".", 76)
    lines += [""] + textwrap.wrap(THREADS_RULE + ".", 76)
    lines += ["", "On straight-alpha images (PNG, Pillow) use apply(): it feeds this effect",
              "%s words." % ("straight-colour" if effect.input == "straight_colour" else "premultiplied")]
    return "\n".join(lines)


def _signature(effect, first):
    P = inspect.Parameter
    params = [P(first, P.POSITIONAL_OR_KEYWORD)]
    if effect.two_buffers:
        params.append(P("dst", P.POSITIONAL_OR_KEYWORD, default=None))
    params += [P(p.name, P.POSITIONAL_OR_KEYWORD, default=p.default) for p in effect.params]
    params.append(P("threads", P.KEYWORD_ONLY, default=0))
    return inspect.Signature(params)


def make_function(effect):
    if effect.two_buffers:
        def fn(src, dst=None, *args, threads=0, **kwargs):
            values = effect.arguments(args, kwargs)
            return run_two_buffers(effect, src, dst, values, check_threads(effect.python_name, threads))
        first = "src"
    else:
        def fn(pixels, *args, threads=0, **kwargs):
            values = effect.arguments(args, kwargs)
            run_in_place(effect, pixels, values, check_threads(effect.python_name, threads))
        first = "pixels"
    fn.__name__ = fn.__qualname__ = effect.python_name
    fn.__module__ = "kelvo_fx"
    fn.__doc__ = _doc(effect, first)
    fn.__signature__ = _signature(effect, first)
    fn.effect = effect
    return fn


def load():
    """(core path, parallel path, catalogue version, effects)."""
    # The core first: were the parallel library ever to need libkelvo_fx by
    # its SONAME, the loader would take this copy, already loaded, and no other.
    core, core_path = _library.load_library(_library.CORE)
    parallel, parallel_path = _library.load_library(_library.PARALLEL)
    catalogue = _library.load_catalogue()
    effects = tuple(Effect(e, _library.declare(core, e), _library.declare(parallel, e, parallel=True))
                    for e in catalogue["effects"])
    return core_path, parallel_path, catalogue["version"], effects

