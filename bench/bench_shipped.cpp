// Every counter function in the library as users get it: the shared library
// with none of the tests' instrumentation linked in, its simulated backend
// chosen (BRIVANT_BACKEND=sim), talking to its demo unit 0 (a live unit that
// answers at once).
// This is where the allocations per call are counted.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <string>

#include "alloc_count.h"
#include "counter_calls.h"

namespace brivant::bench {
namespace {

constexpr std::int16_t kDemoUnit = 0;

void shippedCall(benchmark::State& state, const CounterCall& fn) {
    // An open and a close allocate (the enumeration's set and the handles):
    // a count above zero here shows that the counter sees the library's own
    // allocations, so the zero per counter call means something. The first
    // open also sets up the simulated bus; it is left out.
    Brivant_Device_Open(kDemoUnit);
    Brivant_Device_Close(kDemoUnit);
    state.counters["allocs/open+close"] = allocationsPerCall(1, [] {
        Brivant_Device_Open(kDemoUnit);
        Brivant_Device_Close(kDemoUnit);
    });
    if (Brivant_Device_Open(kDemoUnit) != RC_OK) {
        state.SkipWithError("the shipped library's demo unit 0 does not open");
        return;
    }
    std::int64_t failed = 0;
    for (auto _ : state) {
        failed += fn.call(kDemoUnit) != RC_OK;
    }
    state.counters["failed"] = static_cast<double>(failed);
    state.counters["allocs/call"] = allocationsPerCall(1000, [&] { fn.call(kDemoUnit); });
    Brivant_Device_Close(kDemoUnit);
}

[[maybe_unused]] const bool registered = [] {
    setenv("BRIVANT_BACKEND", "sim", 1); // before the library's first call chooses
    for (const CounterCall& fn : kCounterCalls) {
        benchmark::RegisterBenchmark((std::string("shipped/") + fn.name).c_str(), shippedCall, fn);
    }
    return true;
}();

} // namespace
} // namespace brivant::bench
