# The two commands a user needs: `make demo` and `make test`.
PRESET ?= default
BUILD_DIR := build/$(PRESET)

.PHONY: all deps build test demo format clean

all: build

deps:
	@scripts/bootstrap.sh

build: deps
	cmake --preset $(PRESET)
	cmake --build --preset $(PRESET)

test: build
	ctest --preset $(PRESET)

demo: build
	$(BUILD_DIR)/tools/ulohost/ulohost demo

format:
	git ls-files '*.cpp' '*.h' | xargs clang-format -i

clean:
	rm -rf build

# Installing: the programs, libraries, headers, manual pages, example config
# and systemd unit under PREFIX (DESTDIR=... stages them). The Debian
# package of the same files (build/package/packages/ulopr1_VERSION_ARCH.deb),
# and its check: contents, unit, install, a run, purge.
.PHONY: install package test-package
PREFIX ?= /usr/local

install: build
	cmake --install $(BUILD_DIR) --prefix $(PREFIX)

package: deps
	cmake --preset package
	cmake --build --preset package
	cpack --preset package

test-package: package
	scripts/test-package.sh build/package/packages

# The 32-bit Windows build: DLLs and programs cross-built with MinGW-w64, the
# test suite run under Wine, and the zip for Windows users.
.PHONY: test-windows dist

test-windows:
	scripts/test-windows.sh

dist:
	scripts/dist.sh

# Reliability: the whole test suite under the sanitizers (clang), every fuzz
# target for FUZZ_SECONDS, and the soak of 64 instances for SOAK_SECONDS.
.PHONY: test-asan test-tsan fuzz soak
FUZZ_SECONDS ?= 300
SOAK_SECONDS ?= 600

test-asan test-tsan: test-%: deps
	cmake --preset $*
	cmake --build --preset $*
	ctest --preset $*

fuzz: deps
	cmake --preset fuzz
	cmake --build --preset fuzz --target fuzzers
	fuzz/run.sh build/fuzz $(FUZZ_SECONDS)

soak: build
	$(BUILD_DIR)/tests/soak/ulo_soak --seconds $(SOAK_SECONDS)

# Benchmarks: an optimised build, then bench/run.py measures delivery,
# latency, idle cost, scale, writes and allocations and writes the tables
# and plots (see docs/BENCHMARKS.md). Timing: not part of `make test`; run it
# on a quiet machine. BENCH_ARGS passes options on, e.g. BENCH_ARGS=--quick.
.PHONY: bench

bench:
	@scripts/bootstrap.sh python3-serial python3-matplotlib
	cmake --preset release
	cmake --build --preset release
	/usr/bin/python3 bench/run.py --build build/release $(BENCH_ARGS)
