#include "live_station.h"

#include "brivant.h"

namespace brivant::tool {

namespace {
constexpr std::size_t kEventsKept = 1000;
}

LiveStation::LiveStation(Station station, std::optional<std::string> savePath)
    : station_(std::move(station)), savePath_(std::move(savePath)) {}

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
    record(std::move(event));
    return result;
}

bool LiveStation::update(std::int16_t id, std::uint8_t channel,
                         const std::function<void(ChannelSettings&)>& change) {
    {
        std::lock_guard<std::mutex> guard(lock_);
        auto it = station_.units.find(id);
        if (it == station_.units.end() || channel >= it->second.channels.size()) {
            return false;
        }
        change(it->second.channels[channel]);
    }
    save();
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

std::vector<std::int16_t> LiveStation::reload(const Station& next, std::vector<std::string>& notTaken) {
    std::vector<std::int16_t> changed;
    {
        std::lock_guard<std::mutex> guard(lock_);
        for (auto& [id, settings] : station_.units) {
            auto it = next.units.find(id);
            if (it != next.units.end() && !(it->second == settings)) {
                settings = it->second;
                changed.push_back(id);
            }
        }
        auto names = [](const Station& s) {
            std::string ids;
            for (const auto& entry : s.units) {
                ids += (ids.empty() ? "" : ",") + std::to_string(entry.first);
            }
            return ids;
        };
        if (names(next) != names(station_)) {
            notTaken.push_back("the units (" + names(station_) + " kept; restart serve for " +
                               names(next) + ")");
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
    }
    if (!changed.empty()) {
        save();
    }
    return changed;
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

void LiveStation::save() {
    if (!savePath_) {
        return;
    }
    // One writer at a time, and the file always holds a whole configuration.
    static std::mutex saving;
    std::lock_guard<std::mutex> guard(saving);
    replaceFile(*savePath_, toml());
}

} // namespace brivant::tool
