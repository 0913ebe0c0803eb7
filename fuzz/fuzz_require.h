// An invariant of a fuzzer: broken, it says which and aborts, which
// libFuzzer reports with the input.
#pragma once

#include <cstdio>
#include <cstdlib>

inline void require(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "broken: %s\n", what);
        std::abort();
    }
}
