# Wraps CMake and CTest: `make test` builds everything and runs every test, `make demo` shows it working.
BUILD_DIR ?= build
MAKEFLAGS += --no-print-directory
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=

PACKAGES := cmake make g++ binutils procps pkgconf dpkg-dev file libgtest-dev openjdk-17-jdk-headless junit5 \
            libcli11-dev nlohmann-json3-dev

.PHONY: all build test demo viewer deb test-deb deps clean

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
JAVA_DEMO = java -Djava.library.path=$(BUILD_DIR)/lib -cp $(BUILD_DIR)/zoravovar.jar:$(BUILD_DIR)/zoravovar-demo.jar

demo: build
	@scripts/with-simulator $(BUILD_DIR)/bin/trackd-sim -- $(JAVA_DEMO) calvora.devicedriver.demo.TrackdDemo --seconds 5

# The same with the Swing viewer, for a minute (close its window to stop sooner).
viewer: build
	@[ -n "$${DISPLAY:-}" ] || { echo "make viewer needs a display: DISPLAY is not set" >&2; exit 1; }
	@scripts/with-simulator $(BUILD_DIR)/bin/trackd-sim -- $(JAVA_DEMO) calvora.devicedriver.demo.TrackdViewer --seconds 60

# A .deb for /usr, built apart from the development build.
deb: deps
	cmake -S . -B $(BUILD_DIR)-deb -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr -DZORAVOVAR_BUILD_TESTS=OFF \
	      -DZORAVOVAR_WERROR=ON $(CMAKE_FLAGS)
	cmake --build $(BUILD_DIR)-deb -j $(JOBS)
	cd $(BUILD_DIR)-deb && cpack -G DEB

# Installs the .deb, uses it from C and Java with default settings, and removes it again (as root).
test-deb: deb
	tests/install/check-deb $(BUILD_DIR)-deb

clean:
	rm -rf $(BUILD_DIR) $(BUILD_DIR)-deb
