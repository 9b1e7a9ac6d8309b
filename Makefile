# Set-up and checks. Everything lands in a virtual environment beside the
# sources; system packages are installed with apt-get when missing.
#   make demo                 build, then train the digits classifier
#   make test                 build, then run the C++ core tests and pytest
#   make test PYTHON=python3.13   the same with another interpreter
#   make bench                benchmarks against NumPy and PyTorch
#   make typecheck            check the type stub and the examples with mypy
#   make fuzz                 a long fuzzing run of the whole Python surface
#   make test-asan            the core tests and pytest under ASan and UBSan

PYTHON ?= python3
PY_TAG := $(shell $(PYTHON) -c 'import sys; print("%d.%d" % sys.version_info[:2])' 2>/dev/null)
VENV ?= $(if $(filter python3,$(PYTHON)),.venv,.venv-$(PY_TAG))
VPY := $(VENV)/bin/python
BUILD_DIR := build/py$(PY_TAG)
CORE_BUILD_DIR := build/core-tests
ASAN_BUILD_DIR := build/asan

SYSTEM_PACKAGES := libopenblas-dev libgtest-dev pkg-config g++

.PHONY: all build demo test test-core test-py typecheck bench fuzz test-asan system-deps clean test-exhaustive

all: build

system-deps:
	@if ! pkg-config --exists openblas 2>/dev/null || ! [ -f /usr/include/gtest/gtest.h ] || ! command -v g++ >/dev/null; then \
		echo "Installing system packages: $(SYSTEM_PACKAGES)"; \
		apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $(SYSTEM_PACKAGES); \
	fi

$(VENV)/.deps: requirements-test.txt
	@test -n "$(PY_TAG)" || { echo "No interpreter named $(PYTHON)"; exit 1; }
	$(PYTHON) -m venv $(VENV)
	$(VPY) -m pip install -q --upgrade pip
	$(VPY) -m pip install -q -r requirements-test.txt
	touch $@

build: system-deps $(VENV)/.deps
	$(VPY) -m pip install -q --no-build-isolation -Cbuild-dir=$(BUILD_DIR) .

demo: build
	$(VPY) examples/train_digits.py

test-core: system-deps $(VENV)/.deps
	$(VENV)/bin/cmake -S . -B $(CORE_BUILD_DIR) -G Ninja -DCMAKE_MAKE_PROGRAM=$(CURDIR)/$(VENV)/bin/ninja \
		-DQUVARIN_BUILD_PYTHON=OFF -DQUVARIN_BUILD_TESTS=ON -DCMAKE_BUILD_TYPE=Release
	$(VENV)/bin/cmake --build $(CORE_BUILD_DIR)
	cd $(CORE_BUILD_DIR) && $(CURDIR)/$(VENV)/bin/ctest --output-on-failure

# A stub beside a single-module extension in site-packages is not picked up
# by mypy (no package to carry py.typed), so it reads the source copy.
# stubtest compares that stub with the built module's real signatures.
typecheck: build
	MYPYPATH=quvarin-py $(VPY) -m mypy.stubtest quvarin
	MYPYPATH=quvarin-py $(VPY) -m mypy --strict examples

test-py: build typecheck
	$(VPY) -m pytest -q tests

test: test-core test-py

# PyTorch's CPU wheel is the peer of the comparison where one exists for
# this interpreter; without it the benchmarks compare with NumPy alone.
bench: build
	@if [ "$(PY_TAG)" = "3.11" ]; then \
		$(VPY) -m pip install -q torch==2.13.0 || echo "PyTorch not installed: comparing with NumPy only"; \
	fi
	$(VPY) bench/run.py
	$(VPY) bench/autograd.py

# A long fuzzing run of the whole Python surface; the ordinary test run fuzzes each entry briefly.
# FUZZ_EXAMPLES is the number of examples per entry (about 70 entries, a few ms per example).
FUZZ_EXAMPLES ?= 2000

fuzz: build
	QUVARIN_FUZZ_EXAMPLES=$(FUZZ_EXAMPLES) $(VPY) -m pytest -q -p no:cacheprovider tests/test_fuzz.py

# The extension and the core tests built with AddressSanitizer and
# UndefinedBehaviorSanitizer; the interpreter itself is not instrumented, so
# the sanitizer runtimes are preloaded into it.
ASAN_SITE := build/asan-site-$(PY_TAG)
SANITIZER_PRELOAD = $(shell g++ -print-file-name=libasan.so) $(shell g++ -print-file-name=libubsan.so)
SANITIZER_ENV = ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1 \
	UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 QUVARIN_SANITIZED=1

# pytest captures only Python-level output (--capture=sys), so that a sanitizer
# report written to file descriptor 2 reaches the terminal even when it aborts
# the run.
test-asan: system-deps $(VENV)/.deps
	$(VENV)/bin/cmake -S . -B $(ASAN_BUILD_DIR)-core -G Ninja -DCMAKE_MAKE_PROGRAM=$(CURDIR)/$(VENV)/bin/ninja \
		-DQUVARIN_BUILD_PYTHON=OFF -DQUVARIN_BUILD_TESTS=ON -DQUVARIN_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo
	$(VENV)/bin/cmake --build $(ASAN_BUILD_DIR)-core
	cd $(ASAN_BUILD_DIR)-core && $(SANITIZER_ENV) $(CURDIR)/$(VENV)/bin/ctest --output-on-failure
	$(VPY) -m pip install -q --no-build-isolation --no-deps --upgrade --target $(ASAN_SITE) \
		-Cbuild-dir=$(ASAN_BUILD_DIR)-py$(PY_TAG) -Ccmake.build-type=RelWithDebInfo \
		-Ccmake.define.QUVARIN_SANITIZE=ON .
	$(SANITIZER_ENV) LD_PRELOAD="$(SANITIZER_PRELOAD)" PYTHONPATH=$(CURDIR)/$(ASAN_SITE) \
		$(VPY) -m pytest -q -p no:cacheprovider --capture=sys tests

clean:
	rm -rf build .venv .venv-* dist *.egg-info

# sigmoid's vector expf against the C library's expf on all 2^32 float inputs,
# bit for bit. The second run has glibc ignore FMA, so that it picks its
# unfused expf and the lanes that reproduce that build are compared too.
test-exhaustive: system-deps $(VENV)/.deps
	$(VENV)/bin/cmake -S . -B $(CORE_BUILD_DIR) -G Ninja -DCMAKE_MAKE_PROGRAM=$(CURDIR)/$(VENV)/bin/ninja \
		-DQUVARIN_BUILD_PYTHON=OFF -DQUVARIN_BUILD_TESTS=ON -DCMAKE_BUILD_TYPE=Release
	$(VENV)/bin/cmake --build $(CORE_BUILD_DIR) --target quvarin_expf_exhaustive
	$(CORE_BUILD_DIR)/quvarin-core/tests/quvarin_expf_exhaustive
	GLIBC_TUNABLES=glibc.cpu.hwcaps=-FMA $(CORE_BUILD_DIR)/quvarin-core/tests/quvarin_expf_exhaustive
