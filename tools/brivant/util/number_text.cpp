#include "number_text.h"

#include <cerrno>
#include <climits>
#include <cstdlib>

#include "util/tool_errors.h"

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

} // namespace

std::string rangeText(long long low, long long high) {
    return std::to_string(low) + " to " + std::to_string(high);
}

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

} // namespace brivant::tool
