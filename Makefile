# Entry points: `make run`, `make test`, `make demo`, `make bench`.
# Each one first installs the Debian packages it is missing.

SHELL := /bin/bash
SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)
# Warnings are errors in CI, and plain warnings on a developer's machine.
WERROR := $(if $(CI),ON,OFF)
JOBS ?= $(shell nproc)

# The default preset builds the tests and the virtual meter along with the
# program, so building needs their libraries too.
BUILD_PACKAGES := cmake ninja-build g++ pkg-config qt6-base-dev libgl-dev fonts-liberation python3 \
                  umockdev libumockdev-dev libsm-dev libice-dev libsystemd-dev
TEST_PACKAGES := $(BUILD_PACKAGES) g++-mingw-w64-x86-64 wixl wine wine64 \
                 xvfb xauth openbox xdotool wmctrl x11-utils imagemagick desktop-file-utils appstream dpkg-dev file clang-format git \
                 lintian man-db groff-base python3-debian weston qt6-wayland clang-tidy \
                 dbus-daemon python3-dbus python3-gi

.PHONY: all run test demo bench package deps-build deps-test deps-bench deps-package deps-windows build build-asan build-tsan build-windows build-release

all: build

# Installs what `dpkg-query` does not report as installed; apt-get update runs
# only when something is missing.
define install_missing
	@missing=$$(for p in $(1); do \
	    dpkg-query -W -f='$${Status}\n' "$$p" 2>/dev/null | grep -q '^install ok installed' || echo "$$p"; \
	done); \
	if [ -n "$$missing" ]; then \
	    echo "Installing missing packages:" $$missing; \
	    $(SUDO) apt-get update -qq && \
	    $(SUDO) env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $$missing; \
	fi
endef

deps-build:
	$(call install_missing,$(BUILD_PACKAGES))

deps-test:
	$(call install_missing,$(TEST_PACKAGES))

build: deps-build
	cmake --preset default -DKAPIREL_WERROR=$(WERROR)
	cmake --build --preset default -j $(JOBS)

run: build
	./build/bin/kapirel

# kapirel on this desktop against the virtual meter: "COM2" pulses at 2 Hz.
demo: deps-test build
	tools/demo build

build-asan: deps-test
	cmake --preset asan -DKAPIREL_WERROR=$(WERROR)
	cmake --build --preset asan -j $(JOBS)

# Only the tests of counting/ and serial/, under ThreadSanitizer (the build
# preset's target).  gcc's TSan runtime, unlike ASan's, does not ask to come
# first among the libraries, so umockdev's preload works as it is.
build-tsan: deps-test
	cmake --preset tsan -DKAPIREL_WERROR=$(WERROR)
	cmake --build --preset tsan -j $(JOBS)

build-windows: deps-windows
	cmake --preset windows
	cmake --build --preset windows -j $(JOBS)

# The sanitizer builds compile under SCHED_IDLE while the default build's
# tests run: those mostly wait on the display and the meter, and the compilers
# take only the CPU they leave idle.
test: deps-test build build-windows
	@echo "Building build-asan and build-tsan beside the tests (build/sanitizer-builds.log)"
	@chrt --idle 0 $(MAKE) --no-print-directory build-asan build-tsan >build/sanitizer-builds.log 2>&1 & builds=$$!; \
	ctest --preset default; tests=$$?; \
	if ! wait $$builds; then cat build/sanitizer-builds.log; exit 1; fi; \
	exit $$tests
	ctest --preset tsan
	ctest --preset asan

# wixl, of msitools, builds the installer; Debian packs it apart from msitools.
WINDOWS_PACKAGES := cmake ninja-build g++-mingw-w64-x86-64 wixl
PACKAGE_PACKAGES := $(BUILD_PACKAGES) $(WINDOWS_PACKAGES) dpkg-dev file
BENCH_PACKAGES := $(BUILD_PACKAGES) umockdev libumockdev-dev python3 xvfb xauth openbox xdotool wmctrl x11-utils \
                  imagemagick

deps-windows:
	$(call install_missing,$(WINDOWS_PACKAGES))

deps-package:
	$(call install_missing,$(PACKAGE_PACKAGES))

deps-bench:
	$(call install_missing,$(BENCH_PACKAGES))

# The optimised build; the virtual meter is built only where umockdev is
# installed when configuring, hence the bench packages first.
build-release: deps-bench
	cmake --preset release -DKAPIREL_WERROR=$(WERROR)
	cmake --build --preset release -j $(JOBS)

# A Debian package of the optimised build, build-release/kapirel_<version>_<arch>.deb,
# and the Windows program, build-windows/kapirel-<version>-windows-x64.zip beside
# its installer build-windows/kapirel-<version>-x64.msi (built with kapirel.exe).
package: deps-package build-release build-windows
	cd build-release && cpack
	cd build-windows && cpack

# Figures of the optimised build under Xvfb with the virtual meter, about 4
# minutes; LONG=1 adds a one-hour run.  Not part of `make test`.
bench: build-release
	tools/bench --build build-release $(if $(filter-out 0,$(LONG)),--long)
