# make test   builds both architectures and runs the tests under Wine
# make demo   shows the collector capturing from a simulated POS terminal
# make package  builds build/dist/POSCollector-VERSION.msi and .zip
# make bench  runs the capture benchmark
# make screenshot  copies the last demo's screenshot to docs/screenshot.png (README's picture)
BUILD ?= build
JOBS ?= $(shell nproc)

.PHONY: all deps build test package demo screenshot bench clean

all: build

deps:
	@scripts/install-deps.sh

$(BUILD)/i686/CMakeCache.txt:
	cmake -S . -B $(BUILD)/i686 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake -DCMAKE_BUILD_TYPE=Release

$(BUILD)/x86_64/CMakeCache.txt:
	cmake -S . -B $(BUILD)/x86_64 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64.cmake -DCMAKE_BUILD_TYPE=Release

build: deps $(BUILD)/i686/CMakeCache.txt $(BUILD)/x86_64/CMakeCache.txt
	cmake --build $(BUILD)/i686 -j $(JOBS)
	cmake --build $(BUILD)/x86_64 -j $(JOBS)

# The package test (ctest's package_tests) installs the package that make package builds.
test: build package
	scripts/run-tests.sh $(BUILD)

package: deps $(BUILD)/i686/CMakeCache.txt
	cmake --build $(BUILD)/i686 -j $(JOBS)
	scripts/package.sh $(BUILD)

demo: build
	scripts/demo.sh $(BUILD)

screenshot:
	@test -f $(BUILD)/screenshot.png || { echo "screenshot: no $(BUILD)/screenshot.png: run make demo first" >&2; exit 1; }
	cp $(BUILD)/screenshot.png docs/screenshot.png

bench: build
	scripts/bench.sh $(BUILD)

clean:
	rm -rf $(BUILD)
