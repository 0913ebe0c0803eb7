// How a simulated counter unit answers the frames written to it: given the
// bytes of one frame and the time, the reply bytes it sends back. Whatever
// stands in for the unit uses this: the simulated platform, the winusb.dll
// double of the Wine suite, an emulated USB device. It knows nothing of
// handles, pipes or locks, and allocates nothing.
//
// A unit answers K with its ID byte (or with an empty reply), J with its
// 15-byte count reply and A to I with one acknowledgement byte.
//
// A live unit makes up its own counts instead, for programs and people
// working without hardware. It is a simulation, not a model of the real
// unit's inner working: it is only meant to behave plausibly through the 13
// functions. While a channel runs its count moves at a fixed rate (channel 0
// up by 1000 per second, channel 1 up by 100, channel 2 down by 10), scaled
// by the multiplier selection (E: 0 gives x1, 1 gives x2, 2 gives x4). I
// stops or runs a channel; a stopped count stays where it is. H sets the
// count to the first preset word written with G (0 until one is written).
// Every channel runs from the unit's first frame (the ID query of an open)
// on. Bit 0 of a status byte is set while the channel runs. Channel 0 counts
// in 32 bits, channels 1 and 2 in 24 (two's complement), as the count reply
// carries them. A, B, C, D and F are acknowledged and otherwise ignored.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>

namespace brivant::sim {

using SimClock = std::chrono::steady_clock;

// What a unit answers.
struct UnitAnswers {
    int idReply = 0;                           // byte answered to K; -1 answers with no byte
    std::array<std::uint8_t, 15> countReply{}; // answer to J
    std::uint8_t ackReply = 0x06;              // answer to A..I
    bool live = false; // counts by the clock and obeys G, H, I and E instead of countReply
};

// The bytes a unit sends back for one frame.
struct Reply {
    std::array<std::uint8_t, 15> bytes{};
    std::size_t size = 0;
};

// The counting part of a live unit.
class LiveUnit {
public:
    static constexpr std::array<std::int64_t, 3> kCountsPerSecond{1000, 100, -10};
    static constexpr std::uint8_t kStatusRunning = 0x01;

    // Starts the channels' clocks, once; answer() does it too.
    void start(SimClock::time_point now);

    // Answers a J frame with the 15-byte count reply and any other command
    // with `ack`, after applying it. Returns the reply length.
    std::size_t answer(const std::uint8_t* frame, std::size_t length, SimClock::time_point now,
                       std::uint8_t ack, std::array<std::uint8_t, 15>& reply);

private:
    struct Channel {
        bool running = true;
        std::int64_t countAtMark = 0;  // the count at `mark`
        SimClock::time_point mark{};   // when the rate or run state last changed
        unsigned multiplierShift = 0;  // rate x (1 << shift)
        std::uint32_t preset[2] = {0, 0};
    };

    std::int64_t countAt(const Channel& channel, SimClock::time_point now) const;
    void settle(Channel& channel, SimClock::time_point now); // folds elapsed counts into countAtMark
    void apply(char letter, const std::uint8_t* args, std::size_t argCount,
               SimClock::time_point now);

    bool started_ = false;
    std::array<Channel, 3> channels_{};
};

// One unit: its answers, and the counts of a live one.
class UnitModel {
public:
    UnitModel() = default;
    explicit UnitModel(const UnitAnswers& answers) : answers_(answers) {}

    const UnitAnswers& answers() const { return answers_; }
    // Takes effect from the next frame; a live unit's counts carry on.
    void setAnswers(const UnitAnswers& answers) { answers_ = answers; }

    // The reply to one frame written at `now` (STX, letter, arguments, ETX).
    // A frame too short to carry a letter is acknowledged.
    Reply answer(const std::uint8_t* frame, std::size_t length, SimClock::time_point now);

private:
    UnitAnswers answers_;
    LiveUnit live_;
};

} // namespace brivant::sim
