# Everything runs inside a local virtual environment built from python3.13,
# so a fresh machine needs nothing but this Makefile.
SHELL := /bin/bash
VENV := .venv
PY := $(VENV)/bin/python
BUILD := build/dev
# Requirements are read from pyproject.toml so they are written down once.
REQS = $$($(PY) tools/requirements.py $(1))

.PHONY: all build test cpp-test py-test typecheck demo bench gtest clean

all: test

$(VENV)/.ready: pyproject.toml
	@[ -x $(PY) ] || { py=$$(tools/find_python.sh) && $$py -m venv $(VENV); }
	$(PY) -m pip install -q --upgrade pip
	$(PY) -m pip install -q $(call REQS,test)
	@touch $@

$(VENV)/.demo-ready: $(VENV)/.ready
	$(PY) -m pip install -q $(call REQS,demo)
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

# Builds the module (installed into the venv) and the C++ test runners in one tree.
build: $(VENV)/.ready gtest
	$(PY) -m pip install -q --no-build-isolation --no-deps \
	  -Cbuild-dir=$(BUILD) -Ccmake.define.BUILD_TESTING=ON -Ccmake.define.LUDOVEC_WERROR=ON .

cpp-test: build
	$(VENV)/bin/ctest --test-dir $(BUILD) --output-on-failure

py-test: build
	$(PY) -m pytest -q

# The stubs must match the compiled module, signature by signature.
typecheck: build
	cd build && MYPYPATH=../src ../$(PY) -m mypy.stubtest ludovec
	MYPYPATH=src $(PY) -m mypy --strict src/ludovec.pyi

test: cpp-test py-test typecheck

demo: build $(VENV)/.demo-ready
	$(PY) examples/demo.py

bench: build $(VENV)/.bench-ready
	$(PY) bench/run.py

clean:
	rm -rf build $(VENV)

# The worker pool, the batch engine and the explorations under ThreadSanitizer, in their own
# build tree; the first report fails the target.
TSAN_BUILD := build/tsan
TSAN_TESTS := WorkerPool*:ThreadGenerators*:Batch*:Exploration*:Scattered*:Concentric*:Neighborhood*

.PHONY: tsan
tsan: $(VENV)/.ready gtest
	PATH="$(CURDIR)/$(VENV)/bin:$$PATH" $(VENV)/bin/cmake -S . -B $(TSAN_BUILD) -G Ninja \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLUDOVEC_SANITIZE=thread -DBUILD_TESTING=ON -DLUDOVEC_WERROR=ON
	$(VENV)/bin/cmake --build $(TSAN_BUILD) --target experiments_tests -j2
	TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
	  $(TSAN_BUILD)/experiments_tests --gtest_filter='$(TSAN_TESTS)'
