// Command frames on the wire: byte-exact frames, one write then one read per
// call with the reply length each command asks for, and the exchange rule.
#include <functional>

#include "support.h"
#include "transport/frame.h"

namespace brivant::test {
namespace {

struct FrameCase {
    const char* name;
    std::function<int16_t()> call;
    Bytes frame;
    std::uint32_t replyLength;
};

std::vector<FrameCase> frameCases() {
    static const uint32_t preset[2] = {0x12AB00FFu, 0u};
    static int32_t counts[3];
    static uint8_t status[3];
    static int32_t count;
    static uint8_t oneStatus;
    return {
        {"InputInverter", [] { return Brivant_InputInverter(4, 0, 1, 0, 1); },
         {0x02, 0x41, 0x30, 0x31, 0x30, 0x31, 0x03}, 1},
        {"OutputInverter", [] { return Brivant_OutputInverter(4, 2, 1, 1); },
         {0x02, 0x42, 0x32, 0x31, 0x31, 0x03}, 1},
        {"OutputMode", [] { return Brivant_OutputMode(4, 1, 0, 1); },
         {0x02, 0x43, 0x31, 0x30, 0x31, 0x03}, 1},
        {"SelClearEvent", [] { return Brivant_SelClearEvent(4, 0, 2); },
         {0x02, 0x44, 0x30, 0x32, 0x03}, 1},
        {"SelMultiplier", [] { return Brivant_SelMultiplier(4, 1, 2); },
         {0x02, 0x45, 0x31, 0x32, 0x03}, 1},
        {"SetLimitter", [] { return Brivant_SetLimitter(4, 2, 0, 1); },
         {0x02, 0x46, 0x32, 0x30, 0x31, 0x03}, 1},
        {"WritePresetData", [] { return Brivant_WritePresetData(4, 1, preset); },
         {0x02, 0x47, 0x31, '1', '2', 'A', 'B', '0', '0', 'F', 'F', '0', '0', '0', '0', '0', '0',
          '0', '0', 0x03},
         1},
        {"ForcedClear", [] { return Brivant_ForcedClear(4, 2); }, {0x02, 0x48, 0x32, 0x03}, 1},
        {"RunStop", [] { return Brivant_RunStop(4, 0, 1); }, {0x02, 0x49, 0x30, 0x31, 0x03}, 1},
        {"ReadCount", [] { return Brivant_ReadCount(4, counts, status); }, {0x02, 0x4A, 0x03}, 15},
        {"ReadCountCh", [] { return Brivant_ReadCountCh(4, 2, &count, &oneStatus); },
         {0x02, 0x4A, 0x03}, 15},
    };
}

class FrameTest : public SimTest {};

TEST_F(FrameTest, EveryFunctionWritesItsFrameOnceThenReadsItsReplyOnce) {
    addUnits({4});
    openQuietly(4);
    for (const FrameCase& c : frameCases()) {
        SCOPED_TRACE(c.name);
        sim::clearCalls();
        EXPECT_EQ(c.call(), RC_OK);
        std::vector<sim::Call> calls = sim::calls();
        ASSERT_EQ(calls.size(), 2u) << "one write and one read, nothing else";
        EXPECT_EQ(calls[0].op, sim::Op::WritePipe);
        EXPECT_EQ(calls[0].pipe, 0x01);
        EXPECT_EQ(calls[0].bytes, c.frame);
        EXPECT_EQ(calls[1].op, sim::Op::ReadPipe);
        EXPECT_EQ(calls[1].pipe, 0x82);
        EXPECT_EQ(calls[1].length, c.replyLength);
        EXPECT_EQ(calls[0].unit, 0);
        EXPECT_EQ(calls[1].unit, 0);
    }
}

TEST_F(FrameTest, AcknowledgementByteIsIgnoredWhateverItsValue) {
    addUnits({4});
    openQuietly(4);
    for (int ack : {0x00, 0x06, 0x15, 0x3F, 0xFF}) {
        sim::Unit unit = sim::getUnit(0);
        unit.ackReply = static_cast<std::uint8_t>(ack);
        sim::setUnit(0, unit);
        EXPECT_EQ(Brivant_ForcedClear(4, 0), RC_OK) << "ack " << ack;
        EXPECT_EQ(Brivant_SelMultiplier(4, 1, 2), RC_OK) << "ack " << ack;
    }
    // Even a read that succeeds without delivering the byte is acceptance.
    sim::Unit unit = sim::getUnit(0);
    unit.deliverAtMost = 0;
    sim::setUnit(0, unit);
    EXPECT_EQ(Brivant_RunStop(4, 2, 0), RC_OK);
}

TEST_F(FrameTest, FailedWriteIsNotFollowedByARead) {
    addUnits({4});
    openQuietly(4);
    sim::Unit unit = sim::getUnit(0);
    unit.writeFails = true;
    sim::setUnit(0, unit);
    for (const FrameCase& c : frameCases()) {
        SCOPED_TRACE(c.name);
        sim::clearCalls();
        EXPECT_EQ(c.call(), RC_COMM_FAILED);
        std::vector<sim::Call> calls = sim::transfers();
        ASSERT_EQ(calls.size(), 1u);
        EXPECT_EQ(calls[0].op, sim::Op::WritePipe);
    }
}

TEST_F(FrameTest, FailedReadGivesCommFailedAndLeavesTheUnitOpen) {
    addUnits({4});
    openQuietly(4);
    sim::Unit unit = sim::getUnit(0);
    unit.readFails = true;
    sim::setUnit(0, unit);
    for (const FrameCase& c : frameCases()) {
        EXPECT_EQ(c.call(), RC_COMM_FAILED) << c.name;
    }
    unit.readFails = false;
    sim::setUnit(0, unit);
    EXPECT_EQ(Brivant_ForcedClear(4, 1), RC_OK) << "a failed exchange keeps the slot open";
}

TEST(HexEncoding, EightUpperCaseDigitsMostSignificantFirst) {
    struct Case {
        std::uint32_t word;
        const char* text;
    };
    for (const Case& c : {Case{0x12AB00FFu, "12AB00FF"}, Case{0xFFFFFFFFu, "FFFFFFFF"},
                          Case{10u, "0000000A"}, Case{0u, "00000000"},
                          Case{0x80000001u, "80000001"}, Case{0xDEADBEEFu, "DEADBEEF"}}) {
        std::uint8_t out[9] = {};
        transport::encodeHex8(c.word, out);
        EXPECT_STREQ(reinterpret_cast<const char*>(out), c.text);
    }
}

TEST_F(FrameTest, PresetWordsTravelAsTheirBitPatterns) {
    addUnits({4});
    openQuietly(4);
    const uint32_t data[2] = {static_cast<uint32_t>(-1), 10u};
    ASSERT_EQ(Brivant_WritePresetData(4, 2, data), RC_OK);
    Bytes expected = {0x02, 0x47, 0x32};
    for (char c : std::string("FFFFFFFF0000000A")) {
        expected.push_back(static_cast<std::uint8_t>(c));
    }
    expected.push_back(0x03);
    ASSERT_EQ(framesWritten().size(), 1u);
    EXPECT_EQ(framesWritten()[0], expected);
}

} // namespace
} // namespace brivant::test
