# Thin driver over CMake. `make demo` and `make test` install any missing
# system package first (non-interactive apt-get), then configure and build.
SHELL := /bin/bash
MAKEFLAGS += --no-print-directory
BUILD ?= build
ASAN_BUILD ?= build-asan
DEMO_BUILD ?= build-demo
INSTALL_BUILD ?= build-install
JOBS ?= $(shell nproc)
PREFIX ?= /usr/local
CMAKE_FLAGS ?=

# Debian packages the library and the CLI need (all `make demo` installs),
# and those the test suite adds.
DEMO_PKGS := g++ cmake make pkg-config libasio-dev libssl-dev libcli11-dev nlohmann-json3-dev \
             libcpp-httplib-dev libhiredis-dev libsqlite3-dev
APT_PKGS := $(DEMO_PKGS) libgtest-dev libgmock-dev libbenchmark-dev \
            clang libclang-rt-14-dev valgrind openssl python3 python3-jsonschema chromium \
            redis-server
# Only `make bench` needs these: libsmpp34's codec as a measurement peer, and
# perf for the profiles behind bench/README.md.
BENCH_PKGS := libsmpp34-dev linux-perf gnuplot-nox

# $(call apt_install,PACKAGES,EXTRA): installs whichever of PACKAGES is
# missing; EXTRA is shell that may add more names to $$missing.
define apt_install
	@missing=""; \
	for p in $(1); do dpkg -s $$p >/dev/null 2>&1 || missing="$$missing $$p"; done; \
	$(2) \
	if [ -n "$$missing" ]; then \
	  echo "== installing:$$missing"; \
	  sudo=""; [ "$$(id -u)" -eq 0 ] || sudo=sudo; \
	  $$sudo apt-get update -qq && \
	  DEBIAN_FRONTEND=noninteractive $$sudo apt-get install -y -qq --no-install-recommends $$missing; \
	fi
endef

.PHONY: all deps deps-demo bench-deps configure build test test-unit test-asan fuzz-smoke demo install bench fuzz check-memory chaos clean

all: build

deps:
	$(call apt_install,$(APT_PKGS),command -v node >/dev/null 2>&1 && command -v npm >/dev/null 2>&1 || missing="$$missing nodejs npm";)

deps-demo:
	$(call apt_install,$(DEMO_PKGS),)

bench-deps: deps
	$(call apt_install,$(BENCH_PKGS),)

configure: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELMOR_TEST_AREAS= $(CMAKE_FLAGS)

build: configure
	cmake --build $(BUILD) -j $(JOBS)

test-unit: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS) --timeout 300

# The whole suite again under AddressSanitizer (with LeakSanitizer) and UBSan.
test-asan: deps
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DVELMOR_SANITIZE=address,undefined \
	  -DVELMOR_BUILD_EXAMPLES=OFF -DVELMOR_TEST_AREAS= $(CMAKE_FLAGS)
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	cd $(ASAN_BUILD) && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
	  ctest --output-on-failure -j $(JOBS) --timeout 600 -LE no-asan

# A short run of every libFuzzer target (clang); the committed corpus is
# also replayed inside the ctest suites above, built with g++.
fuzz-smoke: deps
	fuzz/smoke.sh

test: test-unit test-asan fuzz-smoke

# Only the CLI, in a build directory of its own (no tests, no examples), so
# it neither needs the test suite's packages nor disturbs `make test`'s build.
demo: deps-demo
	cmake -S . -B $(DEMO_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELMOR_BUILD_TESTS=OFF \
	  -DVELMOR_BUILD_EXAMPLES=OFF $(CMAKE_FLAGS)
	cmake --build $(DEMO_BUILD) -j $(JOBS) --target velmorsmppdemo
	./$(DEMO_BUILD)/tools/cli/velmorsmppdemo send --receipt --to 46700000001 --text "Hello from Velmor"

bench: bench-deps
	bench/run.sh

# The session's chaos test at full length (ctest runs it bounded).
CHAOS_REQUESTS ?= 1000000
CHAOS_SECONDS ?= 600
chaos: build
	VELMOR_CHAOS_REQUESTS=$(CHAOS_REQUESTS) VELMOR_CHAOS_SECONDS=$(CHAOS_SECONDS) \
	  ./$(BUILD)/tests/session/velmor_session_chaos

FUZZ_SECONDS ?= 60
fuzz: deps
	fuzz/run.sh $(FUZZ_SECONDS)

check-memory: build
	tests/check-memory.sh $(BUILD)

# The libraries, headers, packages and the CLI only: the demo's packages, no
# test toolchain, no test suite built.
install: deps-demo
	cmake -S . -B $(INSTALL_BUILD) -DCMAKE_BUILD_TYPE=Release -DVELMOR_BUILD_TESTS=OFF \
	  -DVELMOR_BUILD_EXAMPLES=OFF -DVELMOR_BUILD_BENCH=OFF -DVELMOR_BUILD_FUZZ=OFF $(CMAKE_FLAGS)
	cmake --build $(INSTALL_BUILD) -j $(JOBS)
	cmake --install $(INSTALL_BUILD) --prefix $(PREFIX)

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(DEMO_BUILD) $(INSTALL_BUILD) build-bench build-fuzz
