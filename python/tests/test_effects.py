"""Every effect on every kind of array a user may hand over gives the C
library's words for the same pixels, and leaves all memory outside the
array's own elements exactly as it was."""
import numpy as np
import pytest

import kelvo_fx
from conftest import EFFECT_CASES, c_call, case_id, premultiplied_words, words_of

H0, W0 = 48, 56

# Views of a parent array, by slicing only, so the same function picks the
# covered elements out of an index array. "bytes" layouts see the parent as
# (H, W, 4) uint8, in the words' own byte order unless stated.
LAYOUTS = {
    "tight": ("words", lambda a: a),
    "padded_rows": ("words", lambda a: a[:, :W0 - 7]),
    "slice": ("words", lambda a: a[9:37, 5:44]),
    "single_row": ("words", lambda a: a[20:21, 3:50]),
    "rows_flipped": ("words", lambda a: a[4:40, 2:50][::-1]),
    "columns_flipped": ("words", lambda a: a[3:30, ::-1]),
    "every_other_column": ("words", lambda a: a[:, 1::2]),
    "transposed": ("words", lambda a: a[2:46, 4:52].T),
    "bytes_tight": ("bytes", lambda a: a),
    "bytes_slice": ("bytes", lambda a: a[6:40, 10:50]),
    "bytes_rows_flipped": ("bytes", lambda a: a[::-1, 4:]),
    "bytes_reversed_channels": ("bytes", lambda a: a[5:35, 5:35, ::-1]),
    "bytes_unaligned": ("bytes", lambda a: a.reshape(-1)[1:1 + 4 * 40 * 50].reshape(40, 50, 4)),
}


def parent_and_view(layout, seed):
    kind, lay = LAYOUTS[layout]
    parent = premultiplied_words((H0, W0), seed)
    if kind == "bytes":
        parent = parent.view(np.uint8).reshape(H0, W0, 4)
    index = np.arange(parent.size).reshape(parent.shape)
    covered = np.zeros(parent.size, bool)
    covered[lay(index).ravel()] = True
    return parent, lay(parent), covered


def run(name, view, params):
    if kelvo_fx.find_effect(name).two_buffers:
        assert kelvo_fx.drop_shadow(view, view, **params) is view
    else:
        assert getattr(kelvo_fx, name)(view, **params) is None


@pytest.mark.parametrize("layout", sorted(LAYOUTS))
@pytest.mark.parametrize("case", EFFECT_CASES, ids=case_id)
def test_views_match_the_library_and_touch_nothing_else(case, layout):
    name, params = case
    parent, view, covered = parent_and_view(layout, seed=len(layout))
    before = parent.copy()
    expected = c_call(name, words_of(view), params)
    run(name, view, params)
    np.testing.assert_array_equal(words_of(view), expected)
    outside = ~covered
    np.testing.assert_array_equal(parent.ravel()[outside], before.ravel()[outside])


# Where the drop shadow's result goes: src and dst may be one array, two
# arrays, or views that overlap without being the same.
DESTINATIONS = {
    "new_array": lambda parent: (parent[:32, :40], None),
    "same_array": lambda parent: (parent[:32, :40], parent[:32, :40]),
    "other_padded_view": lambda parent: (parent[:20, :30], np.zeros((24, 64), np.uint32)[2:22, 5:35]),
    "overlapping_view": lambda parent: (parent[:32, :40], parent[3:35, 2:42]),
    "bytes_into_new_array": lambda parent: (parent.view(np.uint8).reshape(H0, W0, 4)[:30], None),
}


@pytest.mark.parametrize("where", sorted(DESTINATIONS))
def test_drop_shadow_reads_src_as_it_was_and_writes_only_dst(where):
    params = dict(EFFECT_CASES[3][1])
    parent = premultiplied_words((H0, W0), 11)
    src, dst = DESTINATIONS[where](parent)
    expected = c_call("drop_shadow", words_of(src), params)
    src_before = src.copy()
    parent_before = parent.copy()
    out = kelvo_fx.drop_shadow(src, dst, **params)
    np.testing.assert_array_equal(words_of(out), expected)
    if dst is None:
        assert out.shape == src.shape and out.dtype == src.dtype
        np.testing.assert_array_equal(src, src_before)
    else:
        assert out is dst
    if dst is None or not np.may_share_memory(dst, parent):
        np.testing.assert_array_equal(parent, parent_before)
