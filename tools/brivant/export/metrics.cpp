#include "metrics.h"

#include <chrono>
#include <sstream>

namespace brivant::tool {

namespace {

// A label value: backslash, double quote and newline escaped.
std::string labelValue(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\\' || c == '"') {
            out += '\\';
            out += c;
        } else if (c == '\n') {
            out += "\\n";
        } else {
            out += c;
        }
    }
    return out;
}

class Exposition {
public:
    explicit Exposition(const std::string& station)
        : station_("station=\"" + labelValue(station) + "\"") {}

    void family(const char* name, const char* type, const char* help) {
        out_ << "# HELP " << name << ' ' << help << "\n# TYPE " << name << ' ' << type << '\n';
        name_ = name;
    }
    void unit(std::int16_t id, std::uint64_t value) {
        out_ << name_ << '{' << station_ << ",unit=\"" << id << "\"} " << value << '\n';
    }
    void channel(std::int16_t id, std::size_t ch, long long value) {
        out_ << name_ << '{' << station_ << ",unit=\"" << id << "\",channel=\"" << ch << "\"} "
             << value << '\n';
    }
    void station(std::uint64_t value) { out_ << name_ << '{' << station_ << "} " << value << '\n'; }
    void stationReal(double value) { out_ << name_ << '{' << station_ << "} " << value << '\n'; }

    // A family of one series labelled by the station alone.
    struct StationSeries {
        const char* name;
        const char* type;
        const char* help;
        std::uint64_t value;
    };
    template <std::size_t N>
    void stationSeries(const StationSeries (&series)[N]) {
        for (const StationSeries& one : series) {
            family(one.name, one.type, one.help);
            station(one.value);
        }
    }
    std::string text() const { return out_.str(); }

private:
    std::string station_;
    std::string name_;
    std::ostringstream out_;
};

} // namespace

std::string metricsText(const std::string& station, const std::vector<UnitView>& units,
                        const std::optional<OutboxTally>& mqtt, const std::optional<JournalTally>& journal,
                        const std::optional<SparkplugTally>& sparkplug) {
    Exposition out(station);
    // The last good read stays while a unit is silent (brivant_unit_answering
    // says so): a gap in the series would read as a count of nothing.
    auto good = [](const UnitView& unit) { return unit.latestGood.has_value(); };
    out.family("brivant_channel_counts", "gauge", "The channel's count at the unit's latest good read.");
    for (const UnitView& unit : units) {
        for (std::size_t ch = 0; good(unit) && ch < 3; ++ch) {
            out.channel(unit.id, ch, unit.latestGood->counts[ch]);
        }
    }
    out.family("brivant_channel_status", "gauge", "The channel's status byte at the unit's latest good read.");
    for (const UnitView& unit : units) {
        for (std::size_t ch = 0; good(unit) && ch < 3; ++ch) {
            out.channel(unit.id, ch, unit.latestGood->status[ch]);
        }
    }
    out.family("brivant_unit_answering", "gauge", "1 while the unit answers, 0 while it does not.");
    for (const UnitView& unit : units) {
        out.unit(unit.id, unit.answering ? 1 : 0);
    }
    out.family("brivant_unit_configured", "gauge",
               "1 when the unit holds the station's settings, 0 when they are still to be sent.");
    for (const UnitView& unit : units) {
        if (unit.configured) {
            out.unit(unit.id, *unit.configured ? 1 : 0);
        }
    }
    struct Counter {
        const char* name;
        const char* help;
        std::uint64_t UnitTally::*field;
    };
    const Counter counters[] = {
        {"brivant_exchanges_total", "Reads, commands and configurations sent to the unit.",
         &UnitTally::exchanges},
        {"brivant_exchange_failures_total", "Exchanges with the unit that failed.",
         &UnitTally::failures},
        {"brivant_reconnections_total", "Times the unit was opened again after a failure.",
         &UnitTally::reconnections},
        {"brivant_configurations_total", "Times the unit's settings were sent to it whole.",
         &UnitTally::configurations},
    };
    for (const Counter& counter : counters) {
        out.family(counter.name, "counter", counter.help);
        for (const UnitView& unit : units) {
            out.unit(unit.id, unit.tally.*counter.field);
        }
    }
    if (mqtt) {
        out.family("brivant_mqtt_connected", "gauge", "1 while serve is connected to its broker.");
        out.station(mqtt->connected ? 1 : 0);
        out.family("brivant_mqtt_queue_depth", "gauge", "MQTT messages waiting to be sent.");
        out.station(mqtt->depth);
        out.family("brivant_mqtt_sent_total", "counter", "MQTT messages the broker took.");
        out.station(mqtt->sent);
        out.family("brivant_mqtt_dropped_total", "counter",
                   "MQTT messages dropped, oldest first, from a full queue.");
        out.station(mqtt->dropped);
    }
    if (journal) {
        const Exposition::StationSeries journalSeries[] = {
            {"brivant_journal_rows", "gauge", "Samples kept in the journal.", journal->rows},
            {"brivant_journal_bytes", "gauge", "The journal's size on disk, its WAL included.", journal->bytes},
            {"brivant_journal_held_bytes", "gauge", "The journal's pages in use: what its samples take.",
             journal->heldBytes},
            {"brivant_journal_written_bytes_total", "counter",
             "Bytes the journal has written to the disk, its WAL and checkpoints included.", journal->written},
            {"brivant_journal_dropped_rows_total", "counter",
             "Forwarded samples removed from the journal past its keep or max_mb.", journal->dropped},
            {"brivant_journal_unsent_dropped_total", "counter",
             "Samples the broker had not had, removed past max_mb when nothing else was left to remove.",
             journal->unsentDropped},
            {"brivant_journal_damaged_rows_total", "counter",
             "Samples lost to damage of the journal: in blocks found damaged, and where a damaged file could not be read.",
             journal->damaged},
            {"brivant_journal_unstored_total", "counter",
             "Samples the journal could not store (the disk full or failing, or too far behind).",
             journal->unstored},
            {"brivant_journal_backlog_rows", "gauge",
             "Journaled samples the broker has not acknowledged yet.", journal->backlog},
        };
        out.stationSeries(journalSeries);
        if (journal->oldestUs) {
            const std::int64_t now = std::chrono::duration_cast<std::chrono::microseconds>(
                                         std::chrono::system_clock::now().time_since_epoch())
                                         .count();
            out.family("brivant_journal_oldest_age_seconds", "gauge", "The age of the journal's oldest sample.");
            out.stationReal(static_cast<double>(now - *journal->oldestUs) / 1e6);
        }
    }
    if (sparkplug) {
        const Exposition::StationSeries sparkplugSeries[] = {
            {"brivant_sparkplug_connected", "gauge", "1 while the edge node is connected to its broker.",
             sparkplug->connected ? 1u : 0u},
            {"brivant_sparkplug_born", "gauge", "1 once the node's births have gone on this connection.",
             sparkplug->born ? 1u : 0u},
            {"brivant_sparkplug_bdseq", "gauge", "The bdSeq of the node's last will.", sparkplug->bdSeq},
            {"brivant_sparkplug_births_total", "counter", "NBIRTHs published, rebirths included.", sparkplug->births},
            {"brivant_sparkplug_rebirths_total", "counter", "Rebirths a host asked for.", sparkplug->rebirths},
            {"brivant_sparkplug_messages_total", "counter", "Births, data and deaths written to the broker.",
             sparkplug->messages},
            {"brivant_sparkplug_commands_ignored_total", "counter",
             "Commands ignored: malformed, unknown, refused, or with commands off.", sparkplug->ignored},
            {"brivant_sparkplug_backlog_rows", "gauge", "Samples not yet written to the broker by the edge node.",
             sparkplug->backlog},
            {"brivant_sparkplug_dropped_total", "counter",
             "Samples dropped, oldest first, while waiting in memory (no journal).", sparkplug->dropped},
        };
        out.stationSeries(sparkplugSeries);
    }
    return out.text();
}

} // namespace brivant::tool
