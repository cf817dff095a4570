#!/usr/bin/env bash
# Everything built with AddressSanitizer and UndefinedBehaviorSanitizer: the C++ tests, then
# the Python suite against extension modules built the same way. Python's own allocator is
# switched off (PYTHONMALLOC=malloc) so that a Python object freed too early by native code is
# caught where it is used, not much later as a corrupted free list.
set -euo pipefail
cd "$(dirname "$0")/.."
# compiler cache keys relative to the checkout, so that the package build and the test build
# share the core's objects
export CCACHE_BASEDIR="${CCACHE_BASEDIR:-$PWD}"
PY=${PYTHON:-python3}
B=build/asan
# -O1 with line tables only: reports keep file and line, and the build is quicker than at -O2 with
# full debug information
cmake -S . -B $B -G Ninja -DVEMIO_SANITIZE=ON -DVEMIO_TESTS=ON -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG=-O1 \
  -Dpybind11_DIR="$($PY -m pybind11 --cmakedir)" -DPython_EXECUTABLE="$(command -v $PY)" >/dev/null
cmake --build $B -j 2
(cd $B && ctest --output-on-failure -j 2)

# the package as an install would lay it out, with the sanitized modules
rm -rf $B/py && mkdir -p $B/py
cp -r python/vemio $B/py/vemio
find $B/py/vemio -name '*.so' -delete
cmake --install $B --prefix $B/py >/dev/null
runtime="$(gcc -print-file-name=libasan.so) $(gcc -print-file-name=libubsan.so)"
# leaks are not checked: the interpreter keeps much of what it allocates until exit
PYTHONMALLOC=malloc LD_PRELOAD="$runtime" ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 \
  UBSAN_OPTIONS=print_stacktrace=1 PYTHONPATH="$PWD/$B/py" MPLBACKEND=Agg \
  $PY -m pytest -q -p no:cacheprovider tests --deselect tests/test_fuzz.py "$@"
