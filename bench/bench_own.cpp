// The library's own cost per counter call: the same calls as on the
// simulated platform, over a platform whose pipe calls return at once, so
// nearly all of the time is the library's (argument checks, slot look-up and
// lock, frame building, reply decoding, and the two calls into the platform
// layer).
#include <benchmark/benchmark.h>

#include <string>

#include "alloc_count.h"
#include "counter_calls.h"

namespace brivant::bench {
namespace {

void ownCost(benchmark::State& state, const CounterCall& fn) {
    std::int16_t opened = Brivant_Device_Open(0);
    if (opened != RC_OK && opened != RC_ALREADY_OPEN) {
        state.SkipWithError("opening unit 0 on the null platform failed");
        return;
    }
    std::int64_t failed = 0;
    for (auto _ : state) {
        failed += fn.call(0) != RC_OK;
    }
    state.counters["failed"] = static_cast<double>(failed);
    state.counters["allocs/call"] = allocationsPerCall(1000, [&] { fn.call(0); });
}

[[maybe_unused]] const bool registered = [] {
    for (const CounterCall& fn : kCounterCalls) {
        benchmark::RegisterBenchmark((std::string("own/") + fn.name).c_str(), ownCost, fn);
    }
    return true;
}();

} // namespace
} // namespace brivant::bench
