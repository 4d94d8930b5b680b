"""Many files: map_files on a thread pool writes what one apply() per file
gives, whatever the number of threads, and faster than one thread; the
Dask example writes the same over a local cluster."""
import os
import runpy
import time

import numpy as np
import pytest

import kelvo_fx
from conftest import SANITIZED, straight_rgba

Image = pytest.importorskip("PIL.Image")

CHAIN = [("gaussian_blur", {"sigma": 3.0}), ("vignette", {}),
         ("glitch_displacement", {"band_count": 4})]
HERE = os.path.dirname(os.path.abspath(__file__))


def photo_like(h, w, seed):
    """Smooth colour with a little noise: compresses as photographs do."""
    y, x = np.mgrid[0:h, 0:w]
    noise = np.random.default_rng(seed).integers(0, 8, (h, w, 4))
    rgba = np.stack([x * 255 // w, y * 255 // h, (x + y + seed * 40) % 256,
                     np.full((h, w), 255)], axis=-1) + noise
    return np.minimum(rgba, 255).astype(np.uint8)


def make_inputs(directory, count, h, w, image=None):
    os.makedirs(directory, exist_ok=True)
    paths = []
    for k in range(count):
        rgba = image(h, w, k) if image else straight_rgba(h, w, seed=k, opaque=k % 3 == 0)
        ext, mode = [(".png", "RGBA"), (".png", "RGB"), (".jpg", "RGB")][k % 3]
        path = os.path.join(directory, "img%02d%s" % (k, ext))
        Image.fromarray(rgba, "RGBA").convert(mode).save(path)
        paths.append(path)
    return paths


def pixels(path):
    with Image.open(path) as image:
        return np.asarray(image.convert("RGBA"))


@pytest.fixture(scope="module")
def inputs(tmp_path_factory):
    return make_inputs(str(tmp_path_factory.mktemp("in")), 6, 40, 64)


def test_threads_write_what_apply_gives(inputs, tmp_path, capsys):
    one = kelvo_fx.map_files(inputs, str(tmp_path / "one"), CHAIN, workers=1)
    four = kelvo_fx.map_files(inputs, str(tmp_path / "four"), CHAIN, workers=4, progress=True)
    assert "[6/6] done" in capsys.readouterr().err
    assert [os.path.basename(p) for p in four] == [os.path.basename(p) for p in inputs]
    for src, a, b in zip(inputs, one, four):
        np.testing.assert_array_equal(pixels(a), pixels(b))
        if src.endswith(".png"):
            with Image.open(src) as image:
                want = np.asarray(kelvo_fx.apply(image, CHAIN).convert("RGBA"))
            np.testing.assert_array_equal(pixels(b), want)


def test_refusals_before_any_file_is_read(inputs, tmp_path):
    out = tmp_path / "out"
    twins = [inputs[0], os.path.join(os.path.dirname(inputs[0]), "x", os.path.basename(inputs[0]))]
    for args, error in [((twins, CHAIN), ValueError),
                        (([inputs[0] + ".unknown"], CHAIN), ValueError),
                        ((inputs, [("bloom", {"sigma": -1.0})]), ValueError),
                        ((inputs, CHAIN, 0), ValueError)]:
        with pytest.raises(error):
            kelvo_fx.map_files(args[0], str(out), *args[1:])
        assert not out.exists()


def test_a_bad_file_fails_alone(inputs, tmp_path):
    broken = tmp_path / "broken.png"
    broken.write_bytes(b"\x89PNG\r\n\x1a\n not really")
    with pytest.raises(kelvo_fx.MapFilesError) as info:
        kelvo_fx.map_files([str(broken)] + inputs[:2], str(tmp_path / "out"), CHAIN, workers=2)
    assert list(info.value.failures) == [str(broken)]
    assert info.value.outputs[0] is None and all(os.path.exists(p) for p in info.value.outputs[1:])
    # Writing over an input is a failure of that file, not a crash.
    with pytest.raises(kelvo_fx.MapFilesError):
        kelvo_fx.map_files(inputs[:1], os.path.dirname(inputs[0]), CHAIN)


def two_thread_share():
    """Wall time of two C calls on two threads over the same on one: what
    the machine's other developers leave of a second core."""
    from concurrent.futures import ThreadPoolExecutor
    images = [np.full((1024, 1024), 0xFF808080, np.uint32) for _ in range(2)]
    blur = lambda im: kelvo_fx.gaussian_blur(im, sigma=3.0)  # noqa: E731
    for im in images:
        blur(im)
    best = []
    for _ in range(3):
        t0 = time.perf_counter()
        for im in images:
            blur(im)
        t1 = time.perf_counter()
        with ThreadPoolExecutor(2) as pool:
            list(pool.map(blur, images))
        best.append((time.perf_counter() - t1) / (t1 - t0))
    return min(best)


@pytest.mark.timing
@pytest.mark.skipif(SANITIZED, reason="timings mean nothing under a sanitizer")
def test_four_threads_beat_one(tmp_path):
    share = two_thread_share()
    if share > 0.75:
        pytest.skip("no second core free: two threads of C work took %.2f of one" % share)
    paths = make_inputs(str(tmp_path / "in"), 8, 512, 768, photo_like)
    chain = [("gaussian_blur", {"sigma": 6.0}), ("bloom", {"sigma": 8.0}),
             ("chromatic_aberration", {}), ("gaussian_blur", {"sigma": 2.0})]
    ratios = []
    for attempt in range(3):  # the machine is shared: the best of three
        t0 = time.perf_counter()
        kelvo_fx.map_files(paths, str(tmp_path / "one"), chain, workers=1)
        t1 = time.perf_counter()
        kelvo_fx.map_files(paths, str(tmp_path / "four"), chain, workers=4)
        t2 = time.perf_counter()
        ratios.append((t2 - t1) / (t1 - t0))
        if ratios[-1] < 0.8:
            break
    print("two C calls on two threads / one: %.2f; map_files four threads / one: %s"
          % (share, ", ".join("%.2f" % r for r in ratios)))
    assert min(ratios) < 0.8


@pytest.mark.skipif(SANITIZED, reason="worker processes under a preloaded sanitizer are slow")
def test_dask_example_writes_the_same(inputs, tmp_path):
    pytest.importorskip("dask")
    distributed = pytest.importorskip("dask.distributed")
    example = runpy.run_path(os.path.join(HERE, "..", "examples", "dask_map.py"))
    local = kelvo_fx.map_files(inputs, str(tmp_path / "threads"), CHAIN, workers=2)
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster, \
            distributed.Client(cluster) as client:
        remote = example["map_files_on"](client, inputs, str(tmp_path / "dask"), CHAIN)
    assert [os.path.basename(p) for p in remote] == [os.path.basename(p) for p in local]
    for a, b in zip(local, remote):
        np.testing.assert_array_equal(pixels(a), pixels(b))
