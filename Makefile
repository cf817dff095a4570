# The two commands of the README.
.PHONY: setup demo test
setup:
	./scripts/setup.sh

demo: setup
	python3 -m vemio demo --out out/demo

test: setup
	./scripts/test.sh
