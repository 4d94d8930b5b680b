"""Runs the package's pytest suite (arguments go to pytest); exits 77, which
ctest reports as skipped, when NumPy or pytest is missing."""
import os
import sys


def main():
    missing = []
    for module, package in (("numpy", "python3-numpy"), ("pytest", "python3-pytest")):
        try:
            __import__(module)
        except ImportError:
            missing.append(package)
    if missing:
        print("python tests skipped: install %s (apt-get install %s)"
              % (" and ".join(missing), " ".join(missing)))
        return 77
    import pytest

    class Outcomes:
        """Counts what ran, so that a run in which everything skipped shows
        as skipped in ctest rather than passed."""
        ran = skipped = 0

        def pytest_runtest_logreport(self, report):
            if report.when == "call":
                self.ran += 1
            elif report.skipped:
                self.skipped += 1

    outcomes = Outcomes()
    here = os.path.dirname(os.path.abspath(__file__))
    rc = pytest.main(["-q", "-rs", "-p", "no:cacheprovider", "--rootdir", here, here] + sys.argv[1:],
                     plugins=[outcomes])
    return 77 if rc == 0 and outcomes.skipped and not outcomes.ran else rc


# Guarded: the Dask test's worker processes import this module as their main.
if __name__ == "__main__":
    sys.exit(main())
