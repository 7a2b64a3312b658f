# Thin wrapper around CMake; see README.md.
.PHONY: all help deps test-deps build demo test check-sanitizers check-faults memcheck fuzz bench install uninstall package clean

MAKEFLAGS += --no-print-directory

FUZZ_SECONDS ?= 60
# How many compiler jobs a build runs side by side.
JOBS ?= 2
PROGRAMS = fieldsplit slotplan reqpack payrise
# What an installation and the Debian package hold: cmake --install and cpack install these.
INSTALLED = $(PROGRAMS) doc_files
PREFIX ?= /usr/local
DESTDIR ?=

# Two packages of one commit are the same bytes: their file times are the last commit's
# unless SOURCE_DATE_EPOCH says otherwise (outside a git clone it stays unset).
SOURCE_DATE_EPOCH ?= $(shell git log -1 --format=%ct 2>/dev/null)
# The packaged programs get the distribution's hardening flags, all of them.
BUILDFLAGS = DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --get

all: build

help:
	@echo "make demo              build the four programs, run each on its samples in examples/"
	@echo "make test              build the tests (preset dev) and run them"
	@echo "make build             build the programs and their man pages (preset default)"
	@echo "make install           build, then install under DESTDIR/PREFIX (default /usr/local)"
	@echo "make uninstall         remove what make install put under DESTDIR/PREFIX"
	@echo "make check-sanitizers  the tests built with AddressSanitizer and UBSan"
	@echo "make check-faults      fail every file call of a small run of each program"
	@echo "make memcheck          the tests with every program run under valgrind"
	@echo "make fuzz              run each fuzz target for FUZZ_SECONDS (default 60)"
	@echo "make bench             time reqpack and payrise on large generated inputs"
	@echo "make package           the Debian package in build/package/, checked by lintian"
	@echo "make deps, test-deps   only install what the build, or the tests, need"
	@echo "make clean             remove build/"
	@echo "make help              this list"
	@echo "JOBS=N sets the parallel compiler jobs (default 2); SUITE_NO_INSTALL=1 installs"
	@echo "no package as root: a missing one is named, as for any other user."

# What each command needs, asked for once at its start, so that apt-get fetches the
# package lists once at most. The programs need BUILD_NEEDS; the tests more, and without
# a package after --optional the tests that need it are skipped (the Debian package,
# the access list, reqpack's bash completion, man's lookup of the installed pages).
# The sanitizer build leaves out the scripts; the failed calls are strace's.
BUILD_NEEDS = cmake g++ make ninja-build
TEST_NEEDS = $(BUILD_NEEDS) libgtest-dev groff-base strace --optional dpkg-dev file acl bash-completion man-db
SANITIZER_NEEDS = $(BUILD_NEEDS) libgtest-dev --optional acl
FAULT_NEEDS = $(BUILD_NEEDS) libgtest-dev strace
NEED = @tools/need

deps:
	$(NEED) $(BUILD_NEEDS)

test-deps:
	$(NEED) $(TEST_NEEDS)

# The build users install from: the programs, their man pages and the benchmark
# helpers, no tests; warnings do not stop it.
build:
	$(NEED) $(BUILD_NEEDS)
	cmake --preset default >/dev/null
	cmake --build --preset default --parallel $(JOBS)

demo:
	$(NEED) $(BUILD_NEEDS)
	cmake --preset default >/dev/null
	cmake --build --preset default --parallel $(JOBS) --target $(PROGRAMS)
	tools/demo $(CURDIR)/build/default/bin $(CURDIR)/build/demo

# The developer presets build the tests and treat warnings as errors. make test builds
# one, the optimised dev preset: a second build would double its time on a clean clone.
test:
	$(NEED) $(TEST_NEEDS)
	cmake --preset dev >/dev/null
	cmake --build --preset dev --parallel $(JOBS)
	ctest --preset dev

# The same tests, every program and library built with AddressSanitizer and
# UndefinedBehaviorSanitizer (the asan preset).
check-sanitizers:
	$(NEED) $(SANITIZER_NEEDS)
	cmake --preset asan >/dev/null
	cmake --build --preset asan --parallel $(JOBS)
	ctest --preset asan

# Every file call of a small run of each program failed in turn (tests/fault_test.sh):
# the dev preset's tests labelled faults, which make test leaves out for their time.
check-faults:
	$(NEED) $(FAULT_NEEDS)
	cmake --preset dev >/dev/null
	cmake --build --preset dev --parallel $(JOBS)
	ctest --preset faults

# The end-to-end runs under valgrind; any error or leak fails the test that ran it.
memcheck:
	$(NEED) valgrind $(TEST_NEEDS)
	cmake --preset dev >/dev/null
	cmake --build --preset dev --parallel $(JOBS)
	SUITE_TEST_WRAPPER="valgrind --quiet --error-exitcode=97 --leak-check=full --show-leak-kinds=all --errors-for-leak-kinds=all" \
		ctest --preset dev

fuzz:
	$(NEED) $(BUILD_NEEDS) clang-14 libclang-rt-14-dev
	cmake -S . -B build/fuzz -DCMAKE_CXX_COMPILER=clang++-14 -DCMAKE_BUILD_TYPE=RelWithDebInfo \
		-DSUITE_FUZZ=ON -DSUITE_WERROR=ON -DBUILD_TESTING=OFF >/dev/null
	cmake --build build/fuzz --parallel $(JOBS)
	tools/fuzz build/fuzz/fuzzers $(FUZZ_SECONDS)

# Large generated inputs in build/bench; times and peak memory against the goals.
bench:
	$(NEED) $(BUILD_NEEDS) time hyperfine
	@$(MAKE) build
	bench/run $(CURDIR)/build/default/bin $(CURDIR)/build/bench

# The programs, man pages, documents and completion under DESTDIR/PREFIX.
install:
	$(NEED) $(BUILD_NEEDS)
	cmake --preset default >/dev/null
	cmake --build --preset default --parallel $(JOBS) --target $(INSTALLED)
	DESTDIR="$(DESTDIR)" cmake --install build/default --prefix "$(PREFIX)"

# Removes what make install with the same PREFIX and DESTDIR put there, as the list the
# install wrote there says; nothing is configured or built.
uninstall:
	tools/uninstall "$(PREFIX)" "$(DESTDIR)"

# The Debian package in build/package/, checked by lintian.
package:
	$(NEED) $(BUILD_NEEDS) dpkg-dev file lintian
	cmake --preset package -DCMAKE_CXX_FLAGS="$$($(BUILDFLAGS) CPPFLAGS) $$($(BUILDFLAGS) CXXFLAGS)" \
		-DCMAKE_EXE_LINKER_FLAGS="$$($(BUILDFLAGS) LDFLAGS)" >/dev/null
	cmake --build --preset package --parallel $(JOBS) --target $(INSTALLED)
	rm -f build/package/*.deb
	$(if $(SOURCE_DATE_EPOCH),SOURCE_DATE_EPOCH=$(SOURCE_DATE_EPOCH)) \
		cpack -G DEB --config build/package-tree/CPackConfig.cmake -B build/package
	lintian --pedantic -I --fail-on error build/package/*.deb >build/package/lintian.txt; \
		status=$$?; cat build/package/lintian.txt; exit $$status
	@if grep -q hardening build/package/lintian.txt; then \
		echo "package: lintian finds programs built without the hardening flags" >&2; exit 1; fi
	dpkg-deb -c build/package/*.deb
	sha256sum build/package/*.deb

clean:
	rm -rf build
