# Wraps CMake and CTest: `make test` builds everything and runs every test, `make demo` shows it working.
BUILD_DIR ?= build
MAKEFLAGS += --no-print-directory
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=

PACKAGES := cmake make g++ binutils procps libgtest-dev openjdk-17-jdk-headless junit5 libcli11-dev nlohmann-json3-dev

.PHONY: all build test demo viewer deps clean

all: build

deps:
	@scripts/ensure-packages $(PACKAGES)

$(BUILD_DIR)/CMakeCache.txt: | deps
	cmake -S . -B $(BUILD_DIR) -DZORAVOVAR_WERROR=ON $(CMAKE_FLAGS)

build: deps $(BUILD_DIR)/CMakeCache.txt
	cmake --build $(BUILD_DIR) -j $(JOBS)

test: build
	ctest --test-dir $(BUILD_DIR) --output-on-failure -j $(JOBS)

# trackd-sim plays trackd's part while the Java demo polls it for a few seconds.
demo: build
	@scripts/with-simulator $(BUILD_DIR) calvora.devicedriver.demo.TrackdDemo --seconds 5

# The same with the Swing viewer, for a minute (close its window to stop sooner).
viewer: build
	@[ -n "$${DISPLAY:-}" ] || { echo "make viewer needs a display: DISPLAY is not set" >&2; exit 1; }
	@scripts/with-simulator $(BUILD_DIR) calvora.devicedriver.demo.TrackdViewer --seconds 60

clean:
	rm -rf $(BUILD_DIR)
