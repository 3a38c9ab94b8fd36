# Wraps CMake and CTest: `make test` builds everything and runs every test, `make demo` shows it working.
BUILD_DIR ?= build
MAKEFLAGS += --no-print-directory
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=

PACKAGES := cmake make g++ binutils procps pkgconf dpkg-dev file libgtest-dev openjdk-17-jdk-headless junit5 \
            libcli11-dev nlohmann-json3-dev libsimdjson-dev fonts-dejavu-core libjava3d-java libvecmath-java \
            cyclonedds-dev cyclonedds-tools libsodium-dev iproute2 util-linux nftables systemd \
            openjdk-17-jre xvfb libgl1-mesa-dri python3-dev python3-numpy pybind11-dev python3-pytest python3-matplotlib \
            python3-venv python3-pandas python3-h5py \
            libpicocli-java libtomlplusplus-dev libglfw3-dev libgl-dev

.PHONY: all build env test demo mirror-demo viewer j3d-demo j3d-screenshot bench deb test-deb test-asan test-tsan test-m32 fuzz lint deps clean

all: build

# Java 3D's jars, from Debian's libjava3d-java and libvecmath-java. Its native library lies in /usr/lib/jni,
# on the JVM's default search path, after LD_LIBRARY_PATH.
JAVA3D_JARS = /usr/share/java/j3dcore.jar:/usr/share/java/j3dutils.jar:/usr/share/java/vecmath.jar

# The exports that let a shell use the build tree as if it were installed: eval "$$(make -s env)". Prints
# only the exports (no build), so that they can be evaluated; run it after `make build`. CLASSPATH holds
# our jars and Java 3D's; the JVM finds the native libraries through LD_LIBRARY_PATH and its default path.
env:
	@b='$(abspath $(BUILD_DIR))'; \
	echo "export PATH=\"$$b/bin:\$$PATH\""; \
	echo "export LD_LIBRARY_PATH=\"$$b/lib\$${LD_LIBRARY_PATH:+:\$$LD_LIBRARY_PATH}\""; \
	echo "export CPATH=\"$(CURDIR)/reader/include:$(CURDIR)/room/include\$${CPATH:+:\$$CPATH}\""; \
	echo "export LIBRARY_PATH=\"$$b/lib\$${LIBRARY_PATH:+:\$$LIBRARY_PATH}\""; \
	echo "export CLASSPATH=\"$$b/zoravovar.jar:$$b/zoravovar-j3d.jar:$(JAVA3D_JARS):.\$${CLASSPATH:+:\$$CLASSPATH}\""; \
	echo "export PYTHONPATH=\"$$b/python\$${PYTHONPATH:+:\$$PYTHONPATH}\""

deps:
	@scripts/ensure-packages $(PACKAGES)

$(BUILD_DIR)/CMakeCache.txt: | deps
	cmake -S . -B $(BUILD_DIR) -DZORAVOVAR_WERROR=ON -DZORAVOVAR_JAVA3D=ON $(CMAKE_FLAGS)

build: deps $(BUILD_DIR)/CMakeCache.txt
	cmake --build $(BUILD_DIR) -j $(JOBS)

test: build
	ctest --test-dir $(BUILD_DIR) --output-on-failure -j $(JOBS)

# The native tests under AddressSanitizer and UndefinedBehaviorSanitizer.
test-asan: deps
	cmake -S . -B $(BUILD_DIR)-asan -DZORAVOVAR_SANITIZE=address,undefined -DZORAVOVAR_JAVA_TESTS=OFF -DZORAVOVAR_WERROR=ON
	cmake --build $(BUILD_DIR)-asan -j $(JOBS)
	ctest --test-dir $(BUILD_DIR)-asan --output-on-failure -j $(JOBS)

# The concurrent polling tests under ThreadSanitizer.
test-tsan: deps
	cmake -S . -B $(BUILD_DIR)-tsan -DZORAVOVAR_SANITIZE=thread -DZORAVOVAR_JAVA_TESTS=OFF -DZORAVOVAR_BUILD_TOOLS=OFF \
	      -DZORAVOVAR_WERROR=ON
	cmake --build $(BUILD_DIR)-tsan -j $(JOBS) --target readerTests
	ctest --test-dir $(BUILD_DIR)-tsan --output-on-failure -R '[Cc]oncurren'

# The library and its native tests built for 32-bit x86, run under qemu-i386 where the kernel cannot run them
# (M32_EMULATE=1 forces that way).
test-m32: deps
	@scripts/ensure-packages g++-multilib googletest
	@emulator=$$(scripts/m32-emulator) && simdjson=$$(scripts/m32-simdjson $(abspath $(BUILD_DIR))-m32-simdjson) && \
	set -x && \
	PKG_CONFIG_LIBDIR="$${simdjson%/cmake/simdjson}/pkgconfig" PKG_CONFIG_SYSROOT_DIR="$${simdjson%/usr/lib/i386-linux-gnu/cmake/simdjson}" \
	cmake -S . -B $(BUILD_DIR)-m32 -DCMAKE_C_FLAGS=-m32 -DCMAKE_CXX_FLAGS=-m32 -DZORAVOVAR_JAVA_TESTS=OFF \
	      -DZORAVOVAR_WERROR=ON -DZORAVOVAR_BUILD_MIRROR=OFF -DCMAKE_CROSSCOMPILING_EMULATOR="$$emulator" \
	      -Dsimdjson_DIR="$$simdjson"
	cmake --build $(BUILD_DIR)-m32 -j $(JOBS)
	ctest --test-dir $(BUILD_DIR)-m32 --output-on-failure -j $(JOBS)

# Fuzzes the library's reader, the recordings' reader and the installation file's parser for FUZZ_SECONDS in
# all (a third each), starting from the corpora kept in tests/fuzz/corpus, tests/fuzz/recording-corpus and
# tests/fuzz/room-corpus (with the dictionary tests/fuzz/room.dict).
FUZZ_SECONDS ?= 600
FUZZ_THIRD = $(shell echo $$(( ($(FUZZ_SECONDS) + 2) / 3 )))
FUZZ_RUN = -max_total_time=$(FUZZ_THIRD) -print_final_stats=1
fuzz: deps
	@scripts/ensure-packages clang-14 libfuzzer-14-dev libclang-rt-14-dev
	CC=clang-14 CXX=clang++-14 cmake -S . -B $(BUILD_DIR)-fuzz -DZORAVOVAR_FUZZ=ON \
	    -DZORAVOVAR_SANITIZE=address,undefined -DZORAVOVAR_BUILD_MIRROR=OFF -DZORAVOVAR_JAVA_TESTS=OFF
	cmake --build $(BUILD_DIR)-fuzz -j $(JOBS) --target readerFuzz recordingFuzz roomFuzz
	mkdir -p $(BUILD_DIR)-fuzz/corpus $(BUILD_DIR)-fuzz/recording-corpus $(BUILD_DIR)-fuzz/room-corpus \
	    $(BUILD_DIR)-fuzz/artifacts
	$(BUILD_DIR)-fuzz/bin/readerFuzz $(FUZZ_RUN) -artifact_prefix=$(BUILD_DIR)-fuzz/artifacts/ \
	    $(BUILD_DIR)-fuzz/corpus tests/fuzz/corpus
	$(BUILD_DIR)-fuzz/bin/recordingFuzz $(FUZZ_RUN) -artifact_prefix=$(BUILD_DIR)-fuzz/artifacts/recording- \
	    $(BUILD_DIR)-fuzz/recording-corpus tests/fuzz/recording-corpus
	$(BUILD_DIR)-fuzz/bin/roomFuzz $(FUZZ_RUN) -dict=tests/fuzz/room.dict -artifact_prefix=$(BUILD_DIR)-fuzz/artifacts/room- \
	    $(BUILD_DIR)-fuzz/room-corpus tests/fuzz/room-corpus

# Formatting, clang-tidy and cppcheck over the project's own C++; shellcheck over every shell script, pyflakes
# over the Python.
SOURCES = $(shell git ls-files '*.cpp' '*.h')
SHELL_SCRIPTS = $(shell git grep -lE '^\#!(/usr)?/bin/(env )?(ba)?sh' -- ':!*.md')
PYTHON_SOURCES = $(shell git ls-files '*.py' '*.pyi')
lint: build
	@scripts/ensure-packages clang-format clang-tidy cppcheck shellcheck pyflakes3
	shellcheck --external-sources --severity=warning $(SHELL_SCRIPTS)
	pyflakes3 $(PYTHON_SOURCES)
	clang-format --dry-run -Werror $(SOURCES)
	echo $(filter-out tests/fuzz/% bench/%,$(filter %.cpp,$(SOURCES))) | \
	    xargs -n 1 -P $(JOBS) clang-tidy -p $(BUILD_DIR) --quiet --warnings-as-errors='*'
	cppcheck --quiet --error-exitcode=1 --enable=warning,performance,portability --inline-suppr --std=c++20 \
	         --library=googletest --suppress=missingIncludeSystem --project=$(BUILD_DIR)/compile_commands.json \
	         -i $(BUILD_DIR)

# trackd-sim plays trackd's part while the Java demo polls it for a few seconds.
JAVA_DEMO = java -Djava.library.path=$(BUILD_DIR)/lib -cp $(BUILD_DIR)/zoravovar.jar:$(BUILD_DIR)/zoravovar-demo.jar:/usr/share/java/picocli.jar

# Only what the demo needs is built: the library, the jar, the simulator and the demo's jar.
demo: deps $(BUILD_DIR)/CMakeCache.txt
	cmake --build $(BUILD_DIR) -j $(JOBS) --target ZoravoVAR trackd-sim zoravovar-demo
	@scripts/with-simulator $(BUILD_DIR)/bin/trackd-sim -- $(JAVA_DEMO) calvora.devicedriver.demo.TrackdDemo --seconds 5

# The demo across two simulated hosts (as root): the simulator and the publisher on one, the subscriber
# and the Java demo on the other.
mirror-demo: deps $(BUILD_DIR)/CMakeCache.txt
	cmake --build $(BUILD_DIR) -j $(JOBS) --target ZoravoVAR trackd-sim trackd-mirror zoravovar-demo
	@scripts/mirror-demo $(BUILD_DIR) 5

# How long `make viewer` and `make j3d-demo` run, in seconds (close the window to stop sooner).
DEMO_SECONDS ?= 60

# The same with the Swing viewer, the build tree's trackd-viewer, naming the simulator's head and hand.
viewer: build
	@[ -n "$${DISPLAY:-}" ] || { echo "make viewer needs a display: DISPLAY is not set" >&2; exit 1; }
	@scripts/with-simulator $(BUILD_DIR)/bin/trackd-sim -- $(BUILD_DIR)/bin/trackd-viewer --names head,hand \
	    --duration $(DEMO_SECONDS)

# The README's head-tracking recipe with labels, driven by the simulator, for DEMO_SECONDS: the eye follows
# sensor 0, sensor 1 holds a small cube.
JAVA3D_CLASSPATH = $(BUILD_DIR)/zoravovar-j3d.jar:$(BUILD_DIR)/zoravovar-j3d-demo.jar:$(JAVA3D_JARS)
# Java 3D 1.5 reaches into the JDK's X11 classes, which JDK 9 and later export only on request.
JAVA3D_JVM_OPTIONS = --add-exports java.desktop/sun.awt=ALL-UNNAMED --add-opens java.desktop/sun.awt=ALL-UNNAMED
JAVA3D_DEMO = $(JAVA_DEMO):$(JAVA3D_CLASSPATH) $(JAVA3D_JVM_OPTIONS) -Djava.library.path=$(BUILD_DIR)/lib:/usr/lib/jni \
              calvora.devicedriver.demo.TrackdJava3dDemo
j3d-demo: build
	@[ -n "$${DISPLAY:-}" ] || { echo "make j3d-demo needs a display: DISPLAY is not set" >&2; exit 1; }
	@scripts/with-simulator $(BUILD_DIR)/bin/trackd-sim -- $(JAVA3D_DEMO) --duration $(DEMO_SECONDS)

# The README's picture of the demo, taken by the demo itself in an Xvfb of its own, the simulator holding
# one pose.
j3d-screenshot: build
	@scripts/with-display -- scripts/with-simulator $(BUILD_DIR)/bin/trackd-sim --play docs/java3d-demo-pose.jsonl \
	    --hold -- $(JAVA3D_DEMO) --duration 5 --screenshot docs/java3d-demo.png

# Every query beside its floor, natively and through Java, in one table.
bench: deps
	@scripts/ensure-packages libbenchmark-dev python3
	cmake -S . -B $(BUILD_DIR)-bench -DCMAKE_BUILD_TYPE=Release -DZORAVOVAR_BUILD_BENCHMARKS=ON \
	      -DZORAVOVAR_BUILD_TESTS=OFF -DZORAVOVAR_WERROR=ON
	cmake --build $(BUILD_DIR)-bench -j $(JOBS)
	bench/run-bench . $(BUILD_DIR)-bench

# The Debian packages for /usr, built apart from the development build with Debian's hardening flags.
export DEB_BUILD_MAINT_OPTIONS = hardening=+all
DEB_FLAGS = CFLAGS="$$(dpkg-buildflags --get CFLAGS) $$(dpkg-buildflags --get CPPFLAGS)" \
            CXXFLAGS="$$(dpkg-buildflags --get CXXFLAGS) $$(dpkg-buildflags --get CPPFLAGS)" \
            LDFLAGS="$$(dpkg-buildflags --get LDFLAGS)"
deb: deps
	@scripts/ensure-packages help2man
	$(DEB_FLAGS) cmake -S . -B $(BUILD_DIR)-deb -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
	      -DZORAVOVAR_BUILD_TESTS=OFF -DZORAVOVAR_JAVA3D=ON -DZORAVOVAR_WERROR=ON $(CMAKE_FLAGS)
	cmake --build $(BUILD_DIR)-deb -j $(JOBS)
	cd $(BUILD_DIR)-deb && cpack -G DEB

# Checks the packages with lintian, installs them, uses them from C, C++ and Java with no flags, and
# purges them again (as root).
test-deb: deb
	@scripts/ensure-packages lintian man-db
	tests/install/check-deb $(BUILD_DIR)-deb

clean:
	rm -rf $(BUILD_DIR) $(BUILD_DIR)-deb $(BUILD_DIR)-asan $(BUILD_DIR)-tsan $(BUILD_DIR)-m32 $(BUILD_DIR)-m32-simdjson $(BUILD_DIR)-fuzz $(BUILD_DIR)-bench
