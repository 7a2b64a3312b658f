// What every fuzz target needs: a broken invariant stops the run loudly, and the
// input bytes, or the output, as a stream, so each reader runs as it does on a file.
#pragma once

#include <cstdio>
#include <cstdlib>

#include "testing/memory_stream.h"

namespace fuzz {

// Aborts, naming the invariant, so that libFuzzer keeps the input that broke it.
inline void check(bool holds, const char* what) {
    if (!holds) {
        std::fprintf(stderr, "broken invariant: %s\n", what);
        std::abort();
    }
}

// The input bytes, or the output, as a stream: the memory streams the tests use too.
using memory_input = harness::memory_input;
using memory_output = harness::memory_output;

}  // namespace fuzz
