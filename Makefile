# The two commands a newcomer needs: `make demo` and `make test`. Both
# install what is missing (Debian packages), configure and build first.

BUILD ?= build
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=

.PHONY: all setup configure build test demo windows windows-gcc package clean
.PHONY: test-asan test-tsan fuzz fuzz-configure fuzz-ci lint

all: build

setup:
	@scripts/setup-debian.sh

configure: setup
	@cmake -S . -B $(BUILD) -G Ninja $(CMAKE_FLAGS) >/dev/null

build: configure
	@cmake --build $(BUILD) -j $(JOBS)

test: build windows windows-gcc package
	@ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)
	@$(MAKE) --no-print-directory test-asan test-tsan fuzz-ci lint

# The main job: the built-in test signal (a tone per channel) through
# device 1 (stereo) and device 4 (six channels), each checked bit for bit
# against what the device received; then device 1 again through
# nuvaudio.sys, the Windows image, loaded on the host platform, whose output
# must be the host build's to the bit. The device output stays in $(BUILD).
demo: build windows
	@$(BUILD)/tools/nuvsim play --device 1 --output $(BUILD)/demo-device1.wav
	@echo
	@$(BUILD)/tools/nuvsim play --device 4 --output $(BUILD)/demo-device4.wav
	@echo
	@$(BUILD)/tools/nuvsim play --device 1 --image --output $(BUILD)/demo-device1-image.wav
	@if cmp -s $(BUILD)/demo-device1.wav $(BUILD)/demo-device1-image.wav; then \
		echo "same      the image's output on device 1 is the host build's, bit for bit"; \
	else echo "DIFFERS   the image's output on device 1 is not the host build's"; exit 1; fi

# --- Windows image (cross build against mingw-w64) ------------------------
# nuvaudio.sys and nuvaudio.pdb from the same driver sources, built with clang
# and lld, into $(BUILD)/windows; the link step sets the checksum and checks
# the image (windows/check-image.sh). windows-gcc builds the same sources
# with GCC and GNU ld into $(BUILD)/windows-gcc (no PDB; not shipped).
windows: setup
	@cmake -S windows -B $(BUILD)/windows -G Ninja \
		-DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/clang-mingw-w64-x86_64.cmake >/dev/null
	@cmake --build $(BUILD)/windows -j $(JOBS)

windows-gcc: setup
	@cmake -S windows -B $(BUILD)/windows-gcc -G Ninja \
		-DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/mingw-w64-x86_64.cmake >/dev/null
	@cmake --build $(BUILD)/windows-gcc -j $(JOBS) --target nuvaudio

# --- Driver package -----------------------------------------------------------
# $(BUILD)/package: the test-signed image, its PDB, the INF generated from what
# the driver registers, the signing certificate and a README on installing it
# on a test machine (windows/package/make-package.sh). NUV_HARDWARE_ID sets the
# INF's hardware ID (default: a placeholder, as the device's is not known);
# NUV_SIGNING_CERT and NUV_SIGNING_KEY (PEM files) sign with that certificate
# instead of the test certificate made once in $(BUILD)/signing.
export NUV_HARDWARE_ID NUV_SIGNING_CERT NUV_SIGNING_KEY
package: windows configure
	@cmake --build $(BUILD) -j $(JOBS) --target nuvsim
	@windows/package/make-package.sh $(BUILD)

# --- Hardening: sanitizers, fuzzers, static analysis -----------------------
# Each sanitizer has its own build directory with the whole host build in
# it; every finding is fatal (cmake/NuvHardening.cmake). The Windows image
# and package checks are left to the plain build.
ASAN_BUILD ?= build-asan
TSAN_BUILD ?= build-tsan
FUZZ_BUILD ?= build-fuzz
# Seconds per fuzzer: `make fuzz` for a real run, fuzz-ci for CI's short one.
FUZZ_SECONDS ?= 60
FUZZ_CI_SECONDS ?= 20
SANITIZER_CTEST = ctest --output-on-failure -j $(JOBS) -E '^Windows'

test-asan: setup
	@cmake -S . -B $(ASAN_BUILD) -G Ninja -DNUV_SANITIZE=address $(CMAKE_FLAGS) >/dev/null
	@cmake --build $(ASAN_BUILD) -j $(JOBS)
	@ASAN_OPTIONS=detect_leaks=1:strict_string_checks=1:detect_stack_use_after_return=1 \
		UBSAN_OPTIONS=print_stacktrace=1 \
		$(SANITIZER_CTEST) --test-dir $(ASAN_BUILD)

test-tsan: setup
	@cmake -S . -B $(TSAN_BUILD) -G Ninja -DNUV_SANITIZE=thread $(CMAKE_FLAGS) >/dev/null
	@cmake --build $(TSAN_BUILD) -j $(JOBS)
	@TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
		$(SANITIZER_CTEST) --test-dir $(TSAN_BUILD)

# The fuzzers (libFuzzer, clang) and their replay programs; CTest in the
# fuzz build replays the committed corpus and runs each fuzzer briefly.
fuzz-configure: setup
	@cmake -S . -B $(FUZZ_BUILD) -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_C_COMPILER=clang \
		-DNUV_FUZZ=ON -DNUV_FUZZ_SECONDS=$(FUZZ_CI_SECONDS) $(CMAKE_FLAGS) >/dev/null
	@cmake --build $(FUZZ_BUILD) -j $(JOBS) --target nuv_fuzzers

fuzz-ci: fuzz-configure
	@ctest --test-dir $(FUZZ_BUILD) --output-on-failure -j $(JOBS) -L fuzz

fuzz: fuzz-configure
	@fuzz/run-fuzzers.sh $(FUZZ_BUILD)/fuzz $(FUZZ_SECONDS)

# clang-tidy (.clang-tidy) over the driver folders with the host build's
# compile commands, and cppcheck over the same files.
lint: build
	@scripts/lint.sh $(BUILD)

clean:
	rm -rf $(BUILD) build-*

# --- Real time under load -------------------------------------------------------
# Four streams in real time with every processor busy beside them: the
# default period must play with 0 underruns; then the period shrinks until
# the machine no longer keeps up (tools/nuvsim/realtime_check.sh). Timing is
# the machine's, so this is not part of `make test`.
.PHONY: realtime-check
REALTIME_SECONDS ?= 5
realtime-check: build
	@tools/nuvsim/realtime_check.sh $(BUILD)/tools/nuvsim $(REALTIME_SECONDS)

# --- Benchmarks ----------------------------------------------------------------
# The sample transfer against an SSE2 copy and libswresample (bench/); prints
# the table of ratios and the targets. BENCH_ARGS passes Google Benchmark
# flags, e.g. BENCH_ARGS='--benchmark_repetitions=9'. bench-path: a period
# through the whole chain against the conversion alone, and nuvsim play's
# speed on its clocks (PATH_BENCH_ARGS likewise).
.PHONY: bench bench-path
bench: build
	@$(BUILD)/bench/nuv_bench $(BENCH_ARGS)
	@$(BUILD)/bench/nuv_path_bench $(PATH_BENCH_ARGS)

bench-path: build
	@$(BUILD)/bench/nuv_path_bench $(PATH_BENCH_ARGS)
