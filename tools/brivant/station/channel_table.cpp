#include "channel_table.h"

#include <algorithm>

#include "brivant.h"

namespace brivant::tool {

namespace {

using Settings = ChannelSettings;
using Values = SettingValues;

template <bool Settings::*Member>
Values getSwitch(const Settings& s) {
    return {s.*Member ? 1u : 0u, 0, 0};
}
template <bool Settings::*Member>
void setSwitch(Settings& s, const Values& v) {
    s.*Member = v[0] != 0;
}
template <std::uint8_t Settings::*Member>
Values getOne(const Settings& s) {
    return {s.*Member, 0, 0};
}
template <std::uint8_t Settings::*Member>
void setOne(Settings& s, const Values& v) {
    s.*Member = static_cast<std::uint8_t>(v[0]);
}
template <typename T, std::size_t N, std::array<T, N> Settings::*Member>
Values getArray(const Settings& s) {
    Values v{};
    std::copy((s.*Member).begin(), (s.*Member).end(), v.begin());
    return v;
}
template <typename T, std::size_t N, std::array<T, N> Settings::*Member>
void setArray(Settings& s, const Values& v) {
    for (std::size_t i = 0; i < N; ++i) {
        (s.*Member)[i] = static_cast<T>(v[i]);
    }
}

std::uint8_t byte(std::uint32_t value) {
    return static_cast<std::uint8_t>(value);
}

using Arr2 = std::array<std::uint8_t, 2>;

const std::vector<ChannelSetting> kTable = {
    {"run", SettingKind::Switch, 1, 1, 'I', nullptr, {}, nullptr, {}, nullptr, nullptr, nullptr, nullptr, 7,
     getSwitch<&Settings::run>, setSwitch<&Settings::run>,
     [](std::int16_t id, std::uint8_t ch, const Values& v) { return Brivant_RunStop(id, ch, byte(v[0])); }},
    {"multiplier", SettingKind::Selection, 1, kMaxSelection, 'E', "multiplier", {"selection"},
     "multiplier", {"SEL"}, "select the multiplier of a channel (simulated units: x1, x2, x4)",
     "multiplier {} selected", nullptr, nullptr, 4, getOne<&Settings::multiplier>, setOne<&Settings::multiplier>,
     [](std::int16_t id, std::uint8_t ch, const Values& v) { return Brivant_SelMultiplier(id, ch, byte(v[0])); }},
    {"clear_event", SettingKind::Selection, 1, kMaxSelection, 'D', "clear-event", {"selection"},
     "clear-event", {"SEL"}, "select the event that clears a channel's count", "clear event {} selected",
     nullptr, nullptr, 3, getOne<&Settings::clearEvent>, setOne<&Settings::clearEvent>,
     [](std::int16_t id, std::uint8_t ch, const Values& v) { return Brivant_SelClearEvent(id, ch, byte(v[0])); }},
    {"input_inversion", SettingKind::OnOff, 3, kMaxOnOff, 'A', "input-inversion", {"s1", "s2", "s3"},
     "input-invert", {"S1", "S2", "S3"}, "set the input inversion of a channel",
     "input inversion set to {}", nullptr, nullptr, 0,
     getArray<std::uint8_t, 3, &Settings::inputInversion>, setArray<std::uint8_t, 3, &Settings::inputInversion>,
     [](std::int16_t id, std::uint8_t ch, const Values& v) {
         return Brivant_InputInverter(id, ch, byte(v[0]), byte(v[1]), byte(v[2]));
     }},
    {"output_inversion", SettingKind::OnOff, 2, kMaxOnOff, 'B', "output-inversion", {"s1", "s2"},
     "output-invert", {"S1", "S2"}, "set the output inversion of a channel",
     "output inversion set to {}", nullptr, nullptr, 1,
     getArray<std::uint8_t, 2, &Settings::outputInversion>, setArray<std::uint8_t, 2, &Settings::outputInversion>,
     [](std::int16_t id, std::uint8_t ch, const Values& v) {
         return Brivant_OutputInverter(id, ch, byte(v[0]), byte(v[1]));
     }},
    {"output_mode", SettingKind::OnOff, 2, kMaxOnOff, 'C', "output-mode", {"s1", "s2"}, "output-mode",
     {"S1", "S2"}, "set the output mode of a channel", "output mode set to {}", nullptr, nullptr, 2,
     getArray<std::uint8_t, 2, &Settings::outputMode>, setArray<std::uint8_t, 2, &Settings::outputMode>,
     [](std::int16_t id, std::uint8_t ch, const Values& v) {
         return Brivant_OutputMode(id, ch, byte(v[0]), byte(v[1]));
     }},
    {"limiter", SettingKind::OnOff, 2, kMaxOnOff, 'F', "limiter", {"s1", "s2"}, "limiter", {"S1", "S2"},
     "set the limiter of a channel", "limiter set to {}", nullptr, nullptr, 5,
     getArray<std::uint8_t, 2, &Settings::limiter>, setArray<std::uint8_t, 2, &Settings::limiter>,
     [](std::int16_t id, std::uint8_t ch, const Values& v) {
         return Brivant_SetLimitter(id, ch, byte(v[0]), byte(v[1]));
     }},
    // Written once by hand, the words are written again at each
    // configuration, so that a unit that comes back has them too.
    {"preset", SettingKind::Words, 2, 0, 'G', "preset", {"first", "second"}, "preset",
     {"FIRST", "SECOND"}, "write the two preset words of a channel", "preset words {} written",
     "The simulated units load the first word at the next forced clear.", "write_preset", 6,
     getArray<std::uint32_t, 2, &Settings::preset>, setArray<std::uint32_t, 2, &Settings::preset>,
     [](std::int16_t id, std::uint8_t ch, const Values& v) {
         const std::uint32_t words[2] = {v[0], v[1]};
         return Brivant_WritePresetData(id, ch, words);
     }},
    {"write_preset", SettingKind::Switch, 1, 1, 0, nullptr, {}, nullptr, {}, nullptr, nullptr, nullptr, nullptr,
     -1, getSwitch<&Settings::writePreset>, setSwitch<&Settings::writePreset>, nullptr},
};

const std::vector<ChannelAction> kActions = {
    {"run", "run", "start a channel counting", "running", "run", "run", 1, nullptr},
    {"stop", "stop", "stop a channel counting", "stopped", "stop", "run", 0, nullptr},
    {"clear", "clear", "clear a channel's count now (forced clear)", "count cleared", "forced clear", nullptr, 0,
     [](std::int16_t id, std::uint8_t ch) { return Brivant_ForcedClear(id, ch); }},
};

} // namespace

std::string boundText(long long high) {
    return high == 1 ? "0 or 1" : "0 to " + std::to_string(high);
}

bool ChannelSettings::operator==(const ChannelSettings& other) const {
    for (const ChannelSetting& setting : kTable) {
        if (setting.get(*this) != setting.get(other)) {
            return false;
        }
    }
    return true;
}

const std::vector<ChannelSetting>& channelTable() {
    return kTable;
}

const std::vector<ChannelAction>& channelActions() {
    return kActions;
}

template <typename Row, typename Name>
const Row* findRow(const std::vector<Row>& rows, std::string_view wanted, Name name) {
    for (const Row& row : rows) {
        const char* own = name(row);
        if (own != nullptr && wanted == own) {
            return &row;
        }
    }
    return nullptr;
}

const ChannelSetting* settingByKey(std::string_view key) {
    return findRow(kTable, key, [](const ChannelSetting& s) { return s.key; });
}

const ChannelSetting* settingByAction(std::string_view action) {
    return findRow(kTable, action, [](const ChannelSetting& s) { return s.action; });
}

const ChannelAction* actionByName(std::string_view action) {
    return findRow(kActions, action, [](const ChannelAction& a) { return a.action; });
}

std::vector<std::string> actionNames() {
    std::vector<std::string> names;
    for (const ChannelAction& one : kActions) {
        names.emplace_back(one.action);
    }
    for (const ChannelSetting& setting : kTable) {
        if (setting.action != nullptr) {
            names.emplace_back(setting.action);
        }
    }
    return names;
}

std::string settingKeys() {
    std::string keys;
    for (const ChannelSetting& setting : kTable) {
        keys += (keys.empty() ? "" : ", ") + std::string(setting.key);
    }
    return keys;
}

std::int16_t sendSettings(std::int16_t id, std::uint8_t ch, const ChannelSettings& s,
                          std::vector<SentSetting>& sent) {
    std::vector<const ChannelSetting*> order;
    for (const ChannelSetting& setting : kTable) {
        const ChannelSetting* gate = setting.gate ? settingByKey(setting.gate) : nullptr;
        if (setting.sendOrder >= 0 && (gate == nullptr || gate->get(s)[0] != 0)) {
            order.push_back(&setting);
        }
    }
    std::sort(order.begin(), order.end(), [](const ChannelSetting* a, const ChannelSetting* b) {
        return a->sendOrder < b->sendOrder;
    });
    for (const ChannelSetting* setting : order) {
        std::int16_t rc = setting->send(id, ch, setting->get(s));
        sent.push_back({setting->key, ch, rc});
        if (rc != RC_OK) {
            return rc;
        }
    }
    return RC_OK;
}

} // namespace brivant::tool
