# The whole set-up: `make run` starts the station, `make test` runs every test.
BUILD_DIR ?= build
JOBS ?= $(shell nproc 2>/dev/null || echo 2)

# Debian 12 packages the build and the tests need.
DEB_PACKAGES := cmake make g++ pkg-config qt6-base-dev qt6-svg-dev libqt6svg6 qt6-multimedia-dev \
    libgtest-dev libgmock-dev iproute2 xvfb libx11-dev

.PHONY: all deps build test run bench screenshots clean

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

$(BUILD_DIR)/CMakeCache.txt:
	cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo

build: deps $(BUILD_DIR)/CMakeCache.txt
	cmake --build $(BUILD_DIR) -j $(JOBS)

test: build
	cd $(BUILD_DIR) && ctest --output-on-failure -j $(JOBS)

run: build
	./$(BUILD_DIR)/veltrin

bench: build
	./$(BUILD_DIR)/bench/bench_protocol
	./$(BUILD_DIR)/bench/bench_station
	./$(BUILD_DIR)/bench/bench_startup

screenshots: build
	tools/screenshots.sh $(BUILD_DIR)

clean:
	rm -rf $(BUILD_DIR)
