"""Loading the shared library and the effect catalogue that describes it.

Both live beside this file once the package is built or installed; the
library is looked for there first, so an installed package never picks up a
different build that happens to be on the loader's path.
"""
import ctypes
import json
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))

if sys.platform == "win32":
    _FILE_NAMES = ("kelvo_fx.dll", "libkelvo_fx.dll")
elif sys.platform == "darwin":
    _FILE_NAMES = ("libkelvo_fx.0.dylib", "libkelvo_fx.dylib")
else:
    _FILE_NAMES = ("libkelvo_fx.so.0",)

# What each catalogue kind is in C.
C_TYPES = {
    "real": ctypes.c_double,
    "integer": ctypes.c_int32,
    "colour": ctypes.c_uint32,
    "colour_alpha": ctypes.c_uint32,
}


def _candidates():
    for name in _FILE_NAMES:
        yield os.path.join(HERE, name)
    override = os.environ.get("KELVO_FX_LIBRARY")
    if override:
        yield override
    # Last, whatever the system loader finds by name.
    for name in _FILE_NAMES:
        yield name


def load_library():
    """(CDLL, path) of the first library that loads; OSError if none does."""
    errors = []
    for path in _candidates():
        if os.path.isabs(path) and not os.path.exists(path):
            continue
        try:
            # CDLL, not PyDLL: every call releases the GIL.
            return ctypes.CDLL(path), path
        except OSError as e:
            errors.append("%s: %s" % (path, e))
    raise OSError("kelvo_fx: cannot load the shared library (tried %s); set KELVO_FX_LIBRARY "
                  "to its path" % "; ".join(errors or list(_candidates())))


def load_catalogue():
    with open(os.path.join(HERE, "catalogue.json"), encoding="utf-8") as f:
        return json.load(f)


def declare(lib, entry):
    """The C function of a catalogue entry, with its argument and result types."""
    fn = getattr(lib, entry["function"])
    buffers = [ctypes.c_void_p] * (2 if entry["two_buffers"] else 1)
    fn.argtypes = buffers + [ctypes.c_int32] * 3 + [C_TYPES[p["kind"]] for p in entry["params"]]
    fn.restype = ctypes.c_int32
    return fn
