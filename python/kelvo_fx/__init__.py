"""kelvo_fx: the library's raster effects on NumPy arrays and Pillow images.

Low level, in place, on premultiplied ARGB words (the C library's own calls):

    gaussian_blur(pixels, sigma=2.0)
    bloom(pixels, threshold=0.6, intensity=1.0, sigma=6.0, tint=0xFFFFFF)
    drop_shadow(src, dst=None, offset_x=4.0, offset_y=4.0, sigma=3.0, color=0x80000000)
    tone_map_aces, color_grade, vignette, film_grain, scanlines,
    chromatic_aberration, glitch_displacement

pixels is a uint32 array of shape (H, W) or a uint8 array of shape (H, W, 4)
holding each word's bytes in this machine's order (B, G, R, A on little-endian
machines); views of larger arrays are processed where they stand.

High level, on straight-alpha images:

    apply(image, [("bloom", {"sigma": 8}), "vignette"])   # Pillow or RGBA array
    map_files(paths, out_dir, chain, workers=4)

Parameter names, defaults and ranges are the effect catalogue's (see
`effects`); help(kelvo_fx.bloom) lists them, each by its name with its other
name where it has one (offset_x, also dx). Colours: an int is the C word
itself (0x000000 is transparent black); text is read as kvfx reads it,
'RRGGBB' opaque and 'AARRGGBB' with its alpha (README, Colours).
"""
import sys

import numpy as np

from . import _effects, _files, _straight
from ._effects import FX_ERR_INVALID_ARGUMENT, FX_ERR_OUT_OF_MEMORY, FX_OK
from ._files import MapFilesError

_lib, library_path, catalogue_version, effects = _effects.load()
__version__ = catalogue_version

_BY_NAME = {}
for _e in effects:
    for _n in (_e.name, _e.function, _e.python_name):
        _BY_NAME[_n] = _e
    globals()[_e.python_name] = _effects.make_function(_e)
del _e, _n


def find_effect(name):
    """The catalogue entry called name (kvfx's short name, the C function or
    the Python function name); ValueError if there is none."""
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


def _apply_image(image, steps):
    mode = image.mode
    rgba = np.asarray(image if mode == "RGBA" else image.convert("RGBA"))
    from PIL import Image  # here, so that importing kelvo_fx does not need Pillow
    out = Image.fromarray(_straight.apply_rgba(rgba, steps), "RGBA")
    # An opaque RGB source stays opaque through every effect, so it keeps
    # its mode; the colour effects take grey, palette and other images out
    # of what their own mode can hold, so those stay RGBA.
    return out if result_mode(mode) == "RGBA" else out.convert(result_mode(mode))


def _is_pil_image(obj):
    pil = sys.modules.get("PIL.Image")
    return pil is not None and isinstance(obj, pil.Image)


def apply(image, chain):
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
    """
    steps = _steps(chain)
    if _is_pil_image(image):
        return _apply_image(image, steps)
    if isinstance(image, np.ndarray):
        if image.dtype != np.uint8 or image.ndim != 3 or image.shape[2] != 4:
            raise TypeError("apply takes a Pillow image or a uint8 (height, width, 4) RGBA array, "
                            "not a %s array of shape %s" % (image.dtype, image.shape))
        if image.shape[0] == 0 or image.shape[1] == 0:
            raise ValueError("image has no pixels (shape %s)" % (image.shape,))
        return _straight.apply_rgba(image, steps)
    raise TypeError("apply takes a Pillow image or a uint8 (height, width, 4) RGBA array, not %s"
                    % type(image).__name__)


def process_file(in_path, out_path, chain):
    """Reads an image file, runs the chain as apply() does and writes the
    result (format from out_path's extension); returns out_path."""
    return _files.process_file(in_path, out_path, _steps(chain), _apply_image)


def map_files(inputs, out_dir, chain, workers=None, progress=None):
    """Runs a chain over many image files on a pool of `workers` threads
    (default: one per CPU), writing each to out_dir under its own base name.

    Returns the output paths in input order. progress: a '[n/total] name'
    line on stderr; None shows it when stderr is a terminal. A file that fails
    does not stop the others; MapFilesError then lists the failures. The chain
    and the output names are checked before any file is read.
    """
    return _files.map_files(inputs, out_dir, _steps(chain), _apply_image, workers, progress)


__all__ = ["apply", "result_mode", "check_chain", "map_files", "process_file", "find_effect", "effects", "library_path",
           "MapFilesError", "FX_OK", "FX_ERR_INVALID_ARGUMENT", "FX_ERR_OUT_OF_MEMORY"] + \
          [e.python_name for e in effects]
