#!/usr/bin/env bash
# Installs what vemio needs on a fresh Debian machine (idempotent): the native libraries, the
# build tools, and the package itself with its test extra.
set -euo pipefail
cd "$(dirname "$0")/.."
# compiler cache keys relative to the checkout, so that the package build and the test build
# share the core's objects
export CCACHE_BASEDIR="${CCACHE_BASEDIR:-$PWD}"

DEBS="libsndfile1-dev libsoxr-dev libeigen3-dev portaudio19-dev libgtest-dev pkg-config ninja-build ccache espeak-ng"
missing=""
for p in $DEBS; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
if [ -n "$missing" ]; then
  SUDO=""; [ "$(id -u)" = 0 ] || SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq $missing
fi

PY=${PYTHON:-python3}
$PY -m pip install -q --upgrade "scikit-build-core>=0.10" "pybind11>=2.12" cmake ninja
# the checks of `make lint`, pinned so that formatting verdicts do not move between machines
$PY -m pip install -q "ruff==0.17.6" "mypy==2.4.1" "clang-format==18.1.8"
# The build tools are installed above, so the package builds without an isolated environment
# and reuses its build folder (and ccache) between runs.
$PY -m pip install -q --no-build-isolation ".[test]"
