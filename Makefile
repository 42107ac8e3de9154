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

# The 32-bit Windows build: DLLs and programs cross-built with MinGW-w64, the
# test suite run under Wine, and the zip for Windows users.
.PHONY: test-windows dist

test-windows:
	scripts/test-windows.sh

dist:
	scripts/dist.sh
