"""cmake --install puts the package, its catalogue and its own copies of the
libraries side by side where the interpreter looks for the prefix given: a
user's ~/.local and /usr need no variable; any other prefix is named in a
PYTHONPATH= line of the install's output. The installed package loads its
own copies, not the build tree's; under /usr, a system install, it carries
none and loads the system's by name."""
import os
import shutil
import subprocess
import sys

import pytest

BUILD = os.environ.get("KELVO_FX_BUILD_DIR")
pytestmark = pytest.mark.skipif(not BUILD or not shutil.which("cmake"),
                                reason="needs the build tree and cmake")

SCRIPT = ("import sys, numpy as np, kelvo_fx\n"
          "a = np.full((8, 8), 0xFF102030, np.uint32)\n"
          "kelvo_fx.gaussian_blur(a)\n"
          "print(kelvo_fx.library_path)\n"
          "print(kelvo_fx.parallel_library_path)\n"
          "print('PIL' in sys.modules)\n")


def install(prefix, **env):
    out = subprocess.run(["cmake", "--install", BUILD, "--prefix", str(prefix)], check=True,
                         capture_output=True, text=True, env=dict(os.environ, **env)).stdout
    return out


LIBRARIES = {"libkelvo_fx.so.0", "libkelvo_fx_parallel.so.0"}


def installed_package(root, libraries=LIBRARIES):
    found = [r for r, _, files in os.walk(root) if "__init__.py" in files and os.path.basename(r) == "kelvo_fx"]
    assert len(found) == 1, found
    package = found[0]
    files = set(os.listdir(package))
    assert {"catalogue.json", "_effects.py"} <= files
    assert {n for n in files if n.startswith("lib")} == libraries
    # (The library's debug information may name the build directory.)
    for name in [n for n in os.listdir(package) if n.endswith((".py", ".json"))]:
        with open(os.path.join(package, name), "rb") as f:
            assert BUILD.encode() not in f.read(), "%s refers to the build tree" % name
    return package


def fresh_login(home, **extra):
    """The environment of a new login of a user whose home is `home` (and a
    sanitizer build's runtime, without which its library cannot load)."""
    env = {"HOME": str(home), "PATH": os.environ.get("PATH", "/usr/bin:/bin")}
    for keep in ("LD_PRELOAD", "ASAN_OPTIONS"):
        if keep in os.environ:
            env[keep] = os.environ[keep]
    env.update(extra)
    return env


def run_installed(env, cwd):
    out = subprocess.run([sys.executable, "-c", SCRIPT], env=env, cwd=str(cwd),
                         capture_output=True, text=True)
    assert out.returncode == 0, out.stderr
    *paths, pil = out.stdout.split()
    assert pil == "False", "importing kelvo_fx must not need Pillow"
    assert len({os.path.dirname(p) for p in paths}) == 1, paths
    return paths[0]


def test_a_users_install_imports_with_no_variable(tmp_path):
    home = tmp_path / "home"
    home.mkdir()
    said = install(home / ".local", HOME=str(home))
    assert "PYTHONPATH" not in said, said
    package = installed_package(home / ".local")
    assert os.path.dirname(run_installed(fresh_login(home), tmp_path)) == package


def test_a_usr_install_lands_on_the_interpreters_path(tmp_path):
    stage = tmp_path / "stage"
    install("/usr", DESTDIR=str(stage))
    package = installed_package(stage, libraries=set())
    assert os.path.dirname(package)[len(str(stage)):] in sys.path


def test_another_prefix_says_what_to_set_and_loads_its_own_library(tmp_path):
    prefix = tmp_path / "prefix"
    said = install(prefix)
    package = installed_package(prefix)
    assert "PYTHONPATH=%s" % os.path.dirname(package) in said, said
    path = run_installed(fresh_login(tmp_path, PYTHONPATH=os.path.dirname(package)), tmp_path)
    assert os.path.dirname(path) == package
