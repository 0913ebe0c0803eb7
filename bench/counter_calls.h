// The eleven counter functions, each as one call with valid arguments on a
// given unit, so every benchmark runs the same set.
#pragma once

#include <benchmark/benchmark.h>

#include <cstdint>

#include "alloc_count.h"
#include "brivant.h"

namespace brivant::bench {

struct CounterCall {
    const char* name;
    std::int16_t (*call)(std::int16_t id);
    bool readsCounts; // sends J and reads the 15-byte reply; the others read one byte
};

inline std::int16_t readCount(std::int16_t id) {
    std::int32_t counts[3];
    std::uint8_t status[3];
    std::int16_t rc = Brivant_ReadCount(id, counts, status);
    benchmark::DoNotOptimize(counts);
    benchmark::DoNotOptimize(status);
    return rc;
}

inline std::int16_t readCountCh(std::int16_t id) {
    std::int32_t count;
    std::uint8_t status;
    std::int16_t rc = Brivant_ReadCountCh(id, 1, &count, &status);
    benchmark::DoNotOptimize(count);
    benchmark::DoNotOptimize(status);
    return rc;
}

inline std::int16_t writePresetData(std::int16_t id) {
    static const std::uint32_t kData[2] = {0x12345678u, 0x9ABCDEF0u};
    return Brivant_WritePresetData(id, 2, kData);
}

inline const CounterCall kCounterCalls[] = {
    {"InputInverter", [](std::int16_t id) { return Brivant_InputInverter(id, 1, 1, 0, 1); }, false},
    {"OutputInverter", [](std::int16_t id) { return Brivant_OutputInverter(id, 1, 0, 1); }, false},
    {"OutputMode", [](std::int16_t id) { return Brivant_OutputMode(id, 2, 1, 1); }, false},
    {"SelClearEvent", [](std::int16_t id) { return Brivant_SelClearEvent(id, 0, 2); }, false},
    {"SelMultiplier", [](std::int16_t id) { return Brivant_SelMultiplier(id, 1, 2); }, false},
    {"SetLimitter", [](std::int16_t id) { return Brivant_SetLimitter(id, 2, 1, 0); }, false},
    {"ForcedClear", [](std::int16_t id) { return Brivant_ForcedClear(id, 2); }, false},
    {"RunStop", [](std::int16_t id) { return Brivant_RunStop(id, 0, 1); }, false},
    {"WritePresetData", writePresetData, false},
    {"ReadCount", readCount, true},
    {"ReadCountCh", readCountCh, true},
};

// `fn` on unit 0, opened first, as fast as the platform beneath answers:
// the library's own cost per call over a platform that returns at once.
inline void ownCostPerCall(benchmark::State& state, const CounterCall& fn) {
    std::int16_t opened = Brivant_Device_Open(0);
    if (opened != RC_OK && opened != RC_ALREADY_OPEN) {
        state.SkipWithError("opening unit 0 failed");
        return;
    }
    std::int64_t failed = 0;
    for (auto _ : state) {
        failed += fn.call(0) != RC_OK;
    }
    state.counters["failed"] = static_cast<double>(failed);
    state.counters["allocs/call"] = allocationsPerCall(1000, [&] { fn.call(0); });
}

} // namespace brivant::bench
