#include "numbers.h"

#include <cerrno>
#include <climits>
#include <cstdlib>

namespace brivant::cli {

long long parseNumber(const std::string& text, long long low, long long high, const char* what) {
    std::string digits = text;
    bool negative = !digits.empty() && digits[0] == '-';
    if (negative) {
        digits.erase(0, 1);
    }
    int base = 10;
    if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
        base = 16;
        digits.erase(0, 2);
    }
    // strtoull alone would take spaces, signs and a second prefix.
    bool wellFormed = !digits.empty();
    for (char c : digits) {
        bool isDigit = c >= '0' && c <= '9';
        bool isHex = (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
        wellFormed = wellFormed && (isDigit || (base == 16 && isHex));
    }
    errno = 0;
    unsigned long long magnitude = wellFormed ? std::strtoull(digits.c_str(), nullptr, base) : 0;
    bool fits = wellFormed && errno == 0 && magnitude <= static_cast<unsigned long long>(LLONG_MAX);
    long long value = 0;
    if (fits) {
        value = negative ? -static_cast<long long>(magnitude) : static_cast<long long>(magnitude);
        fits = value >= low && value <= high;
    }
    if (!fits) {
        throw UsageError(std::string(what) + " '" + text + "' is not a number from " +
                         std::to_string(low) + " to " + std::to_string(high));
    }
    return value;
}

std::int16_t parseId(const std::string& text) {
    return static_cast<std::int16_t>(parseNumber(text, INT16_MIN, INT16_MAX, "unit ID"));
}

std::uint8_t parseByte(const std::string& text, const char* what) {
    return static_cast<std::uint8_t>(parseNumber(text, 0, UINT8_MAX, what));
}

std::uint32_t parseWord(const std::string& text, const char* what) {
    long long value = parseNumber(text, INT32_MIN, UINT32_MAX, what);
    return static_cast<std::uint32_t>(value);
}

} // namespace brivant::cli
