# make build  install missing packages, configure and build into build/
# make run    build, then run the main job (the program itself when DISPLAY
#             is set and it is built, else the headless recording)
# make package  build, then the Debian package build/norvimerioshare_*.deb
# make serve  the share server (server/) for this network, data in
#             build/serve-data; prints the version.ini lines and watch address
# make test   build, then run every test (normal, AddressSanitizer and
#             ThreadSanitizer builds), ending with ctest's summary line
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=
# ccache, where installed, shares compiled objects between checkouts.
ifneq ($(shell command -v ccache),)
CMAKE_FLAGS += -DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache
export CCACHE_BASEDIR ?= $(abspath $(CURDIR)/..)
export CCACHE_NOHASHDIR ?= true
endif

.PHONY: all deps build run serve test bench package clean

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

bench: build
	scripts/run-bench

clean:
	rm -rf build build-asan build-tsan
