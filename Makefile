# SPDX-License-Identifier: GPL-3.0-or-later
# The two commands of the README: `make run` and `make test`. Both install what
# is missing first, so they work on a fresh Debian 12 machine: `make run` only
# what building and running the program needs, and builds only the program and
# its web window plugin; `make test` everything, and builds everything.

BUILD      ?= build
ASAN_BUILD ?= build-asan
JOBS       ?= $(shell nproc)
# Most tests spend their time waiting on servers, peers and timers rather than
# on the processor: three at a time a processor keeps it busy.
TEST_JOBS  ?= $(shell echo $$(( 3 * $(JOBS) )))
CMAKE_GEN  := -G Ninja

FUZZ_BUILD   ?= build-fuzz
FUZZ_SECONDS ?= 600

# What `make run` builds: the program and the plugin it loads.
PROGRAM_TARGETS := svw svw_web_window_plugin

.PHONY: all deps deps-run configure build program run test test-main test-asan fuzz fuzz-build fuzz-smoke tidy bench \
	package smoke mutants clean

all: build

deps-run:
	@bash scripts/install-deps run

deps: deps-run
	@bash scripts/install-deps test

# Configuring needs only what building the program needs.
$(BUILD)/build.ninja: | deps-run
	cmake -S . -B $(BUILD) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo

configure: $(BUILD)/build.ninja

build: deps configure
	cmake --build $(BUILD) -j $(JOBS)

program: configure
	cmake --build $(BUILD) -j $(JOBS) --target $(PROGRAM_TARGETS)

run: program
	$(BUILD)/src/app/svw

# The fuzz smoke runs first so that the test runner's summary closes the output.
test: fuzz-smoke tidy test-main test-asan

test-main: build
	cd $(BUILD) && ctest --output-on-failure -j $(TEST_JOBS)

# The same tests built with AddressSanitizer and UndefinedBehaviorSanitizer.
test-asan: deps
	cmake -S . -B $(ASAN_BUILD) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Debug -DSVW_SANITIZE=ON
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	cd $(ASAN_BUILD) && ctest --output-on-failure -j $(TEST_JOBS) -LE no-sanitizer

# libFuzzer targets (clang). `make fuzz` runs each for FUZZ_SECONDS; the smoke
# run that `make test` does gives each a few seconds.
fuzz-build: deps
	cmake -S . -B $(FUZZ_BUILD) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSVW_FUZZ=ON \
		-DCMAKE_CXX_COMPILER=clang++
	cmake --build $(FUZZ_BUILD) -j $(JOBS)

fuzz: fuzz-build
	scripts/run-fuzzers $(FUZZ_BUILD) $(FUZZ_SECONDS)

fuzz-smoke: fuzz-build
	scripts/run-fuzzers $(FUZZ_BUILD) 5

# Static analysis of src/ with the checked-in .clang-tidy.
tidy: build
	scripts/run-clang-tidy $(BUILD)

# The Debian package, svw_1.00_<arch>.deb, in the build directory.
package: build
	cmake --build $(BUILD) --target package

# Two copies worked through their windows under Xvfb (also one of the tests);
# leaves $(BUILD)/smoke-two-copies.png.
smoke: build
	scripts/smoke-xvfb $(BUILD)/src/app/svw $(BUILD)

# Named faults planted one at a time in a scratch copy (scripts/mutants.d/):
# each must make one of its tests fail. Not part of `make test`.
mutants: deps
	scripts/mutants

bench: build
	cmake --build $(BUILD) --target benchmarks
	@for b in $(BUILD)/bench/bench_*; do [ -f "$$b" ] && [ -x "$$b" ] || continue; echo "== $$b"; "$$b"; done

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(FUZZ_BUILD)
