// Calls on different units run side by side; calls on one unit take turns.
// Every simulated read takes a 200 µs round trip, slept outside the
// simulation's lock as a USB transfer would wait, so on a machine with few
// cores the figures show the waiting overlapping rather than CPU work.
#include <benchmark/benchmark.h>

#include <chrono>

#include "counter_calls.h"
#include "platform/sim/sim.h"
#include "sim_world.h"

namespace brivant::bench {
namespace {

constexpr std::chrono::microseconds kRoundTrip(200);

void oneUnitPerThread(const benchmark::State&) {
    freshWorld(16, kRoundTrip);
    openUnits(16);
}

void oneSharedUnit(const benchmark::State&) {
    freshWorld(1, kRoundTrip);
    openUnits(1);
}

void closeUnits(const benchmark::State&) { closeAll(); }

void readCounts(benchmark::State& state, std::int16_t id) {
    std::int64_t failed = 0;
    for (auto _ : state) {
        failed += readCount(id) != RC_OK;
    }
    state.SetItemsProcessed(state.iterations());
    state.counters["failed"] = static_cast<double>(failed);
    if (state.thread_index() == 0) {
        // The most reads that were waiting for their units at one moment,
        // and exchanges that ran into one another on a unit.
        state.counters["max_in_flight"] = sim::maxReadsInFlight();
        state.counters["interleaved"] = sim::interleavedExchanges();
    }
}

void ownUnits(benchmark::State& state) {
    readCounts(state, static_cast<std::int16_t>(state.thread_index()));
}

void sharedUnit(benchmark::State& state) { readCounts(state, 0); }

BENCHMARK(ownUnits)
    ->Name("scaling/own_unit")
    ->Setup(oneUnitPerThread)
    ->Teardown(closeUnits)
    ->ThreadRange(1, 16)
    ->UseRealTime()
    ->Unit(benchmark::kMicrosecond);

BENCHMARK(sharedUnit)
    ->Name("scaling/shared_unit")
    ->Setup(oneSharedUnit)
    ->Teardown(closeUnits)
    ->Threads(8)
    ->UseRealTime()
    ->Unit(benchmark::kMicrosecond);

} // namespace
} // namespace brivant::bench
