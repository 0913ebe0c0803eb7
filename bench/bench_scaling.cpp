// Calls on different units run side by side; calls on one unit take turns.
// Every simulated read takes a 200 µs round trip, slept outside the
// simulation's lock as a USB transfer would wait, so on a machine with few
// cores the figures show the waiting overlapping rather than CPU work.
// A call fails when it returns anything but OK or hands back another unit's
// counts.
#include <benchmark/benchmark.h>

#include <chrono>

#include "brivant.h"
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

// A count read that returned OK with the counts of the unit it asked.
bool readOwnCounts(std::int16_t id) {
    std::int32_t counts[3];
    std::uint8_t status[3];
    return Brivant_ReadCount(id, counts, status) == RC_OK && counts[0] == channel0Count(id);
}

void report(benchmark::State& state, std::int64_t failed) {
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
    auto id = static_cast<std::int16_t>(state.thread_index());
    std::int64_t failed = 0;
    for (auto _ : state) {
        failed += !readOwnCounts(id);
    }
    report(state, failed);
}

// Half the threads read counts and half send a one-byte-reply command, so an
// exchange that ran into another would read the wrong reply and fail.
void sharedUnit(benchmark::State& state) {
    bool reads = state.thread_index() % 2 == 0;
    std::int64_t failed = 0;
    for (auto _ : state) {
        failed += reads ? !readOwnCounts(0) : Brivant_RunStop(0, 1, 1) != RC_OK;
    }
    report(state, failed);
}

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
