# Builds, tests and runs lodestack.
#
#   make              build the extension (build/release) and run the main job
#   make test         build everything and run the C++ and the Python tests
#   make test-asan    the same tests under AddressSanitizer and UBSan (build/asan)
#   make test-tsan    the C++ tests, and the threaded Python tests, under TSan (build/tsan)
#   make stress       every Python test with larger counts, slow cases included
#   make fuzz         build the fuzzers and run each for a bounded time (FUZZ_SECONDS)
#   make bench        build and run every benchmark under bench/
#   make wheel-check  build a wheel, install it into a fresh venv and import it
#   make shell        a shell inside the build root
#   make clean        remove every build tree
#
# The project needs CPython 3.14. When the host has none, every target runs inside a Debian
# sid root made by dev/root (see README.md), which carries 3.14 and the whole toolchain; the
# same Makefile then runs there directly. PYTHON=/path/to/python3.14 uses that interpreter
# on the host instead, with the host's compilers and libraries.

SHELL := /bin/bash
.SHELLFLAGS := -euo pipefail -c
.DEFAULT_GOAL := all
.DELETE_ON_ERROR:

JOBS ?= 2
FUZZ_SECONDS ?= 60
PYTEST_ARGS ?=
# A C++ test that hangs fails after this many seconds instead of holding the run.
CTEST_TIMEOUT ?= 300
# Which Python tests run under TSan: the ones that share a sorter between threads.
TSAN_PYTEST_ARGS ?= -k "thread or concurren"
# The longest any one stress test may run before it fails as hung.
STRESS_TIMEOUT ?= 900

BUILD := build/release
ASAN_BUILD := build/asan
TSAN_BUILD := build/tsan

targets := all build test test-cpp test-python test-asan test-tsan stress fuzz bench wheel-check \
           shell main-job

ifeq ($(origin PYTHON),undefined)
  PYTHON := python3
  direct := $(shell python3 -c 'import sys; print(int(sys.version_info >= (3, 14)))' 2>/dev/null)
else
  direct := $(shell $(PYTHON) -c 'import sys; print(int(sys.version_info >= (3, 14)))' 2>/dev/null)
  ifneq ($(direct),1)
    $(error PYTHON=$(PYTHON) is not a CPython 3.14 or later)
  endif
endif

.PHONY: $(targets) clean

ifneq ($(direct),1)

# No CPython 3.14 here: run the same target inside the root. Its environment is bare, so the
# variables a caller may set are handed on as make arguments.
forward := JOBS FUZZ_SECONDS PYTEST_ARGS TSAN_PYTEST_ARGS CTEST_TIMEOUT STRESS_TIMEOUT
given = $(filter command line environment,$(origin $(1)))
forwarded = $(foreach v,$(forward),$(if $(call given,$(v)),$(v)='$($(v))'))

$(filter-out shell,$(targets)):
	dev/root run "$(strip make $@ $(forwarded))"

shell:
	dev/root run bash

else

python := $(shell command -v $(PYTHON))

# Configures a build tree once, and again only when its options change (Ninja re-runs CMake
# by itself when a CMakeLists.txt or a globbed directory changes).
#   $(1) build dir, $(2) build type, $(3) more CMake arguments
define configure
args="-S . -B $(1) -G Ninja -DCMAKE_BUILD_TYPE=$(2) -DLODESTACK_DEV=ON \
      -DPython_EXECUTABLE=$(python) $(3)"; \
if [ ! -f $(1)/build.ninja ] || [ "$$(cat $(1)/.lodestack-args 2>/dev/null)" != "$$args" ]; then \
  cmake $$args && echo "$$args" > $(1)/.lodestack-args; \
fi
endef

# The checkout's own lodestack/ has no compiled module, so the current directory must not
# come before the staged package on sys.path: PYTHONSAFEPATH keeps it off, for pytest and
# for any interpreter a test starts. pytest exits with 5 when it collects nothing; that is a
# failure here, as any other exit.
pytest = PYTHONSAFEPATH=1 $(PYTHON) -m pytest -p no:cacheprovider

all: build main-job

build:
	@$(call configure,$(BUILD),Release)
	cmake --build $(BUILD) -j $(JOBS) --target _lodestack _keys _text stage_package

main-job: build
	PYTHONSAFEPATH=1 PYTHONPATH=$(CURDIR)/$(BUILD)/pkg $(PYTHON) dev/main_job.py

test: test-cpp test-python

# Everything the dev build makes: the core tests, the free-threaded compile check of the
# binding, test-only modules and libraries, and the benchmarks (so they keep compiling).
test-cpp:
	@$(call configure,$(BUILD),Release)
	cmake --build $(BUILD) -j $(JOBS)
	ctest --test-dir $(BUILD) --output-on-failure --no-tests=error --timeout $(CTEST_TIMEOUT) -j $(JOBS)

test-python: test-cpp
	PYTHONPATH=$(CURDIR)/$(BUILD)/pkg $(pytest) $(PYTEST_ARGS)

# The sanitizers' runtimes come from the compiler that built the tree; Python itself is not
# instrumented, so the runtime is preloaded into it. Python's leaks at exit are its own.
sanitizer_runtime = $$(ldd $(1)/core_tests | awk '/lib$(2)\.so/ { print $$3 }')

test-asan:
	@$(call configure,$(ASAN_BUILD),RelWithDebInfo,-DLODESTACK_SANITIZE=address)
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	ASAN_OPTIONS=detect_leaks=1:strict_string_checks=1:check_initialization_order=1 \
	UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --test-dir $(ASAN_BUILD) --output-on-failure --no-tests=error --timeout $(CTEST_TIMEOUT) -j $(JOBS)
	runtime=$(call sanitizer_runtime,$(ASAN_BUILD),asan); \
	[ -n "$$runtime" ] || { echo "no shared ASan runtime linked into core_tests" >&2; exit 1; }; \
	LD_PRELOAD=$$runtime PYTHONMALLOC=malloc ASAN_OPTIONS=detect_leaks=0 \
	UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 PYTHONPATH=$(CURDIR)/$(ASAN_BUILD)/pkg \
	  $(pytest) $(PYTEST_ARGS)

# TSan runs the C++ tests always; the Python tests only when this runtime can be preloaded
# into the interpreter (some kernels' memory layouts refuse it), which a bare interpreter
# start tries first.
test-tsan:
	@$(call configure,$(TSAN_BUILD),RelWithDebInfo,-DLODESTACK_SANITIZE=thread)
	cmake --build $(TSAN_BUILD) -j $(JOBS)
	TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
	  ctest --test-dir $(TSAN_BUILD) --output-on-failure --no-tests=error --timeout $(CTEST_TIMEOUT) -j $(JOBS)
	runtime=$(call sanitizer_runtime,$(TSAN_BUILD),tsan); \
	[ -n "$$runtime" ] || { echo "no shared TSan runtime linked into core_tests" >&2; exit 1; }; \
	export PYTHONPATH=$(CURDIR)/$(TSAN_BUILD)/pkg TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1; \
	if ! LD_PRELOAD=$$runtime $(PYTHON) -c pass >/dev/null 2>&1; then \
	  echo "TSan's runtime cannot be preloaded into $(PYTHON) here: Python tests skipped"; \
	else \
	  LD_PRELOAD=$$runtime $(pytest) $(TSAN_PYTEST_ARGS) $(PYTEST_ARGS); \
	fi

# `make test` runs the quick cases; LODESTACK_STRESS adds the slow ones and raises the
# counts of the random and property tests. Each test is still bounded by STRESS_TIMEOUT.
stress:
	@$(call configure,$(BUILD),Release)
	cmake --build $(BUILD) -j $(JOBS) --target _lodestack _keys _text stage_package lodestack_test_shim
	LODESTACK_STRESS=1 LODESTACK_STRESS_TIMEOUT=$(STRESS_TIMEOUT) PYTHONPATH=$(CURDIR)/$(BUILD)/pkg \
	  $(pytest) $(PYTEST_ARGS)

# Each fuzzer runs for FUZZ_SECONDS from its corpus fuzz/corpus/NAME (kept between runs, ignored
# by git), with no seeds: the run reader target writes its own runs. Crashes: fuzz/crash-NAME-*.
fuzzers = $(basename $(notdir $(wildcard fuzz/*_fuzz.cc)))
fuzz:
	cmake -S . -B build/fuzz -G Ninja -DLODESTACK_FUZZ=ON -DCMAKE_CXX_COMPILER=clang++ >/dev/null
	cmake --build build/fuzz -j $(JOBS) --target $(fuzzers)
	@status=0; for f in $(fuzzers); do \
	  echo "fuzz: $$f for $(FUZZ_SECONDS)s"; mkdir -p fuzz/corpus/$$f; \
	  if build/fuzz/$$f fuzz/corpus/$$f -max_total_time=$(FUZZ_SECONDS) -timeout=10 \
	      -malloc_limit_mb=256 -print_final_stats=1 -artifact_prefix=fuzz/crash-$$f- \
	      >build/fuzz/$$f.log 2>&1; then \
	    grep -E '^(Done|stat::average_exec_per_sec|stat::peak_rss_mb)' build/fuzz/$$f.log; \
	  else tail -n 40 build/fuzz/$$f.log; echo "fuzz: $$f FAILED (build/fuzz/$$f.log)"; status=1; fi; \
	done; exit $$status

bench:
	@$(call configure,$(BUILD),Release)
	cmake --build $(BUILD) -j $(JOBS)
	BUILD=$(BUILD) PYTHON=$(PYTHON) bash bench/run_all.sh

wheel-check:
	PYTHON=$(PYTHON) bash dev/wheel_check.sh

shell:
	bash

endif

clean:
	rm -rf build dist
