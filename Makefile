# The two commands of the README.
.PHONY: setup demo test sanitize
setup:
	./scripts/setup.sh

demo: setup
	python3 -m vemio demo --out out/demo

test: setup
	./scripts/test.sh

# The C++ tests built with AddressSanitizer and UndefinedBehaviorSanitizer.
sanitize: setup
	cmake -S . -B build/asan -G Ninja -DVEMIO_SANITIZE=ON -DVEMIO_TESTS=ON -DVEMIO_PYTHON=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	cmake --build build/asan -j 2
	cd build/asan && ctest --output-on-failure -j 2
