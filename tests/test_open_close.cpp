// Opening and closing units: every result of open, the choice among present
// units, and the release of everything a failed open acquired.
#include "support.h"

namespace brivant::test {
namespace {

class OpenCloseTest : public SimTest {};

// The unit numbers that saw a K query during the calls recorded.
std::vector<int> unitsQueried() {
    std::vector<int> units;
    for (const sim::Call& call : sim::transfers()) {
        if (call.op == sim::Op::WritePipe && call.bytes == Bytes{0x02, 0x4B, 0x03}) {
            units.push_back(call.unit);
        }
    }
    return units;
}

bool slotOpen(int16_t id) {
    int32_t counts[3];
    uint8_t status[3];
    return Brivant_ReadCount(id, counts, status) != RC_NOT_OPEN;
}

TEST_F(OpenCloseTest, IdOutsideTheTableIsRefusedWithoutTouchingThePlatform) {
    addUnits({0, 15});
    for (int16_t id : {int16_t{16}, int16_t{-1}, int16_t{255}, int16_t{INT16_MAX}, int16_t{INT16_MIN}}) {
        EXPECT_EQ(Brivant_Device_Open(id), RC_BAD_ID) << id;
        Brivant_Device_Close(id); // nothing, and harmless
    }
    EXPECT_EQ(sim::callCount(), 0u);
}

TEST_F(OpenCloseTest, OpenAsksEachUnitForItsIdAndOpensTheOneThatMatches) {
    addUnits({7, 3, 9});
    ASSERT_EQ(Brivant_Device_Open(3), RC_OK);
    EXPECT_EQ(unitsQueried(), (std::vector<int>{0, 1})) << "stops at the first match";
    for (const sim::Call& call : sim::transfers()) {
        if (call.op == sim::Op::ReadPipe) {
            EXPECT_EQ(call.length, 1u) << "the ID reply is one byte";
        }
    }
    // The query's temporary connection is gone; the slot holds one of each.
    EXPECT_EQ(sim::held(), (sim::Held{0, 0, 1, 1, 1}));
    sim::clearCalls();
    ASSERT_EQ(Brivant_ForcedClear(3, 0), RC_OK);
    EXPECT_EQ(sim::transfers()[0].unit, 1) << "calls reach the unit that answered 3";
}

TEST_F(OpenCloseTest, OpeningAnOpenIdGivesAlreadyOpenAndKeepsTheUnit) {
    addUnits({2});
    ASSERT_EQ(Brivant_Device_Open(2), RC_OK);
    sim::clearCalls();
    EXPECT_EQ(Brivant_Device_Open(2), RC_ALREADY_OPEN);
    EXPECT_EQ(sim::callCount(), 0u);
    EXPECT_EQ(Brivant_ForcedClear(2, 0), RC_OK);
}

TEST_F(OpenCloseTest, MoreThanSixteenPresentUnitsGiveTooManyUnits) {
    for (int present : {17, 20, 25}) {
        sim::reset();
        for (int i = 0; i < present; ++i) {
            sim::addUnit(unitWithId(i % 16));
        }
        EXPECT_EQ(Brivant_Device_Open(0), RC_TOO_MANY_UNITS) << present << " units";
        EXPECT_TRUE(unitsQueried().empty()) << "no unit is asked when there are too many";
    }
    // The ID test and the already-open test come first.
    EXPECT_EQ(Brivant_Device_Open(16), RC_BAD_ID);
}

TEST_F(OpenCloseTest, SixteenUnitsCanAllBeOpenAtOnce) {
    for (int id = 15; id >= 0; --id) {
        sim::addUnit(unitWithId(id));
    }
    for (int16_t id = 0; id < 16; ++id) {
        ASSERT_EQ(Brivant_Device_Open(id), RC_OK) << id;
    }
    EXPECT_EQ(sim::held(), (sim::Held{0, 0, 16, 16, 16}));
    for (int16_t id = 0; id < 16; ++id) {
        sim::clearCalls();
        ASSERT_EQ(Brivant_ForcedClear(id, 0), RC_OK);
        EXPECT_EQ(sim::transfers()[0].unit, 15 - id);
    }
}

TEST_F(OpenCloseTest, NoMatchingUnitGivesIdNotFound) {
    EXPECT_EQ(Brivant_Device_Open(0), RC_ID_NOT_FOUND) << "no unit present";
    addUnits({1, 2});
    EXPECT_EQ(Brivant_Device_Open(0), RC_ID_NOT_FOUND);
    EXPECT_EQ(unitsQueried(), (std::vector<int>{0, 1}));
}

TEST_F(OpenCloseTest, UnitReportingSixteenOrMoreIsNeverOpened) {
    for (int reported : {16, 17, 0x80, 0xFF}) {
        sim::reset();
        sim::addUnit(unitWithId(reported));
        for (int16_t id = 0; id < 16; ++id) {
            EXPECT_EQ(Brivant_Device_Open(id), RC_ID_NOT_FOUND) << reported;
        }
    }
}

TEST_F(OpenCloseTest, UnitsThatGiveNoAnswerAreSkipped) {
    sim::Unit silent = unitWithId(5);
    silent.idReply = -1; // the read succeeds with no byte
    sim::addUnit(silent);
    sim::Unit failing = unitWithId(5);
    failing.readFails = true;
    sim::addUnit(failing);
    sim::Unit busy = unitWithId(5);
    busy.createFileFails = true; // held open elsewhere
    sim::addUnit(busy);
    sim::addUnit(unitWithId(5));
    ASSERT_EQ(Brivant_Device_Open(5), RC_OK);
    sim::clearCalls();
    ASSERT_EQ(Brivant_ForcedClear(5, 0), RC_OK);
    EXPECT_EQ(sim::transfers()[0].unit, 3);
}

TEST_F(OpenCloseTest, DuplicateIdsTakeTheFirstUnitNotAlreadyOpen) {
    addUnits({6, 6});
    ASSERT_EQ(Brivant_Device_Open(6), RC_OK);
    sim::clearCalls();
    ASSERT_EQ(Brivant_ForcedClear(6, 0), RC_OK);
    EXPECT_EQ(sim::transfers()[0].unit, 0);
}

TEST_F(OpenCloseTest, AnOpenUnitIsSkippedWithoutAnyTransferToIt) {
    addUnits({1, 2, 3});
    ASSERT_EQ(Brivant_Device_Open(1), RC_OK);
    sim::clearCalls();
    ASSERT_EQ(Brivant_Device_Open(3), RC_OK);
    EXPECT_EQ(unitsQueried(), (std::vector<int>{1, 2}));
    for (const sim::Call& call : sim::calls()) {
        // Counting still lists it, and its path is read to recognise it.
        if (call.op != sim::Op::EnumInterface && call.op != sim::Op::GetInterfaceDetail) {
            EXPECT_NE(call.unit, 0) << sim::opName(call.op) << " touched the open unit";
        }
    }
    // And a second unit reporting an ID already taken here is not reachable
    // through that ID while the first is open.
    EXPECT_EQ(Brivant_Device_Open(1), RC_ALREADY_OPEN);
}

TEST_F(OpenCloseTest, CloseReleasesInOrderAndOpenFindsTheUnitAgain) {
    addUnits({8});
    ASSERT_EQ(Brivant_Device_Open(8), RC_OK);
    sim::clearCalls();
    Brivant_Device_Close(8);
    std::vector<sim::Call> calls = sim::calls();
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[0].op, sim::Op::CloseHandle); // the mutex
    EXPECT_EQ(calls[0].unit, -1);
    EXPECT_EQ(calls[1].op, sim::Op::UsbFree);
    EXPECT_EQ(calls[2].op, sim::Op::CloseHandle); // the file
    EXPECT_EQ(calls[2].unit, 0);
    EXPECT_TRUE(framesWritten().empty()) << "close sends nothing to the unit";
    EXPECT_EQ(sim::held(), sim::Held{});
    EXPECT_FALSE(slotOpen(8));

    sim::clearCalls();
    Brivant_Device_Close(8); // a closed slot: nothing, and repeatable
    Brivant_Device_Close(8);
    EXPECT_EQ(sim::callCount(), 0u);
    ASSERT_EQ(Brivant_Device_Open(8), RC_OK);
    EXPECT_TRUE(slotOpen(8));
}

TEST_F(OpenCloseTest, EveryFailingPlatformCallDuringOpenLeavesNothingBehind) {
    addUnits({2, 4});
    // A clean open, to count the failable platform calls it makes.
    std::vector<sim::Call> clean;
    ASSERT_EQ(Brivant_Device_Open(4), RC_OK);
    clean = sim::calls();
    closeAll();
    std::vector<sim::Op> failable;
    for (const sim::Call& call : clean) {
        switch (call.op) {
        case sim::Op::DestroyDevInfo: case sim::Op::LastError: case sim::Op::LocalFree:
        case sim::Op::CloseHandle: case sim::Op::UsbFree:
            break; // releases and queries cannot fail
        default:
            failable.push_back(call.op);
        }
    }
    ASSERT_GT(failable.size(), 20u);
    int openFailed = 0;
    for (std::size_t n = 1; n <= failable.size(); ++n) {
        sim::Faults faults;
        faults.failCall = n;
        sim::setFaults(faults);
        int16_t rc = Brivant_Device_Open(4);
        SCOPED_TRACE(std::string("failing call ") + std::to_string(n) + ", " + sim::opName(failable[n - 1]));
        // A failed enumeration enumerates fewer units or none: the enumeration
        // end may come early, and one at the end is harmless.
        EXPECT_TRUE(rc == RC_OPEN_FAILED || rc == RC_ID_NOT_FOUND || rc == RC_OK) << rc;
        if (rc == RC_OK) {
            EXPECT_EQ(sim::held(), (sim::Held{0, 0, 1, 1, 1}));
            EXPECT_TRUE(slotOpen(4));
            closeAll();
        } else {
            EXPECT_EQ(sim::held(), sim::Held{});
            EXPECT_FALSE(slotOpen(4));
        }
        openFailed += rc == RC_OPEN_FAILED;
        sim::setFaults({});
        ASSERT_EQ(Brivant_Device_Open(4), RC_OK) << "a healthy open after the fault";
        closeAll();
    }
    // The mutex, the final file open and the final USB bind each give 5.
    EXPECT_GE(openFailed, 3);
}

TEST_F(OpenCloseTest, FailuresAfterTheUnitWasFoundGiveOpenFailed) {
    addUnits({4});
    sim::Faults faults;
    faults.createMutexFails = true;
    sim::setFaults(faults);
    EXPECT_EQ(Brivant_Device_Open(4), RC_OPEN_FAILED);
    EXPECT_EQ(sim::held(), sim::Held{});

    faults = {};
    faults.usbInitializeFailsOnCall = 2; // the query binds first, then open
    sim::setFaults(faults);
    EXPECT_EQ(Brivant_Device_Open(4), RC_OPEN_FAILED);
    EXPECT_EQ(sim::held(), sim::Held{});

    faults = {};
    faults.usbInitializeFailsOnCall = 1; // the query cannot bind: the unit is not found
    sim::setFaults(faults);
    EXPECT_EQ(Brivant_Device_Open(4), RC_ID_NOT_FOUND);
    EXPECT_EQ(sim::held(), sim::Held{});

    sim::setFaults({});
    EXPECT_EQ(Brivant_Device_Open(4), RC_OK);
}

} // namespace
} // namespace brivant::test
