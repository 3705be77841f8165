# Thin wrapper around CMake. `make` builds into build/ (the gateway binary is
# build/zandrel, the news server build/zandrel-nntpd); `make test` builds and
# runs every test; `make install` installs under PREFIX; `make test-asan`
# does the same with AddressSanitizer and UndefinedBehaviorSanitizer in
# build-asan/. `make fuzz` runs every fuzz target (clang, build-fuzz/) for
# FUZZ_SECONDS each; `make soak` runs writers, readers and deleters against
# every format and kills writers in the middle of posts (SOAK_ARGS passes
# options), then `make soak-nntpd`, the news server under load and abuse.
# `make deb` builds the Debian package. `make win32` cross-compiles the
# gateway for 32-bit Windows (build-win32/zandrel.exe) and `make test-win32`
# runs the tests of that build under Wine. Missing build tools are installed
# on first use.

BUILD      ?= build
PREFIX     ?= /usr/local
ASAN_BUILD ?= build-asan
BUILD_TYPE ?= Release
FUZZ_BUILD ?= build-fuzz
WIN32_BUILD ?= build-win32
FUZZ_SECONDS ?= 60
JOBS       ?= $(shell nproc 2>/dev/null || echo 2)
GENERATOR  := -G Ninja

# The fuzzer runtime, where clang looks for it (the package's path when
# clang itself is still missing).
FUZZ_RT := $(shell clang -print-file-name=libclang_rt.fuzzer-x86_64.a 2>/dev/null)
FUZZ_RT := $(if $(FUZZ_RT),$(FUZZ_RT),/usr/lib/llvm-14/lib/clang/14.0.6/lib/linux/libclang_rt.fuzzer-x86_64.a)

.PHONY: all deps configure build test test-asan test-slow demo bench bench-nntpd install deb deb-check \
        fuzz fuzz-build fuzz-seeds soak soak-nntpd win32 win32-configure test-win32 clean

all: build

deps:
	@scripts/ensure-deps.sh

configure: deps
	@cmake -S . -B $(BUILD) $(GENERATOR) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) >/dev/null

build: configure
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

# The gateway at work on sample areas, then a newsreader session with
# zandrel-nntpd over the same areas.
demo: configure
	@cmake --build $(BUILD) --target zandrel zandrel-nntpd
	@scripts/demo.sh $(BUILD)/zandrel

# Speed and memory against the raw read floor, on areas of mixed and of small
# messages (BENCH_ARGS="--profiles small" for one profile), and beside
# jamnntpd when it is installed; areas are cached in build/bench-data,
# figures go to docs/performance.md.
bench: build
	$(BUILD)/zandrel_bench --bin $(BUILD)/zandrel --data $(BUILD)/bench-data --out docs/performance.md $(BENCH_ARGS)

# zandrel-nntpd against the back end alone and, where Debian's jamnntpd is
# installed, against it; areas are cached in build/bench-data/nntpd.
bench-nntpd: build
	@scripts/ensure-deps.sh jamnntpd:/usr/sbin/jamnntpd
	$(BUILD)/zandrel-nntpd-bench --backend $(BUILD)/zandrel --server $(BUILD)/zandrel-nntpd \
	  --data $(BUILD)/bench-data/nntpd --out docs/nntpd.md $(BENCH_NNTPD_ARGS)

# The programs, the example configuration and the manuals under PREFIX
# (and DESTDIR, when set).
install: build
	cmake --install $(BUILD) --prefix $(PREFIX)

# The Debian package of both programs: $(BUILD)/zandrel_<version>_amd64.deb.
# `make deb-check` installs it on this machine (as root), serves an article
# from the installed files as the user zandrel, and removes it again.
deb: build
	@scripts/ensure-deps.sh dpkg-dev:dpkg-shlibdeps
	cd $(BUILD) && cpack -G DEB

deb-check: deb
	scripts/deb-check.sh $(BUILD)

# libFuzzer targets; the whole build is instrumented, so it has its own tree.
fuzz-build: deps
	@scripts/ensure-deps.sh clang:clang++ libclang-rt-14-dev:$(FUZZ_RT)
	@CC=clang CXX=clang++ cmake -S . -B $(FUZZ_BUILD) $(GENERATOR) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DZANDREL_FUZZ=ON -DZANDREL_TESTS=OFF >/dev/null
	@cmake --build $(FUZZ_BUILD)

fuzz: fuzz-build
	scripts/fuzz.sh $(FUZZ_BUILD) $(FUZZ_SECONDS)

# Rewrites the committed seed corpus from bases made through msglib.
fuzz-seeds: build
	rm -rf fuzz/corpus
	$(BUILD)/zandrel_fuzz_seeds fuzz/corpus

soak: build
	$(BUILD)/zandrel_soak --bin $(BUILD)/zandrel $(SOAK_ARGS)
	@$(MAKE) --no-print-directory soak-nntpd

# The news server for longer: 100 readers and 10 posters for 60 s against
# areas of every kind (figures into docs/reliability.md; SOAK_NNTPD_ARGS
# passes options), then the abuse test for 60 s and 10,000 dropped
# connections.
NNTPD_PYTHON := $(firstword $(wildcard /usr/bin/python3.11) python3)
NNTPD_RUN := ZANDREL=$(BUILD)/zandrel ZANDREL_NNTPD=$(BUILD)/zandrel-nntpd \
  $(NNTPD_PYTHON) -W ignore::DeprecationWarning
soak-nntpd: build
	$(NNTPD_RUN) nntpd/tests/e2e/load_test.py --out docs/reliability.md $(SOAK_NNTPD_ARGS)
	NNTPD_ABUSE_SECONDS=60 $(NNTPD_RUN) nntpd/tests/e2e/abuse_test.py
	NNTPD_LEAK_CONNECTIONS=10000 $(NNTPD_RUN) nntpd/tests/e2e/leak_test.py

# The 32-bit Windows console program, cross-compiled with MinGW-w64 and
# linked statically: $(WIN32_BUILD)/zandrel.exe.
win32-configure:
	@scripts/ensure-win32-deps.sh
	@cmake -S . -B $(WIN32_BUILD) $(GENERATOR) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) \
	  -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-i686.cmake >/dev/null

win32: win32-configure
	@cmake --build $(WIN32_BUILD) --target zandrel

# Its tests, run under Wine (with a prefix of its own in $(WIN32_BUILD)).
test-win32: win32-configure
	@cmake --build $(WIN32_BUILD)
	scripts/test-win32.sh $(WIN32_BUILD)

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(FUZZ_BUILD) $(WIN32_BUILD)
