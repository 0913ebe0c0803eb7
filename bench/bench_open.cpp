// What an open costs: one open and close cycle with 1 to 16 units present,
// the wanted unit first or last in enumeration order. Each unit asked before
// the match costs a temporary connection and one K exchange, which on real
// hardware is one USB round trip.
#include <benchmark/benchmark.h>

#include <vector>

#include "brivant.h"
#include "platform/sim/sim.h"
#include "sim_world.h"

namespace brivant::bench {
namespace {

struct CallTally {
    double total = 0;
    double exchanges = 0; // writes to the out pipe
};

CallTally tally(const std::vector<sim::Call>& calls) {
    CallTally counted;
    for (const sim::Call& call : calls) {
        counted.total += 1;
        counted.exchanges += call.op == sim::Op::WritePipe;
    }
    return counted;
}

void openCycle(benchmark::State& state) {
    auto units = static_cast<int>(state.range(0));
    bool wantedLast = state.range(1) != 0;
    freshWorld(units);
    auto id = static_cast<std::int16_t>(wantedLast ? units - 1 : 0);
    std::int64_t failed = 0;
    for (auto _ : state) {
        failed += Brivant_Device_Open(id) != RC_OK;
        Brivant_Device_Close(id);
    }

    // One more cycle with the record on, to count its platform calls.
    sim::setRecording(true);
    sim::clearCalls();
    failed += Brivant_Device_Open(id) != RC_OK;
    std::uint64_t counted = sim::callCount();
    CallTally open = tally(sim::calls());
    sim::clearCalls();
    Brivant_Device_Close(id);
    CallTally close = tally(sim::calls());
    sim::setRecording(false);
    state.counters["failed"] = static_cast<double>(failed);
    state.counters["platform/open"] = open.total;
    state.counters["K/open"] = open.exchanges;
    state.counters["platform/close"] = close.total;
    if (static_cast<double>(counted) != open.total) {
        state.SkipWithError("the record and the call count disagree");
    }
}

BENCHMARK(openCycle)
    ->Name("open")
    ->ArgsProduct({{1, 4, 8, 16}, {0, 1}})
    ->ArgNames({"units", "last"})
    ->Unit(benchmark::kMicrosecond);

} // namespace
} // namespace brivant::bench
