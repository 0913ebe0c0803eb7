// What the tests share: a fixture that starts every test with all slots
// closed and an empty simulated platform that records every call, and checks
// afterwards that nothing the library acquired is left behind.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <vector>

#include "brivant.h"
#include "platform/sim/sim.h"

namespace brivant::test {

using Bytes = std::vector<std::uint8_t>;

inline void closeAll() {
    for (int16_t id = 0; id < 16; ++id) {
        Brivant_Device_Close(id);
    }
}

// A unit answering K with `id` and J with `countReply`.
inline sim::Unit unitWithId(int id, std::array<std::uint8_t, 15> countReply = {}) {
    sim::Unit unit;
    unit.idReply = id;
    unit.countReply = countReply;
    return unit;
}

// Adds one unit per ID, in enumeration order.
inline void addUnits(std::initializer_list<int> ids) {
    for (int id : ids) {
        sim::addUnit(unitWithId(id));
    }
}

class SimTest : public ::testing::Test {
protected:
    void SetUp() override {
        closeAll();
        sim::reset();
        sim::setRecording(true); // the tests read the record; reset() leaves this as it was
    }
    void TearDown() override {
        closeAll();
        EXPECT_EQ(sim::held(), sim::Held{}) << "a handle, set, block or mutex was left held";
        EXPECT_EQ(sim::badReleases(), 0) << "something was released twice or never held";
    }

    // Opens `id` and forgets the calls that took.
    void openQuietly(int16_t id) {
        ASSERT_EQ(Brivant_Device_Open(id), RC_OK);
        sim::clearCalls();
    }
};

// The bytes of every WritePipe call recorded since the last clear.
inline std::vector<Bytes> framesWritten() {
    std::vector<Bytes> frames;
    for (const sim::Call& call : sim::transfers()) {
        if (call.op == sim::Op::WritePipe) {
            frames.push_back(call.bytes);
        }
    }
    return frames;
}

} // namespace brivant::test
