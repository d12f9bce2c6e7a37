# The two commands of the README: `make demo` and `make test`.
# Both install the Debian packages they need when missing, configure, build and run.

DEBIAN_PACKAGES := cmake ninja-build g++ libgtest-dev libgmock-dev libbenchmark-dev \
	libfftw3-dev libcli11-dev nlohmann-json3-dev python3 python3-numpy python3-nibabel nifti-bin \
	libismrmrd-dev ismrmrd-tools python3-h5py

BUILD      ?= build
ASAN_BUILD ?= build-asan
JOBS       ?= 2
CMAKE_FLAGS ?=

.PHONY: all setup configure build test test-shuffle test-sanitize test-tsan demo bench clean

all: build

setup:
	@missing=""; for p in $(DEBIAN_PACKAGES); do \
	  dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q "install ok installed" || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  echo "installing:$$missing"; \
	  SUDO=""; [ "$$(id -u)" -ne 0 ] && SUDO=sudo; \
	  $$SUDO apt-get update -qq && DEBIAN_FRONTEND=noninteractive $$SUDO apt-get install -y -qq $$missing; \
	fi

$(BUILD)/build.ninja: CMakeLists.txt | setup
	cmake -S . -B $(BUILD) -G Ninja $(CMAKE_FLAGS)

configure: setup
	cmake -S . -B $(BUILD) -G Ninja $(CMAKE_FLAGS)

build: configure
	cmake --build $(BUILD) -j$(JOBS)

test: build
	ctest --test-dir $(BUILD) -j$(JOBS) --output-on-failure

# The GoogleTest suites once more in a random order (the seed is printed
# first in each suite's output): a test that needs another to run first fails.
test-shuffle: build
	GTEST_SHUFFLE=1 ctest --test-dir $(BUILD) -j$(JOBS) --output-on-failure -L gtest

test-sanitize: setup
	cmake -S . -B $(ASAN_BUILD) -G Ninja -DDUV_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug
	cmake --build $(ASAN_BUILD) -j$(JOBS)
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --test-dir $(ASAN_BUILD) -j$(JOBS) --output-on-failure

test-tsan: setup
	cmake -S . -B build-tsan -G Ninja -DDUV_TSAN=ON -DCMAKE_BUILD_TYPE=Debug
	cmake --build build-tsan -j$(JOBS)
	ctest --test-dir build-tsan -j$(JOBS) --output-on-failure -L threads

demo: build
	scripts/demo.sh $(BUILD)

bench: build
	scripts/bench.sh $(BUILD)

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) build-tsan demo
