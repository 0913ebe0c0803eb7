// Sixteen units, sixteen threads, a random mix of open, close and every
// counter function with arguments in and out of bounds. Each thread owns one
// unit ID, opens and closes it, and knows what every call on it must give; it
// also sends counter calls to the other threads' units, which may be open or
// not at that moment. The units must never see two exchanges interleaved,
// and every count read must be the addressed unit's own.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <thread>

#include "stress_mix.h"
#include "support.h"

namespace brivant::test {
namespace {

using stress::Clock;
using stress::countsOf;
using stress::Tally;

constexpr int kThreads = 16;

int callsPerThread() {
    const char* text = std::getenv("BRIVANT_STRESS_CALLS");
    int calls = text != nullptr ? std::atoi(text) : 0;
    return calls > 0 ? calls : 10000;
}

const stress::Api kDirect = {
    Brivant_Device_Open,   Brivant_Device_Close,  Brivant_InputInverter, Brivant_OutputInverter,
    Brivant_OutputMode,    Brivant_SelClearEvent, Brivant_SelMultiplier, Brivant_SetLimitter,
    Brivant_ForcedClear,   Brivant_RunStop,       Brivant_WritePresetData, Brivant_ReadCount,
    Brivant_ReadCountCh,
};

class StressTest : public SimTest {};

TEST_F(StressTest, SixteenThreadsOnSixteenUnitsGetOnlyTheAddressedUnitsResults) {
    const unsigned seed = static_cast<unsigned>(Clock::now().time_since_epoch().count() % 1000000);
    std::mt19937 shuffle(seed);
    std::vector<int> ids(kThreads);
    for (int i = 0; i < kThreads; ++i) {
        ids[i] = i;
    }
    std::shuffle(ids.begin(), ids.end(), shuffle); // enumeration order unrelated to IDs
    for (int id : ids) {
        sim::Unit unit = unitWithId(id, countsOf(id));
        if (id % 4 == 0) {
            unit.readDelay = std::chrono::microseconds(50); // a slower unit overlaps the others
        }
        sim::addUnit(unit);
    }
    sim::setRecording(false);

    const int calls = callsPerThread();
    const auto started = Clock::now();
    const auto deadline = started + std::chrono::seconds(60);
    std::vector<Tally> tallies(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back(stress::hammer, std::cref(kDirect), static_cast<int16_t>(t), kThreads,
                             seed + static_cast<unsigned>(t), calls, deadline, std::ref(tallies[t]));
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started);

    Tally total;
    for (const Tally& tally : tallies) {
        total.add(tally);
    }
    for (const std::string& error : total.firstErrors) {
        ADD_FAILURE() << error << " (seed " << seed << ")";
    }
    EXPECT_EQ(total.errors, 0) << "calls that gave a result they may not give, seed " << seed;
    EXPECT_EQ(sim::interleavedExchanges(), 0) << "seed " << seed;
    EXPECT_EQ(sim::badReleases(), 0);
    EXPECT_GT(total.exchanges, 0);
    EXPECT_GE(sim::maxReadsInFlight(), 1);
    std::printf("stress: %d threads x %d calls asked, %ld made (%ld opens, %ld closes, %ld exchanges) "
                "in %lld ms, seed %u, %d interleaved exchanges, at most %d reads in flight\n",
                kThreads, calls, total.calls, total.opens, total.closes, total.exchanges,
                static_cast<long long>(elapsed.count()), seed, sim::interleavedExchanges(),
                sim::maxReadsInFlight());
}

} // namespace
} // namespace brivant::test
