// The panel's JSON API, apart from HTTP:
//   GET  /api/units[?after=SEQ]      the units, their latest sample and rates,
//                                    and with `after` every sample since SEQ
//   POST /api/units/ID/channels/CH/ACTION   with a JSON object body:
//     run {}  stop {}  clear {}  preset {"first": W, "second": W}
//     multiplier {"selection": 0-2}  clear-event {"selection": 0-2}
//     input-inversion {"s1", "s2", "s3": 0-1}
//     output-inversion | output-mode | limiter {"s1", "s2": 0-1}
//   A word W is a number from -2147483648 to 4294967295 (negative: its two's
//   complement) or a string of one, decimal or 0x-hex. The answer names the result code the unit's call got.
#pragma once

#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "channel_settings.h"
#include "live_station.h"
#include "unit_reader.h"

namespace brivant::tool {

// A request the API refuses: an HTTP status and a message naming the field.
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

extern const std::vector<std::string> kActions;

// The body of GET /api/units: every unit's state and new samples. Pages ask
// for it several times a second each, so it is written straight into one
// string rather than built as a JSON document first.
// `backend` names the units: "sim", "usb" or "winusb". With a station, each
// unit's live settings are shown too.
std::string unitsJson(const std::vector<UnitView>& units, double rateHz,
                      const std::string& backend, const LiveStation* station = nullptr);

// GET /api/events: the configurations since `after`.
std::string eventsJson(const std::vector<ConfigEvent>& events);

// The answer of POST /api/units/ID/read: the result and, when it is RC_OK,
// the counts and status bytes.
nlohmann::json readJson(std::int16_t result, const std::array<std::int32_t, 3>& counts,
                        const std::array<std::uint8_t, 3>& status);
nlohmann::json outcomeJson(const CommandOutcome& outcome);

} // namespace brivant::tool
