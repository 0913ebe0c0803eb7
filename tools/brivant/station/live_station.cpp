#include "live_station.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include "util/atomic_file.h"
#include "brivant.h"
#include "util/tool_errors.h"

namespace brivant::tool {

const char* whyName(ConfigureWhy why) {
    switch (why) {
    case ConfigureWhy::Start: return "start";
    case ConfigureWhy::Reconnect: return "reconnect";
    case ConfigureWhy::Change: return "change";
    case ConfigureWhy::Reload: break;
    }
    return "reload";
}

namespace {
constexpr std::size_t kEventsKept = 1000;

std::string channelName(std::int16_t unit, std::uint8_t channel) {
    return "unit " + std::to_string(unit) + " channel " + std::to_string(channel);
}
} // namespace

LiveStation::LiveStation(Station station, std::optional<std::string> changesPath, std::string stationPath)
    : file_(station), station_(std::move(station)), changesPath_(std::move(changesPath)),
      stationPath_(std::move(stationPath)) {
    if (changesPath_) {
        takeUpChanges();
    }
}

// The changes of an earlier run: each taken while the station file still
// says of its channel what it said when the change was made.
void LiveStation::takeUpChanges() {
    std::ifstream in(*changesPath_, std::ios::binary);
    if (!in) {
        if (errno != ENOENT) {
            startNotes_.push_back("cannot read the changes file " + *changesPath_ + ": " +
                                  std::strerror(errno) + "; running the station file as written");
        }
        return;
    }
    std::ostringstream text;
    text << in.rdbuf();
    StationChanges kept;
    try {
        kept = parseChanges(text.str(), *changesPath_);
    } catch (const StationFileError& error) {
        // Kept for the user to look at, never read again nor overwritten.
        const std::string aside = *changesPath_ + ".unreadable";
        std::rename(changesPath_->c_str(), aside.c_str());
        startNotes_.push_back("the changes file " + *changesPath_ + " has mistakes (moved to " + aside +
                              "); running the station file as written:\n" + error.what());
        return;
    }
    bool dropped = false;
    for (const ChannelChange& change : kept) {
        auto unit = file_.units.find(change.unit);
        if (unit == file_.units.end()) {
            startNotes_.push_back(channelName(change.unit, change.channel) +
                                  ": the station no longer has this unit; its change is dropped");
            dropped = true;
            continue;
        }
        if (!(unit->second.channels[change.channel] == change.file)) {
            startNotes_.push_back(channelName(change.unit, change.channel) +
                                  ": edited in the station file since it was changed through the "
                                  "API; the file's settings run");
            dropped = true;
            continue;
        }
        station_.units[change.unit].channels[change.channel] = change.set;
        changes_[{change.unit, change.channel}] = change.set;
        fileThen_[{change.unit, change.channel}] = change.file;
        startNotes_.push_back(channelName(change.unit, change.channel) + ": runs as last changed (" +
                              *changesPath_ + ")");
    }
    if (dropped) {
        try {
            keep(changes_, fileThen_);
        } catch (const OutputError& error) {
            startNotes_.push_back(error.what());
        }
    }
}

void LiveStation::keep(const std::map<Key, ChannelSettings>& changes,
                       const std::map<Key, ChannelSettings>& fileThen) const {
    if (!changesPath_) {
        return;
    }
    StationChanges list;
    for (const auto& [key, set] : changes) {
        list.push_back({key.first, key.second, set, fileThen.at(key)});
    }
    replaceFile(*changesPath_, changesToml(list, stationPath_), 0644);
}

// The channel as the station file says now: the user may have edited it
// without telling serve, and a change made after that edit is the newer
// word. As serve read it when the file cannot be read or has mistakes now.
ChannelSettings LiveStation::fileSaysNow(std::int16_t id, std::uint8_t channel) const {
    const ChannelSettings read = file_.units.at(id).channels[channel];
    if (!changesPath_ || stationPath_.empty()) {
        return read;
    }
    try {
        const Station now = loadStation(stationPath_);
        auto unit = now.units.find(id);
        return unit == now.units.end() ? read : unit->second.channels[channel];
    } catch (const std::exception&) {
        return read;
    }
}

std::int16_t LiveStation::configure(std::int16_t id, ConfigureWhy why) {
    std::optional<UnitSettings> settings = unit(id);
    ConfigEvent event;
    event.unit = id;
    event.why = whyName(why);
    event.result = RC_OK;
    if (settings) {
        for (std::uint8_t ch = 0; ch < settings->channels.size() && event.result == RC_OK; ++ch) {
            event.result = sendSettings(id, ch, settings->channels[ch], event.sent);
        }
    }
    const std::int16_t result = event.result;
    std::string failure;
    if (result != RC_OK) {
        failure = std::to_string(result) + (event.sent.empty() ? std::string()
                                                               : " " + event.sent.back().name + " " +
                                                                     std::to_string(event.sent.back().channel));
    }
    bool repeated = false;
    {
        std::lock_guard<std::mutex> guard(lock_);
        std::string& last = failing_[id];
        repeated = !failure.empty() && failure == last && event.why == lastWhy_[id];
        last = failure;
        lastWhy_[id] = event.why;
    }
    if (!repeated) {
        record(std::move(event));
    }
    return result;
}

bool LiveStation::update(std::int16_t id, std::uint8_t channel,
                         const std::function<void(ChannelSettings&)>& change) {
    std::lock_guard<std::mutex> one(changing_);
    ChannelSettings next;
    {
        std::lock_guard<std::mutex> guard(lock_);
        auto it = station_.units.find(id);
        if (it == station_.units.end() || channel >= it->second.channels.size()) {
            return false;
        }
        next = it->second.channels[channel];
    }
    change(next);
    std::map<Key, ChannelSettings> changes = changes_;
    std::map<Key, ChannelSettings> fileThen = fileThen_;
    const ChannelSettings fileNow = fileSaysNow(id, channel);
    if (next == fileNow) {
        changes.erase({id, channel}); // back to what the file says
        fileThen.erase({id, channel});
    } else {
        changes[{id, channel}] = next;
        fileThen[{id, channel}] = fileNow;
    }
    keep(changes, fileThen); // kept first: a change that cannot be kept is not made
    changes_ = std::move(changes);
    fileThen_ = std::move(fileThen);
    std::lock_guard<std::mutex> guard(lock_);
    station_.units[id].channels[channel] = next;
    return true;
}

void LiveStation::recordChange(std::int16_t id, const std::string& action, std::uint8_t channel,
                               std::int16_t result) {
    ConfigEvent event;
    event.unit = id;
    event.why = "change";
    event.action = action;
    event.result = result;
    event.sent.push_back({action, channel, result});
    record(std::move(event));
}

LiveStation::Reloaded LiveStation::reload(const Station& next) {
    std::lock_guard<std::mutex> one(changing_);
    Reloaded out;
    std::vector<std::int16_t>& changed = out.changed;
    std::vector<std::string>& notTaken = out.notTaken;
    bool changesDropped = false;
    {
        std::lock_guard<std::mutex> guard(lock_);
        for (auto& [id, live] : station_.units) {
            auto it = next.units.find(id);
            if (it == next.units.end()) {
                continue;
            }
            UnitSettings& was = file_.units[id];
            bool differs = false;
            for (std::uint8_t ch = 0; ch < live.channels.size(); ++ch) {
                const Key key{id, ch};
                if (auto then = fileThen_.find(key); then != fileThen_.end()) {
                    if (it->second.channels[ch] == then->second) {
                        continue; // not edited since the change: the change stays
                    }
                    changes_.erase(key);
                    fileThen_.erase(then);
                    changesDropped = true;
                    out.overruled.push_back(channelName(id, ch));
                } else if (it->second.channels[ch] == was.channels[ch]) {
                    continue; // not edited
                }
                differs = differs || !(live.channels[ch] == it->second.channels[ch]);
                live.channels[ch] = it->second.channels[ch];
            }
            was = it->second;
            if (differs) {
                changed.push_back(id);
            }
        }
        auto ids = [](const Station& s, const Station& other) {
            std::string list;
            for (const auto& entry : s.units) {
                if (other.units.count(entry.first) == 0) {
                    list += (list.empty() ? "" : ",") + std::to_string(entry.first);
                }
            }
            return list;
        };
        const std::string added = ids(next, station_), removed = ids(station_, next);
        if (!added.empty()) {
            notTaken.push_back("unit " + added + " added");
        }
        if (!removed.empty()) {
            notTaken.push_back("unit " + removed + " removed");
        }
        if (next.rateHz != station_.rateHz) {
            notTaken.push_back("rate_hz");
        }
        if (next.listen != station_.listen || next.port != station_.port) {
            notTaken.push_back("listen and port");
        }
        if (next.name != station_.name) {
            notTaken.push_back("station");
        }
        if (next.tokenFile != station_.tokenFile) {
            notTaken.push_back("token_file");
        }
        if (next.tlsCertFile != station_.tlsCertFile || next.tlsKeyFile != station_.tlsKeyFile ||
            next.serverNames != station_.serverNames) {
            notTaken.push_back("tls_cert_file, tls_key_file and server_names");
        }
        if (next.mqtt.has_value() != station_.mqtt.has_value() ||
            (next.mqtt && !(*next.mqtt == *station_.mqtt))) {
            notTaken.push_back("[mqtt]");
        }
        if (next.sparkplug.has_value() != station_.sparkplug.has_value() ||
            (next.sparkplug && !(*next.sparkplug == *station_.sparkplug))) {
            notTaken.push_back("[sparkplug]");
        }
        if (!(next.history == station_.history)) {
            notTaken.push_back("[history]");
        }
    }
    if (changesDropped) {
        try {
            keep(changes_, fileThen_);
        } catch (const OutputError& error) {
            out.failed = error.what();
        }
    }
    return out;
}

Station LiveStation::snapshot() const {
    std::lock_guard<std::mutex> guard(lock_);
    return station_;
}

std::optional<UnitSettings> LiveStation::unit(std::int16_t id) const {
    std::lock_guard<std::mutex> guard(lock_);
    auto it = station_.units.find(id);
    if (it == station_.units.end()) {
        return std::nullopt;
    }
    return it->second;
}

std::vector<ConfigEvent> LiveStation::events(std::uint64_t after) const {
    std::lock_guard<std::mutex> guard(lock_);
    std::vector<ConfigEvent> out;
    for (const ConfigEvent& event : events_) {
        if (event.seq > after) {
            out.push_back(event);
        }
    }
    return out;
}

void LiveStation::onEvent(std::function<void(const ConfigEvent&)> listener) {
    std::lock_guard<std::mutex> guard(lock_);
    listener_ = std::move(listener);
}

void LiveStation::record(ConfigEvent event) {
    std::function<void(const ConfigEvent&)> listener;
    {
        std::lock_guard<std::mutex> guard(lock_);
        event.seq = nextSeq_++;
        event.time = std::chrono::system_clock::now();
        events_.push_back(event);
        while (events_.size() > kEventsKept) {
            events_.pop_front();
        }
        listener = listener_;
    }
    if (listener) {
        listener(event);
    }
}

} // namespace brivant::tool
