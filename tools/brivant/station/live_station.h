// A station's live configuration: what serve last sent, or will send, to
// each of its units. It starts as the station file says; a change through
// the API (from the page, the tool or a script) updates it, so that a unit
// that comes back after an unplug or a power loss gets what the user last
// set. Every configuration is an event.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "channel_settings.h"
#include "station_file.h"
#include "unit_reader.h"

namespace brivant::tool {

struct ConfigEvent {
    std::uint64_t seq = 0;
    std::chrono::system_clock::time_point time;
    std::int16_t unit = 0;
    std::string why;            // "start", "reconnect", "change", "reload"
    std::string action;         // the change's action ("multiplier"), for why "change"
    std::int16_t result = 0;    // RC_OK, or the first call's that failed
    std::vector<SentSetting> sent;
};

class LiveStation {
public:
    // `savePath` set: every change is written back to that file.
    LiveStation(Station station, std::optional<std::string> savePath);

    // Sends every channel's settings to open unit `id` (on its reader's
    // thread) and records the event; RC_OK or the first failure.
    std::int16_t configure(std::int16_t id, ConfigureWhy why);

    // A change the API made to a channel: taken into the live configuration
    // before it is sent, so that a unit that fails it gets it at the next
    // configuration. False when the unit is not the station's.
    bool update(std::int16_t id, std::uint8_t channel,
                const std::function<void(ChannelSettings&)>& change);
    // The change's own call and its result, as an event.
    void recordChange(std::int16_t id, const std::string& action, std::uint8_t channel,
                      std::int16_t result);

    // The station file read again: the units whose settings differ, which
    // the caller has configured again. Units, the rate and the address stay
    // as they were started; those that differ are named in `notTaken`.
    std::vector<std::int16_t> reload(const Station& next, std::vector<std::string>& notTaken);

    Station snapshot() const;
    std::optional<UnitSettings> unit(std::int16_t id) const;
    std::vector<ConfigEvent> events(std::uint64_t after) const;
    std::string toml() const { return stationToml(snapshot()); }

    // Called with each event as it is recorded (serve's log lines).
    void onEvent(std::function<void(const ConfigEvent&)> listener);

private:
    void record(ConfigEvent event);
    void save();

    mutable std::mutex lock_;
    Station station_;
    std::optional<std::string> savePath_;
    std::deque<ConfigEvent> events_;
    std::uint64_t nextSeq_ = 1;
    std::function<void(const ConfigEvent&)> listener_;
};

} // namespace brivant::tool
