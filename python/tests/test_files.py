"""Many files: map_files on a thread pool writes what one apply() per file
gives, whatever the number of threads, and faster than one thread; the
Dask example writes the same over a local cluster."""
import os
import runpy
import threading

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


def test_workers_run_files_at_the_same_time(tmp_path, monkeypatch):
    # Each file waits at a two-party barrier before it is processed: only
    # two workers that really run side by side get past it.
    from kelvo_fx import _files
    barrier = threading.Barrier(2, timeout=60)
    process = _files.process_file

    def meet_then_process(*args):
        barrier.wait()
        return process(*args)

    monkeypatch.setattr(_files, "process_file", meet_then_process)
    paths = make_inputs(str(tmp_path / "in"), 2, 64, 48, photo_like)
    outputs = kelvo_fx.map_files(paths, str(tmp_path / "out"), CHAIN, workers=2)
    assert all(os.path.exists(p) for p in outputs)


# (workers, threads given, the thread count each call must get) on a process
# that may use 8 CPUs: automatic shares them, so workers x threads stays
# within 8; a count given is used as given.
THREAD_SHARES = [(1, 0, 8), (3, 0, 2), (8, 0, 1), (16, 0, 1), (4, 3, 3), (2, 1, 1)]


@pytest.mark.parametrize("workers,threads,each", THREAD_SHARES)
def test_workers_share_the_cpus(inputs, tmp_path, monkeypatch, workers, threads, each):
    from kelvo_fx import _files
    monkeypatch.setattr(_files, "usable_cpus", lambda: 8)
    seen = set()
    for name, _ in CHAIN:
        effect = kelvo_fx.find_effect(name)
        monkeypatch.setattr(effect, "pfunc",
                            lambda *args, pfunc=effect.pfunc: seen.add(args[-1]) or pfunc(*args))
    kelvo_fx.map_files(inputs[:3], str(tmp_path / "out"), CHAIN, workers=workers, threads=threads)
    assert seen == {each}


@pytest.mark.parametrize("ext", [".png", ".jpg", ".webp", ".tif"])
def test_the_input_colour_profile_goes_with_its_pixels(tmp_path, ext):
    ImageCms = pytest.importorskip("PIL.ImageCms")
    if Image.registered_extensions().get(ext) not in Image.SAVE:
        pytest.skip("this Pillow writes no %s" % ext)
    profile = ImageCms.ImageCmsProfile(ImageCms.createProfile("LAB")).tobytes()
    rgb = Image.fromarray(photo_like(24, 32, 1)[..., :3], "RGB")
    paths = [str(tmp_path / ("with%s" % ext)), str(tmp_path / ("without%s" % ext))]
    rgb.save(paths[0], icc_profile=profile)
    rgb.save(paths[1])
    outputs = kelvo_fx.map_files(paths, str(tmp_path / "out"), CHAIN, workers=2)
    for path, want in zip(outputs, [profile, None]):
        with Image.open(path) as image:
            assert image.info.get("icc_profile") == want, path


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
