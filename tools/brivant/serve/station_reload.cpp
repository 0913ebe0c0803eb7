#include "station_reload.h"

namespace brivant::tool {

void reloadStation(const std::string& stationPath, LiveStation& live, UnitRegistry& registry,
                   const EventLog& log) {
    Station next;
    try {
        next = loadStation(stationPath);
    } catch (const StationFileError& error) {
        log.note("error", "reload-refused",
                 stationPath + " has mistakes; the running configuration is kept:\n" +
                     error.what(),
                 {{"problems", error.problems}});
        return;
    } catch (const std::exception& error) {
        log.note("error", "reload-refused",
                 std::string(error.what()) + "; the running configuration is kept");
        return;
    }
    const LiveStation::Reloaded reloaded = live.reload(next);
    const std::vector<std::int16_t>& changed = reloaded.changed;
    const std::vector<std::string>& notTaken = reloaded.notTaken;
    const std::string& failed = reloaded.failed;
    for (std::int16_t id : changed) {
        if (auto reader = registry.find(id)) {
            reader->reconfigure(ConfigureWhy::Reload);
        }
    }
    std::string text = "read " + stationPath + " again: " + std::to_string(changed.size()) +
                       " unit" + (changed.size() == 1 ? "" : "s") + " to configure again";
    log.note("info", "reloaded", text, {{"units", changed}});
    for (const std::string& channel : reloaded.overruled) {
        log.note("info", "change-replaced",
                 channel + ": edited in " + stationPath +
                     "; the file's settings replace the change made through the API");
    }
    if (!notTaken.empty()) {
        std::string keys;
        for (const std::string& one : notTaken) {
            keys += (keys.empty() ? "" : "; ") + one;
        }
        log.note("warning", "reload-needs-restart",
                 "changed in " + stationPath + " but not applied until serve restarts: " + keys,
                 {{"keys", notTaken}});
    }
    if (!failed.empty()) {
        log.note("error", "changes-not-kept", failed + "; the running configuration is as reloaded");
    }
}

} // namespace brivant::tool
