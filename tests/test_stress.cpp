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

#include "support.h"

namespace brivant::test {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kThreads = 16;

// The J reply of the unit with this ID: every field tells the ID.
std::array<std::uint8_t, 15> countsOf(int id) {
    auto b = static_cast<std::uint8_t>(id);
    return {0, 0, 1, b, 0, 0, 2, b, 0, 0, 3, b, b, static_cast<std::uint8_t>(b + 16),
            static_cast<std::uint8_t>(b + 32)};
}

bool countsAreOf(int id, const int32_t* counts, const uint8_t* status) {
    return counts[0] == 0x100 + id && counts[1] == 0x200 + id && counts[2] == 0x300 + id &&
           status[0] == id && status[1] == id + 16 && status[2] == id + 32;
}

int callsPerThread() {
    const char* text = std::getenv("BRIVANT_STRESS_CALLS");
    int calls = text != nullptr ? std::atoi(text) : 0;
    return calls > 0 ? calls : 10000;
}

struct Tally {
    long calls = 0;
    long opens = 0;
    long closes = 0;
    long exchanges = 0; // counter calls that reached the unit
    std::vector<std::string> errors;
};

// One thread's run: `id` is its own unit; now and then it also calls on a
// neighbour's unit, or with an ID outside the table.
void hammer(int16_t id, unsigned seed, int calls, Clock::time_point deadline, Tally& tally) {
    std::mt19937 random(seed);
    auto pick = [&random](int below) { return static_cast<int>(random() % static_cast<unsigned>(below)); };
    // Mostly in bounds, sometimes one above, rarely far above.
    auto arg = [&](int bound) {
        int roll = pick(16);
        return static_cast<std::uint8_t>(roll < 13 ? pick(bound + 1) : roll < 15 ? bound + 1 : 200 + pick(56));
    };
    bool isOpen = false;
    auto fail = [&](const std::string& what, int got, int want) {
        if (tally.errors.size() < 10) {
            tally.errors.push_back("unit " + std::to_string(id) + ": " + what + " gave " +
                                   std::to_string(got) + ", wanted " + std::to_string(want));
        }
    };
    for (int i = 0; i < calls && Clock::now() < deadline; ++i) {
        ++tally.calls;
        const int where = pick(20);
        const bool foreign = where == 0;   // outside the table
        const bool neighbour = where >= 15; // another thread's unit: open or not, unknown
        const int16_t target = foreign     ? static_cast<int16_t>(pick(2) == 0 ? 16 + pick(40000) : -1 - pick(32000))
                               : neighbour ? static_cast<int16_t>(pick(kThreads))
                                           : id;
        const bool unknown = neighbour && target != id; // open or not: up to its owner
        const bool open = target == id && isOpen;
        const int op = neighbour ? 2 + pick(11) : pick(13);
        if (op == 0) {
            ++tally.opens;
            int16_t rc = Brivant_Device_Open(target);
            int16_t want = foreign ? RC_BAD_ID : open ? RC_ALREADY_OPEN : RC_OK;
            if (rc != want) {
                fail("open", rc, want);
            }
            isOpen = isOpen || (!foreign && rc == RC_OK);
            continue;
        }
        if (op == 1) {
            ++tally.closes;
            Brivant_Device_Close(target);
            isOpen = isOpen && foreign;
            continue;
        }
        std::uint8_t a[4];
        bool inBounds = true;
        int16_t rc = 0;
        const char* name = "";
        auto args = [&](std::initializer_list<int> bounds) {
            int k = 0;
            for (int bound : bounds) {
                a[k] = arg(bound);
                inBounds = inBounds && a[k] <= bound;
                ++k;
            }
        };
        int32_t counts[3] = {-7, -7, -7};
        uint8_t status[3] = {7, 7, 7};
        bool readsAll = false;
        bool readsOne = false;
        bool channelFirst = false; // ReadCountCh refuses a bad channel even when closed
        switch (op) {
        case 2: name = "InputInverter"; args({2, 1, 1, 1}); rc = Brivant_InputInverter(target, a[0], a[1], a[2], a[3]); break;
        case 3: name = "OutputInverter"; args({2, 1, 1}); rc = Brivant_OutputInverter(target, a[0], a[1], a[2]); break;
        case 4: name = "OutputMode"; args({2, 1, 1}); rc = Brivant_OutputMode(target, a[0], a[1], a[2]); break;
        case 5: name = "SelClearEvent"; args({2, 2}); rc = Brivant_SelClearEvent(target, a[0], a[1]); break;
        case 6: name = "SelMultiplier"; args({2, 2}); rc = Brivant_SelMultiplier(target, a[0], a[1]); break;
        case 7: name = "SetLimitter"; args({2, 1, 1}); rc = Brivant_SetLimitter(target, a[0], a[1], a[2]); break;
        case 8: name = "ForcedClear"; args({2}); rc = Brivant_ForcedClear(target, a[0]); break;
        case 9: name = "RunStop"; args({2, 1}); rc = Brivant_RunStop(target, a[0], a[1]); break;
        case 10: {
            name = "WritePresetData";
            args({2});
            const uint32_t data[2] = {static_cast<uint32_t>(random()), static_cast<uint32_t>(random())};
            const bool null = pick(10) == 0;
            inBounds = inBounds && !null;
            rc = Brivant_WritePresetData(target, a[0], null ? nullptr : data);
            break;
        }
        case 11: {
            name = "ReadCount";
            const bool null = pick(10) == 0;
            inBounds = !null;
            readsAll = true;
            rc = Brivant_ReadCount(target, null ? nullptr : counts, status);
            break;
        }
        default: {
            name = "ReadCountCh";
            args({2});
            const bool null = pick(10) == 0;
            channelFirst = a[0] > 2;
            inBounds = inBounds && !null;
            readsOne = true;
            rc = Brivant_ReadCountCh(target, a[0], null ? nullptr : &counts[0], &status[0]);
            break;
        }
        }
        int16_t want = channelFirst ? RC_BAD_PARAMETER : !open ? RC_NOT_OPEN
                     : !inBounds ? RC_BAD_PARAMETER : RC_OK;
        if (unknown && want == RC_NOT_OPEN) {
            want = rc == RC_NOT_OPEN ? RC_NOT_OPEN : inBounds ? RC_OK : RC_BAD_PARAMETER;
        }
        if (rc != want) {
            fail(name, rc, want);
        }
        if (rc == RC_OK) {
            ++tally.exchanges;
            if (readsAll && !countsAreOf(target, counts, status)) {
                fail("ReadCount counts of another unit", counts[0], 0x100 + target);
            }
            std::array<std::uint8_t, 15> theirs = countsOf(target);
            if (readsOne && (counts[0] != 0x100 * (a[0] + 1) + target || status[0] != theirs[12 + a[0]])) {
                fail("ReadCountCh count of another unit", counts[0], 0x100 * (a[0] + 1) + target);
            }
        } else if ((counts[0] != -7 || status[0] != 7) || (readsAll && (counts[2] != -7 || status[2] != 7))) {
            fail(std::string(name) + " wrote its outputs on failure", rc, 0);
        }
    }
}

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
        threads.emplace_back(hammer, static_cast<int16_t>(t), seed + static_cast<unsigned>(t), calls,
                             deadline, std::ref(tallies[t]));
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started);

    Tally total;
    for (const Tally& tally : tallies) {
        total.calls += tally.calls;
        total.opens += tally.opens;
        total.closes += tally.closes;
        total.exchanges += tally.exchanges;
        for (const std::string& error : tally.errors) {
            ADD_FAILURE() << error << " (seed " << seed << ")";
        }
    }
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
