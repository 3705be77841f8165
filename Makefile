# Thin wrapper around CMake. `make` builds into build/ (the gateway binary is
# build/zandrel); `make test` builds and runs every test; `make test-asan`
# does the same with AddressSanitizer and UndefinedBehaviorSanitizer in
# build-asan/. Missing build tools are installed on first use.

BUILD      ?= build
ASAN_BUILD ?= build-asan
BUILD_TYPE ?= Release
JOBS       ?= $(shell nproc 2>/dev/null || echo 2)
GENERATOR  := -G Ninja

.PHONY: all deps build test test-asan test-slow demo bench clean

all: build

deps:
	@scripts/ensure-deps.sh

build: deps
	@cmake -S . -B $(BUILD) $(GENERATOR) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) >/dev/null
	@cmake --build $(BUILD)

test: build
	ctest --test-dir $(BUILD) --output-on-failure -j$(JOBS) -LE slow

test-asan: deps
	@cmake -S . -B $(ASAN_BUILD) $(GENERATOR) -DCMAKE_BUILD_TYPE=Debug -DZANDREL_SANITIZE=ON >/dev/null
	@cmake --build $(ASAN_BUILD)
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --test-dir $(ASAN_BUILD) --output-on-failure -j$(JOBS) -LE slow

# Cases that wait out a lock holder for their full ten seconds.
test-slow: build
	ctest --test-dir $(BUILD) --output-on-failure -L slow

demo: build
	@scripts/demo.sh $(BUILD)/zandrel

# Speed and memory against the raw read floor; areas are cached in
# build/bench-data, figures go to docs/performance.md.
bench: build
	$(BUILD)/zandrel_bench --bin $(BUILD)/zandrel --data $(BUILD)/bench-data --out docs/performance.md $(BENCH_ARGS)

clean:
	rm -rf $(BUILD) $(ASAN_BUILD)
