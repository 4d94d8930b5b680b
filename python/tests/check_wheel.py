"""The wheel, end to end: made by pip from the existing build
(KELVO_FX_BUILD_DIR) into a temporary directory, installed into a fresh venv,
used from an unrelated folder with nothing pointing at the build tree, and
uninstalled without a trace. ctest runs it as python_wheel.

Exits 77 (skipped) when pip, setuptools, wheel or venv are missing, and for a
sanitizer build: its libraries load only with their runtime preloaded, and
setup.py refuses to ship them.
"""
import importlib.util
import io
import os
import re
import subprocess
import sys
import sysconfig
import tempfile
import zipfile
from contextlib import redirect_stdout

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.dirname(HERE)
ROOT = os.path.dirname(SOURCE)

# Each effect cut over two threads on a frame large enough to be cut; the
# words' CRC, the package's file and its libraries' paths.
WORKLOAD = """
import sys, zlib
import numpy as np
import kelvo_fx
words = np.random.default_rng(5).integers(0, 2**24, (700, 800), dtype=np.uint32) | np.uint32(0xFF000000)
crc = 0
for e in kelvo_fx.effects:
    fn = getattr(kelvo_fx, e.python_name)
    out = fn(words, threads=2) if e.two_buffers else (fn(words, threads=2), words)[1]
    crc = zlib.crc32(out, crc)
print(crc)
print(kelvo_fx.__file__)
print(kelvo_fx.library_path)
print(kelvo_fx.parallel_library_path)
print("PIL" in sys.modules)
"""


def skip(why):
    print("python_wheel skipped: " + why)
    sys.exit(77)


def run(cmd, env, cwd=None):
    out = subprocess.run(cmd, env=env, cwd=cwd, capture_output=True, text=True, timeout=120)
    if out.returncode != 0:
        sys.exit("failed (%d): %s\n%s%s" % (out.returncode, " ".join(cmd), out.stdout, out.stderr))
    return out.stdout


def tree(path):
    return sorted(os.path.relpath(os.path.join(r, n), path)
                  for r, dirs, files in os.walk(path) for n in dirs + files)


def check_wheel(path, version):
    """The wheel's name, contents and metadata."""
    platform = re.sub(r"[-.]", "_", sysconfig.get_platform())
    name = os.path.basename(path)
    assert name == "kelvo_fx-%s-py3-none-%s.whl" % (version, platform), name
    info = "kelvo_fx-%s.dist-info/" % version
    with zipfile.ZipFile(path) as z:
        files = set(z.namelist())
        metadata = z.read(info + "METADATA").decode()
        wheel = z.read(info + "WHEEL").decode()
        licence = z.read(info + "LICENSE")
    package = {"kelvo_fx/" + n for n in os.listdir(os.path.join(SOURCE, "kelvo_fx")) if n.endswith(".py")}
    package |= {"kelvo_fx/catalogue.json", "kelvo_fx/libkelvo_fx.so.0", "kelvo_fx/libkelvo_fx_parallel.so.0"}
    assert {f for f in files if not f.startswith(info)} == package, sorted(files)
    headers = metadata.split("\n\n")[0].splitlines()
    for line in ["Version: " + version, "License: MIT", "Requires-Dist: numpy", "Provides-Extra: images",
                 "Requires-Dist: Pillow ; extra == 'images'"]:
        assert line in headers, "METADATA lacks %r:\n%s" % (line, "\n".join(headers))
    assert not [h for h in headers if h.startswith(("Project-URL", "Home-page"))], headers
    assert "Root-Is-Purelib: false" in wheel and "Tag: py3-none-%s" % platform in wheel, wheel
    with open(os.path.join(ROOT, "LICENSE"), "rb") as f:
        assert licence == f.read()


def main():
    if os.environ.get("KELVO_FX_SANITIZED") == "1":
        skip("a sanitizer build's libraries are no wheel's")
    build = os.environ.get("KELVO_FX_BUILD_DIR")
    if not build:
        skip("KELVO_FX_BUILD_DIR is not set (run it through ctest)")
    missing = []
    for module, package in [("numpy", "python3-numpy"), ("pip", "python3-pip"), ("setuptools", "python3-setuptools"),
                            ("wheel", "python3-wheel"), ("venv", "python3-venv")]:
        # Found, not imported: setuptools must be imported before distutils is.
        if importlib.util.find_spec(module) is None:
            missing.append(package)
    if missing:
        skip("install %s" % " ".join(missing))

    # What the build tree's package makes of the workload: the reference.
    scope = {}
    said = io.StringIO()
    with redirect_stdout(said):
        exec(WORKLOAD, scope)
    want_crc = said.getvalue().split()[0]
    version = scope["kelvo_fx"].__version__

    with tempfile.TemporaryDirectory(prefix="kelvo_fx-wheel-") as tmp:
        # Nothing of the build tree or of this user's settings in any command.
        home = os.path.join(tmp, "home")
        os.mkdir(home)
        env = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "HOME": home, "LANG": "C.UTF-8",
               "PIP_CONFIG_FILE": os.devnull, "PIP_DISABLE_PIP_VERSION_CHECK": "1", "PIP_NO_CACHE_DIR": "1"}
        dist = os.path.join(tmp, "dist")
        before = tree(SOURCE)
        run([sys.executable, "-m", "pip", "wheel", SOURCE, "--no-deps", "--no-build-isolation", "--no-index",
             "-w", dist], dict(env, KELVO_FX_BUILD_DIR=os.path.abspath(build)))
        after = tree(SOURCE)
        assert after == before, "the build left %s in python/" % sorted(set(after) - set(before))
        wheels = os.listdir(dist)
        assert len(wheels) == 1, wheels
        wheel = os.path.join(dist, wheels[0])
        check_wheel(wheel, version)

        # Debian's NumPy from the system; pip too (the venv has none of its own).
        venv = os.path.join(tmp, "venv")
        run([sys.executable, "-m", "venv", "--without-pip", "--system-site-packages", venv], env)
        python = os.path.join(venv, "bin", "python")
        run([python, "-m", "pip", "install", "--no-deps", "--no-index", wheel], env)
        elsewhere = os.path.join(tmp, "elsewhere")
        os.mkdir(elsewhere)
        crc, init, core, parallel, pil = run([python, "-c", WORKLOAD], env, cwd=elsewhere).split()
        package = os.path.dirname(init)
        assert package.startswith(venv + os.sep), init
        assert os.path.dirname(core) == package and os.path.dirname(parallel) == package, (core, parallel)
        assert pil == "False", "importing kelvo_fx must not need Pillow"
        assert crc == want_crc, "the installed package gives other words: %s, not %s" % (crc, want_crc)

        run([python, "-m", "pip", "uninstall", "-y", "kelvo_fx"], env)
        left = [p for p in tree(venv) if "kelvo" in p.lower()]
        assert not left, "pip uninstall left %s" % left
    print("python_wheel: %s built, installed, ran (CRC %s) and uninstalled" % (os.path.basename(wheel), crc))


if __name__ == "__main__":
    main()
