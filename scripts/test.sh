#!/usr/bin/env bash
# Runs every test: the C++ core tests (GoogleTest through ctest), then the Python tests.
set -euo pipefail
cd "$(dirname "$0")/.."
# compiler cache keys relative to the checkout, so that the package build and the test build
# share the core's objects
export CCACHE_BASEDIR="${CCACHE_BASEDIR:-$PWD}"
PY=${PYTHON:-python3}
cmake -S . -B build/ctest -G Ninja -DVEMIO_TESTS=ON -DVEMIO_PYTHON=OFF -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/ctest -j 2
(cd build/ctest && ctest --output-on-failure -j 2)
# run from the tests folder so the installed package, not the source tree, is imported
MPLBACKEND=Agg $PY -m pytest -q tests "$@"
