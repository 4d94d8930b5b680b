"""What pyproject.toml cannot say: where the shared libraries come from, the
version, the licence and the platform tag.

The wheel holds the package, catalogue.json and both shared libraries
beside it. They come from an existing build when KELVO_FX_BUILD_DIR names
one (relative: to the repository's root), or else from a Release build of
just those targets, made with CMake in a temporary directory. setuptools'
own build and egg-info directories are temporary too, so a build leaves
nothing behind in python/.
"""
import os
import re
import shutil
import subprocess
import sys
import tempfile
import types

from setuptools import setup
from setuptools.command.build_py import build_py
from setuptools.dist import Distribution
from wheel.bdist_wheel import bdist_wheel

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
LICENSE = os.path.join(ROOT, "LICENSE")


def _package_module(name):
    """A module of the package, run alone (the package itself needs the
    libraries that are still to be built) and from its source, so that no
    __pycache__ is left in python/."""
    path = os.path.join(HERE, "kelvo_fx", name + ".py")
    module = types.ModuleType("_kelvo_fx_setup_" + name)
    module.__file__ = path
    with open(path, encoding="utf-8") as f:
        exec(compile(f.read(), path, "exec"), module.__dict__)
    return module


def header_version():
    """MAJOR.MINOR.PATCH from the KV_FX_VERSION_* macros of the public header."""
    with open(os.path.join(ROOT, "include", "kelvo_fx.h"), encoding="utf-8") as f:
        text = f.read()
    parts = []
    for part in ("MAJOR", "MINOR", "PATCH"):
        m = re.search(r"^#define KV_FX_VERSION_%s (\d+)$" % part, text, re.M)
        if not m:
            sys.exit("setup.py: include/kelvo_fx.h defines no KV_FX_VERSION_%s" % part)
        parts.append(m.group(1))
    return ".".join(parts)


def _run(cmd):
    print(" ".join(cmd), flush=True)
    subprocess.run(cmd, check=True)


def _cmake_build(build_dir):
    """The two libraries and the catalogue, and nothing else, in Release."""
    cmake = os.environ.get("CMAKE", "cmake")
    _run([cmake, "-S", ROOT, "-B", build_dir, "-DCMAKE_BUILD_TYPE=Release",
          "-DKV_FX_BUILD_TESTS=OFF", "-DKV_FX_BUILD_TOOLS=OFF", "-DKV_FX_BUILD_BENCH=OFF",
          "-DKV_FX_BUILD_BINDINGS=OFF"])
    jobs = os.environ.get("CMAKE_BUILD_PARALLEL_LEVEL") or str(os.cpu_count() or 1)
    _run([cmake, "--build", build_dir, "--parallel", jobs, "--target",
          "kelvo_fx", "kelvo_fx_parallel", "kelvo_fx_catalogue_json"])


def _check_build_dir(build_dir):
    cache = os.path.join(build_dir, "CMakeCache.txt")
    if not os.path.isfile(cache):
        sys.exit("setup.py: KELVO_FX_BUILD_DIR=%s is not a CMake build directory" % build_dir)
    with open(cache, encoding="utf-8", errors="replace") as f:
        if re.search(r"^CMAKE_(C|CXX|SHARED_LINKER)_FLAGS:STRING=.*-fsanitize", f.read(), re.M):
            # Its libraries cannot load without their runtime preloaded.
            sys.exit("setup.py: %s is a sanitizer build; make the wheel from a Release build" % build_dir)


class build_py_with_libraries(build_py):
    """The package's Python files, then catalogue.json and the libraries beside them."""

    def run(self):
        super().run()
        package = os.path.join(self.build_lib, "kelvo_fx")
        given = os.environ.get("KELVO_FX_BUILD_DIR")
        with tempfile.TemporaryDirectory(prefix="kelvo_fx-cmake-") as scratch:
            if given:
                build_dir = os.path.join(ROOT, given)
                _check_build_dir(build_dir)
            else:
                build_dir = scratch
                _cmake_build(build_dir)
            library = _package_module("_library")
            names = ["catalogue.json"] + [library.file_names(lib)[0]
                                          for lib in (library.CORE, library.PARALLEL)]
            for name in names:
                src = os.path.join(build_dir, name)
                if not os.path.exists(src):
                    sys.exit("setup.py: %s has no %s; build it first" % (build_dir, name))
                # The file itself, under its SONAME, not the link to it.
                shutil.copyfile(src, os.path.join(package, name))
                shutil.copymode(src, os.path.join(package, name))


class NativeDistribution(Distribution):
    """Native code inside (the libraries): a platform wheel, installed in
    the platform's library directory."""

    def has_ext_modules(self):
        return True


class platform_wheel(bdist_wheel):
    """py3-none-<platform>: any Python 3 (ctypes, no extension module), but
    only this platform."""

    def get_tag(self):
        return ("py3", "none") + tuple(super().get_tag()[2:])

    @property
    def license_paths(self):
        return [LICENSE]


scratch = tempfile.mkdtemp(prefix="kelvo_fx-setup-")
try:
    setup(
        version=header_version(),
        distclass=NativeDistribution,
        cmdclass={"build_py": build_py_with_libraries, "bdist_wheel": platform_wheel},
        options={"build": {"build_base": os.path.join(scratch, "build")},
                 "egg_info": {"egg_base": scratch}},
    )
finally:
    shutil.rmtree(scratch, ignore_errors=True)
