"""Where the package belongs under an install prefix, for this interpreter:
    python3 install_dir.py PREFIX
prints the directory and, on a second line, "searched" when the interpreter
looks there by itself or "not searched" when PYTHONPATH must name it.

The directory is the one of the interpreter's own search path that lies in
PREFIX's lib: the user's site-packages for the user's base (~/.local, even
before it exists), the system's dist-packages for /usr, /usr/local's for
/usr/local. Any other prefix gets the usual lib/pythonX.Y/site-packages.
cmake runs it when the build is configured, to say where the package will
go, and again when it is installed, for the prefix given then.
"""
import os
import site
import sys
import sysconfig


def choose(prefix):
    prefix = os.path.realpath(prefix)
    candidates = []
    if site.ENABLE_USER_SITE is not False:
        candidates.append(site.getusersitepackages())
    candidates += [p for p in sys.path if os.path.basename(p) in ("site-packages", "dist-packages")]
    for path in candidates:
        rel = os.path.relpath(os.path.realpath(path), prefix)
        # In the prefix's own lib: /usr/local/lib/... is not /usr's.
        if rel.split(os.sep)[0] in ("lib", "lib64"):
            return path, True
    scheme = "posix_prefix" if "posix_prefix" in sysconfig.get_scheme_names() else None
    return sysconfig.get_path("purelib", scheme, vars={"base": prefix, "platbase": prefix}), False


if __name__ == "__main__":
    where, searched = choose(sys.argv[1])
    print(where)
    print("searched" if searched else "not searched")
