// The change path: a change to one channel, from the HTTP API or from the
// broker, parsed and checked once against the channel table, run on the
// unit's thread, and kept in the station's live configuration.
//   run {}  stop {}  clear {}  preset {"first": W, "second": W}
//   multiplier {"selection": 0-2}  clear-event {"selection": 0-2}
//   input-inversion {"s1", "s2", "s3": 0-1}
//   output-inversion | output-mode | limiter {"s1", "s2": 0-1}
// A word W is a number from -2147483648 to 4294967295 (negative: its two's
// complement) or a string of one, decimal or 0x-hex.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>

#include <nlohmann/json.hpp>

#include "service/unit_reader.h"
#include "service/unit_registry.h"
#include "station/channel_table.h"
#include "station/live_station.h"

namespace brivant::tool {

// A request refused: an HTTP status and a message naming the field.
struct ApiError : std::runtime_error {
    ApiError(int httpStatus, const std::string& message)
        : std::runtime_error(message), status(httpStatus) {}
    int status;
};

struct ChangeRequest {
    std::int16_t unit = 0;
    std::uint8_t channel = 0;
    std::string action;
    std::function<std::int16_t(std::int16_t id)> call; // the one library call
    // What the change makes of the channel's settings; empty for an action
    // that sets nothing (a forced clear).
    std::function<void(ChannelSettings&)> update;
};

// Parses the path parts and the body of a change; throws ApiError.
ChangeRequest parseChange(const std::string& unitText, const std::string& channelText,
                          const std::string& action, const std::string& body);

// What a call on the unit's thread came to, as an answer's body.
nlohmann::json outcomeJson(const CommandOutcome& outcome);

// Runs a change: returns the answer's body and sets `status`
// to its HTTP status (200, or 400/404 for a refused request, 504 for a unit
// that did not answer in time).
nlohmann::json runChange(UnitRegistry& registry, LiveStation* station, const std::string& unit,
                         const std::string& channel, const std::string& action,
                         const std::string& body, std::chrono::milliseconds deadline,
                         int& status);

} // namespace brivant::tool
