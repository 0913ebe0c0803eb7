// One sample as the journal keeps it, and as history hands it out.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

namespace brivant::tool {

struct JournalRow {
    std::uint64_t id = 0;     // the row, in the order samples were recorded
    std::int64_t timeUs = 0;  // when the unit answered, µs since 1970 UTC
    std::int16_t unit = 0;
    std::string run;          // the serve that took it
    std::uint64_t n = 0;      // the unit's samples in that run, from 1
    std::uint64_t seq = 0;    // the sample's number across the run's units
    double t = 0;             // seconds since the run began (steady clock)
    std::int16_t result = 0;
    std::array<std::int32_t, 3> counts{};
    std::array<std::uint8_t, 3> status{};
    std::optional<bool> configured;
};

} // namespace brivant::tool
