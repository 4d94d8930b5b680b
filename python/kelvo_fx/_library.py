"""Loading the shared libraries and the effect catalogue that describes them.

The package calls the effects of libkelvo_fx_parallel, which holds its own
copy of them and needs nothing of libkelvo_fx; libkelvo_fx is loaded too, as
`Effect.cfunc`, the single-threaded reference. Both live beside this file in
the build tree, in a wheel and in a `cmake --install` to any prefix but /usr,
and are looked for there first, so an installed package never picks up a
different build that happens to be on the loader's path. An install into
/usr (a system package) carries no copies: the system loader finds them by
name in the system's library directory.
"""
import ctypes
import json
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))

CORE, PARALLEL = "kelvo_fx", "kelvo_fx_parallel"
# The variable that names a library's file when it is not beside the package.
OVERRIDES = {CORE: "KELVO_FX_LIBRARY", PARALLEL: "KELVO_FX_PARALLEL_LIBRARY"}


def file_names(library):
    """The file names a library goes by on this platform, its SONAME first."""
    if sys.platform == "win32":
        return ("%s.dll" % library, "lib%s.dll" % library)
    if sys.platform == "darwin":
        return ("lib%s.0.dylib" % library, "lib%s.dylib" % library)
    return ("lib%s.so.0" % library,)


# What each catalogue kind is in C.
C_TYPES = {
    "real": ctypes.c_double,
    "integer": ctypes.c_int32,
    "colour": ctypes.c_uint32,
    "colour_alpha": ctypes.c_uint32,
}


def _candidates(library):
    for name in file_names(library):
        yield os.path.join(HERE, name)
    override = os.environ.get(OVERRIDES[library])
    if override:
        yield override
    # Last, whatever the system loader finds by name.
    for name in file_names(library):
        yield name


def load_library(library=CORE):
    """(CDLL, path) of the first copy of library that loads; OSError if none does."""
    errors = []
    for path in _candidates(library):
        if os.path.isabs(path) and not os.path.exists(path):
            continue
        try:
            # CDLL, not PyDLL: every call releases the GIL.
            return ctypes.CDLL(path), path
        except OSError as e:
            errors.append("%s: %s" % (path, e))
    raise OSError("kelvo_fx: cannot load %s (tried %s); set %s to its path"
                  % (file_names(library)[0], "; ".join(errors or list(_candidates(library))),
                     OVERRIDES[library]))


def load_catalogue():
    with open(os.path.join(HERE, "catalogue.json"), encoding="utf-8") as f:
        return json.load(f)


def declare(lib, entry, parallel=False):
    """The C function of a catalogue entry, with its argument and result
    types; parallel: its kelvo_fx_parallel twin, which takes a thread count last."""
    fn = getattr(lib, entry["parallel_function" if parallel else "function"])
    buffers = [ctypes.c_void_p] * (2 if entry["two_buffers"] else 1)
    fn.argtypes = (buffers + [ctypes.c_int32] * 3 + [C_TYPES[p["kind"]] for p in entry["params"]]
                   + [ctypes.c_int32] * parallel)
    fn.restype = ctypes.c_int32
    return fn
