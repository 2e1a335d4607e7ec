# The everyday commands. Each installs what is missing first.
BUILD ?= build
CMAKE_FLAGS ?=
JOBS ?= $(shell nproc)

.PHONY: all deps configure build test demo bench fuzz package clean

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
	@cmake --build $(BUILD) -j $(JOBS) --target qvn_bench qvnpack
	@$(BUILD)/bench/qvn_bench
	@bench/compare $(BUILD)

package: build
	@cd $(BUILD) && cpack -G DEB

clean:
	rm -rf $(BUILD)
