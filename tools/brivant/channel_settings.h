// What each channel setting accepts, once for the tool's arguments, the
// panel's API and the station file; and a channel's settings as a station
// keeps them. The library gives the values no meaning of its own (the unit
// does); these are the bounds the library holds them to.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace brivant::tool {

constexpr long long kMaxUnitId = 15;
constexpr long long kMaxChannel = 2;
constexpr long long kMaxSelection = 2;  // multiplier, clear event
constexpr long long kMaxOnOff = 1;      // inversions, output mode, limiter
constexpr long long kMinWord = -2147483648LL; // a negative word is its two's complement
constexpr long long kMaxWord = 4294967295LL;

// "0 or 1", "0 to 2"
std::string boundText(long long high);

// Everything the library can send to one channel.
struct ChannelSettings {
    bool run = true;
    std::uint8_t multiplier = 0;
    std::uint8_t clearEvent = 0;
    std::array<std::uint8_t, 3> inputInversion{};
    std::array<std::uint8_t, 2> outputInversion{};
    std::array<std::uint8_t, 2> outputMode{};
    std::array<std::uint8_t, 2> limiter{};
    std::array<std::uint32_t, 2> preset{};
    bool writePreset = false; // send the preset words at each configuration

    bool operator==(const ChannelSettings& other) const;
    bool operator!=(const ChannelSettings& other) const { return !(*this == other); }
};

// One library call of a configuration and what it returned.
struct SentSetting {
    std::string name; // "input_inversion", "multiplier", ...
    int channel = 0;
    std::int16_t result = 0;
};

// Sends `settings` to channel `channel` of open unit `id`, in the order the
// station file lists them (run or stop last, once the channel is set up),
// appending each call to `sent`; stops at the first call that fails and
// returns its result, else RC_OK.
std::int16_t sendSettings(std::int16_t id, std::uint8_t channel, const ChannelSettings& settings,
                          std::vector<SentSetting>& sent);

} // namespace brivant::tool
