# Entry points: `make demo` runs the main job, `make test` runs every test. Both install what they need.
# Everything runs in the Python environment of PY (made by scripts/setup.sh when missing), whose bin
# folder comes first on PATH for the build tools installed there (cmake, ninja).
PY ?= $(CURDIR)/.venv/bin/python
export PATH := $(abspath $(dir $(PY))):$(PATH)
BUILD ?= build/cpp
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?= -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPython_EXECUTABLE=$(shell command -v $(PY))
CONFIGURE = cmake -S . -B $(BUILD) $(CMAKE_FLAGS) -DORVIK_BUILD_TESTS=ON

.PHONY: setup build test test-cpp test-python install standin demo asan tsan fuzz bench

setup:
	PY=$(PY) bash scripts/setup.sh

build: setup
	$(CONFIGURE)
	cmake --build $(BUILD) -j $(JOBS)

install: setup
	$(PY) -m pip install -q --disable-pip-version-check --no-build-isolation --no-deps .

test-cpp: build
	bash scripts/check_includes.sh
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

# pytest exits 5 when it collects nothing; that is not a failure of the code under test.
test-python: build install
	ORVIK_BUILD_DIR=$(abspath $(BUILD)) $(PY) -m pytest -q tests/python; rc=$$?; \
	if [ $$rc -eq 5 ]; then echo "pytest: no tests collected"; rc=0; fi; exit $$rc

test: test-cpp test-python

# The stand-in trace SDK alone, built into tests/standin: with that folder on PYTHONPATH,
# `import orvik_sdk` gives the codec a trace SDK to emit into.
standin: setup
	$(CONFIGURE)
	cmake --build $(BUILD) -j $(JOBS) --target orvik_sdk_standin

# The demo runs the installed extension against the stand-in trace SDK.
demo: install standin
	PYTHONPATH=$(abspath tests/standin)$${PYTHONPATH:+:$$PYTHONPATH} $(PY) examples/demo.py

# Every C++ test, those embedding Python included, under AddressSanitizer + UBSan and under
# ThreadSanitizer, then the whole Python suite against the module and stand-in SDK of that build
# (scripts/sanitized_pytest.sh: the runtime preloaded into the interpreter, leaks checked at every
# interpreter's exit under ASan). The TSan build leaves out the benchmarks, which test nothing.
CPP_TEST_BINARIES = common_tests decode_tests sdk_tests runtime_tests sdk_py_tests python_glue_tests standin_tests
PYTHON_TEST_TARGETS = _native orvik_sdk_standin $(basename $(notdir $(wildcard tests/tools/*.cpp)))
asan: setup
	cmake -S . -B build/asan $(CMAKE_FLAGS) -DORVIK_BUILD_MODULE=ON -DORVIK_SANITIZE=address,undefined -DCMAKE_BUILD_TYPE=Debug
	cmake --build build/asan -j $(JOBS)
	ASAN_OPTIONS=detect_leaks=0 ctest --test-dir build/asan --output-on-failure -j $(JOBS)
	PY=$(PY) bash scripts/sanitized_pytest.sh address build/asan

tsan: setup
	cmake -S . -B build/tsan $(CMAKE_FLAGS) -DORVIK_BUILD_MODULE=ON -DORVIK_SANITIZE=thread
	cmake --build build/tsan -j $(JOBS) --target $(CPP_TEST_BINARIES) $(PYTHON_TEST_TARGETS)
	TSAN_OPTIONS=halt_on_error=1 ctest --test-dir build/tsan --output-on-failure -j $(JOBS)
	PY=$(PY) bash scripts/sanitized_pytest.sh thread build/tsan

# Each fuzzer runs for FUZZ_SECONDS under ASan/UBSan; crashing inputs are kept under fuzz/regressions.
FUZZ_SECONDS ?= 60
fuzz:
	PY=$(PY) bash scripts/setup.sh --fuzz
	CC=clang-19 CXX=clang++-19 cmake -S . -B build/fuzz $(CMAKE_FLAGS) -DORVIK_BUILD_MODULE=OFF -DORVIK_BUILD_TESTS=OFF -DORVIK_FUZZ=ON -DORVIK_SANITIZE=address,undefined
	cmake --build build/fuzz -j $(JOBS)
	bash scripts/run_fuzzers.sh build/fuzz $(FUZZ_SECONDS)

bench: build install standin
	for b in $(BUILD)/bench/bench_*; do $$b; done
	$(PY) bench/periodic_load.py
