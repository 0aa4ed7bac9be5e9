# The three commands: make run, make test, make package; and make faults, the whole fault matrix.
BUILD := build
GENERATOR := Ninja

.PHONY: all setup build test run package fuzz faults hardware clean

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

test: build package
	@ctest --test-dir $(BUILD) --output-on-failure -j2

# The driver against real USB devices in Linux guests under QEMU (root, for the TAP).
hardware: build
	@python3 tests/hardware/bench.py --ecmemu $(BUILD)/bin/ecmemu

run: build
	@$(BUILD)/bin/ecmemu run

# The fuzz campaign: 10 million inputs per target (FUZZ_RUNS=N for another count).
fuzz: build
	@fuzz/campaign.sh

# Every cell of the fault matrix (make test runs a sample of them).
faults: build
	@$(BUILD)/bin/ecmemu faults

clean:
	rm -rf $(BUILD)
