// Numbers on the command line: decimal, or hexadecimal after 0x.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace brivant::cli {

// A wrong command line; the message says what is wrong with it.
struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// `text` as a whole number from `low` to `high`; throws UsageError naming
// `what` otherwise.
long long parseNumber(const std::string& text, long long low, long long high, const char* what);

std::int16_t parseId(const std::string& text);
std::uint8_t parseByte(const std::string& text, const char* what); // 0..255; the library checks bounds
std::uint32_t parseWord(const std::string& text, const char* what); // 32 bits; negatives wrap

} // namespace brivant::cli
