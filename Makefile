# Entry points used by the README, CI and everyone measuring the project.
#   make build   configure and build (the Python package lands in build/python)
#   make test    build, then every test: ctest (GoogleTest binaries and pytest)
#   make demo    build, then a short session in the machine
#   make bench   build, then the benchmarks
BUILD ?= build
JOBS ?= $(shell nproc)
PYTHON ?= /usr/bin/python3
export CCACHE_BASEDIR := $(CURDIR)
export CCACHE_NOHASHDIR := 1

.PHONY: deps build test demo bench clean

deps:
	@scripts/install-deps

build: deps
	@if [ ! -f $(BUILD)/build.ninja ]; then cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release; fi
	cmake --build $(BUILD) -j $(JOBS)

test: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

demo: build
	PYTHONPATH=$(BUILD)/python $(PYTHON) tools/tarnwick-demo

bench: build
	$(BUILD)/tarnwick-bench

clean:
	rm -rf $(BUILD)
