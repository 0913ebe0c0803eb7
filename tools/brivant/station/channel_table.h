// The settings of a channel, in one table: each setting's name in the
// station file and in the API's JSON, the action that changes it through
// serve (from the API and the broker) and the tool's command for it, the
// letter of the unit's frame that carries it, its values and their bounds,
// and its default (that of ChannelSettings). The station file's reader and
// writer, the API's JSON and its changes, and the tool's commands all read
// the table, so a new setting is one row. The library gives the values no
// meaning of its own (the unit does); the bounds are those it holds them to.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace brivant::tool {

constexpr long long kMaxUnitId = 15;
constexpr long long kMaxChannel = 2;
constexpr long long kMaxSelection = 2;  // multiplier, clear event
constexpr long long kMaxOnOff = 1;      // inversions, output mode, limiter

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

enum class SettingKind {
    Switch,    // true or false
    Selection, // one number from 0 to the bound
    OnOff,     // S1, S2 (and S3), each 0 or 1
    Words,     // 32-bit words
};

// A setting's values in the order they are written; a switch is 0 or 1.
using SettingValues = std::array<std::uint32_t, 3>;

struct ChannelSetting {
    const char* key;       // in the station file and the API's JSON: "input_inversion"
    SettingKind kind;
    std::size_t count;     // how many values, 1 to 3
    long long high;        // each value's bound (not for words)
    char frame;            // the unit's frame letter; 0: the setting is the station's alone
    const char* action;    // the change through serve ("input-inversion"); nullptr: none
    std::vector<const char*> fields;    // the change's body fields, one per value
    const char* command;   // the tool's command ("input-invert"); nullptr: none of its own
    std::vector<const char*> arguments; // the command's arguments, one per value
    const char* help;      // the command's help
    const char* done;      // what the tool says once the unit took it; {} the values
    const char* footer;    // more for the command's help; nullptr: none
    const char* gate;      // a switch that must be on for it to be sent at each
                           // configuration, and that a change turns on; nullptr: none
    int sendOrder;         // its place in a whole configuration; -1: never sent by itself
    SettingValues (*get)(const ChannelSettings& settings);
    void (*set)(ChannelSettings& settings, const SettingValues& values);
    std::int16_t (*send)(std::int16_t id, std::uint8_t channel, const SettingValues& values);
};

// What serve and the tool can do to a channel besides setting a value:
// start and stop it (the "run" switch) and clear its count.
struct ChannelAction {
    const char* action;    // through serve
    const char* command;   // the tool's
    const char* help;
    const char* done;
    const char* callName;  // the call, in the tool's messages ("forced clear")
    const char* setting;   // the switch it sets, to `value`; nullptr: it sets nothing
    std::uint32_t value;
    std::int16_t (*send)(std::int16_t id, std::uint8_t channel);
};

// Every setting, in the order the station file lists them.
const std::vector<ChannelSetting>& channelTable();
const std::vector<ChannelAction>& channelActions();
const ChannelSetting* settingByKey(std::string_view key);
const ChannelSetting* settingByAction(std::string_view action);
const ChannelAction* actionByName(std::string_view action);
// Every action serve takes, the plain ones first.
std::vector<std::string> actionNames();
// "run, multiplier, ..." for messages.
std::string settingKeys();

// One library call of a configuration and what it returned.
struct SentSetting {
    std::string name; // "input_inversion", "multiplier", ...
    int channel = 0;
    std::int16_t result = 0;
};

// Sends `settings` to channel `channel` of open unit `id`, in the table's
// sending order (run or stop last, once the channel is set up), appending
// each call to `sent`; stops at the first call that fails and returns its
// result, else RC_OK.
std::int16_t sendSettings(std::int16_t id, std::uint8_t channel, const ChannelSettings& settings,
                          std::vector<SentSetting>& sent);

} // namespace brivant::tool
