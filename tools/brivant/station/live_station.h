// A station's live configuration: what serve last sent, or will send, to
// each of its units. It starts as the station file says; a change through
// the API (from the page, the tool or a script) updates it, so that a unit
// that comes back after an unplug or a power loss gets what the user last
// set. Every configuration is an event.
//
// The station file is the user's and is never written. With a changes file
// (serve --save), each channel changed through the API is kept there with
// what the file on disk said of it then (edited or not since serve read
// it), and taken up again at the next start; a channel the user has since
// edited in the station file runs as the file says. The newest word wins,
// whether it came through the API or the file.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "station/channel_table.h"
#include "station/station_file.h"
#include "station/configure_why.h"

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
    // `changesPath` set: changes are kept in that file (made when needed),
    // and those it holds from an earlier run are taken up now.
    explicit LiveStation(Station station, std::optional<std::string> changesPath = std::nullopt,
                         std::string stationPath = {});

    // What taking up the changes file at the start came to, for the log.
    const std::vector<std::string>& startNotes() const { return startNotes_; }

    // Sends every channel's settings to open unit `id` (on its reader's
    // thread) and records the event; RC_OK or the first failure. A failure
    // that repeats the last one of the unit is not recorded again: each
    // change of state is told once.
    std::int16_t configure(std::int16_t id, ConfigureWhy why);

    // A change the API made to a channel: kept (in the changes file, when
    // there is one) and taken into the live configuration before it is sent,
    // so that a unit that fails it gets it at the next configuration. False
    // when the unit is not the station's. Throws OutputError, naming the
    // file, when the change cannot be kept: nothing has changed then.
    bool update(std::int16_t id, std::uint8_t channel,
                const std::function<void(ChannelSettings&)>& change);
    // The change's own call and its result, as an event.
    void recordChange(std::int16_t id, const std::string& action, std::uint8_t channel,
                      std::int16_t result);

    // The station file read again: the units whose live settings now
    // differ, which the caller configures again. A channel edited in the file
    // takes the file's settings (and loses its change); others keep theirs.
    // What a reload does not apply (units, rate, address, [mqtt], ...) is
    // named, and so is each change the file replaced.
    struct Reloaded {
        std::vector<std::int16_t> changed;  // units to configure again
        std::vector<std::string> overruled; // channels whose API change the file replaced
        std::vector<std::string> notTaken;  // keys that need a restart
        std::string failed;                 // the changes file could not be written
    };
    Reloaded reload(const Station& next);

    Station snapshot() const;
    std::optional<UnitSettings> unit(std::int16_t id) const;
    std::vector<ConfigEvent> events(std::uint64_t after) const;
    std::string toml() const { return stationToml(snapshot()); }

    // Called with each event as it is recorded (serve's log lines).
    void onEvent(std::function<void(const ConfigEvent&)> listener);

private:
    using Key = std::pair<std::int16_t, std::uint8_t>;
    void record(ConfigEvent event);
    void takeUpChanges();
    // throws OutputError
    void keep(const std::map<Key, ChannelSettings>& changes, const std::map<Key, ChannelSettings>& fileThen) const;
    ChannelSettings fileSaysNow(std::int16_t id, std::uint8_t channel) const;

    mutable std::mutex lock_;
    std::mutex changing_; // one change, reload or save at a time
    Station file_;        // the station file, as last read
    Station station_;     // what runs
    std::map<Key, ChannelSettings> changes_; // channels set through the API, differing from the file
    std::map<Key, ChannelSettings> fileThen_; // what the file said of each when it was changed
    std::optional<std::string> changesPath_;
    std::string stationPath_;
    std::vector<std::string> startNotes_;
    std::deque<ConfigEvent> events_;
    std::map<std::int16_t, std::string> failing_; // the failure last told of each unit
    std::map<std::int16_t, std::string> lastWhy_;
    std::uint64_t nextSeq_ = 1;
    std::function<void(const ConfigEvent&)> listener_;
};

} // namespace brivant::tool
