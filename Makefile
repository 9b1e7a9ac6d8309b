# Set-up and checks. Everything lands in a virtual environment beside the
# sources; system packages are installed with apt-get when missing.
#   make demo                 build, then train the digits classifier
#   make test                 build, then run the C++ core tests and pytest
#   make test PYTHON=python3.13   the same with another interpreter
#   make bench                benchmarks against NumPy and PyTorch

PYTHON ?= python3
PY_TAG := $(shell $(PYTHON) -c 'import sys; print("%d.%d" % sys.version_info[:2])' 2>/dev/null)
VENV ?= $(if $(filter python3,$(PYTHON)),.venv,.venv-$(PY_TAG))
VPY := $(VENV)/bin/python
BUILD_DIR := build/py$(PY_TAG)
CORE_BUILD_DIR := build/core-tests
ASAN_BUILD_DIR := build/asan

SYSTEM_PACKAGES := libopenblas-dev libgtest-dev pkg-config g++

.PHONY: all build demo test test-core test-py bench fuzz test-asan system-deps clean

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
	$(VPY) examples/quickstart.py

test-core: system-deps $(VENV)/.deps
	$(VENV)/bin/cmake -S . -B $(CORE_BUILD_DIR) -G Ninja -DCMAKE_MAKE_PROGRAM=$(CURDIR)/$(VENV)/bin/ninja \
		-DQUVARIN_BUILD_PYTHON=OFF -DQUVARIN_BUILD_TESTS=ON -DCMAKE_BUILD_TYPE=Release
	$(VENV)/bin/cmake --build $(CORE_BUILD_DIR)
	cd $(CORE_BUILD_DIR) && $(CURDIR)/$(VENV)/bin/ctest --output-on-failure

test-py: build
	$(VPY) -m pytest -q tests

test: test-core test-py

bench: build
	$(VPY) bench/run.py

clean:
	rm -rf build .venv .venv-* dist *.egg-info
