#include "export/sparkplug/sparkplug_commands.h"

namespace brivant::tool::sparkplug {

namespace {

std::string named(const Metric& metric) {
    return metric.name.empty() ? "alias " + std::to_string(metric.alias.value_or(0)) : metric.name;
}

} // namespace

HostCommand readNodeCommand(const std::uint8_t* bytes, std::size_t size) {
    HostCommand command;
    std::string why;
    const std::optional<Payload> payload = decode(bytes, size, why);
    if (!payload) {
        command.refused.push_back({"ncmd-malformed", "an NCMD that is not a Sparkplug B payload: " + why});
        return command;
    }
    for (const Metric& metric : payload->metrics) {
        const bool isRebirth =
            metric.name == "Node Control/Rebirth" || (metric.name.empty() && metric.alias == kRebirthAlias);
        if (isRebirth && truthValue(metric) == true) {
            command.rebirth = true;
        } else {
            command.refused.push_back(
                {"ncmd-unknown", "an NCMD with a metric other than Node Control/Rebirth = true (" + named(metric) + ")"});
        }
    }
    return command;
}

HostCommand readDeviceCommand(std::int16_t unit, const std::uint8_t* bytes, std::size_t size) {
    HostCommand command;
    std::string why;
    const std::optional<Payload> payload = decode(bytes, size, why);
    if (!payload) {
        command.refused.push_back(
            {"dcmd-malformed", "a DCMD for " + deviceId(unit) + " that is not a Sparkplug B payload: " + why});
        return command;
    }
    for (const Metric& metric : payload->metrics) {
        std::string refused;
        if (const std::optional<SettingWrite> write = settingWrite(unit, metric, refused)) {
            command.writes.push_back(*write);
        } else {
            command.refused.push_back({"dcmd-refused", "a DCMD for " + deviceId(unit) + " refused: " + refused});
        }
    }
    return command;
}

} // namespace brivant::tool::sparkplug
