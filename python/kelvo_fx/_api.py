"""The package's API: the effect functions made from the catalogue, and
apply(), map_files() and their helpers. kelvo_fx imports what __all__ names
from here, so that its own namespace holds the API and nothing else."""
import sys
import textwrap

import numpy as np

from . import _effects, _files, _straight
from ._effects import FX_ERR_INVALID_ARGUMENT, FX_ERR_OUT_OF_MEMORY, FX_OK
from ._files import MapFilesError

library_path, parallel_library_path, __version__, effects = _effects.load()

_BY_NAME = {}
for _e in effects:
    for _n in (_e.name, _e.function, _e.parallel_function, _e.python_name):
        _BY_NAME[_n] = _e
    globals()[_e.python_name] = _effects.make_function(_e)
del _e, _n

_THREADS_DOC = "\n".join(textwrap.wrap(_effects.THREADS_RULE + ".", 76))


def _threads_doc(fn):
    """fn with the one sentence on threads in its docstring, and shown as kelvo_fx's."""
    fn.__doc__ = fn.__doc__.replace("{threads}", _THREADS_DOC.replace("\n", "\n    "))
    fn.__module__ = __package__
    return fn


def find_effect(name):
    """The catalogue entry called name (kvfx's short name, either C function
    or the Python function name); ValueError if there is none."""
    try:
        return _BY_NAME[name]
    except (KeyError, TypeError):
        raise ValueError("unknown effect %r (effects: %s)"
                         % (name, ", ".join(e.name for e in effects))) from None


def _steps(chain):
    return _straight.resolve_chain(chain, find_effect)


def check_chain(chain):
    """Raises what apply() would raise for this chain (TypeError or
    ValueError), without an image."""
    _steps(chain)


def result_mode(mode):
    """The mode apply() returns for a Pillow image of this mode: RGB for
    RGB, RGBA for every other (RGBA, L, LA, P, I;16, CMYK, ...)."""
    return "RGB" if mode == "RGB" else "RGBA"


def _apply_image(image, steps, threads):
    mode = image.mode
    rgba = np.asarray(image if mode == "RGBA" else image.convert("RGBA"))
    from PIL import Image  # here, so that importing kelvo_fx does not need Pillow
    out = Image.fromarray(_straight.apply_rgba(rgba, steps, threads), "RGBA")
    # An opaque RGB source stays opaque through every effect, so it keeps
    # its mode; the colour effects take grey, palette and other images out
    # of what their own mode can hold, so those stay RGBA.
    return out if result_mode(mode) == "RGBA" else out.convert(result_mode(mode))


def _is_pil_image(obj):
    pil = sys.modules.get("PIL.Image")
    return pil is not None and isinstance(obj, pil.Image)


@_threads_doc
def apply(image, chain, *, threads=0):
    """Runs a chain of effects over a straight-alpha image and returns the
    result as a new image; the input is not modified.

    image: a Pillow image or a uint8 array of shape (H, W, 4) holding R, G,
    B, A with straight alpha. An array comes back as such an array; a Pillow
    image as a Pillow image of mode RGB for RGB input and RGBA for every
    other mode (RGBA, L, LA, 1, P, PA, I, I;16, F, CMYK, YCbCr, ...), whose
    pixels Pillow's convert("RGBA") reads first (result_mode() says which).
    chain: effect names or (name, {parameter: value}) pairs, run left to
    right; parameters by name or other name, colours as int words or as
    text ('RRGGBB' opaque, 'AARRGGBB'), as kvfx reads them. Each effect is fed what its catalogue entry asks for: straight
    colour for tone map, grade, vignette, grain and scanlines (so they do not
    darken soft edges), premultiplied words for the others; words change kind
    only where the chain does, exactly as kvfx converts them. Every step is
    checked before any pixel is touched.

    {threads}
    """
    steps = _steps(chain)
    threads = _effects.check_threads("apply", threads)
    if _is_pil_image(image):
        return _apply_image(image, steps, threads)
    if isinstance(image, np.ndarray):
        if image.dtype != np.uint8 or image.ndim != 3 or image.shape[2] != 4:
            raise TypeError("apply takes a Pillow image or a uint8 (height, width, 4) RGBA array, "
                            "not a %s array of shape %s" % (image.dtype, image.shape))
        if image.shape[0] == 0 or image.shape[1] == 0:
            raise ValueError("image has no pixels (shape %s)" % (image.shape,))
        return _straight.apply_rgba(image, steps, threads)
    raise TypeError("apply takes a Pillow image or a uint8 (height, width, 4) RGBA array, not %s"
                    % type(image).__name__)


@_threads_doc
def process_file(in_path, out_path, chain, *, threads=0):
    """Reads an image file, runs the chain as apply() does and writes the
    result with Pillow (format from out_path's extension, the input's ICC
    profile kept); returns out_path. Needs Pillow.

    {threads}
    """
    steps = _steps(chain)
    return _files.process_file(in_path, out_path, steps, _apply_image,
                               _effects.check_threads("process_file", threads))


@_threads_doc
def map_files(inputs, out_dir, chain, workers=None, progress=None, *, threads=0):
    """Runs a chain over many image files on a pool of `workers` threads
    (default: one per CPU the process may use), writing each to out_dir
    under its own base name, as process_file() does. Needs Pillow.

    Returns the output paths in input order. progress: a '[n/total] name'
    line on stderr; None shows it when stderr is a terminal. A file that fails
    does not stop the others; MapFilesError then lists the failures. The chain
    and the output names are checked before any file is read.

    {threads} Here 0 shares the CPUs between the workers instead:
    each file's effects get max(1, CPUs // workers) threads.
    """
    steps = _steps(chain)
    return _files.map_files(inputs, out_dir, steps, _apply_image, workers, progress,
                            _effects.check_threads("map_files", threads))


for _fn in (find_effect, check_chain, result_mode):
    _fn.__module__ = __package__
del _fn

__all__ = ["apply", "result_mode", "check_chain", "map_files", "process_file", "find_effect",
           "effects", "library_path", "parallel_library_path",
           "MapFilesError", "FX_OK", "FX_ERR_INVALID_ARGUMENT", "FX_ERR_OUT_OF_MEMORY"] + \
          [e.python_name for e in effects]
