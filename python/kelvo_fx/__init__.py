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
    map_files(paths, out_dir, chain, workers=4)             # needs Pillow

Every one of them takes threads=: 0 (the default) runs each effect on as
many threads as the process may use, 1 on the calling thread only, N on at
most N, with the same words for every count; map_files' 0 shares the CPUs
between its workers. The GIL is released during every call.

Parameter names, defaults and ranges are the effect catalogue's (see
`effects`); help(kelvo_fx.bloom) lists them, each by its name with its other
name where it has one (offset_x, also dx). Colours: an int is the C word
itself (0x000000 is transparent black); text is read as kvfx reads it,
'RRGGBB' opaque and 'AARRGGBB' with its alpha (README, Colours).
"""
from . import _api
from ._api import *  # noqa: F401,F403 (the names of _api.__all__)
from ._api import __all__, __version__  # noqa: F401
