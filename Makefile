# The README's entry points. `make run` starts the service in the foreground; `make test` runs every test.
BUILD_DIR ?= build
JOBS ?= $(shell nproc)
# Extra CMake settings, e.g. CMAKE_OPTIONS=-DLM_WARNINGS_AS_ERRORS=ON as CI runs it.
CMAKE_OPTIONS ?=

.PHONY: all deps build run test bench load clean

all: build

deps:
	scripts/install-deps

build: deps
	cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=Release $(CMAKE_OPTIONS)
	cmake --build $(BUILD_DIR) -j $(JOBS)

# Builds the service alone, so that its first start waits for no test or benchmark. Ctrl-C reaches the
# service and this shell alike: the shell waits for the service, which ends by the signal, and takes
# that end as the normal one, so that make reports no error.
run: deps
	cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=Release $(CMAKE_OPTIONS)
	cmake --build $(BUILD_DIR) -j $(JOBS) --target lm_accelerator
	trap : INT; $(BUILD_DIR)/lm_accelerator || [ $$? -eq 130 ]

test: build
	ctest --test-dir $(BUILD_DIR) --output-on-failure -j $(JOBS)

# Benchmarks measure the optimised build: one warm-up, then minimum and median of several runs.
bench: deps
	cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=Release
	cmake --build $(BUILD_DIR) -j $(JOBS) --target run_benchmarks

# The load test: hundreds of simultaneous clients against the optimised build; fails when a check fails.
load: deps
	cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=Release
	cmake --build $(BUILD_DIR) -j $(JOBS) --target load_test
	$(BUILD_DIR)/bench/load_test

clean:
	rm -rf $(BUILD_DIR) build-*
