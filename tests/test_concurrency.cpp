// Calls from several threads: one unit's exchanges never interleave, a close
// waits for the exchange in flight, and different units run side by side.
#include <atomic>
#include <chrono>
#include <thread>

#include "support.h"

namespace brivant::test {
namespace {

using std::chrono::microseconds;
using std::chrono::milliseconds;

class ConcurrencyTest : public SimTest {
protected:
    void slowReads(int unit, microseconds delay) {
        sim::Unit u = sim::getUnit(unit);
        u.readDelay = delay;
        sim::setUnit(unit, u);
    }
    static void waitForReadInFlight() {
        while (sim::maxReadsInFlight() < 1) {
            std::this_thread::yield();
        }
    }
};

TEST_F(ConcurrencyTest, ThreadsOnOneUnitNeverInterleaveTheirExchanges) {
    sim::addUnit(unitWithId(1, {0, 0, 0, 9, 0, 0, 0, 8, 0, 0, 0, 7, 1, 2, 3}));
    openQuietly(1);
    slowReads(0, microseconds(100));
    sim::setRecording(false);
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 6; ++t) {
        threads.emplace_back([t, &failures] {
            for (int i = 0; i < 60; ++i) {
                int32_t counts[3] = {};
                uint8_t status[3] = {};
                int16_t rc = (t + i) % 2 == 0 ? Brivant_ReadCount(1, counts, status)
                                              : Brivant_RunStop(1, static_cast<uint8_t>(i % 3), 1);
                if (rc != RC_OK || ((t + i) % 2 == 0 && (counts[0] != 9 || status[2] != 3))) {
                    ++failures;
                }
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(sim::interleavedExchanges(), 0);
    EXPECT_EQ(sim::maxReadsInFlight(), 1) << "one unit, one exchange at a time";
}

TEST_F(ConcurrencyTest, ThreadsOnDifferentUnitsOverlapInTime) {
    addUnits({0, 1, 2, 3});
    for (int16_t id = 0; id < 4; ++id) {
        ASSERT_EQ(Brivant_Device_Open(id), RC_OK);
        slowReads(id, milliseconds(30));
    }
    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    for (int16_t id = 0; id < 4; ++id) {
        threads.emplace_back([id, &failures] {
            for (int i = 0; i < 3; ++i) {
                failures += Brivant_ForcedClear(id, 0) != RC_OK;
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(failures.load(), 0);
    EXPECT_GE(sim::maxReadsInFlight(), 2) << "calls on different units must not wait for each other";
    EXPECT_EQ(sim::interleavedExchanges(), 0);
}

TEST_F(ConcurrencyTest, CloseWaitsForTheExchangeInFlight) {
    addUnits({5});
    ASSERT_EQ(Brivant_Device_Open(5), RC_OK);
    slowReads(0, milliseconds(50));
    int16_t result = -1;
    std::thread reader([&result] {
        int32_t counts[3];
        uint8_t status[3];
        result = Brivant_ReadCount(5, counts, status);
    });
    waitForReadInFlight();
    Brivant_Device_Close(5);
    reader.join();
    EXPECT_EQ(result, RC_OK) << "the exchange finished on handles that were still valid";
    EXPECT_EQ(sim::badReleases(), 0);
    EXPECT_EQ(sim::held(), sim::Held{});
    int32_t counts[3];
    uint8_t status[3];
    EXPECT_EQ(Brivant_ReadCount(5, counts, status), RC_NOT_OPEN);
}

TEST_F(ConcurrencyTest, OpenAndCloseOfOneUnitLeaveCallsOnAnotherAlone) {
    addUnits({0, 1});
    ASSERT_EQ(Brivant_Device_Open(0), RC_OK);
    std::atomic<bool> done{false};
    std::atomic<int> failures{0};
    std::thread worker([&] {
        while (!done) {
            int32_t counts[3];
            uint8_t status[3];
            failures += Brivant_ReadCount(0, counts, status) != RC_OK;
        }
    });
    for (int i = 0; i < 50; ++i) {
        EXPECT_EQ(Brivant_Device_Open(1), RC_OK);
        Brivant_Device_Close(1);
    }
    done = true;
    worker.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(sim::interleavedExchanges(), 0);
}

} // namespace
} // namespace brivant::test
