# Thin wrapper around CMake; see README.md.
.PHONY: all deps build demo test memcheck fuzz bench package clean

MAKEFLAGS += --no-print-directory

FUZZ_SECONDS ?= 60
JOBS ?= 2
# What the Debian package holds; cpack installs these from the default build.
PACKAGED = fieldsplit slotplan reqpack payrise doc_files

all: build

deps:
	@tools/need cmake g++ make libgtest-dev groff-base strace

# The build users install from: warnings do not stop it.
build: deps
	cmake --preset default >/dev/null
	cmake --build --preset default --parallel $(JOBS)

demo: build
	tools/demo $(CURDIR)/build/default/bin $(CURDIR)/build/demo

# The developer presets treat warnings as errors.
test: deps
	@tools/need dpkg-dev file || echo "(the Debian package test will be skipped)"
	@tools/need acl || echo "(the access list test will be skipped)"
	cmake --preset dev >/dev/null
	cmake --build --preset dev --parallel $(JOBS)
	ctest --preset dev
	cmake --preset asan >/dev/null
	cmake --build --preset asan --parallel $(JOBS)
	ctest --preset asan

# The end-to-end runs under valgrind; any error or leak fails the test that ran it.
memcheck: deps
	@tools/need valgrind
	cmake --preset dev >/dev/null
	cmake --build --preset dev --parallel $(JOBS)
	SUITE_TEST_WRAPPER="valgrind --quiet --error-exitcode=97 --leak-check=full --show-leak-kinds=all --errors-for-leak-kinds=all" \
		ctest --preset dev

fuzz: deps
	@tools/need clang-14 libclang-rt-14-dev
	cmake -S . -B build/fuzz -DCMAKE_CXX_COMPILER=clang++-14 -DCMAKE_BUILD_TYPE=RelWithDebInfo \
		-DSUITE_FUZZ=ON -DSUITE_WERROR=ON -DBUILD_TESTING=OFF >/dev/null
	cmake --build build/fuzz --parallel $(JOBS)
	tools/fuzz build/fuzz/fuzzers $(FUZZ_SECONDS)

# Large generated inputs in build/bench; times and peak memory against the goals.
bench: build
	@tools/need time hyperfine
	bench/run $(CURDIR)/build/default/bin $(CURDIR)/build/bench

# The Debian package in build/package/, checked by lintian.
package: deps
	@tools/need dpkg-dev file lintian
	cmake --preset default >/dev/null
	cmake --build --preset default --parallel $(JOBS) --target $(PACKAGED)
	rm -f build/package/*.deb
	cpack -G DEB --config build/default/CPackConfig.cmake -B build/package
	lintian --fail-on error build/package/*.deb
	dpkg-deb -c build/package/*.deb

clean:
	rm -rf build
