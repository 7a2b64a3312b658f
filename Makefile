# Thin wrapper around CMake; see README.md.
.PHONY: all deps build demo test memcheck fuzz bench clean

MAKEFLAGS += --no-print-directory

FUZZ_SECONDS ?= 60
JOBS ?= 2

all: build

deps:
	@tools/need cmake g++ make libgtest-dev groff-base strace

build: deps
	cmake --preset default >/dev/null
	cmake --build --preset default --parallel $(JOBS)

demo: build
	tools/demo $(CURDIR)/build/default/bin $(CURDIR)/build/demo

test: deps
	cmake --preset default >/dev/null
	cmake --build --preset default --parallel $(JOBS)
	ctest --preset default
	cmake --preset asan >/dev/null
	cmake --build --preset asan --parallel $(JOBS)
	ctest --preset asan

# The end-to-end runs under valgrind; any error or leak fails the test that ran it.
memcheck: build
	@tools/need valgrind
	SUITE_TEST_WRAPPER="valgrind --quiet --error-exitcode=97 --leak-check=full --show-leak-kinds=all --errors-for-leak-kinds=all" \
		ctest --preset default

fuzz: deps
	@tools/need clang-14 libclang-rt-14-dev
	cmake -S . -B build/fuzz -DCMAKE_CXX_COMPILER=clang++-14 -DCMAKE_BUILD_TYPE=RelWithDebInfo \
		-DSUITE_FUZZ=ON -DSUITE_WERROR=ON -DBUILD_TESTING=OFF >/dev/null
	cmake --build build/fuzz --parallel $(JOBS)
	tools/fuzz build/fuzz/fuzzers $(FUZZ_SECONDS)

# Large generated inputs in build/bench; times and peak memory against the goals.
bench: build
	@tools/need time
	bench/run $(CURDIR)/build/default/bin $(CURDIR)/build/bench

clean:
	rm -rf build
