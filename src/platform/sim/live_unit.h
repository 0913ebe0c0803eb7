// A simulated counter unit that counts, for programs and people working
// without hardware. It is a simulation, not a model of the real unit's inner
// working: it is only meant to behave plausibly through the 13 functions.
//
// While a channel runs its count moves at a fixed rate (channel 0 up by 1000
// per second, channel 1 up by 100, channel 2 down by 10), scaled by the
// multiplier selection (E: 0 gives x1, 1 gives x2, 2 gives x4). I stops or
// runs a channel; a stopped count stays where it is. H sets the count to the
// first preset word written with G (0 until one is written). Every channel
// runs from the unit's first exchange (the ID query of an open) on. Bit 0 of a status byte is set while
// the channel runs. Channel 0 counts in 32 bits, channels 1 and 2 in 24
// (two's complement), as the count reply carries them. A, B, C, D and F are
// acknowledged and otherwise ignored.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>

namespace brivant::sim {

using SimClock = std::chrono::steady_clock;

class LiveUnit {
public:
    static constexpr std::array<std::int64_t, 3> kCountsPerSecond{1000, 100, -10};
    static constexpr std::uint8_t kStatusRunning = 0x01;

    // Starts the channels' clocks, once; answer() does it too.
    void start(SimClock::time_point now);

    // Answers a J frame with the 15-byte count reply and any other command
    // with `ack`, after applying it. Returns the reply length. Allocates
    // nothing.
    std::size_t answer(const std::uint8_t* frame, std::uint32_t length, SimClock::time_point now,
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
    void apply(char letter, const std::uint8_t* args, std::uint32_t argCount,
               SimClock::time_point now);

    bool started_ = false;
    std::array<Channel, 3> channels_{};
};

} // namespace brivant::sim
