# The two commands a newcomer needs: `make demo` and `make test`. Both
# install what is missing (Debian packages), configure and build first.

BUILD ?= build
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=

.PHONY: all setup configure build test demo windows clean

all: build

setup:
	@scripts/setup-debian.sh

configure: setup
	@cmake -S . -B $(BUILD) -G Ninja $(CMAKE_FLAGS) >/dev/null

build: configure
	@cmake --build $(BUILD) -j $(JOBS)

test: build windows
	@ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

# The main job: the built-in test signal (a tone per channel) through
# device 1 (stereo) and device 4 (six channels), each checked bit for bit
# against what the device received; the device output stays in $(BUILD).
demo: build
	@$(BUILD)/tools/nuvsim play --device 1 --output $(BUILD)/demo-device1.wav
	@echo
	@$(BUILD)/tools/nuvsim play --device 4 --output $(BUILD)/demo-device4.wav

# --- Windows image (cross build with mingw-w64) ---------------------------
# nuvaudio.sys from the same driver sources, into $(BUILD)/windows; the
# link step checks the image (windows/check-image.sh).
windows: setup
	@cmake -S windows -B $(BUILD)/windows -G Ninja \
		-DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/mingw-w64-x86_64.cmake >/dev/null
	@cmake --build $(BUILD)/windows -j $(JOBS)

clean:
	rm -rf $(BUILD) build-*

# --- Benchmarks ----------------------------------------------------------------
# The sample transfer against an SSE2 copy and libswresample (bench/); prints
# the table of ratios and the targets. BENCH_ARGS passes Google Benchmark
# flags, e.g. BENCH_ARGS='--benchmark_repetitions=9'.
.PHONY: bench
bench: build
	@$(BUILD)/bench/nuv_bench $(BENCH_ARGS)
