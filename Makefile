# Every target does its own set-up: a fresh machine needs only python3 and a C++ compiler.
PYTHON ?= python3
VENV := .venv
PY := $(VENV)/bin/python
PIP := $(PY) -m pip --disable-pip-version-check -q

.PHONY: demo test bench build core-tests corpus clean

$(VENV)/.base:
	$(PYTHON) -m venv $(VENV)
	$(PIP) install --upgrade pip
	$(PIP) install "scikit-build-core>=0.10" cmake ninja einops
	touch $@

$(VENV)/.test: $(VENV)/.base
	$(PIP) install pytest numpy einops opt_einsum hypothesis
	touch $@

$(VENV)/.bench: $(VENV)/.test
	$(PIP) install cotengrust
	touch $@

# Builds the extension (incrementally, in build/) and installs it into the environment.
build: $(VENV)/.base
	$(PIP) install --no-build-isolation --no-deps .

demo: build
	$(PIP) install numpy opt_einsum
	$(PY) examples/tour.py

# The native core's own unit tests, built without the interpreter.
core-tests: $(VENV)/.base
	$(VENV)/bin/cmake -S . -B build/core-tests -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) \
		-DPLENEXA_PYTHON=OFF -DPLENEXA_CORE_TESTS=ON -DCMAKE_BUILD_TYPE=Release >/dev/null
	$(VENV)/bin/cmake --build build/core-tests
	./build/core-tests/core_tests

test: $(VENV)/.test build core-tests
	$(PY) -m pytest -q tests

bench: $(VENV)/.bench build
	$(PY) bench/paths.py

# Every path of the seeded corpus against the digests recorded in bench/corpus.sha256.
corpus: build
	$(PY) bench/corpus.py

clean:
	rm -rf build $(VENV)
