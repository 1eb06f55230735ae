# Entry points used by the README, CI and everyone measuring the project.
#   make build   configure and build (the Python package lands in build/python)
#   make test    build, then every test: ctest (GoogleTest binaries and pytest)
#   make demo    build, then a short session in the machine
#   make bench   build, then the benchmarks
#   make fuzz    build the libFuzzer targets with clang (in build-fuzz) and run each one for
#                FUZZ_SECONDS seconds (FUZZ_TARGETS picks some: make fuzz FUZZ_TARGETS="sed")
BUILD ?= build
JOBS ?= $(shell nproc)
PYTHON ?= /usr/bin/python3
export CCACHE_BASEDIR := $(CURDIR)
export CCACHE_NOHASHDIR := 1

.PHONY: deps build test demo bench fuzz clean

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

FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 10
FUZZ_CC ?= clang-16
FUZZ_CXX ?= clang++-16
FUZZ_TARGETS ?= shell_parser python_parser machine sed patch patterns

fuzz: deps
	@command -v $(FUZZ_CXX) >/dev/null || { echo "make fuzz needs $(FUZZ_CXX): scripts/install-deps --fuzz"; exit 2; }
	@if [ ! -f $(FUZZ_BUILD)/build.ninja ]; then cmake -S . -B $(FUZZ_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release \
		-DCMAKE_C_COMPILER=$(FUZZ_CC) -DCMAKE_CXX_COMPILER=$(FUZZ_CXX) -DTW_FUZZ=ON; fi
	cmake --build $(FUZZ_BUILD) -j $(JOBS) --target fuzz_targets
	$(PYTHON) fuzz/seeds.py $(FUZZ_BUILD)/seeds
	@set -e; for t in $(FUZZ_TARGETS); do \
		mkdir -p $(FUZZ_BUILD)/corpus/$$t $(FUZZ_BUILD)/findings; \
		echo "== fuzz_$$t for $(FUZZ_SECONDS) s"; \
		$(FUZZ_BUILD)/fuzz/fuzz_$$t -max_total_time=$(FUZZ_SECONDS) -timeout=20 -rss_limit_mb=4096 \
			-artifact_prefix=$(FUZZ_BUILD)/findings/$$t- -print_final_stats=1 \
			$(FUZZ_BUILD)/corpus/$$t $(FUZZ_BUILD)/seeds/$$t; \
	done

clean:
	rm -rf $(BUILD)
