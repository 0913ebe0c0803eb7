// Finding units: counting the present interfaces, looking up a device path
// through the two-step detail call, and the temporary connection of the ID
// query.
#include "discovery/discovery.h"
#include "support.h"

namespace brivant::test {
namespace {

class DiscoveryTest : public SimTest {};

// The ID the unit at enumeration position `index` reports, as open asks it:
// its path first, then the unit at that path.
unsigned idAt(std::uint32_t index) {
    discovery::Path path;
    return discovery::getInterfacePath(index, path) ? discovery::queryUnitId(path)
                                                    : discovery::kNoUnitId;
}

std::u16string pathOfLength(std::size_t length) {
    std::u16string path = u"\\\\?\\usb#";
    path.resize(length, u'x');
    return path;
}

TEST_F(DiscoveryTest, CountStopsAtTwentyAndFailuresCountAsNone) {
    EXPECT_EQ(discovery::countInterfaces(), 0u);
    for (int i = 0; i < 25; ++i) {
        sim::addUnit(unitWithId(i));
    }
    EXPECT_EQ(discovery::countInterfaces(), 20u);

    sim::Faults faults;
    faults.invalidClassSet = true;
    sim::setFaults(faults);
    EXPECT_EQ(discovery::countInterfaces(), 0u);
    faults = {};
    faults.enumFails = true;
    sim::setFaults(faults);
    EXPECT_EQ(discovery::countInterfaces(), 0u);
}

TEST_F(DiscoveryTest, AbsentUnitsAreNotCounted) {
    addUnits({0, 1, 2});
    sim::Unit gone = sim::getUnit(1);
    gone.present = false;
    sim::setUnit(1, gone);
    EXPECT_EQ(discovery::countInterfaces(), 2u);
}

TEST_F(DiscoveryTest, PathOf260CharactersFitsAnd261DoesNot) {
    sim::Unit unit = unitWithId(0);
    unit.path = pathOfLength(260);
    sim::addUnit(unit);
    unit.path = pathOfLength(261);
    sim::addUnit(unit);

    discovery::Path path;
    ASSERT_TRUE(discovery::getInterfacePath(0, path));
    EXPECT_EQ(std::u16string(path), pathOfLength(260));

    EXPECT_FALSE(discovery::getInterfacePath(1, path));
    EXPECT_EQ(std::u16string(path), pathOfLength(260)) << "truncated to 260 and terminated";
    sim::clearCalls();
    EXPECT_EQ(idAt(1), discovery::kNoUnitId);
    for (const sim::Call& call : sim::calls()) {
        EXPECT_NE(call.op, sim::Op::CreateFile) << "a path that did not fit is never opened";
    }

    EXPECT_FALSE(discovery::getInterfacePath(2, path)) << "no interface at that index";
}

TEST_F(DiscoveryTest, TheDetailBlockIsSizedAsTheSizingCallSays) {
    addUnits({0});
    discovery::Path path;
    ASSERT_TRUE(discovery::getInterfacePath(0, path));
    EXPECT_EQ(std::u16string(path), sim::pathOf(0));
    std::size_t expectedSize = 4 + 2 * (sim::pathOf(0).size() + 1);
    int allocations = 0;
    for (const sim::Call& call : sim::calls()) {
        if (call.op == sim::Op::LocalAlloc) {
            ++allocations;
            EXPECT_EQ(call.length, expectedSize);
        }
    }
    EXPECT_EQ(allocations, 1);
}

TEST_F(DiscoveryTest, SizingCallAnomaliesFailTheLookupAndReleaseEverything) {
    addUnits({0});
    struct Case {
        const char* name;
        sim::Faults faults;
    };
    std::vector<Case> cases;
    sim::Faults f;
    f.sizing = sim::Faults::Sizing::Succeeds;
    cases.push_back({"sizing call succeeds", f});
    f = {};
    f.sizing = sim::Faults::Sizing::OtherError;
    cases.push_back({"sizing call fails with another error", f});
    for (std::uint32_t tooSmall : {0u, 4u, 7u}) {
        f = {};
        f.requiredSize = tooSmall;
        cases.push_back({"required size below the record's fixed part", f});
    }
    f = {};
    f.requiredSize = 12; // holds the record but not this path
    cases.push_back({"required size too small for the path", f});
    f = {};
    f.localAllocFails = true;
    cases.push_back({"LocalAlloc fails", f});
    f = {};
    f.detailFails = true;
    cases.push_back({"detail call with the block fails", f});
    f = {};
    f.invalidClassSet = true;
    cases.push_back({"no device information set", f});
    f = {};
    f.enumFails = true;
    cases.push_back({"enumeration fails", f});

    for (const Case& c : cases) {
        sim::setFaults(c.faults);
        discovery::Path path;
        EXPECT_FALSE(discovery::getInterfacePath(0, path)) << c.name;
        EXPECT_EQ(sim::held(), sim::Held{}) << c.name;
        EXPECT_EQ(idAt(0), discovery::kNoUnitId) << c.name;
        EXPECT_EQ(sim::Held{}, sim::held()) << c.name;
    }
}

TEST_F(DiscoveryTest, RequiredSizeLargerThanNeededStillWorks) {
    addUnits({0});
    sim::Faults faults;
    faults.requiredSize = 4096;
    sim::setFaults(faults);
    discovery::Path path;
    ASSERT_TRUE(discovery::getInterfacePath(0, path));
    EXPECT_EQ(std::u16string(path), sim::pathOf(0));
}

TEST_F(DiscoveryTest, IdQueryReturnsTheReportedByteOrSixteen) {
    sim::addUnit(unitWithId(0));
    sim::addUnit(unitWithId(200));
    sim::Unit empty = unitWithId(3);
    empty.idReply = -1;
    sim::addUnit(empty);
    sim::Unit failsWrite = unitWithId(3);
    failsWrite.writeFails = true;
    sim::addUnit(failsWrite);
    sim::Unit busy = unitWithId(3);
    busy.createFileFails = true;
    sim::addUnit(busy);

    EXPECT_EQ(idAt(0), 0u);
    EXPECT_EQ(idAt(1), 200u);
    EXPECT_EQ(idAt(2), discovery::kNoUnitId) << "empty reply carries no ID";
    EXPECT_EQ(idAt(3), discovery::kNoUnitId);
    EXPECT_EQ(idAt(4), discovery::kNoUnitId);
    EXPECT_EQ(idAt(5), discovery::kNoUnitId) << "no such index";
    EXPECT_EQ(sim::held(), sim::Held{}) << "the temporary connection is always released";
}

// A unit whose ID query fails, each way it can, is no unit at all to open:
// not unit 15 (nor any other ID), and it is sent nothing but the query. A
// real unit 15 behind it is the one opened.
TEST_F(DiscoveryTest, UnitWhoseIdQueryFailsIsOpenedAsNoId) {
    struct Case {
        const char* name;
        void (*spoil)(sim::Unit& unit, sim::Faults& faults);
    };
    const Case cases[] = {
        {"its file cannot be opened", [](sim::Unit& u, sim::Faults&) { u.createFileFails = true; }},
        {"WinUSB does not initialise", [](sim::Unit&, sim::Faults& f) { f.usbInitializeFailsOnCall = 1; }},
        {"the query cannot be written", [](sim::Unit& u, sim::Faults&) { u.writeFails = true; }},
        {"the reply cannot be read", [](sim::Unit& u, sim::Faults&) { u.readFails = true; }},
        {"the reply is empty", [](sim::Unit& u, sim::Faults&) { u.idReply = -1; }},
        {"the read delivers no byte", [](sim::Unit& u, sim::Faults&) { u.deliverAtMost = 0; }},
    };
    for (const Case& c : cases) {
        sim::reset();
        sim::setRecording(true);
        sim::Unit spoilt = unitWithId(15);
        sim::Faults faults;
        c.spoil(spoilt, faults);
        sim::addUnit(spoilt);
        for (std::int16_t id : {std::int16_t{0}, std::int16_t{15}}) {
            sim::setFaults(faults); // a fault on the Nth call counts from here
            EXPECT_EQ(Brivant_Device_Open(id), RC_ID_NOT_FOUND) << c.name << ", unit " << id;
        }
        EXPECT_EQ(sim::held(), sim::Held{}) << c.name;
        for (const Bytes& frame : framesWritten()) {
            ASSERT_GE(frame.size(), 2u);
            EXPECT_EQ(frame[1], 'K') << c.name << ": only the ID query is sent";
        }

        sim::setFaults(faults);
        sim::addUnit(unitWithId(15));
        ASSERT_EQ(Brivant_Device_Open(15), RC_OK) << c.name << ": the real unit 15 behind it";
        sim::clearCalls();
        std::int32_t counts[3];
        std::uint8_t status[3];
        ASSERT_EQ(Brivant_ReadCount(15, counts, status), RC_OK) << c.name;
        for (const sim::Call& call : sim::transfers()) {
            EXPECT_EQ(call.unit, 1) << c.name << ": the count is read from the unit that said 15";
        }
        Brivant_Device_Close(15);
    }
}

TEST_F(DiscoveryTest, IdQueryReleasesUsbHandleBeforeFile) {
    addUnits({9});
    ASSERT_EQ(idAt(0), 9u);
    std::vector<sim::Op> tail;
    for (const sim::Call& call : sim::calls()) {
        if (call.op == sim::Op::UsbFree || call.op == sim::Op::CloseHandle) {
            tail.push_back(call.op);
        }
    }
    EXPECT_EQ(tail, (std::vector<sim::Op>{sim::Op::UsbFree, sim::Op::CloseHandle}));

    sim::Faults faults;
    faults.usbInitializeFailsOnCall = 1;
    sim::setFaults(faults);
    EXPECT_EQ(idAt(0), discovery::kNoUnitId);
    EXPECT_EQ(sim::held(), sim::Held{}) << "the file is closed when the bind fails";
}

TEST_F(DiscoveryTest, OpenPassesOverAUnitHeldOpenWithoutTouchingIt) {
    addUnits({1, 2});
    ASSERT_EQ(Brivant_Device_Open(1), RC_OK);
    sim::clearCalls();
    ASSERT_EQ(Brivant_Device_Open(2), RC_OK);
    // Only its path is looked up, to recognise it: the unit is not opened.
    for (const sim::Call& call : sim::calls()) {
        EXPECT_FALSE(call.unit == 0 &&
                     (call.op == sim::Op::CreateFile || call.op == sim::Op::UsbInitialize ||
                      call.op == sim::Op::WritePipe || call.op == sim::Op::ReadPipe))
            << sim::opName(call.op);
    }
    EXPECT_EQ(sim::held(), (sim::Held{0, 0, 2, 2, 2})) << "the lookups released their sets and blocks";
}

} // namespace
} // namespace brivant::test
