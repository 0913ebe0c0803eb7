#include "number_arguments.h"

#include <cerrno>
#include <climits>
#include <cstdlib>

#include "tool_errors.h"

namespace brivant::tool {

namespace {

// The magnitude of a decimal or 0x-hex number with an optional minus sign;
// false when the text is anything else (strtoull alone would take spaces,
// a plus sign, a second prefix, or octal after a leading 0).
bool parseMagnitude(std::string digits, bool& negative, unsigned long long& magnitude) {
    negative = !digits.empty() && digits[0] == '-';
    if (negative) {
        digits.erase(0, 1);
    }
    int base = 10;
    if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
        base = 16;
        digits.erase(0, 2);
    }
    if (digits.empty()) {
        return false;
    }
    for (char c : digits) {
        bool isDigit = c >= '0' && c <= '9';
        bool isHex = (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
        if (!isDigit && !(base == 16 && isHex)) {
            return false;
        }
    }
    errno = 0;
    magnitude = std::strtoull(digits.c_str(), nullptr, base);
    return errno == 0;
}

std::string rangeText(long long low, long long high) {
    return std::to_string(low) + " to " + std::to_string(high);
}

} // namespace

long long parseNumber(const std::string& text, long long low, long long high,
                      const std::string& what) {
    bool negative = false;
    unsigned long long magnitude = 0;
    if (!parseMagnitude(text, negative, magnitude) ||
        magnitude > static_cast<unsigned long long>(LLONG_MAX)) {
        throw UsageError(what + " '" + text + "' is not a number from " + rangeText(low, high));
    }
    long long value = negative ? -static_cast<long long>(magnitude) : static_cast<long long>(magnitude);
    if (value < low || value > high) {
        throw UsageError(what + " " + text + " is not " + rangeText(low, high));
    }
    return value;
}

std::uint32_t parseWord(const std::string& text, const std::string& what) {
    bool negative = false;
    unsigned long long magnitude = 0;
    bool fits = parseMagnitude(text, negative, magnitude) &&
                magnitude <= static_cast<unsigned long long>(negative ? -kMinWord : kMaxWord);
    if (!fits) {
        throw UsageError(what + " '" + text +
                         "' is not a 32-bit word (0 to 0xFFFFFFFF, or -2147483648 to -1)");
    }
    auto word = static_cast<std::uint32_t>(magnitude);
    return negative ? static_cast<std::uint32_t>(0u - word) : word;
}

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
