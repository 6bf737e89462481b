# SPDX-License-Identifier: MIT
# Thin wrapper over CMake presets: the everyday commands in one word each.
.PHONY: all build build-ci demo check check-asan check-32 memcheck fuzz bench install uninstall \
  package clean

CMAKE ?= cmake
CTEST ?= ctest
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
PREFIX ?= /usr/local
FUZZ_SECONDS ?= 60
# CMake's makefiles run make again in the build folder: no "Entering/Leaving directory" lines.
MAKEFLAGS += --no-print-directory
# The build folder of `make install` (a test points it into a folder of its own).
INSTALL_BUILD ?= build/install

# Each target first checks what it needs: quickstart holds the list of Debian packages (and
# locales) per target, names what is missing with the command that installs it, and stops
# make with status 2.
NEEDS = @sh ./quickstart --check

all: build

# The programs, manual pages and catalogues, optimised, without the tests (build/release).
# Warnings are shown but do not stop it: a newer compiler may warn about correct code.
build:
	$(NEEDS) build
	$(CMAKE) --preset release >/dev/null
	$(CMAKE) --build --preset release -j $(JOBS)

# Builds the programs and runs them on the bundled examples. Of the build's own output, a line
# per source file as its compiling starts shows the progress; the rest is shown only when it
# fails.
demo:
	$(NEEDS) demo
	@echo "building the programs in build/release (a minute or so the first time) ..."
	@$(CMAKE) --preset release >/dev/null
	@rm -f build/release/build.failed
	@{ $(CMAKE) --build --preset release -j $(JOBS) 2>&1 || touch build/release/build.failed; } | \
	  tee build/release/build.log | \
	  sed -n 's|^\(\[ *[0-9]*%\]\) Building CXX object \(.*\)/CMakeFiles/[^/]*\.dir/\(.*\)\.o$$|  \1 \2/\3|p'
	@if [ -e build/release/build.failed ]; then tail -n 40 build/release/build.log; exit 1; fi
	@sh examples/demo.sh build/release

# Everything, tests included, with warnings as errors (build/ci).
define build_ci
$(CMAKE) --preset ci >/dev/null
$(CMAKE) --build --preset ci -j $(JOBS)
endef
build-ci:
	$(NEEDS) build-ci
	$(build_ci)

# Builds everything with warnings as errors and runs every test; lists skipped tests with their
# reasons.
check:
	$(NEEDS) check
	$(build_ci)
	sh tests/run_ctest.sh $(CTEST) --preset ci -j $(JOBS)

# The same tests under AddressSanitizer and UndefinedBehaviorSanitizer.
check-asan:
	$(NEEDS) check-asan
	$(CMAKE) --preset asan >/dev/null
	$(CMAKE) --build --preset asan -j $(JOBS)
	sh tests/run_ctest.sh $(CTEST) --preset asan -j $(JOBS)

# The same tests with every program and test built as 32-bit x86 code (g++-multilib).
check-32:
	$(NEEDS) check-32
	$(CMAKE) --preset ci32 >/dev/null
	$(CMAKE) --build --preset ci32 -j $(JOBS)
	sh tests/run_ctest.sh $(CTEST) --preset ci32 -j $(JOBS)

# The end-to-end tests with every program run under valgrind's memcheck.
memcheck:
	$(NEEDS) memcheck
	$(build_ci)
	sh tests/memcheck.sh build/ci/tests/e2e_tests build/ci/tests/e2e_fault_tests build/ci/tests/locale_tests

# Runs each libFuzzer target of the engines for FUZZ_SECONDS (clang 14).
fuzz:
	$(NEEDS) fuzz
	$(CMAKE) --preset fuzz -DFUZZ_SECONDS=$(FUZZ_SECONDS) >/dev/null
	$(CMAKE) --build --preset fuzz -j $(JOBS)
	$(CTEST) --preset fuzz -j $(JOBS)

# Benchmarks beside references measured in the same run, then the instructions per byte of
# each build, counted under qemu-user (bash scripts; data under mktemp -d).
bench:
	$(NEEDS) bench
	bash bench/run.sh

# Builds the programs for PREFIX in build/install (no tests, no benchmarks) and installs them
# stripped; runnel then looks for its catalogues under PREFIX. cmake/install.sh also notes in
# build/install the folders the install makes, for make uninstall.
install:
	$(NEEDS) install
	$(CMAKE) -S . -B "$(INSTALL_BUILD)" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=OFF \
	  -DQUILLWORKS_BENCH=OFF -DCMAKE_INSTALL_PREFIX="$(PREFIX)" >/dev/null
	$(CMAKE) --build "$(INSTALL_BUILD)" -j $(JOBS)
	sh cmake/install.sh "$(CMAKE)" "$(INSTALL_BUILD)" "$(PREFIX)"

# Removes what make install put under PREFIX (give the same PREFIX, and DESTDIR if the install
# had one), as listed in build/install, and then the folders that it made, if they are empty.
uninstall:
	$(NEEDS) uninstall
	@sh cmake/uninstall.sh "$(INSTALL_BUILD)" "$(PREFIX)"

# The Debian package, built by dpkg-buildpackage from a copy of the working tree in
# build/package/quillworks: build/package/quillworks_VERSION_ARCH.deb, with its .changes
# (needs dpkg-dev, debhelper and the Build-Depends of debian/control).
package:
	$(NEEDS) package
	rm -rf build/package
	mkdir -p build/package/quillworks
	tar -c --exclude=./build --exclude=./.git . | tar -x -C build/package/quillworks
	cd build/package/quillworks && dpkg-buildpackage -us -uc -b -J$(JOBS)
	@ls build/package/*.deb

clean:
	rm -rf build
