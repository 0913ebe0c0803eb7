// The library's own cost per counter call: the same calls as on the
// simulated platform, over a platform whose pipe calls return at once, so
// nearly all of the time is the library's (argument checks, slot look-up and
// lock, frame building, reply decoding, and the two calls into the platform
// layer).
#include <benchmark/benchmark.h>

#include <string>

#include "counter_calls.h"

namespace brivant::bench {
namespace {

[[maybe_unused]] const bool registered = [] {
    for (const CounterCall& fn : kCounterCalls) {
        benchmark::RegisterBenchmark((std::string("own/") + fn.name).c_str(), ownCostPerCall, fn);
    }
    return true;
}();

} // namespace
} // namespace brivant::bench
