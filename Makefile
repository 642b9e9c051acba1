# Everything runs inside a local virtual environment built from python3.13,
# so a fresh machine needs nothing but this Makefile.
SHELL := /bin/bash
VENV := .venv
PY := $(VENV)/bin/python
BUILD := build/dev
# Requirements are read from pyproject.toml so they are written down once.
REQS = $$($(PY) tools/requirements.py $(1))

.PHONY: all build module test test-fast cpp-test py-test typecheck lint demo bench budgets gtest valgrind \
  lab-install

all: test

$(VENV)/.ready: pyproject.toml
	@[ -x $(PY) ] || { py=$$(tools/find_python.sh) && $$py -m venv $(VENV); }
	$(PY) -m pip install -q --upgrade pip
	$(PY) -m pip install -q $(call REQS,test)
	@touch $@

$(VENV)/.demo-ready: $(VENV)/.ready
	$(PY) -m pip install -q $(call REQS,demo)
	@touch $@

# The study layer's dependencies (the `lab` extra) and what its tests drive (a notebook kernel).
$(VENV)/.lab-ready: $(VENV)/.ready
	$(PY) -m pip install -q $(call REQS,lab lab-test)
	@touch $@

$(VENV)/.bench-ready: $(VENV)/.ready
	$(PY) -m pip install -q $(call REQS,bench)
	@touch $@

# GoogleTest comes from Debian's libgtest-dev.
gtest:
	@if [ ! -f /usr/include/gtest/gtest.h ]; then \
	  sudo=$$([ "$$(id -u)" = 0 ] || echo sudo); \
	  $$sudo apt-get update -qq && DEBIAN_FRONTEND=noninteractive $$sudo apt-get install -y -qq libgtest-dev; \
	fi

# callgrind, for the instruction budgets, comes from Debian's valgrind.
valgrind:
	@if ! command -v valgrind >/dev/null; then \
	  sudo=$$([ "$$(id -u)" = 0 ] || echo sudo); \
	  $$sudo apt-get update -qq && DEBIAN_FRONTEND=noninteractive $$sudo apt-get install -y -qq valgrind; \
	fi

# Builds the module (installed into the venv) and the C++ test runners in one tree.
build: $(VENV)/.ready gtest
	$(PY) -m pip install -q --no-build-isolation --no-deps \
	  -Cbuild-dir=$(BUILD) -Ccmake.define.BUILD_TESTING=ON -Ccmake.define.LUDOVEC_WERROR=ON .

# The study layer alone: the module with the package beside it, and the lab's dependencies.
lab-install: module $(VENV)/.lab-ready

cpp-test: build
	$(VENV)/bin/ctest --test-dir $(BUILD) --output-on-failure

py-test: build $(VENV)/.lab-ready
	$(PY) -m pytest -q

# The Python suite without the tests marked slow (real clusters, notebooks, processes killed):
# the quick check while editing. `make test` runs them all.
test-fast: build $(VENV)/.lab-ready
	$(PY) -m pytest -q -m "not slow"

# Linters, on every file they cover; all of them run, and any complaint fails the target.
# The study layer is type-checked against the stubs in this tree (copied where mypy finds them
# before any installed copy), so no build is needed; the lab's dependencies are installed so
# that their own types are used.
LINT_PY := lab tests bench tools $(wildcard examples/*.py)
LINT_CXX = $$(git ls-files '*.cpp' '*.hpp' 2>/dev/null || find src tests bench -name '*.[ch]pp')
LINT_STUBS := build/lint-stubs

lint: $(VENV)/.lab-ready
	@mkdir -p $(LINT_STUBS) && cp src/ludovec-stubs/__init__.pyi $(LINT_STUBS)/ludovec.pyi
	@status=0; \
	$(VENV)/bin/ruff check $(LINT_PY) || status=1; \
	$(VENV)/bin/ruff format --check $(LINT_PY) || status=1; \
	$(VENV)/bin/clang-format --dry-run --Werror $(LINT_CXX) || status=1; \
	MYPYPATH=$(LINT_STUBS) $(PY) -m mypy --strict lab/ludovec_lab || status=1; \
	if [ $$status = 0 ]; then echo "lint: clean"; fi; exit $$status

# The stubs must match the compiled module, signature by signature. Both are found where pip
# installed them (the stub-only package ludovec-stubs), as in a user's environment.
typecheck: build
	$(PY) -m mypy.stubtest ludovec
	$(PY) -m mypy --strict -p ludovec

test: lint cpp-test py-test typecheck

# The module alone, as a user's `pip install .` builds it: no C++ tests, no GoogleTest.
module: $(VENV)/.ready
	$(PY) -m pip install -q --no-build-isolation --no-deps -Cbuild-dir=build/module .

demo: module $(VENV)/.demo-ready $(VENV)/.lab-ready
	$(PY) examples/demo.py

# A forced OpenBLAS core type slows a current NumPy: unset here only (the report names the kernel).
bench: build $(VENV)/.bench-ready
	env -u OPENBLAS_CORETYPE -u OPENBLAS_L2_SIZE $(PY) bench/run.py
	env -u OPENBLAS_CORETYPE -u OPENBLAS_L2_SIZE $(PY) bench/native/mid_sizes.py
	$(MAKE) --no-print-directory engine-bench

# Instructions per step of single runs, then per run-step of explorations, counted by callgrind
# (needs valgrind); a count over its budget fails the target. The module in the build tree keeps
# its symbols; the installed copy is stripped.
budgets: build valgrind
	PYTHONPATH=$(BUILD) $(PY) bench/callgrind_budget.py
	PYTHONPATH=$(BUILD) $(PY) bench/callgrind_budget.py --explorations

clean:
	rm -rf build $(VENV)

# The worker pool, the batch engine and the explorations under ThreadSanitizer, in their own
# build tree; the first report fails the target.
TSAN_BUILD := build/tsan
TSAN_TESTS := WorkerPool*:ThreadGenerators*:Batch*:GameBatch*:Exploration*:Lanes*:Scattered*:Concentric*:Neighborhood*

.PHONY: tsan
tsan: $(VENV)/.ready gtest
	PATH="$(CURDIR)/$(VENV)/bin:$$PATH" $(VENV)/bin/cmake -S . -B $(TSAN_BUILD) -G Ninja \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLUDOVEC_SANITIZE=thread -DBUILD_TESTING=ON -DLUDOVEC_WERROR=ON
	$(VENV)/bin/cmake --build $(TSAN_BUILD) --target runtime_tests explore_tests -j2
	for runner in runtime_tests explore_tests; do \
	  TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
	    $(TSAN_BUILD)/$$runner --gtest_filter='$(TSAN_TESTS)' || exit 1; \
	done

# The native core and the module under AddressSanitizer and UndefinedBehaviorSanitizer, in their
# own build tree: every C++ test, then the whole Python suite (and the tests of the lab's native
# entry, its sanitized build placed in a copy of the package) with the sanitizer runtime preloaded
# into the interpreter (and so into every interpreter the tests start). Address reports also go to
# files under the build tree, so that one from a child process fails the target whatever its test
# made of the child's exit; an undefined-behaviour report stops its process (no recovery).
# The interpreter's own allocations are never freed at exit, so leak detection is on for the C++
# tests only; allocator_may_return_null makes a failed malloc return NULL, which NumPy reports as
# MemoryError (the module itself refuses requests beyond the machine's memory before making them,
# since a failed operator new aborts under the sanitizer whatever the option says).
ASAN_BUILD := build/asan
ASAN_REPORTS := $(ASAN_BUILD)/reports
# The study package with the sanitized native entry inside it, for the entry's own tests.
ASAN_LAB := $(ASAN_BUILD)/lab
SANITIZER_OPTIONS := halt_on_error=1:abort_on_error=1:print_stacktrace=1:log_path=$(CURDIR)/$(ASAN_REPORTS)/report
ASAN_CPP_OPTIONS := $(SANITIZER_OPTIONS):detect_leaks=1:strict_string_checks=1:detect_stack_use_after_return=1
ASAN_PY_OPTIONS := $(SANITIZER_OPTIONS):detect_leaks=0:allocator_may_return_null=1

# Tests that start their own interpreter (the README blocks, the stub checks) import the
# installed package and stubs: they are installed from the full build tree when one exists (as
# after `make test`, so that nothing is compiled twice), from the module's own tree otherwise.
SANITIZE_INSTALL := $(if $(wildcard $(BUILD)/CMakeCache.txt),build,module)

.PHONY: sanitize
sanitize: $(SANITIZE_INSTALL) $(VENV)/.lab-ready gtest
	PATH="$(CURDIR)/$(VENV)/bin:$$PATH" $(VENV)/bin/cmake -S . -B $(ASAN_BUILD) -G Ninja \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLUDOVEC_SANITIZE=address,undefined \
	  -DCMAKE_CXX_FLAGS=-fno-sanitize-recover=undefined -DLUDOVEC_BUILD_MODULE=ON \
	  -DBUILD_TESTING=ON -DLUDOVEC_WERROR=ON -DPython_EXECUTABLE=$(CURDIR)/$(PY)
	$(VENV)/bin/cmake --build $(ASAN_BUILD) -j2
	rm -rf $(ASAN_REPORTS) && mkdir -p $(ASAN_REPORTS)
	@status=0; \
	ASAN_OPTIONS=$(ASAN_CPP_OPTIONS) UBSAN_OPTIONS=$(SANITIZER_OPTIONS) \
	  $(VENV)/bin/ctest --test-dir $(ASAN_BUILD) --output-on-failure || status=1; \
	LD_PRELOAD="$$(gcc -print-file-name=libasan.so) $$(gcc -print-file-name=libstdc++.so)" \
	  ASAN_OPTIONS=$(ASAN_PY_OPTIONS) UBSAN_OPTIONS=$(SANITIZER_OPTIONS) \
	  PYTHONPATH=$(ASAN_BUILD) $(PY) -m pytest -q -p no:cacheprovider tests/python || status=1; \
	rm -rf $(ASAN_LAB) && mkdir -p $(ASAN_LAB) && cp -r lab/ludovec_lab $(ASAN_LAB)/ && \
	  rm -f $(ASAN_LAB)/ludovec_lab/_engine*.so && cp $(ASAN_BUILD)/_engine*.so $(ASAN_LAB)/ludovec_lab/; \
	LD_PRELOAD="$$(gcc -print-file-name=libasan.so) $$(gcc -print-file-name=libstdc++.so)" \
	  ASAN_OPTIONS=$(ASAN_PY_OPTIONS) UBSAN_OPTIONS=$(SANITIZER_OPTIONS) \
	  PYTHONPATH=$(ASAN_LAB):$(ASAN_BUILD) $(PY) -m pytest -q -p no:cacheprovider \
	  tests/lab/test_engine.py || status=1; \
	if [ -n "$$(ls -A $(ASAN_REPORTS))" ]; then cat $(ASAN_REPORTS)/*; status=1; fi; \
	if [ $$status = 0 ]; then echo "sanitize: no reports"; fi; exit $$status

# The property tests with LUDOVEC_FUZZ times as many examples as the bounded, derandomised run
# inside `make test`, freshly random each time.
LUDOVEC_FUZZ ?= 40

.PHONY: fuzz
fuzz: build
	LUDOVEC_FUZZ=$(LUDOVEC_FUZZ) $(PY) -m pytest -q -p no:cacheprovider \
	  --hypothesis-show-statistics tests/python/test_fuzz.py

# Wall-clock figures of the batch engine, printed, never asserted: a 2 x 2 batch on pools of one
# and two workers, its overhead against a plain loop, and lanes against single runs.
BENCH_BUILD := build/bench

# A native program in its own build tree: $(call native_program,TREE,OPTION,TARGET) configures
# TREE with OPTION on, builds TARGET and runs it.
define native_program
	PATH="$(CURDIR)/$(VENV)/bin:$$PATH" $(VENV)/bin/cmake -S . -B $(1) -G Ninja -D$(2)=ON -DLUDOVEC_WERROR=ON
	$(VENV)/bin/cmake --build $(1) --target $(3) -j2
	$(1)/$(3)
endef

.PHONY: engine-bench
engine-bench: $(VENV)/.ready
	$(call native_program,$(BENCH_BUILD),LUDOVEC_BUILD_BENCH,engine_bench)

# Release files in dist/: an sdist, and a wheel built from it and repaired by auditwheel to a
# manylinux tag (what `auditwheel show` says goes to the log).
DIST := dist

$(VENV)/.dist-ready: $(VENV)/.ready
	$(PY) -m pip install -q --group dist
	@touch $@

.PHONY: dist dist-check
dist: $(VENV)/.dist-ready
	rm -rf $(DIST) && mkdir -p $(DIST)/unrepaired
	$(PY) -m build --outdir $(DIST)/unrepaired .
	mv $(DIST)/unrepaired/*.tar.gz $(DIST)/
	PATH="$(CURDIR)/$(VENV)/bin:$$PATH" $(VENV)/bin/auditwheel repair --wheel-dir $(DIST) $(DIST)/unrepaired/*.whl
	$(VENV)/bin/auditwheel show $(DIST)/*.whl
	rm -rf $(DIST)/unrepaired

# The wheel in a fresh venv with binary-only installs and no compiler on PATH, the sdist built
# in another; the Python suite against each.
dist-check: dist
	tools/dist_check.sh $(DIST)

# The vector exp compared bit for bit with the C library's exp on over 10^9 arguments, in its
# own build tree; minutes of work, so not part of `make test`.
PROOF_BUILD := build/proof

.PHONY: exp-proof
exp-proof: $(VENV)/.ready
	$(call native_program,$(PROOF_BUILD),LUDOVEC_BUILD_PROOF,exp_proof)
