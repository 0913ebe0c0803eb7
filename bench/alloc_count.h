// Counts every heap allocation the benchmark process makes, so a benchmark can
// show how many a library call costs. Linking alloc_count.cpp into a binary
// replaces its global operator new and its malloc family.
#pragma once

#include <cstdint>

namespace brivant::bench {

struct AllocCounts {
    std::uint64_t news = 0;    // operator new, every form
    std::uint64_t mallocs = 0; // malloc, calloc and realloc called directly
    std::uint64_t total() const { return news + mallocs; }
};

AllocCounts allocCounts();

// Allocations made by `calls` runs of `body`, divided by `calls`.
template <typename Body>
double allocationsPerCall(int calls, Body&& body) {
    AllocCounts before = allocCounts();
    for (int i = 0; i < calls; ++i) {
        body();
    }
    AllocCounts after = allocCounts();
    return static_cast<double>(after.total() - before.total()) / calls;
}

} // namespace brivant::bench
