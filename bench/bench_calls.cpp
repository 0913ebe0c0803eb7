// Per-call cost of every counter function on the simulated platform with a
// unit that answers at once, and the cost of the simulated pipe calls alone,
// so that the library's own share can be told apart from the simulation's.
#include <benchmark/benchmark.h>

#include <string>

#include "counter_calls.h"
#include "device/device.h"
#include "platform/platform.h"
#include "sim_world.h"

namespace brivant::bench {
namespace {

void simulatedCall(benchmark::State& state, const CounterCall& fn) {
    freshWorld(1);
    openUnits(1);
    std::int64_t failed = 0;
    for (auto _ : state) {
        failed += fn.call(0) != RC_OK;
    }
    state.counters["failed"] = static_cast<double>(failed);
    PlatformCalls platform = platformCallsPerRun(100, fn.call, 0);
    state.counters["writes/call"] = platform.writes;
    state.counters["reads/call"] = platform.reads;
    state.counters["platform/call"] = platform.total;
}

// One write and one read straight on the open unit's handle: what the
// simulation costs per exchange, with no library code around it.
void simulatedPipePair(benchmark::State& state, bool countReply) {
    freshWorld(1);
    openUnits(1);
    platform::UsbHandle usb = device::OpenUnit(0).usbHandle();
    const std::uint8_t ackFrame[] = {0x02, 'H', '2', 0x03};
    const std::uint8_t countFrame[] = {0x02, 'J', 0x03};
    const std::uint8_t* frame = countReply ? countFrame : ackFrame;
    std::uint32_t frameLength = countReply ? sizeof countFrame : sizeof ackFrame;
    std::uint32_t replyLength = countReply ? 15 : 1;
    std::uint8_t reply[20];
    auto pair = [&] {
        std::uint32_t transferred = 0;
        bool ok = platform::writePipe(usb, frame, frameLength, &transferred);
        ok = platform::readPipe(usb, reply, replyLength, &transferred) && ok;
        benchmark::DoNotOptimize(reply);
        return ok;
    };
    std::int64_t failed = 0;
    for (auto _ : state) {
        failed += !pair();
    }
    state.counters["failed"] = static_cast<double>(failed);
}

[[maybe_unused]] const bool registered = [] {
    for (const CounterCall& fn : kCounterCalls) {
        benchmark::RegisterBenchmark((std::string("sim/call/") + fn.name).c_str(), simulatedCall,
                                     fn);
    }
    benchmark::RegisterBenchmark("sim/pipe_pair/ack", simulatedPipePair, false);
    benchmark::RegisterBenchmark("sim/pipe_pair/count", simulatedPipePair, true);
    return true;
}();

} // namespace
} // namespace brivant::bench
