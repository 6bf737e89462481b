# Thin wrapper over CMake presets: the everyday commands in one word each.
.PHONY: all build demo check check-asan bench install package clean

CMAKE ?= cmake
CTEST ?= ctest
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
PREFIX ?= /usr/local

all: build

build:
	$(CMAKE) --preset ci >/dev/null
	$(CMAKE) --build --preset ci -j $(JOBS)

# Builds the programs and runs them on the bundled examples.
demo: build
	@sh examples/demo.sh build/ci

# Builds with warnings as errors and runs every test.
check: build
	$(CTEST) --preset ci -j $(JOBS)

# The same tests under AddressSanitizer and UndefinedBehaviorSanitizer.
check-asan:
	$(CMAKE) --preset asan >/dev/null
	$(CMAKE) --build --preset asan -j $(JOBS)
	$(CTEST) --preset asan -j $(JOBS)

bench:
	sh bench/run.sh

install: build
	$(CMAKE) --install build/ci --prefix $(PREFIX)

# The Debian package, build/ci/quillworks_VERSION_ARCH.deb (needs dpkg-dev for its dependencies).
package: build
	$(CMAKE) --build --preset ci --target package

clean:
	rm -rf build
