"""ELF check of an installed vemio wheel: every native file of the package (extension modules,
the PortAudio companion, pesq.exe) finds libsndfile, libsoxr and PortAudio inside the installed
package, through its own RUNPATH/RPATH, and nothing of ALSA or JACK is bundled.

    python tests/wheel/check_elf.py SITE_PACKAGES BIN_DIR SHOW_JSON

SHOW_JSON is `auditwheel show --json` of the wheel: its symbol versions must allow a manylinux
tag, and the only libraries standing between the wheel and that tag must be the ones left to the
system on purpose (ALSA, JACK and what JACK itself links).
"""

import json
import os
import subprocess
import sys
from pathlib import Path

BUNDLED = ("libsndfile", "libsoxr", "libportaudio")
SYSTEM_ONLY = ("libasound", "libjack")
LEFT_TO_SYSTEM = {"libasound.so.2", "libjack.so.0", "libdb-5.3.so"}


def is_elf(path: Path) -> bool:
    with open(path, "rb") as f:
        return f.read(4) == b"\x7fELF"


def dynamic(path: Path):
    """(needed, search path) from readelf -d"""
    out = subprocess.run(["readelf", "-d", str(path)], capture_output=True, text=True, check=True)
    needed, rpath = [], []
    for line in out.stdout.splitlines():
        if "(NEEDED)" in line:
            needed.append(line.split("[", 1)[1].rstrip("]"))
        elif "(RUNPATH)" in line or "(RPATH)" in line:
            rpath += line.split("[", 1)[1].rstrip("]").split(":")
    return needed, rpath


def resolved(path: Path) -> dict:
    out = subprocess.run(["ldd", str(path)], capture_output=True, text=True, check=True)
    libs = {}
    for line in out.stdout.splitlines():
        if "=>" in line:
            name, target = line.split("=>", 1)
            target = target.split("(", 1)[0].strip()
            libs[name.strip()] = os.path.realpath(target) if target.startswith("/") else target
    return libs


def main() -> int:
    site, bin_dir = Path(sys.argv[1]).resolve(), Path(sys.argv[2]).resolve()
    package = site / "vemio"
    libs_dir = site / "vemio.libs"
    files = sorted(p for p in package.rglob("*.so") if is_elf(p))
    # programs: in the scripts folder, or moved by auditwheel to vemio.scripts/ behind a launcher
    files += sorted(p for p in (site / "vemio.scripts").glob("*") if is_elf(p))
    files += sorted(p for p in bin_dir.glob("pesq*") if is_elf(p))
    failures = []
    linked = set()
    for f in files:
        needed, rpath = dynamic(f)
        for lib, target in resolved(f).items():
            stem = lib.split(".so")[0].rsplit("-", 1)[0]
            if stem in BUNDLED:
                linked.add(stem)
                if not target.startswith(str(libs_dir)):
                    failures.append(f"{f.relative_to(site.parent)}: {lib} resolves to {target}")
                if not any(r.startswith("$ORIGIN") for r in rpath):
                    failures.append(
                        f"{f.name}: needs {lib} without an $ORIGIN search path ({rpath})"
                    )
        for lib in needed:
            if lib.startswith(BUNDLED) and lib.split(".so")[0] in BUNDLED:
                failures.append(f"{f.name}: needs the unbundled name {lib}")
        print(f"[vm.] {f.name}: needs {', '.join(needed)}")
    for lib in libs_dir.iterdir() if libs_dir.is_dir() else []:
        if lib.name.startswith(SYSTEM_ONLY):
            failures.append(f"{lib.name} is bundled; it must come from the system")
    missing = set(BUNDLED) - linked
    if missing:
        failures.append(f"no native file of the package links {', '.join(sorted(missing))}")
    show = json.loads(Path(sys.argv[3]).read_text())
    tag = show["sym_tag"]
    if not tag.startswith("manylinux_"):
        failures.append(f"auditwheel: the symbol versions allow no manylinux tag ({tag})")
    else:
        blocking = set(show["policy_upgrades"].get(tag, {}).get("libs_to_eliminate", []))
        if blocking - LEFT_TO_SYSTEM:
            failures.append(f"auditwheel: {sorted(blocking - LEFT_TO_SYSTEM)} keep it from {tag}")
        print(f"[vm.] auditwheel: {tag}, with {', '.join(sorted(blocking))} from the system")
    for line in failures:
        print(f"[vm.] ELF check: {line}")
    print(f"[vm.] ELF check of {len(files)} files: {'failed' if failures else 'passed'}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
