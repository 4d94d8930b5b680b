"""cmake --install puts the package, its catalogue and its own copy of the
library side by side, and the installed package loads that copy, not the
build tree's, without any environment to help it."""
import os
import shutil
import subprocess
import sys

import pytest

BUILD = os.environ.get("KELVO_FX_BUILD_DIR")


@pytest.mark.skipif(not BUILD or not shutil.which("cmake"), reason="needs the build tree and cmake")
def test_installed_package_loads_its_own_library(tmp_path):
    prefix = tmp_path / "prefix"
    subprocess.run(["cmake", "--install", BUILD, "--prefix", str(prefix)], check=True,
                   stdout=subprocess.DEVNULL)
    found = [root for root, _, files in os.walk(prefix)
             if "__init__.py" in files and os.path.basename(root) == "kelvo_fx"]
    assert len(found) == 1, found
    package = found[0]
    assert {"catalogue.json", "_effects.py"} <= set(os.listdir(package))
    # (The library's debug information may name the build directory.)
    for name in [n for n in os.listdir(package) if n.endswith((".py", ".json"))]:
        with open(os.path.join(package, name), "rb") as f:
            assert BUILD.encode() not in f.read(), "%s refers to the build tree" % name
    env = {k: v for k, v in os.environ.items()
           if k not in ("PYTHONPATH", "KELVO_FX_LIBRARY", "LD_LIBRARY_PATH")}
    env["PYTHONPATH"] = os.path.dirname(package)
    script = ("import sys, numpy as np, kelvo_fx\n"
              "a = np.full((8, 8), 0xFF102030, np.uint32)\n"
              "kelvo_fx.gaussian_blur(a)\n"
              "print(kelvo_fx.library_path)\n"
              "print('PIL' in sys.modules)\n")
    out = subprocess.run([sys.executable, "-c", script], env=env, cwd=str(tmp_path),
                         capture_output=True, text=True, check=True).stdout.split()
    assert os.path.dirname(out[0]) == package
    assert out[1] == "False", "importing kelvo_fx must not need Pillow"
