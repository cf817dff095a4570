"""Adds the licences of the libraries auditwheel bundled to a repaired wheel (rewritten in place).

    python scripts/wheel_licences.py WHEEL

auditwheel puts each bundled library into vemio.libs/ as <soname stem>-<hash>.so.<version>;
the original soname leads to the system file, the package manager (dpkg, or rpm in the
manylinux build images) to its package, and the package to its copyright or licence files,
which land in vemio/_vendor_licenses/<package>.txt. An index (README.txt) names library,
package and version. Needs the `wheel` package.
"""

import re
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

LIB_DIRS = [
    "/usr/lib/x86_64-linux-gnu",
    "/lib/x86_64-linux-gnu",
    "/usr/lib64",
    "/usr/lib",
    "/usr/local/lib",
]


def run(*cmd):
    r = subprocess.run(cmd, capture_output=True, text=True)
    return r.stdout.strip() if r.returncode == 0 else None


def original_soname(grafted: str) -> str:
    """libsndfile-1a2b3c4d.so.1.0.35 -> libsndfile.so.1.0.35"""
    return re.sub(r"-[0-9a-f]{8}(?=\.so)", "", grafted, count=1)


def system_file(soname: str) -> Path:
    stem = soname.split(".so")[0] + ".so"
    for pattern in (soname, stem + ".*"):
        for d in LIB_DIRS:
            hits = sorted(Path(d).glob(pattern)) if Path(d).is_dir() else []
            if hits:
                return hits[0].resolve()
    raise SystemExit(f"[vm.] no system copy of the bundled {soname}")


def package_licence(path: Path):
    """(package, version, licence text) of the package holding `path`"""
    if shutil.which("dpkg"):
        for candidate in (str(path), str(path).replace("/usr/lib/", "/lib/", 1)):
            out = run("dpkg", "-S", candidate)
            if out:
                package = out.split(":", 1)[0].strip()
                version = run("dpkg-query", "-W", "-f=${Version}", package) or "?"
                # a package built from several (libvorbis0a, libvorbisenc2) shares its doc folder
                return (
                    package,
                    version,
                    (Path("/usr/share/doc") / package / "copyright").read_text(),
                )
    if shutil.which("rpm"):
        package = run("rpm", "-qf", "--qf", "%{NAME}", str(path))
        if package:
            version = run("rpm", "-q", "--qf", "%{VERSION}-%{RELEASE}", package) or "?"
            files = [
                Path(f)
                for f in (run("rpm", "-qL", package) or "").splitlines()
                if f.startswith("/")
            ]
            if files:
                return package, version, "\n\n".join(f"== {f.name}\n{f.read_text()}" for f in files)
    raise SystemExit(f"[vm.] no package with licence files holds {path}")


def add_licences(tree: Path) -> int:
    libs = sorted(p for d in tree.glob("*.libs") for p in d.iterdir() if ".so" in p.name)
    out = tree / "vemio" / "_vendor_licenses"
    out.mkdir(parents=True, exist_ok=True)
    rows = []
    for lib in libs:
        package, version, text = package_licence(system_file(original_soname(lib.name)))
        (out / f"{package}.txt").write_text(text)
        rows.append(f"{lib.name:40} {package} {version}")
    (out / "README.txt").write_text(
        "Libraries bundled in vemio.libs/ (file, package, version); each package's copyright\n"
        "and licence text is in <package>.txt beside this file.\n\n" + "\n".join(rows) + "\n"
    )
    return len(rows)


def main() -> None:
    wheel = Path(sys.argv[1]).resolve()
    with tempfile.TemporaryDirectory() as tmp:
        subprocess.run(
            [sys.executable, "-m", "wheel", "unpack", str(wheel), "-d", tmp],
            check=True,
            stdout=subprocess.DEVNULL,
        )
        (tree,) = Path(tmp).iterdir()
        n = add_licences(tree)
        if n == 0:
            raise SystemExit(f"[vm.] {wheel.name}: no bundled libraries")
        wheel.unlink()
        subprocess.run(
            [sys.executable, "-m", "wheel", "pack", str(tree), "-d", str(wheel.parent)],
            check=True,
            stdout=subprocess.DEVNULL,
        )
    print(f"[vm.] {wheel.name}: licences of {n} bundled libraries in vemio/_vendor_licenses")


if __name__ == "__main__":
    main()
