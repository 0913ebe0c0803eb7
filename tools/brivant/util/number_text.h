// Numbers as people write them, on a command line, in a station file or in
// an API body: decimal or 0x-hex, checked whole, and named with their range
// in the message ("channel 3 is not 0 to 2").
#pragma once

#include <cstdint>
#include <string>

namespace brivant::tool {

constexpr long long kMinWord = -2147483648LL; // a negative word is its two's complement
constexpr long long kMaxWord = 4294967295LL;

// "0 to 15"
std::string rangeText(long long low, long long high);

// `text` as a whole number, decimal or 0x-hex, from `low` to `high`; throws
// UsageError naming `what` otherwise.
long long parseNumber(const std::string& text, long long low, long long high,
                      const std::string& what);

// A 32-bit word: decimal or 0x-hex, a negative decimal taken as its two's
// complement.
std::uint32_t parseWord(const std::string& text, const std::string& what);

} // namespace brivant::tool
