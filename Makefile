# The three commands: make run, make test, make package. Longer campaigns: make explore, make
# stress, make faults, make fuzz, make hardware, make bench.
BUILD := build
TSAN_BUILD := build-tsan
# The tools users run: optimized, without sanitizers (the tests keep theirs).
RELEASE_BUILD := build-release
GENERATOR := Ninja
# Schedules per scenario of make explore (make test runs 300).
EXPLORE_SCHEDULES := 10000
STRESS_FRAMES := 10000000

.PHONY: all setup build release release-configure bench-programs bench test run package clean tsan explore stress \
  fuzz faults hardware hardware-tools

all: build

setup:
	@scripts/setup.sh

build: setup
	@cmake -S . -B $(BUILD) -G $(GENERATOR) -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	@cmake --build $(BUILD)

package: setup
	@cmake -S . -B $(BUILD)/i386 -G $(GENERATOR) -DECM_I386=ON \
	  -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/i686-w64-mingw32.cmake >/dev/null
	@cmake --build $(BUILD)/i386

test: build package tsan hardware-tools bench-programs
	@ctest --test-dir $(BUILD) --output-on-failure -j2
	@ctest --test-dir $(TSAN_BUILD) --output-on-failure -j2 -L tsan
	@ctest --test-dir $(RELEASE_BUILD) --output-on-failure -j2 -L bench

# The threaded tests under ThreadSanitizer, in a tree of their own.
tsan: setup
	@cmake -S . -B $(TSAN_BUILD) -G $(GENERATOR) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DECM_SANITIZE=OFF \
	  -DECM_TSAN=ON >/dev/null
	@cmake --build $(TSAN_BUILD) --target test_tsan

explore: build
	@ECM_EXPLORE_SCHEDULES=$(EXPLORE_SCHEDULES) ctest --test-dir $(BUILD) --output-on-failure -j2 -L explore

# The label stress in make test streams 20,000 frames.
stress: build
	@ECM_STRESS_FRAMES=$(STRESS_FRAMES) $(BUILD)/bin/test_stress

# The driver against real USB devices in Linux guests under QEMU (root, for the TAP); make test
# runs it too.
hardware: hardware-tools
	@python3 tests/hardware/bench.py --ecmemu $(RELEASE_BUILD)/bin/ecmemu

# What the guests run: the optimized ecmemu and the backend's tests for the gadget.
hardware-tools: release
	@cmake --build $(RELEASE_BUILD) --target test_realusb_gadget

release-configure: setup
	@cmake -S . -B $(RELEASE_BUILD) -G $(GENERATOR) -DCMAKE_BUILD_TYPE=Release -DECM_SANITIZE=OFF >/dev/null

# Only what it runs: a new user sees the report without waiting for the tests to build.
release: release-configure
	@cmake --build $(RELEASE_BUILD) --target ecmemu

# Benchmarks measure the optimized tree: every figure next to its baseline (make test runs
# the short version, label bench in that tree). The bridge part needs root.
bench-programs: release-configure
	@cmake --build $(RELEASE_BUILD) --target bench_programs

bench: bench-programs
	@python3 bench/run.py --build $(RELEASE_BUILD)

run: release
	@$(RELEASE_BUILD)/bin/ecmemu run

# The fuzz campaign: 10 million inputs per target (FUZZ_RUNS=N for another count), resumable.
fuzz: build
	@fuzz/campaign.sh

# Every cell of the fault matrix (make test runs a sample of them).
faults: build
	@$(BUILD)/bin/ecmemu faults

clean:
	rm -rf $(BUILD) $(TSAN_BUILD) $(RELEASE_BUILD)
