#include "channel_toml.h"

#include <cstdio>

namespace brivant::tool {

namespace {

const char* const kOrdinals[] = {"first", "second", "third"};

// The values of an array setting, each read by `one`; false when the node
// is not an array of `count`, told as `wanted`.
template <typename ReadOne>
bool readArray(const toml::node& node, std::size_t count, const std::string& wanted,
               Problems& problems, ReadOne one) {
    const toml::array* array = node.as_array();
    if (array == nullptr || array->size() != count) {
        problems.add(node, wanted);
        return false;
    }
    bool ok = true;
    for (std::size_t i = 0; i < count; ++i) {
        ok = one(i, (*array)[i]) && ok;
    }
    return ok;
}

bool readSetting(const ChannelSetting& setting, const toml::node& node, const std::string& what,
                 Problems& problems, SettingValues& values) {
    switch (setting.kind) {
    case SettingKind::Switch:
        if (!node.is_boolean()) {
            problems.add(node, what + " must be true or false, not " + typeName(node));
            return false;
        }
        values[0] = node.as_boolean()->get() ? 1 : 0;
        return true;
    case SettingKind::Selection: {
        long long value = 0;
        if (!integerIn(node, what, 0, setting.high, problems, value)) {
            return false;
        }
        values[0] = static_cast<std::uint32_t>(value);
        return true;
    }
    case SettingKind::OnOff: {
        std::string names = "S1";
        for (std::size_t i = 1; i < setting.count; ++i) {
            names += ", S" + std::to_string(i + 1);
        }
        return readArray(node, setting.count,
                         what + " must be an array of " + std::to_string(setting.count) +
                             " settings (" + names + "), each 0 or 1",
                         problems, [&](std::size_t i, const toml::node& item) {
                             std::uint8_t bit = 0;
                             const bool ok = onOff(item, what + " S" + std::to_string(i + 1), problems, bit);
                             values[i] = bit;
                             return ok;
                         });
    }
    case SettingKind::Words:
        break;
    }
    return readArray(node, setting.count,
                     what + " must be an array of the " + (setting.count == 2 ? "two" : "three") + " " +
                         setting.key + " words",
                     problems, [&](std::size_t i, const toml::node& item) {
                         return word(item, what + " " + kOrdinals[i] + " word", problems, values[i]);
                     });
}

std::string valueText(const ChannelSetting& setting, const SettingValues& values) {
    switch (setting.kind) {
    case SettingKind::Switch:
        return values[0] != 0 ? "true" : "false";
    case SettingKind::Selection:
        return std::to_string(values[0]);
    case SettingKind::OnOff:
    case SettingKind::Words:
        break;
    }
    std::string out = "[";
    for (std::size_t i = 0; i < setting.count; ++i) {
        out += i > 0 ? ", " : "";
        if (setting.kind == SettingKind::Words) {
            char text[16];
            std::snprintf(text, sizeof text, "\"0x%08X\"", static_cast<unsigned>(values[i]));
            out += text;
        } else {
            out += std::to_string(values[i]);
        }
    }
    return out + "]";
}

} // namespace

void readChannel(const toml::table& table, const std::string& where, Problems& problems,
                 ChannelSettings& settings) {
    for (auto&& [key, node] : table) {
        const std::string name(key.str());
        const ChannelSetting* setting = settingByKey(name);
        if (setting == nullptr) {
            problems.add(key.source(), "unknown key '" + name + "' in " +
                                           where.substr(0, where.size() - 1) + " (" + settingKeys() + ")");
            continue;
        }
        SettingValues values = setting->get(settings);
        if (readSetting(*setting, node, where + name, problems, values)) {
            setting->set(settings, values);
        }
    }
}

void writeChannel(std::ostream& out, const ChannelSettings& settings) {
    for (const ChannelSetting& setting : channelTable()) {
        out << setting.key << " = " << valueText(setting, setting.get(settings)) << "\n";
    }
}

} // namespace brivant::tool
