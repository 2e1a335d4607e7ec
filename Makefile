# The everyday commands. Each installs what is missing first.
BUILD ?= build
CMAKE_FLAGS ?=
JOBS ?= $(shell nproc)
FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 60
WINDOWS_BUILD ?= build-windows

.PHONY: all deps configure build test demo bench fuzz package clean deps-windows windows test-windows

all: build

deps:
	@scripts/install-deps

configure: deps
	@cmake -S . -B $(BUILD) -G Ninja $(CMAKE_FLAGS) >/dev/null

build: configure
	@cmake --build $(BUILD) -j $(JOBS)

test: build
	@ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

demo: configure
	@cmake --build $(BUILD) -j $(JOBS) --target qvnupdate qvnpack
	@scripts/demo --build-dir $(BUILD)

bench: configure
	@cmake --build $(BUILD) -j $(JOBS) --target qvn_bench qvnpack qvnupdate
	@$(BUILD)/bench/qvn_bench
	@bench/compare $(BUILD)

# Every fuzz target for FUZZ_SECONDS, built with clang, libFuzzer and the sanitizers.
fuzz: deps
	@cmake -S . -B $(FUZZ_BUILD) -G Ninja -DQVN_FUZZ=ON -DCMAKE_CXX_COMPILER=clang++ -DBUILD_TESTING=OFF >/dev/null
	@cmake --build $(FUZZ_BUILD) -j $(JOBS) --target qvn_fuzzers
	@fuzz/run-fuzzers $(FUZZ_BUILD) $(FUZZ_SECONDS)

# 64-bit Windows programs in $(WINDOWS_BUILD)/bin, cross-built with mingw-w64.
deps-windows:
	@scripts/install-deps --windows

windows: deps-windows
	@cmake -S . -B $(WINDOWS_BUILD) -G Ninja --no-warn-unused-cli -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake $(CMAKE_FLAGS) >/dev/null
	@cmake --build $(WINDOWS_BUILD) -j $(JOBS)

# The Linux suite's console scenarios that test-windows runs against
# qvnupdate.exe under Wine. Left out: what only Linux has (signals, the test
# build's stop hooks, a pseudo-terminal, a small file system mounted for the
# test, symbolic links as Linux makes them, which Wine follows through) and
# --cacert, which Windows leaves to its certificate store.
WINE_SCENARIOS = ConsoleTest.*:FaultTest.*:SignedUpdate.*:Repair.*:Resume.*-ConsoleTest.AnHttps*:ConsoleTest.Sigint*:ConsoleTest.AStopDuringTheReplacement*:ConsoleTest.OnATerminal*:FaultTest.Killed*:FaultTest.ADiskThatFills*:FaultTest.TheShippedUpdater*

# The Windows unit tests and qvnpack.exe under Wine, in a private Wine prefix
# made once in $(WINDOWS_BUILD)/wineprefix; qvnpack.exe's output is checked by
# the Linux qvnpack, built first.
test-windows: configure windows
	@cmake --build $(BUILD) -j $(JOBS) --target qvnpack
	@[ -f $(WINDOWS_BUILD)/wineprefix/system.reg ] || \
	  WINEPREFIX=$(abspath $(WINDOWS_BUILD))/wineprefix WINEDEBUG=-all /usr/lib/wine/wine64 wineboot -i >/dev/null 2>&1
	@QVN_LINUX_QVNPACK=$(abspath $(BUILD))/bin/qvnpack ctest --test-dir $(WINDOWS_BUILD) --output-on-failure -j $(JOBS)
	@cmake --build $(BUILD) -j $(JOBS) --target test_session test_reliability
	@for t in test_session test_reliability; do \
	  WINEPREFIX=$(abspath $(WINDOWS_BUILD))/wineprefix WINEDEBUG=-all \
	  QVN_TEST_WINDOWS_UPDATER=$(abspath $(WINDOWS_BUILD))/bin/qvnupdate.exe \
	  $(BUILD)/tests/$$t --gtest_brief=1 --gtest_filter='$(WINE_SCENARIOS)' || exit 1; done

# The package, then installed, tried in both modes and removed (scripts/check-package).
package: build
	@cd $(BUILD) && cpack -G DEB
	@scripts/check-package "$$(ls -t $(BUILD)/quorvane-updater_*.deb | head -n 1)"

clean:
	rm -rf $(BUILD) $(WINDOWS_BUILD)
