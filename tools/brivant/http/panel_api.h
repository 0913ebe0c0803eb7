// The panel's JSON API, apart from HTTP:
//   GET  /api/units[?after=SEQ]      the units, their latest sample and rates,
//                                    and with `after` every sample since SEQ
//   POST /api/units/ID/channels/CH/ACTION   a change (service/channel_change.h);
//                                    the answer names the result code the unit's call got
//   GET  /api/settings               the channel settings, their actions and bounds
//   GET  /api/history?unit=&since=&until=&after=&limit=   the journal, a JSON object a line
#pragma once

#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "service/unit_reader.h"
#include "station/live_station.h"

namespace brivant::tool {

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

// GET /api/settings: the channel table, for pages and scripts: each
// setting's key, kind, values, bound, default, frame letter, action and its
// body's fields; and the plain actions.
std::string settingsTableJson();

} // namespace brivant::tool
