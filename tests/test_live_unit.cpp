// The counting simulated unit that programs without hardware talk to,
// driven through the public functions with the simulation's clock held.
#include <array>
#include <chrono>

#include "support.h"

using namespace brivant;
using namespace brivant::test;
using std::chrono::milliseconds;
using std::chrono::seconds;

namespace {

struct Reading {
    std::array<int32_t, 3> counts{};
    std::array<uint8_t, 3> status{};
};

class LiveUnitTest : public SimTest {
protected:
    static constexpr int16_t kId = 3;

    void SetUp() override {
        SimTest::SetUp();
        sim::Unit unit = unitWithId(kId);
        unit.live = true;
        sim::addUnit(unit);
        sim::holdClock();
        openQuietly(kId);
    }

    Reading read() {
        Reading r;
        EXPECT_EQ(Brivant_ReadCount(kId, r.counts.data(), r.status.data()), RC_OK);
        return r;
    }
};

TEST_F(LiveUnitTest, RunningChannelsCountAtTheirRatesAndReportRunning) {
    Reading start = read();
    EXPECT_EQ(start.counts, (std::array<int32_t, 3>{0, 0, 0}));
    EXPECT_EQ(start.status, (std::array<uint8_t, 3>{1, 1, 1}));
    sim::advanceClock(seconds(2));
    Reading later = read();
    // Channel 2 counts down: a 24-bit count that the library extends.
    EXPECT_EQ(later.counts, (std::array<int32_t, 3>{2000, 200, -20}));
    sim::advanceClock(milliseconds(500));
    EXPECT_EQ(read().counts, (std::array<int32_t, 3>{2500, 250, -25}));
}

TEST_F(LiveUnitTest, StoppedChannelHoldsItsCountUntilRunAgain) {
    sim::advanceClock(seconds(1));
    ASSERT_EQ(Brivant_RunStop(kId, 1, 0), RC_OK);
    sim::advanceClock(seconds(3));
    Reading stopped = read();
    EXPECT_EQ(stopped.counts[1], 100);
    EXPECT_EQ(stopped.status[1], 0);
    EXPECT_EQ(stopped.counts[0], 4000) << "the other channels go on";
    EXPECT_EQ(stopped.status[0], 1);

    ASSERT_EQ(Brivant_RunStop(kId, 1, 1), RC_OK);
    sim::advanceClock(seconds(1));
    Reading resumed = read();
    EXPECT_EQ(resumed.counts[1], 200);
    EXPECT_EQ(resumed.status[1], 1);
}

TEST_F(LiveUnitTest, ForcedClearZeroesOrLoadsTheKeptPresetWord) {
    sim::advanceClock(seconds(1));
    ASSERT_EQ(Brivant_ForcedClear(kId, 0), RC_OK);
    EXPECT_EQ(read().counts[0], 0);

    const uint32_t preset[2] = {0xFFFFFF00u, 7u}; // -256 on a 24-bit channel
    ASSERT_EQ(Brivant_WritePresetData(kId, 1, preset), RC_OK);
    EXPECT_EQ(read().counts[1], 100) << "a preset alone does not change the count";
    ASSERT_EQ(Brivant_RunStop(kId, 1, 0), RC_OK);
    ASSERT_EQ(Brivant_ForcedClear(kId, 1), RC_OK);
    EXPECT_EQ(read().counts[1], -256);
    ASSERT_EQ(Brivant_ForcedClear(kId, 1), RC_OK);
    EXPECT_EQ(read().counts[1], -256) << "the preset is kept for every later clear";
}

TEST_F(LiveUnitTest, MultiplierScalesTheRateFromTheMomentItIsSelected) {
    sim::advanceClock(seconds(1));
    ASSERT_EQ(Brivant_SelMultiplier(kId, 0, 2), RC_OK); // x4
    sim::advanceClock(seconds(1));
    EXPECT_EQ(read().counts[0], 1000 + 4000);
}

TEST_F(LiveUnitTest, CountsAndRunStateOutliveCloseAndReopen) {
    ASSERT_EQ(Brivant_RunStop(kId, 2, 0), RC_OK);
    sim::advanceClock(seconds(1));
    Brivant_Device_Close(kId);
    sim::advanceClock(seconds(1));
    ASSERT_EQ(Brivant_Device_Open(kId), RC_OK);
    Reading r = read();
    EXPECT_EQ(r.counts, (std::array<int32_t, 3>{2000, 200, 0}));
    EXPECT_EQ(r.status, (std::array<uint8_t, 3>{1, 1, 0}));
}

TEST_F(LiveUnitTest, SettingsAreAcknowledgedAndLeaveCountingAlone) {
    EXPECT_EQ(Brivant_InputInverter(kId, 0, 1, 1, 1), RC_OK);
    EXPECT_EQ(Brivant_OutputInverter(kId, 0, 1, 1), RC_OK);
    EXPECT_EQ(Brivant_OutputMode(kId, 0, 1, 0), RC_OK);
    EXPECT_EQ(Brivant_SelClearEvent(kId, 0, 2), RC_OK);
    EXPECT_EQ(Brivant_SetLimitter(kId, 0, 1, 1), RC_OK);
    sim::advanceClock(seconds(1));
    EXPECT_EQ(read().counts, (std::array<int32_t, 3>{1000, 100, -10}));
}

} // namespace
