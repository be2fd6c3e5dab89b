# Tallyvox: the two everyday commands are `make run` and `make test`.
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE_GEN := $(shell command -v ninja >/dev/null 2>&1 && echo "-G Ninja")
CTEST_ARGS ?=

.PHONY: all setup setup-clang build test test-asan test-tsan bench fuzz run format clean deb install

all: build

setup:
	@scripts/setup

build/CMakeCache.txt:
	cmake -S . -B build $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo

build: setup build/CMakeCache.txt
	cmake --build build -j $(JOBS)

test: build
	ctest --test-dir build --output-on-failure -j $(JOBS) $(CTEST_ARGS)

build-asan/CMakeCache.txt:
	cmake -S . -B build-asan $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Debug -DTALLYVOX_SANITIZE=ON

test-asan: setup build-asan/CMakeCache.txt
	cmake --build build-asan -j $(JOBS)
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --test-dir build-asan --output-on-failure -j $(JOBS) $(CTEST_ARGS)

# Built with clang, whose -Wthread-safety (an error on our code, like every
# warning) checks the lock annotations of base/thread_annotations.h while the
# same build runs the threaded suites under ThreadSanitizer.
build-tsan/CMakeCache.txt: | setup-clang
	CXX=clang++ cmake -S . -B build-tsan $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DTALLYVOX_SANITIZE_THREAD=ON

# The suites whose code runs several threads (the middleware client, the
# monitor, the metrics endpoint and its HTTP server) under ThreadSanitizer. The options reach the programs the tests run
# (mwserver, tallyvox). Qt and GLib are not instrumented: the suppressions file
# lists the false positives inside them, each with the reason; our own code,
# the monitor's thread included, is checked in full. TSan's second
# of sleep at exit (to catch races at exit while threads still run) is off, as
# the tests time how fast tallyvox ends on SIGTERM.
TSAN_SUITES := mwclient_tests|monitor_tests|config_tests|outbox_tests|alerts_tests|adapters_tests|assembly_tests|console_tests|app_tests|metrics_tests|http_tests|history_tests|status_tests|exporter_tests
TSAN_OPTIONS_FOR_TESTS := halt_on_error=1:second_deadlock_stack=1:atexit_sleep_ms=0:suppressions=$(CURDIR)/tests/tsan_suppressions.txt
setup-clang:
	@scripts/setup clang

test-tsan: setup-clang build-tsan/CMakeCache.txt
	cmake --build build-tsan -j $(JOBS) --target threaded_suites
	TSAN_OPTIONS=$(TSAN_OPTIONS_FOR_TESTS) \
	  ctest --test-dir build-tsan --output-on-failure -j $(JOBS) -R '^($(TSAN_SUITES))\.' $(CTEST_ARGS)

build-bench/CMakeCache.txt:
	cmake -S . -B build-bench $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Release -DTALLYVOX_BENCH=ON -DTALLYVOX_TESTS=ON

bench: setup build-bench/CMakeCache.txt
	cmake --build build-bench -j $(JOBS)
	@missed=""; \
	for b in build-bench/bench/*; do \
	  if [ -x "$$b" ] && [ -f "$$b" ]; then echo "== $$b"; "$$b" || missed="$$missed $$b"; fi; done; \
	for s in bench/*.sh bench/*.py; do \
	  if [ -f "$$s" ]; then echo "== $$s"; TALLYVOX_BINARY_DIR=$(CURDIR)/build-bench "./$$s" || missed="$$missed $$s"; fi; done; \
	if [ -n "$$missed" ]; then echo "bench: a target missed or a run failed in:$$missed"; exit 1; fi

build-fuzz/CMakeCache.txt:
	CXX=clang++ cmake -S . -B build-fuzz $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DTALLYVOX_FUZZ=ON -DTALLYVOX_TESTS=OFF

# Builds the libFuzzer targets; run one with e.g. build-fuzz/fuzz/fuzz_variant -max_total_time=120
fuzz:
	@scripts/setup fuzz
	$(MAKE) build-fuzz/CMakeCache.txt
	cmake --build build-fuzz -j $(JOBS)

# The Debian packages tallyvox, tallyvox-window and tallyvox-tools
# (build/<package>_<version>_amd64.deb), each checked by lintian: an error or
# a warning fails the target. And an install into PREFIX (default /usr/local).
deb: build
	rm -f build/tallyvox*.deb
	cd build && cpack
	lintian --fail-on error,warning --tag-display-limit 0 build/tallyvox*.deb

PREFIX ?= /usr/local
install: build
	cmake --install build --prefix $(PREFIX)

# The whole system on one machine: mwserver, a TLS mail sink, the audit table
# and the window (headless without a display); see tools/demo/run.
# Builds only the demo's programs (not the tests), then runs it.
DEMO_TARGETS := tallyvox tallyvox-monitor tallyvox-window mwserver dbetool
run: setup build/CMakeCache.txt
	cmake --build build -j $(JOBS) --target $(DEMO_TARGETS)
	@tools/demo/run build

format:
	find src tests tools bench fuzz -name '*.h' -o -name '*.cc' | xargs clang-format -i

clean:
	rm -rf build build-asan build-tsan build-bench build-fuzz
