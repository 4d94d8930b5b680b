"""Runs the package's pytest suite (arguments go to pytest); exits 77, which
ctest reports as skipped, when NumPy or pytest is missing."""
import os
import sys

missing = []
for module, package in (("numpy", "python3-numpy"), ("pytest", "python3-pytest")):
    try:
        __import__(module)
    except ImportError:
        missing.append(package)
if missing:
    print("python tests skipped: install %s (apt-get install %s)"
          % (" and ".join(missing), " ".join(missing)))
    sys.exit(77)

import pytest  # noqa: E402

here = os.path.dirname(os.path.abspath(__file__))
sys.exit(pytest.main(["-q", "-p", "no:cacheprovider", "--rootdir", here, here] + sys.argv[1:]))
