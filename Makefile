# The whole set-up: `make run` starts the station, `make test` runs every test.
BUILD_DIR ?= build
JOBS ?= $(shell nproc 2>/dev/null || echo 2)

# Debian 12 packages the build and the tests need.
DEB_PACKAGES := cmake make g++ pkg-config qt6-base-dev qt6-svg-dev libqt6svg6 qt6-multimedia-dev \
    libqt6sql6-sqlite libgtest-dev libgmock-dev iproute2 xvfb xauth libx11-dev fonts-dejavu-core \
    dpkg-dev file desktop-file-utils dbus weston qt6-wayland

# What `make package` needs besides the build, and `make test`, which makes the package and checks
# it: Debian's packaging tools, its package checker and the AppStream validator.
PACKAGE_DEB_PACKAGES := debhelper lintian appstream

.PHONY: all deps package-deps build test test-sanitized run bench screenshots clean install package

all: build

deps:
	@missing=""; \
	for p in $(DEB_PACKAGES); do \
	    dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q 'install ok installed' \
	        || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	    if [ "$$(id -u)" -eq 0 ]; then \
	        echo "Installing:$$missing"; \
	        apt-get update && DEBIAN_FRONTEND=noninteractive apt-get install -y $$missing; \
	    else \
	        echo "Missing packages. Run as root:"; \
	        echo "    apt-get install -y$$missing"; \
	        exit 1; \
	    fi; \
	fi

package-deps:
	@$(MAKE) --no-print-directory deps DEB_PACKAGES="$(PACKAGE_DEB_PACKAGES)"

$(BUILD_DIR)/CMakeCache.txt:
	cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo

build: deps $(BUILD_DIR)/CMakeCache.txt
	cmake --build $(BUILD_DIR) -j $(JOBS)

test: package-deps build
	cd $(BUILD_DIR) && ctest --output-on-failure -j $(JOBS)
	$(MAKE) test-sanitized

# The same tests once more, built with AddressSanitizer and UndefinedBehaviorSanitizer. Any
# report ends the program that met it with a failure, and so fails its test; the test discovery
# during the build runs under the same options. Leaks of the system's libraries that are not
# the station's are listed in tests/sanitizer/lsan.supp.
ASAN_BUILD_DIR ?= build-asan
SANITIZER_ENV := ASAN_OPTIONS=halt_on_error=1:detect_leaks=1:check_initialization_order=1 \
    UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
    LSAN_OPTIONS=suppressions=$(CURDIR)/tests/sanitizer/lsan.supp:print_suppressions=0

$(ASAN_BUILD_DIR)/CMakeCache.txt:
	cmake -S . -B $(ASAN_BUILD_DIR) -DVELTRIN_SANITIZE=ON -DCMAKE_CXX_COMPILER=g++ \
	    -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-g -O1"

test-sanitized: deps $(ASAN_BUILD_DIR)/CMakeCache.txt
	$(SANITIZER_ENV) cmake --build $(ASAN_BUILD_DIR) -j $(JOBS)
	cd $(ASAN_BUILD_DIR) && $(SANITIZER_ENV) ctest --output-on-failure -j $(JOBS)

# Into /usr/local (lib/veltrin, bin, share) as root; `make install DESTDIR=/some/root` elsewhere.
PREFIX ?= /usr/local
install: build
	DESTDIR="$(DESTDIR)" cmake --install $(BUILD_DIR) --prefix "$(PREFIX)"

# $(BUILD_DIR)/veltrin_<version>_<arch>.deb, made with debhelper from the build above.
package: package-deps build
	packaging/build-deb.sh $(BUILD_DIR) $(BUILD_DIR)

run: build
	./$(BUILD_DIR)/veltrin

bench: build
	./$(BUILD_DIR)/bench/bench_protocol
	./$(BUILD_DIR)/bench/bench_station
	./$(BUILD_DIR)/bench/bench_statuslog
	./$(BUILD_DIR)/bench/bench_startup
	./$(BUILD_DIR)/bench/bench_resolver
	./$(BUILD_DIR)/bench/bench_store

screenshots: build
	tools/screenshots.sh $(BUILD_DIR)

clean:
	rm -rf $(BUILD_DIR) $(ASAN_BUILD_DIR) $(FUZZ_BUILD_DIR)

# Fuzzing with clang's libFuzzer, in a build directory of its own; the ordinary build and its
# tests never need clang. Each target runs for FUZZ_SECONDS from the kept corpus, which is then
# minimised with what was found, in tests/fuzz/corpus/<target>/ to be committed; a crash is
# written to tests/fuzz/crashes/<target>/, which the ordinary suite replays once it is fixed.
FUZZ_DEB_PACKAGES := clang-14 libclang-rt-14-dev
FUZZ_BUILD_DIR ?= build-fuzz
FUZZ_SECONDS ?= 60
FUZZ_TARGETS := station_fuzz profilefile_fuzz addressbook_fuzz
FUZZ_FLAGS := -fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined \
    -fno-omit-frame-pointer

.PHONY: fuzz fuzz-deps

fuzz-deps:
	@$(MAKE) --no-print-directory deps DEB_PACKAGES="$(FUZZ_DEB_PACKAGES)"

fuzz: deps fuzz-deps
	cmake -S . -B $(FUZZ_BUILD_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	    -DCMAKE_CXX_COMPILER=clang++-14 -DBUILD_TESTING=OFF -DVELTRIN_FUZZ=ON \
	    -DCMAKE_CXX_FLAGS="$(FUZZ_FLAGS)" -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=address,undefined"
	cmake --build $(FUZZ_BUILD_DIR) -j $(JOBS) --target $(FUZZ_TARGETS)
	fuzz/run.sh $(FUZZ_BUILD_DIR) $(FUZZ_SECONDS) $(FUZZ_TARGETS)
