// Units that vanish while open and come back, possibly at another position in
// the enumeration: calls fail with RC_COMM_FAILED, close releases the unit,
// and open finds it again whatever the order of the units around it.
#include <algorithm>
#include <chrono>
#include <thread>

#include "support.h"

namespace brivant::test {
namespace {

class UnplugTest : public SimTest {
protected:
    static void setPresent(int unit, bool present) {
        sim::Unit u = sim::getUnit(unit);
        u.present = present;
        sim::setUnit(unit, u);
    }
    // A unit whose J reply carries `id` in the count of channel 0, so a read
    // tells which unit answered.
    static int addMarkedUnit(int id) {
        return sim::addUnit(unitWithId(id, {0, 0, 0, static_cast<std::uint8_t>(id), 0, 0, 0, 0,
                                            0, 0, 0, 0, 0, 0, 0}));
    }
    static int32_t channel0Of(int16_t id) {
        int32_t count = -1;
        uint8_t status = 0;
        EXPECT_EQ(Brivant_ReadCountCh(id, 0, &count, &status), RC_OK) << "unit " << id;
        return count;
    }
    // The unit numbers that got a K query or a CreateFile since the last clear.
    static std::vector<int> unitsTouched() {
        std::vector<int> units;
        for (const sim::Call& call : sim::calls()) {
            if (call.op == sim::Op::CreateFile || call.op == sim::Op::WritePipe) {
                units.push_back(call.unit);
            }
        }
        return units;
    }
};

TEST_F(UnplugTest, UnpluggedUnitFailsEveryCallUntilClosedAndIsFoundAgainWhenBack) {
    int a = addMarkedUnit(3);
    addMarkedUnit(7);
    ASSERT_EQ(Brivant_Device_Open(3), RC_OK);
    ASSERT_EQ(Brivant_Device_Open(7), RC_OK);
    setPresent(a, false);

    const uint32_t preset[2] = {1, 2};
    int32_t counts[3] = {11, 12, 13};
    uint8_t status[3] = {21, 22, 23};
    int32_t count = 31;
    uint8_t one = 41;
    EXPECT_EQ(Brivant_InputInverter(3, 0, 0, 0, 0), RC_COMM_FAILED);
    EXPECT_EQ(Brivant_OutputInverter(3, 0, 0, 0), RC_COMM_FAILED);
    EXPECT_EQ(Brivant_OutputMode(3, 0, 0, 0), RC_COMM_FAILED);
    EXPECT_EQ(Brivant_SelClearEvent(3, 0, 0), RC_COMM_FAILED);
    EXPECT_EQ(Brivant_SelMultiplier(3, 0, 0), RC_COMM_FAILED);
    EXPECT_EQ(Brivant_SetLimitter(3, 0, 0, 0), RC_COMM_FAILED);
    EXPECT_EQ(Brivant_ForcedClear(3, 0), RC_COMM_FAILED);
    EXPECT_EQ(Brivant_RunStop(3, 0, 0), RC_COMM_FAILED);
    EXPECT_EQ(Brivant_WritePresetData(3, 0, preset), RC_COMM_FAILED);
    EXPECT_EQ(Brivant_ReadCount(3, counts, status), RC_COMM_FAILED);
    EXPECT_EQ(Brivant_ReadCountCh(3, 2, &count, &one), RC_COMM_FAILED);
    EXPECT_EQ(counts[0] + counts[1] + counts[2] + status[0] + status[1] + status[2], 36 + 66);
    EXPECT_EQ(count, 31);
    EXPECT_EQ(one, 41);
    EXPECT_EQ(channel0Of(7), 7) << "the unit still plugged in is unaffected";

    EXPECT_EQ(Brivant_Device_Open(3), RC_ALREADY_OPEN) << "gone, but the slot is still open";
    Brivant_Device_Close(3);
    EXPECT_EQ(sim::held(), (sim::Held{0, 0, 1, 1, 1})) << "only unit 7's handles remain";
    EXPECT_EQ(Brivant_ReadCount(3, counts, status), RC_NOT_OPEN);
    EXPECT_EQ(Brivant_Device_Open(3), RC_ID_NOT_FOUND) << "not back yet";

    setPresent(a, true);
    ASSERT_EQ(Brivant_Device_Open(3), RC_OK);
    EXPECT_EQ(channel0Of(3), 3);
    EXPECT_EQ(channel0Of(7), 7);
}

// Three units open; one is unplugged, closed, and comes back at each
// position of the enumeration in turn, in every order of the units.
TEST_F(UnplugTest, ReplugAnywhereInTheEnumerationIsFoundAgain) {
    const std::vector<int> ids = {3, 7, 1};
    int checked = 0;
    for (int gone = 0; gone < 3; ++gone) {
        std::vector<int> before = {0, 1, 2};
        do {
            std::vector<int> after = {0, 1, 2};
            do {
                SCOPED_TRACE("unit " + std::to_string(gone) + " replugged");
                closeAll();
                sim::reset();
                for (int id : ids) {
                    addMarkedUnit(id);
                }
                sim::setEnumerationOrder(before);
                for (int id : ids) {
                    ASSERT_EQ(Brivant_Device_Open(static_cast<int16_t>(id)), RC_OK);
                }
                auto goneId = static_cast<int16_t>(ids[gone]);
                setPresent(gone, false);
                EXPECT_EQ(Brivant_ForcedClear(goneId, 0), RC_COMM_FAILED);
                Brivant_Device_Close(goneId);
                setPresent(gone, true);
                sim::setEnumerationOrder(after);
                sim::clearCalls();
                ASSERT_EQ(Brivant_Device_Open(goneId), RC_OK);
                for (int unit : unitsTouched()) {
                    EXPECT_EQ(unit, gone) << "a unit held open was opened a second time";
                }
                for (int id : ids) {
                    EXPECT_EQ(channel0Of(static_cast<int16_t>(id)), id);
                }
                ++checked;
            } while (std::next_permutation(after.begin(), after.end()));
        } while (std::next_permutation(before.begin(), before.end()));
    }
    EXPECT_EQ(checked, 3 * 6 * 6);
}

// While a unit is gone but its slot is still open, the others move up in the
// enumeration: the ones not open are still found, and the ones open here are
// never opened a second time for the ID query.
TEST_F(UnplugTest, UnitsShiftedByAVanishedUnitAreStillTellable) {
    int a = addMarkedUnit(3);
    addMarkedUnit(7);
    addMarkedUnit(9);
    ASSERT_EQ(Brivant_Device_Open(3), RC_OK);
    ASSERT_EQ(Brivant_Device_Open(9), RC_OK);
    setPresent(a, false); // unit 7 is now first in the enumeration, unit 9 second
    sim::clearCalls();
    ASSERT_EQ(Brivant_Device_Open(7), RC_OK) << "unit 7 took the vanished unit's position";
    EXPECT_EQ(unitsTouched(), (std::vector<int>{1, 1, 1})) << "query, then open for good";
    EXPECT_EQ(channel0Of(7), 7);

    Brivant_Device_Close(3);
    Brivant_Device_Close(7);
    sim::clearCalls();
    EXPECT_EQ(Brivant_Device_Open(3), RC_ID_NOT_FOUND);
    EXPECT_EQ(unitsTouched(), (std::vector<int>{1, 1})) << "unit 9 is open: never asked again";
}

// A unit unplugged while open is asking another for its ID shifts the
// enumeration under it: the unit opened must still be the one that answered.
TEST_F(UnplugTest, UnplugDuringOpenStillOpensTheUnitThatAnswered) {
    int x = addMarkedUnit(5);
    int a = addMarkedUnit(3);
    addMarkedUnit(7);
    ASSERT_EQ(Brivant_Device_Open(7), RC_OK);
    sim::Unit slow = sim::getUnit(a);
    slow.readDelay = std::chrono::milliseconds(200); // room for the unplug below
    sim::setUnit(a, slow);
    int16_t result = -1;
    std::thread opener([&result] { result = Brivant_Device_Open(3); });
    while (sim::maxReadsInFlight() < 1) { // unit 3's answer to K is on its way
        std::this_thread::yield();
    }
    setPresent(x, false); // unit 3 moves to the first position, unit 7 to the second
    opener.join();
    slow.readDelay = {};
    sim::setUnit(a, slow);
    ASSERT_EQ(result, RC_OK);
    EXPECT_EQ(channel0Of(3), 3) << "slot 3 must talk to the unit that answered 3";
    EXPECT_EQ(channel0Of(7), 7);
    EXPECT_EQ(sim::held(), (sim::Held{0, 0, 2, 2, 2}));
}

TEST_F(UnplugTest, UnplugDuringAReadInFlightFailsThatCall) {
    int a = addMarkedUnit(4);
    ASSERT_EQ(Brivant_Device_Open(4), RC_OK);
    sim::Unit slow = sim::getUnit(a);
    slow.readDelay = std::chrono::milliseconds(200); // room for the unplug below
    sim::setUnit(a, slow);
    int16_t result = -1;
    int32_t counts[3] = {5, 5, 5};
    uint8_t status[3] = {5, 5, 5};
    std::thread reader([&] { result = Brivant_ReadCount(4, counts, status); });
    while (sim::maxReadsInFlight() < 1) {
        std::this_thread::yield();
    }
    setPresent(a, false);
    reader.join();
    EXPECT_EQ(result, RC_COMM_FAILED);
    EXPECT_EQ(counts[0], 5);
    EXPECT_EQ(status[2], 5);
    Brivant_Device_Close(4);
    setPresent(a, true);
    slow.readDelay = {};
    sim::setUnit(a, slow);
    ASSERT_EQ(Brivant_Device_Open(4), RC_OK);
    EXPECT_EQ(channel0Of(4), 4);
    EXPECT_EQ(sim::interleavedExchanges(), 0) << "the unplugged unit's reply was dropped";
}

} // namespace
} // namespace brivant::test
