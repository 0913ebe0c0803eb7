// Setting up the simulated platform for a benchmark.
#pragma once

#include <chrono>
#include <cstdint>

namespace brivant::bench {

// Closes every slot and empties the simulation, then adds `units` units that
// answer K with 0, 1, 2, ... in enumeration order, each read taking
// `readDelay` (the unit's round trip). Nothing is recorded, so a transfer
// costs the simulation no allocation.
// Each unit's channel 0 count tells it apart from the others.
void freshWorld(int units, std::chrono::microseconds readDelay = std::chrono::microseconds(0));

// The channel 0 count that unit `unit` of a fresh world reports.
constexpr std::int32_t channel0Count(int unit) { return 0x3000 + unit; }

// Opens IDs 0 to count - 1. A failure ends the program: every figure after it
// would be meaningless.
void openUnits(int count);

void closeAll();

// Platform calls that `calls` runs of `body` made, per run.
struct PlatformCalls {
    double writes = 0;
    double reads = 0;
    double total = 0;
};
PlatformCalls platformCallsPerRun(int calls, std::int16_t (*body)(std::int16_t id),
                                  std::int16_t id);

} // namespace brivant::bench
