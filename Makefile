# make build  install missing packages, configure and build into build/
# make run    build, then run the main job (the program itself when DISPLAY
#             is set and it is built, else the headless recording)
# make package  build, then the Debian package build/norvimerioshare_*.deb
# make serve  the share server (server/) for this network, data in
#             build/serve-data; prints the version.ini lines and watch address
# make windows  cross-build libVoxtap for Windows into build-win/ (Voxtap.dll,
#             voxtap-record.exe and the tests run under Wine; FFmpeg is
#             cross-built once into build-win/deps)
# make test   build, then run every test (normal, AddressSanitizer and
#             ThreadSanitizer builds, and the Windows build under Wine),
#             ending with ctest's summary line
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=
# ccache, where installed, shares compiled objects between checkouts.
ifneq ($(shell command -v ccache),)
CMAKE_FLAGS += -DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache
export CCACHE_BASEDIR ?= $(abspath $(CURDIR)/..)
export CCACHE_NOHASHDIR ?= true
endif

.PHONY: all deps build run serve test bench package windows clean

all: build

deps:
	@scripts/install-deps

build: deps
	cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_FLAGS)
	cmake --build build -j $(JOBS)

run: build
	scripts/run-demo

serve: deps
	scripts/serve

package: build
	cmake --build build --target package

test: deps
	scripts/run-tests

windows: deps
	JOBS=$(JOBS) scripts/build-windows

bench: build
	scripts/run-bench

# The cross-built FFmpeg in build-win/deps is kept: it only changes with
# Debian's source package.
clean:
	rm -rf build build-asan build-tsan
	[ ! -d build-win ] || find build-win -mindepth 1 -maxdepth 1 ! -name deps -exec rm -rf {} +
