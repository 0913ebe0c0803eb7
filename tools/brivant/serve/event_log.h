// serve's lines on standard error: plain words, or one JSON object a line
// for journald and log shippers.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

#include "service/unit_reader.h"
#include "station/live_station.h"
#include "util/checked_output.h"

namespace brivant::tool {

class EventLog {
public:
    EventLog(const Console& console, bool json, std::string name)
        : console_(console), json_(json), name_(std::move(name)) {}

    void note(const std::string& level, const std::string& event, const std::string& text,
              nlohmann::json fields = nlohmann::json::object()) const;
    // A configuration, told as "configured" or "changed".
    void configured(const ConfigEvent& event) const;
    // A unit that stops answering (or is not there at the start), and
    // answers again.
    void unit(const UnitEvent& event) const;

private:
    const Console& console_;
    bool json_;
    std::string name_;
};

} // namespace brivant::tool
