# Front door: `make test` sets up, builds (with sanitizers) and runs every test.
BUILD       ?= build
WIN_BUILD   ?= build-win
WIN64_BUILD ?= build-win64
FUZZ_BUILD  ?= build-fuzz
BENCH_BUILD ?= build-bench
PKG_BUILD   ?= build-pkg
FUZZ_SECONDS ?= 300
JOBS        ?= $(shell nproc)

.PHONY: all setup configure build windows windows64 packages package test demo screenshots screenshots-win32 soak bench fuzz fuzz-daemon clean

all: build

setup:
	bash scripts/setup

configure: setup
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DZELMO_SANITIZE=ON

build: configure
	cmake --build $(BUILD) -j $(JOBS)

# zelmo.exe (the Win32 window) and zelmo-cli.exe for 32-bit Windows,
# cross-built with mingw-w64 and statically linked; their tests run under
# Wine (skipped with a message without Wine or an X server for the window).
windows: setup
	@# A build-win of the 64-bit days keeps its compilers: start it afresh.
	@if [ -f $(WIN_BUILD)/CMakeCache.txt ] && ! grep -q 'mingw-w64-i686.cmake' $(WIN_BUILD)/CMakeCache.txt; then \
	  echo "$(WIN_BUILD) was made for another toolchain: configuring it afresh"; rm -rf $(WIN_BUILD); fi
	cmake -S . -B $(WIN_BUILD) -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-i686.cmake \
	  -DCMAKE_BUILD_TYPE=Release -DZELMO_NATIVE_BUILD=$(abspath $(BUILD))
	cmake --build $(WIN_BUILD) -j $(JOBS)

# The same for 64-bit Windows; its tests: ctest --test-dir build-win64.
windows64: setup
	cmake -S . -B $(WIN64_BUILD) -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
	  -DCMAKE_BUILD_TYPE=Release -DZELMO_NATIVE_BUILD=$(abspath $(BUILD))
	cmake --build $(WIN64_BUILD) -j $(JOBS)

# What a user installs: the Debian packages zelmo, zelmo-cli and zelmo-sim
# (in $(PKG_BUILD)/packages), and the Windows installer and zip (in
# $(WIN_BUILD)/package). An optimized build of its own with Debian's build
# flags, of the three programs only (about two minutes).
packages: build windows
	export DEB_BUILD_MAINT_OPTIONS=hardening=+all; \
	cmake -S . -B $(PKG_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release -DZELMO_TESTS=OFF \
	  -DCMAKE_CXX_FLAGS="$$(dpkg-buildflags --get CXXFLAGS) $$(dpkg-buildflags --get CPPFLAGS)" \
	  -DCMAKE_EXE_LINKER_FLAGS="$$(dpkg-buildflags --get LDFLAGS)"
	cmake --build $(PKG_BUILD) -j $(JOBS) --target zelmo zelmo-cli zelmo-sim zelmo_manpages zelmo_changelog example_roms
	rm -rf $(PKG_BUILD)/packages
	cd $(PKG_BUILD) && cpack -G DEB
	rm -rf $(WIN_BUILD)/package
	cmake --build $(WIN_BUILD) --target windows_installer windows_zip

# The packages, then their checks: lintian, an install that programs the
# example into zelmo-sim, the installer under Wine.
package: packages
	ctest --test-dir $(BUILD) --output-on-failure -L package
	ctest --test-dir $(WIN_BUILD) --output-on-failure -L package

# Every test, the packages' checks included.
test: build windows packages
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)
	ctest --test-dir $(WIN_BUILD) --output-on-failure -j $(JOBS)

# Programs the example ROM into the simulated board, restarts the board and
# shows what its new program prints.
demo: build
	$(BUILD)/cli/zelmo-cli program $(BUILD)/examples/hello.s37 --simulate --restart --monitor 2

# Pictures of the window, drawn by the real program on the offscreen
# platform: the port dialog, an upload half-way and done, the fatal dialog.
screenshots: build
	QT_QPA_PLATFORM=offscreen $(BUILD)/app/zelmo-screenshots docs/screenshots success
	QT_QPA_PLATFORM=offscreen $(BUILD)/app/zelmo-screenshots docs/screenshots fatal

# Pictures of the Win32 window, drawn by the real zelmo.exe under Wine at
# 120 dpi (the main window's own scale) on an X server of its own, against
# zelmo-sim: the port dialog, an upload half-way and done, the fatal dialog.
WIN_SHOTS = tests/windows/window_under_wine.py --dpi 120 --screenshots docs/screenshots \
  --wine-run scripts/wine-run --prefix $(WIN_BUILD)/wineprefix-screenshots \
  --zelmo $(WIN_BUILD)/app/win32/zelmo.exe --wininfo $(WIN_BUILD)/tests/windows/wininfo.exe \
  --native $(BUILD) --srec-cmp srec_cmp
screenshots-win32: build windows
	python3 $(WIN_SHOTS) --case operator --work $(WIN_BUILD)/screenshots-operator
	python3 $(WIN_SHOTS) --case silent-line --work $(WIN_BUILD)/screenshots-silent-line

# zelmo-cli's speed on the simulated board, in one table; an optimized build
# of its own, since the sanitizers of the test build would be measured too.
bench: setup
	cmake -S . -B $(BENCH_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release
	cmake --build $(BENCH_BUILD) -j $(JOBS) --target zelmo-cli bench_table
	$(BENCH_BUILD)/bench/bench_table $(BENCH_BUILD)/cli/zelmo-cli

# SOAK_RUNS randomized programming runs on the simulated board, each with a
# fault drawn at random; prints the outcome table. make test runs 8.
# Most of a run waits on the loader's time-outs, so three runs a core.
SOAK_RUNS ?= 1000
SOAK_JOBS ?= $(shell echo $$(( 3 * $(JOBS) )))
soak: build
	$(BUILD)/tests/soak/zelmo-soak --runs $(SOAK_RUNS) --jobs $(SOAK_JOBS)

# Runs the S-record fuzzer for FUZZ_SECONDS (default 300 s). New inputs land
# in fuzz-work/; copy the interesting ones into tests/fuzz/corpus/ to keep them.
fuzz: setup
	CC=clang CXX=clang++ cmake -S . -B $(FUZZ_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZELMO_FUZZ=ON -DZELMO_TESTS=ON
	cmake --build $(FUZZ_BUILD) --target fuzz_read_record -j $(JOBS)
	mkdir -p fuzz-work/read_record
	$(FUZZ_BUILD)/tests/fuzz/fuzz_read_record -max_total_time=$(FUZZ_SECONDS) -max_len=4096 \
	  fuzz-work/read_record tests/fuzz/corpus/read_record

# Sends FUZZ_STEPS random and damaged requests to the real daemon on the
# simulated board, checking every reply and that nothing else changed.
FUZZ_STEPS ?= 100000
fuzz-daemon: build
	ZELMO_DAEMON_FUZZ_STEPS=$(FUZZ_STEPS) ZELMO_DAEMON_FUZZ_SEED=$$RANDOM \
	  $(BUILD)/tests/daemon/daemon_sim_tests --gtest_filter='DaemonFuzz.*'

clean:
	rm -rf $(BUILD) $(WIN_BUILD) $(WIN64_BUILD) $(FUZZ_BUILD) $(PKG_BUILD) fuzz-work
