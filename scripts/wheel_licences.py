"""Copies the Debian copyright files of the libraries bundled into an unpacked wheel.

    python scripts/wheel_licences.py UNPACKED_WHEEL_DIR

auditwheel puts each bundled library into vemio.libs/ as <soname stem>-<hash>.so.<version>;
the original soname leads to the system file, dpkg to its package, and the package to
/usr/share/doc/<package>/copyright, which lands in vemio/_vendor_licenses/<package>.txt. An
index (README.txt) names library, package and version.
"""

import re
import shutil
import subprocess
import sys
from pathlib import Path

LIB_DIRS = ["/usr/lib/x86_64-linux-gnu", "/lib/x86_64-linux-gnu", "/usr/lib64", "/usr/lib"]


def original_soname(grafted: str) -> str:
    """libsndfile-1a2b3c4d.so.1.0.35 -> libsndfile.so.1.0.35"""
    return re.sub(r"-[0-9a-f]{8}(?=\.so)", "", grafted, count=1)


def system_file(soname: str) -> Path:
    for d in LIB_DIRS:
        p = Path(d) / soname
        if p.exists():
            return p.resolve()
    # auditwheel may have kept more of the version than the soname has: match on the stem
    stem = soname.split(".so")[0] + ".so"
    for d in LIB_DIRS:
        hits = sorted(Path(d).glob(stem + "*")) if Path(d).is_dir() else []
        if hits:
            return hits[0].resolve()
    raise SystemExit(f"[vm.] no system copy of the bundled {soname}")


def package_of(path: Path) -> str:
    for candidate in (str(path), str(path).replace("/usr/lib/", "/lib/", 1)):
        r = subprocess.run(["dpkg", "-S", candidate], capture_output=True, text=True)
        if r.returncode == 0:
            return r.stdout.split(":", 1)[0].strip()
    raise SystemExit(f"[vm.] dpkg knows no package holding {path}")


def version_of(package: str) -> str:
    r = subprocess.run(
        ["dpkg-query", "-W", "-f=${Version}", package], capture_output=True, text=True
    )
    return r.stdout.strip() or "?"


def main() -> None:
    tree = Path(sys.argv[1])
    libs = sorted(p for d in tree.glob("*.libs") for p in d.iterdir() if ".so" in p.name)
    if not libs:
        raise SystemExit(f"[vm.] {tree}: no bundled libraries")
    out = tree / "vemio" / "_vendor_licenses"
    out.mkdir(parents=True, exist_ok=True)
    rows = []
    for lib in libs:
        soname = original_soname(lib.name)
        package = package_of(system_file(soname))
        # a package built from several (libvorbis0a, libvorbisenc2) shares its doc folder
        copyright = Path("/usr/share/doc") / package / "copyright"
        if not copyright.exists():
            raise SystemExit(f"[vm.] {package} has no {copyright}")
        shutil.copyfile(copyright, out / f"{package}.txt")
        rows.append(f"{lib.name:40} {package} {version_of(package)}")
    (out / "README.txt").write_text(
        "Libraries bundled in vemio.libs/ (file, Debian package, version); each package's\n"
        "copyright and licence text is in <package>.txt beside this file.\n\n"
        + "\n".join(rows)
        + "\n"
    )
    print(f"[vm.] licences of {len(rows)} bundled libraries in {out.relative_to(tree)}")


if __name__ == "__main__":
    main()
