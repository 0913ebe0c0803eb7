// The counter functions' argument checks, their order, and count decoding.
#include <functional>

#include "support.h"

namespace brivant::test {
namespace {

class CounterTest : public SimTest {
protected:
    void SetUp() override {
        SimTest::SetUp();
        addUnits({3});
        openQuietly(3);
    }
    void setCountReply(std::array<std::uint8_t, 15> reply) {
        sim::Unit unit = sim::getUnit(0);
        unit.countReply = reply;
        sim::setUnit(0, unit);
    }
    void changeUnit(const std::function<void(sim::Unit&)>& change) {
        sim::Unit unit = sim::getUnit(0);
        change(unit);
        sim::setUnit(0, unit);
    }
};

// One argument position of one function, with its bound.
struct Bound {
    const char* name;
    std::uint8_t bound;
    std::function<int16_t(int16_t id, std::uint8_t value)> call; // value at that position
};

std::vector<Bound> bounds() {
    static const uint32_t data[2] = {1, 2};
    static int32_t count;
    static uint8_t status;
    using V = std::uint8_t;
    return {
        {"InputInverter channel", 2, [](int16_t id, V v) { return Brivant_InputInverter(id, v, 0, 0, 0); }},
        {"InputInverter s1", 1, [](int16_t id, V v) { return Brivant_InputInverter(id, 0, v, 0, 0); }},
        {"InputInverter s2", 1, [](int16_t id, V v) { return Brivant_InputInverter(id, 0, 0, v, 0); }},
        {"InputInverter s3", 1, [](int16_t id, V v) { return Brivant_InputInverter(id, 0, 0, 0, v); }},
        {"OutputInverter channel", 2, [](int16_t id, V v) { return Brivant_OutputInverter(id, v, 0, 0); }},
        {"OutputInverter s1", 1, [](int16_t id, V v) { return Brivant_OutputInverter(id, 0, v, 0); }},
        {"OutputInverter s2", 1, [](int16_t id, V v) { return Brivant_OutputInverter(id, 0, 0, v); }},
        {"OutputMode channel", 2, [](int16_t id, V v) { return Brivant_OutputMode(id, v, 0, 0); }},
        {"OutputMode s1", 1, [](int16_t id, V v) { return Brivant_OutputMode(id, 0, v, 0); }},
        {"OutputMode s2", 1, [](int16_t id, V v) { return Brivant_OutputMode(id, 0, 0, v); }},
        {"SelClearEvent channel", 2, [](int16_t id, V v) { return Brivant_SelClearEvent(id, v, 0); }},
        {"SelClearEvent selection", 2, [](int16_t id, V v) { return Brivant_SelClearEvent(id, 0, v); }},
        {"SelMultiplier channel", 2, [](int16_t id, V v) { return Brivant_SelMultiplier(id, v, 0); }},
        {"SelMultiplier selection", 2, [](int16_t id, V v) { return Brivant_SelMultiplier(id, 0, v); }},
        {"SetLimitter channel", 2, [](int16_t id, V v) { return Brivant_SetLimitter(id, v, 0, 0); }},
        {"SetLimitter s1", 1, [](int16_t id, V v) { return Brivant_SetLimitter(id, 0, v, 0); }},
        {"SetLimitter s2", 1, [](int16_t id, V v) { return Brivant_SetLimitter(id, 0, 0, v); }},
        {"ForcedClear channel", 2, [](int16_t id, V v) { return Brivant_ForcedClear(id, v); }},
        {"RunStop channel", 2, [](int16_t id, V v) { return Brivant_RunStop(id, v, 0); }},
        {"RunStop run", 1, [](int16_t id, V v) { return Brivant_RunStop(id, 0, v); }},
        {"WritePresetData channel", 2, [](int16_t id, V v) { return Brivant_WritePresetData(id, v, data); }},
        {"ReadCountCh channel", 2, [](int16_t id, V v) { return Brivant_ReadCountCh(id, v, &count, &status); }},
    };
}

TEST_F(CounterTest, EachArgumentAcceptsItsBoundAndRefusesAboveIt) {
    for (const Bound& b : bounds()) {
        SCOPED_TRACE(b.name);
        sim::clearCalls();
        EXPECT_EQ(b.call(3, b.bound), RC_OK);
        EXPECT_EQ(framesWritten().size(), 1u);
        for (int above : {b.bound + 1, 255}) {
            sim::clearCalls();
            EXPECT_EQ(b.call(3, static_cast<std::uint8_t>(above)), RC_BAD_PARAMETER) << above;
            EXPECT_EQ(sim::callCount(), 0u) << "nothing is sent for a refused argument";
        }
    }
}

TEST_F(CounterTest, ClosedSlotComesBeforeBadArgumentsAndBadArgumentsBeforeTheExchange) {
    changeUnit([](sim::Unit& u) { u.writeFails = true; });
    for (const Bound& b : bounds()) {
        SCOPED_TRACE(b.name);
        EXPECT_EQ(b.call(3, 255), RC_BAD_PARAMETER) << "8 before 9";
        EXPECT_EQ(b.call(3, b.bound), RC_COMM_FAILED);
        if (std::string(b.name) == "ReadCountCh channel") {
            EXPECT_EQ(b.call(4, 3), RC_BAD_PARAMETER) << "its channel is checked before the slot";
            EXPECT_EQ(b.call(4, 2), RC_NOT_OPEN);
        } else {
            EXPECT_EQ(b.call(4, 255), RC_NOT_OPEN) << "7 before 8";
        }
    }
}

TEST_F(CounterTest, IdsOutsideTheTableGiveNotOpenAndTouchNothing) {
    sim::clearCalls();
    for (int16_t id : {int16_t{16}, int16_t{-1}, int16_t{1000}, int16_t{INT16_MAX}, int16_t{INT16_MIN}}) {
        for (const Bound& b : bounds()) {
            EXPECT_EQ(b.call(id, 0), RC_NOT_OPEN) << b.name << " id " << id;
        }
        int32_t counts[3];
        uint8_t status[3];
        EXPECT_EQ(Brivant_ReadCount(id, counts, status), RC_NOT_OPEN);
        EXPECT_EQ(Brivant_ReadCountCh(id, 3, counts, status), RC_BAD_PARAMETER);
    }
    EXPECT_EQ(sim::callCount(), 0u);
}

TEST_F(CounterTest, NullPointersAreRefusedAfterTheSlotAndBeforeTheExchange) {
    int32_t counts[3];
    uint8_t status[3];
    sim::clearCalls();
    EXPECT_EQ(Brivant_ReadCount(3, nullptr, status), RC_BAD_PARAMETER);
    EXPECT_EQ(Brivant_ReadCount(3, counts, nullptr), RC_BAD_PARAMETER);
    EXPECT_EQ(Brivant_ReadCountCh(3, 0, nullptr, status), RC_BAD_PARAMETER);
    EXPECT_EQ(Brivant_ReadCountCh(3, 0, counts, nullptr), RC_BAD_PARAMETER);
    EXPECT_EQ(Brivant_WritePresetData(3, 0, nullptr), RC_BAD_PARAMETER);
    EXPECT_EQ(sim::callCount(), 0u);

    EXPECT_EQ(Brivant_ReadCount(4, nullptr, nullptr), RC_NOT_OPEN);
    EXPECT_EQ(Brivant_ReadCountCh(4, 1, nullptr, nullptr), RC_NOT_OPEN);
    EXPECT_EQ(Brivant_ReadCountCh(4, 3, nullptr, nullptr), RC_BAD_PARAMETER);
    EXPECT_EQ(Brivant_WritePresetData(4, 0, nullptr), RC_NOT_OPEN);
    EXPECT_EQ(Brivant_WritePresetData(3, 3, nullptr), RC_BAD_PARAMETER);
}

TEST_F(CounterTest, CountsAreBigEndianWithBit23ExtendedOnChannelsOneAndTwo) {
    struct Case {
        std::array<std::uint8_t, 4> bytes;
        std::uint32_t channel0; // as it comes out on channel 0
        std::uint32_t extended; // as it comes out on channels 1 and 2
    };
    const Case cases[] = {
        {{0x00, 0x80, 0x00, 0x00}, 0x00800000u, 0xFF800000u},
        {{0x00, 0x7F, 0xFF, 0xFF}, 0x007FFFFFu, 0x007FFFFFu},
        {{0x12, 0x80, 0x00, 0x00}, 0x12800000u, 0xFF800000u},
        {{0x12, 0x00, 0x00, 0x01}, 0x12000001u, 0x12000001u},
        {{0xFF, 0xFF, 0xFF, 0xFF}, 0xFFFFFFFFu, 0xFFFFFFFFu},
        {{0x80, 0x00, 0x00, 0x00}, 0x80000000u, 0x80000000u},
        {{0x00, 0x00, 0x00, 0x00}, 0u, 0u},
        {{0x01, 0x02, 0x03, 0x04}, 0x01020304u, 0x01020304u},
    };
    for (const Case& c : cases) {
        for (int channel = 0; channel < 3; ++channel) {
            std::array<std::uint8_t, 15> reply{};
            for (int i = 0; i < 4; ++i) {
                reply[4 * channel + i] = c.bytes[i];
            }
            reply[12] = 0xA5;
            reply[13] = 0x00;
            reply[14] = 0xFF;
            setCountReply(reply);
            std::uint32_t want = channel == 0 ? c.channel0 : c.extended;
            int32_t counts[3] = {7, 7, 7};
            uint8_t status[3] = {7, 7, 7};
            ASSERT_EQ(Brivant_ReadCount(3, counts, status), RC_OK);
            EXPECT_EQ(static_cast<std::uint32_t>(counts[channel]), want)
                << "channel " << channel << " bytes " << int{c.bytes[0]} << " " << int{c.bytes[1]};
            EXPECT_EQ(status[0], 0xA5);
            EXPECT_EQ(status[1], 0x00);
            EXPECT_EQ(status[2], 0xFF);

            int32_t one = 7;
            uint8_t oneStatus = 7;
            sim::clearCalls();
            ASSERT_EQ(Brivant_ReadCountCh(3, static_cast<std::uint8_t>(channel), &one, &oneStatus), RC_OK);
            EXPECT_EQ(static_cast<std::uint32_t>(one), want);
            EXPECT_EQ(oneStatus, reply[12 + channel]);
            EXPECT_EQ(framesWritten().size(), 1u) << "one exchange per channel read";
        }
    }
}

TEST_F(CounterTest, OutputsAreUntouchedOnEveryFailure) {
    setCountReply({0, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0, 3, 4, 5, 6});
    struct Failure {
        const char* name;
        std::function<void(sim::Unit&)> apply;
    };
    const Failure failures[] = {
        {"write fails", [](sim::Unit& u) { u.writeFails = true; }},
        {"read fails", [](sim::Unit& u) { u.readFails = true; }},
        {"14 of 15 bytes", [](sim::Unit& u) { u.deliverAtMost = 14; }},
        {"1 of 15 bytes", [](sim::Unit& u) { u.deliverAtMost = 1; }},
        {"no byte", [](sim::Unit& u) { u.deliverAtMost = 0; }},
        {"unit unplugged", [](sim::Unit& u) { u.present = false; }},
    };
    for (const Failure& f : failures) {
        SCOPED_TRACE(f.name);
        sim::Unit healthy = sim::getUnit(0);
        changeUnit(f.apply);
        int32_t counts[3] = {-5, -5, -5};
        uint8_t status[3] = {0xEE, 0xEE, 0xEE};
        EXPECT_EQ(Brivant_ReadCount(3, counts, status), RC_COMM_FAILED);
        EXPECT_EQ(Brivant_ReadCountCh(3, 1, counts, status), RC_COMM_FAILED);
        for (int k = 0; k < 3; ++k) {
            EXPECT_EQ(counts[k], -5);
            EXPECT_EQ(status[k], 0xEE);
        }
        sim::setUnit(0, healthy);
        ASSERT_EQ(Brivant_ReadCount(3, counts, status), RC_OK) << "the unit works again";
        EXPECT_EQ(counts[2], 3);
    }
    // Refused calls leave outputs alone too.
    int32_t count = -5;
    uint8_t status = 0xEE;
    EXPECT_EQ(Brivant_ReadCountCh(4, 0, &count, &status), RC_NOT_OPEN);
    EXPECT_EQ(Brivant_ReadCountCh(3, 3, &count, &status), RC_BAD_PARAMETER);
    EXPECT_EQ(count, -5);
    EXPECT_EQ(status, 0xEE);
}

} // namespace
} // namespace brivant::test
