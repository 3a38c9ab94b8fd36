# Wraps CMake and CTest: `make test` builds everything and runs every test, `make demo` shows it working.
BUILD_DIR ?= build
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=

PACKAGES := cmake make g++ binutils libgtest-dev openjdk-17-jdk-headless junit5

.PHONY: all build test deps clean

all: build

deps:
	@scripts/ensure-packages $(PACKAGES)

$(BUILD_DIR)/CMakeCache.txt: | deps
	cmake -S . -B $(BUILD_DIR) -DZORAVOVAR_WERROR=ON $(CMAKE_FLAGS)

build: deps $(BUILD_DIR)/CMakeCache.txt
	cmake --build $(BUILD_DIR) -j $(JOBS)

test: build
	ctest --test-dir $(BUILD_DIR) --output-on-failure -j $(JOBS)

clean:
	rm -rf $(BUILD_DIR)
