// The library as shipped keeps no memory per call: after a warm-up, over a
// hundred thousand counter calls on a simulated unit leave the heap in use
// where it was. Linked against the shared library as applications load it,
// run with BRIVANT_BACKEND=sim (ctest sets it).
#include <malloc.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "brivant.h"

namespace {

constexpr std::int16_t kId = 0;           // one of the simulated units present from the start
constexpr int kWarmUpRounds = 1000;
constexpr int kRounds = 10000;            // 11 calls a round
constexpr std::size_t kToleranceBytes = 256; // allocator bookkeeping, not per-call growth

std::size_t heapInUse() { return mallinfo2().uordblks; }

// Each of the 11 counter functions once; false when any does not succeed.
bool everyCounterFunction(int round) {
    auto ch = static_cast<std::uint8_t>(round % 3);
    auto bit = static_cast<std::uint8_t>(round % 2);
    std::uint32_t preset[2] = {static_cast<std::uint32_t>(round), 0xFFFFFFFFu};
    std::int32_t counts[3];
    std::uint8_t status[3];
    std::int32_t count;
    std::uint8_t oneStatus;
    return Brivant_InputInverter(kId, ch, bit, 0, 1) == RC_OK &&
           Brivant_OutputInverter(kId, ch, 1, bit) == RC_OK &&
           Brivant_OutputMode(kId, ch, bit, bit) == RC_OK &&
           Brivant_SelClearEvent(kId, ch, static_cast<std::uint8_t>(round % 3)) == RC_OK &&
           Brivant_SelMultiplier(kId, ch, static_cast<std::uint8_t>(round % 3)) == RC_OK &&
           Brivant_SetLimitter(kId, ch, 0, bit) == RC_OK &&
           Brivant_WritePresetData(kId, ch, preset) == RC_OK &&
           Brivant_ForcedClear(kId, ch) == RC_OK &&
           Brivant_RunStop(kId, ch, 1) == RC_OK &&
           Brivant_ReadCount(kId, counts, status) == RC_OK &&
           Brivant_ReadCountCh(kId, ch, &count, &oneStatus) == RC_OK;
}

int fail(const char* why) {
    std::fprintf(stderr, "heap_stays_flat: %s\n", why);
    return 1;
}

} // namespace

int main() {
    // The heap figure must move when this process allocates, or a flat
    // figure below would mean nothing.
    std::size_t empty = heapInUse();
    void* volatile probe = std::malloc(4096);
    std::size_t withBlock = heapInUse();
    std::free(probe);
    if (withBlock < empty + 4096) {
        return fail("mallinfo2 does not see this process's allocations");
    }

    if (Brivant_Device_Open(kId) != RC_OK) {
        return fail("the simulated unit 0 does not open (is BRIVANT_BACKEND=sim set?)");
    }
    for (int round = 0; round < kWarmUpRounds; ++round) {
        if (!everyCounterFunction(round)) {
            return fail("a counter call failed during the warm-up");
        }
    }
    std::size_t before = heapInUse();
    for (int round = 0; round < kRounds; ++round) {
        if (!everyCounterFunction(round)) {
            return fail("a counter call failed");
        }
    }
    std::size_t after = heapInUse();
    Brivant_Device_Close(kId);

    long long growth = static_cast<long long>(after) - static_cast<long long>(before);
    std::printf("heap in use: %zu bytes before, %zu after %d counter calls: %+lld bytes "
                "(%.3f per call; tolerance %zu)\n",
                before, after, kRounds * 11, growth, static_cast<double>(growth) / (kRounds * 11),
                kToleranceBytes);
    if (growth > static_cast<long long>(kToleranceBytes)) {
        return fail("the heap grew with the calls");
    }
    return 0;
}
