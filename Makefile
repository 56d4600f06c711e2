# Every target does its own set-up: a fresh machine needs only python3 and a C++ compiler.
PYTHON ?= python3
VENV := .venv
PY := $(VENV)/bin/python
PIP := $(PY) -m pip --disable-pip-version-check -q
# Installed modules whose type information stubtest checks against the runtime
# (`make stubtest`, and tests/test_typing.py under `make test`).
TYPED_MODULES ?= plenexa plenexa_paths

.PHONY: demo test bench build core-tests stubtest sanitize corpus clean

$(VENV)/.base:
	$(PYTHON) -m venv $(VENV)
	$(PIP) install --upgrade pip
	$(PIP) install "scikit-build-core>=0.10" cmake ninja einops
	touch $@

$(VENV)/.test: $(VENV)/.base
	$(PIP) install pytest numpy einops opt_einsum hypothesis mypy cotengra
	touch $@

$(VENV)/.bench: $(VENV)/.test
	$(PIP) install cotengrust matplotlib
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
	TYPED_MODULES="$(TYPED_MODULES)" $(PY) -m pytest -q tests

# The stubs against the runtime alone, e.g. `make stubtest TYPED_MODULES="plenexa other"`.
stubtest: $(VENV)/.test build
	MYPY_CACHE_DIR=build/mypy-cache $(PY) -m mypy.stubtest --mypy-config-file pyproject.toml $(TYPED_MODULES)

# Both benchmarks, then bench/speed.png from their figures (`BENCH_FLAGS=--quick` for a short run).
BENCH_OUT := build/bench
bench: $(VENV)/.bench build
	mkdir -p $(BENCH_OUT)
	$(PY) bench/paths.py $(BENCH_FLAGS) --json $(BENCH_OUT)/paths.json
	$(PY) bench/large.py $(BENCH_FLAGS) --json $(BENCH_OUT)/large.json
	$(PY) bench/plot.py $(BENCH_OUT)/paths.json $(BENCH_OUT)/large.json -o bench/speed.png

# The modules and the native core tests built with AddressSanitizer and UndefinedBehaviorSanitizer
# in their own tree, and the whole suite run against them. The interpreter is not built with the
# sanitizers, so their runtime is preloaded (with libstdc++, whose exception support the runtime
# must find first); Python objects go through malloc so that the sanitizers see them. Every
# report is written to build/sanitize/logs, and any report fails the target.
SANITIZE := build/sanitize
SANITIZE_ENV = PLENEXA_SANITIZE=1 PYTHONMALLOC=malloc PYTHONPATH=$(abspath $(SANITIZE)/site) \
	LD_PRELOAD="$$($(CXX) -print-file-name=libasan.so) $$($(CXX) -print-file-name=libstdc++.so.6)" \
	ASAN_OPTIONS=allocator_may_return_null=1:detect_leaks=1:log_path=$(abspath $(SANITIZE)/logs/asan) \
	LSAN_OPTIONS=suppressions=$(abspath .ci/lsan.supp):print_suppressions=0 \
	UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1:log_path=$(abspath $(SANITIZE)/logs/ubsan)

sanitize: $(VENV)/.test
	$(PIP) install --no-build-isolation --no-deps --upgrade --target $(SANITIZE)/site \
		-C build-dir=$(SANITIZE)/build -C cmake.build-type=RelWithDebInfo -C cmake.define.PLENEXA_SANITIZE=ON .
	$(VENV)/bin/cmake -S . -B $(SANITIZE)/core -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) \
		-DPLENEXA_PYTHON=OFF -DPLENEXA_CORE_TESTS=ON -DPLENEXA_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	$(VENV)/bin/cmake --build $(SANITIZE)/core
	rm -rf $(SANITIZE)/logs && mkdir -p $(SANITIZE)/logs
	$(SANITIZE_ENV) LD_PRELOAD= ./$(SANITIZE)/core/core_tests
	$(SANITIZE_ENV) $(PY) -m pytest -q -p no:cacheprovider tests
	@if [ -n "$$(ls $(SANITIZE)/logs)" ]; then cat $(SANITIZE)/logs/*; echo "sanitizer reports above"; exit 1; fi

# Every path of the seeded corpus against the digests recorded in bench/corpus.sha256.
corpus: build
	$(PY) bench/corpus.py

clean:
	rm -rf build $(VENV)
