# The two commands of the README: `make demo` and `make test`.
# Both install the Debian packages they need when missing, configure, build and run.

DEBIAN_PACKAGES := cmake ninja-build g++ libgtest-dev libgmock-dev libbenchmark-dev \
	libfftw3-dev libcli11-dev nlohmann-json3-dev python3 python3-numpy python3-nibabel nifti-bin \
	libismrmrd-dev ismrmrd-tools python3-h5py help2man chromium

# The 32-bit Windows build: Debian's MinGW-w64 cross compiler (posix thread
# model) and GoogleTest's sources, built with it.
WIN32_PACKAGES := cmake ninja-build g++-mingw-w64-i686-posix googletest python3 python3-numpy python3-nibabel nifti-bin

# The fuzz harnesses: clang with its runtime (libFuzzer) besides what the
# normal build needs.
FUZZ_PACKAGES := clang libclang-rt-14-dev

BUILD       ?= build
ASAN_BUILD  ?= build-asan
WIN32_BUILD ?= build-win32
FUZZ_BUILD  ?= build-fuzz
FUZZ_SECONDS ?= 60
# Extra libFuzzer flags, e.g. -seed=N to repeat a run's inputs.
FUZZ_FLAGS  ?=
FUZZ_HARNESSES := protocol_text measurement_files ismrmrd_import file_report
JOBS        ?= 2
CMAKE_FLAGS ?=
PREFIX      ?= /usr/local
WIN32_GTEST := $(WIN32_BUILD)/googletest

.PHONY: all setup setup-win32 setup-fuzz fuzz configure build test test-shuffle test-sanitize test-tsan win32 win32-tests test-win32 demo bench install clean

all: build

# Installs the Debian packages of $(1) that are missing. An index that fails
# to download (a mirror in sync) does not stop the install from the rest.
define install-missing
	@missing=""; for p in $(1); do \
	  dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q "install ok installed" || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  echo "installing:$$missing"; \
	  SUDO=""; [ "$$(id -u)" -ne 0 ] && SUDO=sudo; \
	  $$SUDO apt-get -o DPkg::Lock::Timeout=600 update -qq || echo "apt-get update had errors; installing from the indexes it has"; \
	  DEBIAN_FRONTEND=noninteractive $$SUDO apt-get -o DPkg::Lock::Timeout=600 install -y -qq $$missing; \
	fi
endef

setup:
	$(call install-missing,$(DEBIAN_PACKAGES))

setup-win32:
	$(call install-missing,$(WIN32_PACKAGES))

setup-fuzz:
	$(call install-missing,$(FUZZ_PACKAGES))

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

# Each harness of tests/fuzz for FUZZ_SECONDS (libFuzzer, AddressSanitizer and
# UBSan, clang in $(FUZZ_BUILD)/). Seeds: tests/fuzz/corpus/NAME and
# tests/fuzz/regressions/NAME (never changed here); what libFuzzer adds goes
# to $(FUZZ_BUILD)/corpus/NAME, a crashing input to $(FUZZ_BUILD)/findings/NAME/.
# The first finding stops the target with an error.
fuzz: setup setup-fuzz
	CC=clang CXX=clang++ cmake -S . -B $(FUZZ_BUILD) -G Ninja -DDUV_FUZZ=ON -DDUV_TESTS=OFF -DDUV_BENCH=OFF
	cmake --build $(FUZZ_BUILD) -j$(JOBS) --target fuzzers
	@set -e; for h in $(FUZZ_HARNESSES); do \
	  [ -x $(FUZZ_BUILD)/bin/fuzz_$$h ] || { echo "fuzz_$$h was not built"; exit 1; }; \
	  mkdir -p $(FUZZ_BUILD)/corpus/$$h $(FUZZ_BUILD)/findings/$$h; \
	  seeds="tests/fuzz/corpus/$$h"; [ -d tests/fuzz/regressions/$$h ] && seeds="$$seeds tests/fuzz/regressions/$$h"; \
	  echo "fuzz_$$h: $(FUZZ_SECONDS) s"; \
	  LSAN_OPTIONS=suppressions=$(CURDIR)/tests/fuzz/lsan-suppressions.txt \
	  $(FUZZ_BUILD)/bin/fuzz_$$h -max_total_time=$(FUZZ_SECONDS) -timeout=25 -rss_limit_mb=2048 -print_final_stats=1 $(FUZZ_FLAGS) \
	    -artifact_prefix=$(FUZZ_BUILD)/findings/$$h/ $(FUZZ_BUILD)/corpus/$$h $$seeds 2>$(FUZZ_BUILD)/fuzz_$$h.log \
	    || { tail -n 60 $(FUZZ_BUILD)/fuzz_$$h.log; exit 1; }; \
	  grep -E "^stat::(number_of_executed_units|average_exec_per_sec|peak_rss_mb)" $(FUZZ_BUILD)/fuzz_$$h.log; \
	done

# GoogleTest for the Windows target, from Debian's source package.
$(WIN32_GTEST)/install/lib/cmake/GTest/GTestConfig.cmake: | setup-win32
	cmake -S /usr/src/googletest -B $(WIN32_GTEST)/build -G Ninja -DCMAKE_BUILD_TYPE=Release \
	  -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/i686-w64-mingw32.cmake -DCMAKE_INSTALL_PREFIX=$(CURDIR)/$(WIN32_GTEST)/install
	cmake --build $(WIN32_GTEST)/build -j$(JOBS)
	cmake --install $(WIN32_GTEST)/build

# The three DLLs (and the compiler's runtime DLLs beside them).
win32: setup-win32 $(WIN32_GTEST)/install/lib/cmake/GTest/GTestConfig.cmake
	cmake -S . -B $(WIN32_BUILD) -G Ninja -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/i686-w64-mingw32.cmake \
	  -DGTest_DIR=$(CURDIR)/$(WIN32_GTEST)/install/lib/cmake/GTest
	cmake --build $(WIN32_BUILD) -j$(JOBS) --target duvhost Derovo2 Viviv

# Every target of the Windows build, the test suites included, compiled but
# not run (no wine needed): CI fails on Windows compile breakage of the tests.
win32-tests: win32
	cmake --build $(WIN32_BUILD) -j$(JOBS)

# Every suite, run under wine (scripts/setup_wine.sh installs it).
test-win32: win32-tests
	scripts/setup_wine.sh
	ctest --test-dir $(WIN32_BUILD) -j$(JOBS) --output-on-failure

demo: build
	scripts/demo.sh $(BUILD)

bench: build
	scripts/bench.sh $(BUILD)

# duv, libduvhost, the modules (PREFIX/lib/duv) and the manual page; DESTDIR
# is honoured for staged installs.
install: build
	cmake --install $(BUILD) --prefix $(PREFIX)

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) build-tsan $(WIN32_BUILD) $(FUZZ_BUILD) demo
