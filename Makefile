# The two commands of the README, and the checks run beside them.
.PHONY: setup demo test lint sanitize fuzz wheel wheel-matrix
setup:
	./scripts/setup.sh

demo: setup
	python3 -m vemio demo --out out/demo

test: setup
	./scripts/test.sh

# ruff, clang-format and mypy.stubtest
lint: setup
	./scripts/lint.sh

# The C++ tests and the Python suite on everything built with AddressSanitizer and
# UndefinedBehaviorSanitizer.
sanitize: setup
	./scripts/sanitize.sh

# A longer run of the WAV fuzzer by hand (FUZZ_SECONDS, FUZZ_SEED); reproducers in out/fuzz/failures.
fuzz:
	python3 tools/fuzz_wav.py --seconds $${FUZZ_SECONDS:-300} --seed $${FUZZ_SEED:-1} --out out/fuzz

# The self-contained wheel of python3 in dist/ (libsndfile, libsoxr, PortAudio inside), its ELF
# check and a smoke test in a fresh virtual environment with the system's copies hidden.
wheel:
	./scripts/wheel.sh --python $${PYTHON:-python3}

# The same for every interpreter from 3.8 to 3.13 (by hand; figures in out/wheel-matrix.txt).
wheel-matrix:
	./scripts/wheel_matrix.sh
