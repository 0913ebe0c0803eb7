#include "export/sparkplug/sparkplug_model.h"

#include <brivant.h>

namespace brivant::tool::sparkplug {

namespace {

DataType typeOf(const ChannelSetting& setting) {
    switch (setting.kind) {
    case SettingKind::Switch: return DataType::Boolean;
    case SettingKind::Words: return DataType::UInt32;
    default: return DataType::UInt8;
    }
}

std::string channelFolder(int channel) {
    return "Channel " + std::to_string(channel) + "/";
}

std::uint64_t aliasOf(std::int16_t unit, int channel, std::size_t place) {
    return static_cast<std::uint64_t>(unit + 1) * 1000 + static_cast<std::uint64_t>(channel + 1) * 100 + place;
}

Metric named(std::string name, std::uint64_t alias, DataType type, Value value) {
    Metric metric;
    metric.name = std::move(name);
    metric.alias = alias;
    metric.type = type;
    metric.value = std::move(value);
    return metric;
}

Metric named(const UnitMetric& entry, Value value) {
    return named(entry.name, entry.alias, entry.type, std::move(value));
}

Metric byAlias(std::uint64_t alias, DataType type, Value value, std::uint64_t timestamp, bool historical) {
    Metric metric;
    metric.alias = alias;
    metric.type = type;
    metric.timestamp = timestamp;
    metric.historical = historical;
    metric.value = std::move(value);
    return metric;
}

// The count as the unit holds it: 32 bits, unsigned, widened.
std::uint64_t countOf(std::int32_t count) {
    return static_cast<std::uint32_t>(count);
}

} // namespace

std::string nodeTopic(const NodeName& name, const std::string& type) {
    return "spBv1.0/" + name.group + "/" + type + "/" + name.node;
}

std::string deviceTopic(const NodeName& name, const std::string& type, std::int16_t unit) {
    return nodeTopic(name, type) + "/" + deviceId(unit);
}

std::string deviceId(std::int16_t unit) {
    return "unit-" + std::to_string(unit);
}

std::uint64_t Sequence::birth() {
    next_ = 1;
    return 0;
}

std::uint64_t nextBdSeq(std::uint64_t last) {
    return (last + 1) % 256;
}

std::uint64_t Sequence::next() {
    const std::uint64_t seq = next_;
    next_ = (next_ + 1) % 256;
    return seq;
}

std::vector<UnitMetric> unitMetrics(std::int16_t unit) {
    std::vector<UnitMetric> metrics;
    metrics.push_back({"Answering", aliasOf(unit, -1, 0), DataType::Boolean, Stands::Answering});
    for (int channel = 0; channel <= static_cast<int>(kMaxChannel); ++channel) {
        const std::string folder = channelFolder(channel);
        std::size_t place = 0;
        metrics.push_back({folder + "Count", aliasOf(unit, channel, place++), DataType::UInt64, Stands::Count, channel});
        metrics.push_back({folder + "Status", aliasOf(unit, channel, place++), DataType::UInt8, Stands::Status, channel});
        for (const ChannelSetting& setting : channelTable()) {
            for (std::size_t i = 0; i < setting.count; ++i) {
                std::string name = folder + setting.key;
                if (setting.count > 1) {
                    name += std::string("/") + setting.fields[i];
                }
                metrics.push_back({name, aliasOf(unit, channel, place++), typeOf(setting), Stands::Setting, channel,
                                   &setting, i});
            }
        }
    }
    return metrics;
}

std::uint64_t millisecondsOf(const WallTime& time) {
    return static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(time.time_since_epoch()).count());
}

Payload nodeBirth(std::uint64_t bdSeq, std::uint64_t backlog, std::uint64_t nowMs) {
    Payload payload;
    payload.timestamp = nowMs;
    payload.metrics.push_back(named("bdSeq", kBdSeqAlias, DataType::UInt64, bdSeq));
    payload.metrics.push_back(named("Node Control/Rebirth", kRebirthAlias, DataType::Boolean, false));
    payload.metrics.push_back(named("Journal/Backlog", kBacklogAlias, DataType::UInt64, backlog));
    return payload;
}

Payload nodeDeath(std::uint64_t bdSeq) {
    Payload payload;
    Metric metric = named("bdSeq", 0, DataType::UInt64, bdSeq);
    metric.alias.reset(); // the will is set before any birth has told the alias
    payload.metrics.push_back(std::move(metric));
    return payload;
}

Payload deviceBirth(std::int16_t unit, const std::array<ChannelSettings, 3>& settings,
                    const std::optional<Sample>& latest, bool answering, std::uint64_t nowMs) {
    Payload payload;
    payload.timestamp = nowMs;
    const bool read = latest && latest->result == RC_OK;
    for (const UnitMetric& entry : unitMetrics(unit)) {
        const auto channel = static_cast<std::size_t>(entry.channel < 0 ? 0 : entry.channel);
        switch (entry.stands) {
        case Stands::Answering:
            payload.metrics.push_back(named(entry, answering));
            break;
        case Stands::Count:
            payload.metrics.push_back(named(entry, read ? Value{countOf(latest->counts[channel])} : Value{}));
            break;
        case Stands::Status:
            payload.metrics.push_back(
                named(entry, read ? Value{std::uint64_t{latest->status[channel]}} : Value{}));
            break;
        case Stands::Setting: {
            const std::uint32_t value = entry.setting->get(settings[channel])[entry.index];
            payload.metrics.push_back(named(entry, entry.type == DataType::Boolean ? Value{value != 0}
                                                                                 : Value{std::uint64_t{value}}));
            break;
        }
        }
        if (read && entry.stands != Stands::Setting) {
            payload.metrics.back().timestamp = millisecondsOf(latest->time);
        }
    }
    return payload;
}

Payload deviceData(std::int16_t unit, const Sample& sample, bool historical) {
    Payload payload;
    payload.timestamp = millisecondsOf(sample.time);
    std::optional<bool> answering = true;
    appendData(payload, unit, sample, historical, answering);
    return payload;
}

void appendData(Payload& payload, std::int16_t unit, const Sample& sample, bool historical,
                std::optional<bool>& answering) {
    const std::uint64_t when = millisecondsOf(sample.time);
    const bool read = sample.result == RC_OK;
    if (answering != read) {
        payload.metrics.push_back(byAlias(aliasOf(unit, -1, 0), DataType::Boolean, read, when, historical));
        answering = read;
    }
    if (!read) {
        return;
    }
    for (int channel = 0; channel <= static_cast<int>(kMaxChannel); ++channel) {
        const auto c = static_cast<std::size_t>(channel);
        payload.metrics.push_back(
            byAlias(aliasOf(unit, channel, 0), DataType::UInt64, countOf(sample.counts[c]), when, historical));
        payload.metrics.push_back(byAlias(aliasOf(unit, channel, 1), DataType::UInt8,
                                          std::uint64_t{sample.status[c]}, when, historical));
    }
}

Payload settingsData(std::int16_t unit, const std::array<ChannelSettings, 3>& settings, std::uint64_t nowMs) {
    Payload payload;
    payload.timestamp = nowMs;
    for (const UnitMetric& entry : unitMetrics(unit)) {
        if (entry.stands != Stands::Setting) {
            continue;
        }
        const std::uint32_t value = entry.setting->get(settings[static_cast<std::size_t>(entry.channel)])[entry.index];
        payload.metrics.push_back(byAlias(entry.alias, entry.type,
                                          entry.type == DataType::Boolean ? Value{value != 0} : Value{std::uint64_t{value}},
                                          nowMs, false));
    }
    return payload;
}

Payload backlogData(std::uint64_t backlog, std::uint64_t nowMs) {
    Payload payload;
    payload.timestamp = nowMs;
    payload.metrics.push_back(byAlias(kBacklogAlias, DataType::UInt64, backlog, nowMs, false));
    return payload;
}

Sample sampleOf(const JournalRow& row) {
    Sample sample;
    sample.seq = row.seq;
    sample.t = row.t;
    sample.time = WallTime(std::chrono::duration_cast<WallTime::duration>(std::chrono::microseconds(row.timeUs)));
    sample.result = row.result;
    sample.counts = row.counts;
    sample.status = row.status;
    return sample;
}

std::optional<SettingWrite> settingWrite(std::int16_t unit, const Metric& metric, std::string& why) {
    const std::vector<UnitMetric> metrics = unitMetrics(unit);
    const UnitMetric* found = nullptr;
    for (const UnitMetric& entry : metrics) {
        if ((!metric.name.empty() && entry.name == metric.name) || (metric.name.empty() && metric.alias == entry.alias)) {
            found = &entry;
            break;
        }
    }
    const std::string what = metric.name.empty() && metric.alias ? "alias " + std::to_string(*metric.alias)
                                                                   : "metric " + metric.name;
    if (found == nullptr) {
        why = "no " + what + " on " + deviceId(unit);
        return std::nullopt;
    }
    if (found->stands != Stands::Setting) {
        why = found->name + " is read, not written";
        return std::nullopt;
    }
    if (found->setting->action == nullptr && std::string(found->setting->key) != "run") {
        why = found->name + " is set in the station file only";
        return std::nullopt;
    }
    std::optional<std::int64_t> number = wholeNumber(metric);
    if (const std::optional<bool> truth = truthValue(metric)) {
        number = *truth ? 1 : 0;
    }
    const ChannelSetting& setting = *found->setting;
    const long long high = setting.kind == SettingKind::Words ? 0xFFFFFFFFLL : setting.high;
    if (!number) {
        why = found->name + " takes a whole number or a Boolean";
        return std::nullopt;
    }
    if (*number < 0 || *number > high) {
        why = found->name + " is " + boundText(high) + ", not " + std::to_string(*number);
        return std::nullopt;
    }
    return SettingWrite{found->channel, found->setting, found->index, static_cast<std::uint32_t>(*number)};
}

} // namespace brivant::tool::sparkplug
