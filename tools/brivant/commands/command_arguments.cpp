#include "commands/command_arguments.h"

#include "util/tool_errors.h"

namespace brivant::tool {

// CLI11 reports a validator's message prefixed with the option's name; a
// UsageError thrown from the transform keeps the tool's own wording.
CLI::Validator numberFrom(long long low, long long high, const std::string& what) {
    return CLI::Validator(
        [=](std::string& text) {
            text = std::to_string(parseNumber(text, low, high, what));
            return std::string();
        },
        rangeText(low, high));
}

CLI::Validator word32(const std::string& what) {
    return CLI::Validator(
        [=](std::string& text) {
            text = std::to_string(parseWord(text, what));
            return std::string();
        },
        "32-bit word");
}

CLI::Option* addUnitId(CLI::App& command, std::int16_t& id) {
    return command.add_option("ID", id, "unit ID, 0 to 15")
        ->required()
        ->transform(numberFrom(0, kMaxUnitId, "unit ID"));
}

CLI::Option* addChannel(CLI::App& command, int& channel) {
    return command.add_option("CH", channel, "channel, 0 to 2")
        ->required()
        ->transform(numberFrom(0, kMaxChannel, "channel"));
}

std::vector<std::int16_t> parseUnitList(const std::string& text) {
    std::vector<std::int16_t> ids;
    std::size_t at = 0;
    while (true) {
        std::size_t comma = text.find(',', at);
        std::string item = text.substr(at, comma == std::string::npos ? std::string::npos : comma - at);
        if (item.empty()) {
            throw UsageError("unit list '" + text + "' has an empty item; give IDs as 0,1,5");
        }
        auto id = static_cast<std::int16_t>(parseNumber(item, 0, kMaxUnitId, "unit ID"));
        for (std::int16_t seen : ids) {
            if (seen == id) {
                throw UsageError("unit ID " + std::to_string(id) + " is given twice");
            }
        }
        ids.push_back(id);
        if (comma == std::string::npos) {
            return ids;
        }
        at = comma + 1;
    }
}

CLI::Option* addUnitIds(CLI::App& command, std::vector<std::int16_t>& ids) {
    return command
        .add_option_function<std::string>(
            "ID", [&ids](const std::string& text) { ids = parseUnitList(text); },
            "unit IDs, 0 to 15, separated by commas (0,1,5)")
        ->required()
        ->type_name("ID[,ID...]");
}

} // namespace brivant::tool
