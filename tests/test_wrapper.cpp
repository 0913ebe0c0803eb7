// The C++ wrapper: ownership of an open unit (close on destruction, moves,
// no second close) and the mapping of result codes to errors.
#include <algorithm>
#include <cstring>
#include <limits>
#include <string>
#include <type_traits>

#include "brivant.hpp"
#include "support.h"

using namespace brivant;
using namespace brivant::test;

namespace {

class WrapperTest : public SimTest {
protected:
    void SetUp() override {
        SimTest::SetUp();
        addUnits({2, 4});
    }
};

int usbFrees() {
    auto calls = sim::calls();
    return static_cast<int>(std::count_if(calls.begin(), calls.end(), [](const sim::Call& call) {
        return call.op == sim::Op::UsbFree;
    }));
}

bool isOpenInLibrary(int16_t id) {
    int32_t counts[3];
    uint8_t status[3];
    return Brivant_ReadCount(id, counts, status) != RC_NOT_OPEN;
}

static_assert(!std::is_copy_constructible_v<Unit> && !std::is_copy_assignable_v<Unit>);
static_assert(std::is_nothrow_move_constructible_v<Unit> && std::is_nothrow_move_assignable_v<Unit>);

// What does not compile: a floating-point value anywhere, a bool where a
// unit, channel or selection belongs, a string where an on/off setting does.
static_assert(!std::is_constructible_v<Unit, double> && !std::is_constructible_v<Unit, bool>);
static_assert(!std::is_convertible_v<float, Integer> && !std::is_convertible_v<bool, Integer>);
static_assert(!std::is_convertible_v<double, OnOff> && !std::is_convertible_v<const char*, OnOff>);
static_assert(std::is_convertible_v<bool, OnOff> && std::is_convertible_v<unsigned long long, Integer>);

// The error a call throws, or none.
template <typename Call>
std::error_code errorOf(Call call) {
    try {
        call();
    } catch (const Error& e) {
        return e.code();
    }
    return {};
}

TEST_F(WrapperTest, DestructionClosesTheUnitOnce) {
    {
        Unit unit(2);
        EXPECT_TRUE(unit.isOpen());
        EXPECT_EQ(unit.id(), 2);
        EXPECT_EQ(sim::held().usbHandles, 1);
        sim::clearCalls(); // the ID query of the open frees a handle of its own
    }
    EXPECT_FALSE(isOpenInLibrary(2));
    EXPECT_EQ(usbFrees(), 1);
}

TEST_F(WrapperTest, MoveHandsOverOwnershipAndOnlyTheOwnerCloses) {
    std::optional<Unit> from(std::in_place, 2);
    Unit to(std::move(*from));
    EXPECT_FALSE(from->isOpen());
    EXPECT_TRUE(to.isOpen());
    sim::clearCalls();
    std::error_code ec;
    from->readCounts(ec);
    EXPECT_EQ(ec, Result::notOpen);
    EXPECT_TRUE(sim::transfers().empty()) << "a moved-from Unit must not talk to the unit";
    from.reset();
    EXPECT_TRUE(isOpenInLibrary(2)) << "the moved-from Unit closed what it no longer owns";
    EXPECT_NO_THROW(to.readCounts());
}

TEST_F(WrapperTest, MoveAssignmentClosesTheUnitItReplaces) {
    Unit a(2);
    Unit b(4);
    b = std::move(a);
    EXPECT_FALSE(isOpenInLibrary(4));
    EXPECT_TRUE(isOpenInLibrary(2));
    EXPECT_EQ(b.id(), 2);
    EXPECT_FALSE(a.isOpen());
    sim::clearCalls();
    Unit& same = b; // a self-move through another name, as generic code can do
    b = std::move(same);
    EXPECT_TRUE(b.isOpen());
    EXPECT_EQ(usbFrees(), 0);
}

TEST_F(WrapperTest, ExplicitCloseIsNotRepeatedByTheDestructor) {
    std::optional<Unit> unit(std::in_place, 2);
    unit->close();
    unit->close();
    EXPECT_FALSE(isOpenInLibrary(2));
    // Someone else opens ID 2 now; the old Unit's end must leave it alone.
    ASSERT_EQ(Brivant_Device_Open(2), RC_OK);
    unit.reset();
    EXPECT_TRUE(isOpenInLibrary(2));
}

TEST_F(WrapperTest, FailedOpenThrowsTheResultAndClosesNothing) {
    Unit first(2);
    try {
        Unit again(2);
        FAIL() << "opening an open ID did not throw";
    } catch (const Error& e) {
        EXPECT_EQ(e.code(), Result::alreadyOpen);
        EXPECT_NE(std::string(e.what()).find("RC_ALREADY_OPEN (3)"), std::string::npos) << e.what();
    }
    EXPECT_TRUE(isOpenInLibrary(2)) << "the failed second Unit closed the first one's unit";

    std::error_code ec;
    EXPECT_FALSE(Unit::open(9, ec).has_value());
    EXPECT_EQ(ec, Result::idNotFound);
    EXPECT_FALSE(Unit::open(16, ec).has_value());
    EXPECT_EQ(ec, Result::badId);
    std::optional<Unit> opened = Unit::open(4, ec);
    EXPECT_FALSE(ec);
    ASSERT_TRUE(opened.has_value());
    EXPECT_TRUE(opened->isOpen());
}

TEST_F(WrapperTest, OperationsReportRefusalsAndFailuresEitherWay) {
    Unit unit(2);
    EXPECT_THROW(unit.forceClear(3), Error);
    std::error_code ec;
    unit.selectMultiplier(0, 3, ec);
    EXPECT_EQ(ec, Result::badParameter);
    unit.selectMultiplier(0, 2, ec);
    EXPECT_FALSE(ec);

    sim::Unit broken = sim::getUnit(0);
    broken.readFails = true;
    sim::setUnit(0, broken);
    Counts counts = unit.readCounts(ec);
    EXPECT_EQ(ec, Result::commFailed);
    EXPECT_EQ(counts.counts, (std::array<int32_t, 3>{}));
    try {
        unit.readChannel(1);
        FAIL() << "a failed read did not throw";
    } catch (const Error& e) {
        EXPECT_EQ(e.code().value(), RC_COMM_FAILED);
        EXPECT_EQ(std::string(e.what()).rfind("brivant unit 2: read count: RC_COMM_FAILED (9)", 0), 0u)
            << e.what();
    }
}

TEST_F(WrapperTest, CountsComeBackAsValuesAndCommandsCarryTheirArguments) {
    sim::Unit unit2 = sim::getUnit(0);
    unit2.countReply = {0, 0, 0x30, 0x39, 0, 0x80, 0, 0, 0, 0, 0, 7, 1, 0, 3};
    sim::setUnit(0, unit2);
    Unit unit(2);
    sim::clearCalls();
    Counts all = unit.readCounts();
    EXPECT_EQ(all.counts, (std::array<int32_t, 3>{12345, -8388608, 7}));
    EXPECT_EQ(all.status, (std::array<uint8_t, 3>{1, 0, 3}));
    ChannelCount one = unit.readChannel(1);
    EXPECT_EQ(one.count, -8388608);
    EXPECT_EQ(one.status, 0);

    sim::clearCalls();
    unit.run(1);
    unit.stop(2);
    unit.setInputInversion(0, 1, 0, 1);
    unit.setOutputInversion(1, 1, 0);
    unit.setOutputMode(2, 0, 1);
    unit.selectClearEvent(1, 2);
    unit.setLimiter(0, 1, 1);
    unit.writePreset(1, 0x12AB00FFu, 10u);
    auto frame = [](const char* text) {
        std::string framed = "\x02" + std::string(text) + "\x03";
        return Bytes(framed.begin(), framed.end());
    };
    EXPECT_EQ(framesWritten(),
              (std::vector<Bytes>{frame("I11"), frame("I20"), frame("A0101"), frame("B110"),
                                  frame("C201"), frame("D12"), frame("F011"),
                                  frame("G112AB00FF0000000A")}));
}

TEST_F(WrapperTest, ValuesBeyondTheirCTypesAreRefusedAndReachNoOtherUnitOrChannel) {
    sim::addUnit(unitWithId(5)); // unit 65541 cut down to int16_t would be unit 5
    Unit unit(2);
    sim::setRecording(true);
    sim::clearCalls();

    EXPECT_EQ(errorOf([] { Unit other(65541); }), Result::badId);
    EXPECT_EQ(errorOf([] { Unit other(-1); }), Result::badId);
    EXPECT_EQ(errorOf([] { Unit other(std::numeric_limits<unsigned long long>::max()); }), Result::badId);
    std::error_code ec;
    EXPECT_FALSE(Unit::open(-32769, ec).has_value());
    EXPECT_EQ(ec, Result::badId);
    try {
        Unit other(65541);
    } catch (const Error& e) {
        EXPECT_EQ(std::string(e.what()).rfind("brivant unit 65541: open: RC_BAD_ID (1)", 0), 0u) << e.what();
    }

    const int channel256 = 256; // channel 0 once cut down to uint8_t
    EXPECT_EQ(errorOf([&] { unit.stop(channel256); }), Result::badParameter);
    EXPECT_EQ(errorOf([&] { unit.stop(-1); }), Result::badParameter);
    EXPECT_EQ(errorOf([&] { unit.selectMultiplier(0, 3); }), Result::badParameter);
    EXPECT_EQ(errorOf([&] { unit.selectMultiplier(0, 258); }), Result::badParameter);
    EXPECT_EQ(errorOf([&] { unit.setRunning(0, 256); }), Result::badParameter);
    EXPECT_EQ(errorOf([&] { unit.setLimiter(0, 1, -255); }), Result::badParameter);
    EXPECT_EQ(errorOf([&] { unit.writePreset(1, 0, 1LL << 32); }), Result::badParameter);
    EXPECT_EQ(errorOf([&] { unit.readChannel(std::uint64_t{1} << 32); }), Result::badParameter);

    EXPECT_TRUE(sim::calls().empty()) << "a refused value reached the platform";
    EXPECT_FALSE(isOpenInLibrary(5));
    EXPECT_TRUE(unit.isOpen());
    EXPECT_TRUE(isOpenInLibrary(2));
}

TEST_F(WrapperTest, WholeValuesOfAnyIntegerTypeArriveUnchanged) {
    Unit unit(std::uint64_t{4});
    sim::setRecording(true);
    sim::clearCalls();
    unit.setLimiter(short{2}, true, false);
    unit.setRunning(1L, 0);
    unit.writePreset(std::uint8_t{1}, -256, 0xFFFFFFFFu);
    unit.writePreset(0, std::int64_t{-2147483648LL}, 0);
    auto frame = [](const char* text) {
        std::string framed = "\x02" + std::string(text) + "\x03";
        return Bytes(framed.begin(), framed.end());
    };
    EXPECT_EQ(framesWritten(), (std::vector<Bytes>{frame("F210"), frame("I10"),
                                                   frame("G1FFFFFF00FFFFFFFF"),
                                                   frame("G08000000000000000")}));
}

TEST(ResultCategory, NamesEveryCodeInItsMessages) {
    const std::pair<Result, const char*> codes[] = {
        {Result::badId, "RC_BAD_ID (1)"},           {Result::alreadyOpen, "RC_ALREADY_OPEN (3)"},
        {Result::tooManyUnits, "RC_TOO_MANY_UNITS (4)"}, {Result::openFailed, "RC_OPEN_FAILED (5)"},
        {Result::idNotFound, "RC_ID_NOT_FOUND (6)"}, {Result::notOpen, "RC_NOT_OPEN (7)"},
        {Result::badParameter, "RC_BAD_PARAMETER (8)"}, {Result::commFailed, "RC_COMM_FAILED (9)"},
    };
    for (const auto& [result, text] : codes) {
        std::error_code ec = result;
        EXPECT_STREQ(ec.category().name(), "brivant");
        EXPECT_EQ(ec.message().rfind(text, 0), 0u) << ec.message();
        EXPECT_GT(ec.message().size(), std::strlen(text) + 3) << "no plain words after the code";
    }
    EXPECT_EQ(std::error_code(2, resultCategory()).message().rfind("RC_UNKNOWN (2)", 0), 0u);
    EXPECT_FALSE(toErrorCode(RC_OK));
    EXPECT_EQ(toErrorCode(RC_NOT_OPEN), Result::notOpen);
}

} // namespace
