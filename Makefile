# The two commands of the README, and the checks run beside them.
.PHONY: setup demo test lint sanitize fuzz
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
