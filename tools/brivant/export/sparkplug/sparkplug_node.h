// serve as a Sparkplug B edge node, over a broker link of its own
// (mqtt_connection.h) beside the JSON topics':
//   spBv1.0/GROUP/NBIRTH/NODE          bdSeq, Node Control/Rebirth, Journal/Backlog
//   spBv1.0/GROUP/DBIRTH/NODE/unit-N   every metric of the unit, named, with alias and type
//   spBv1.0/GROUP/DDATA/NODE/unit-N    samples by alias, each with its own time
//   spBv1.0/GROUP/DDEATH/NODE/unit-N   the unit stopped answering
//   spBv1.0/GROUP/NDEATH/NODE          the will (bdSeq alone), and the clean stop's last word
// and takes NCMD (Rebirth) and, with commands on, DCMD writes of settings.
//
// With a journal, samples are taken from it under a cursor of the node's
// own: those journaled while the broker or the primary host was away go
// after the births, flagged historical, and only then the live ones.
// Without one, the samples wait in memory, up to a bound.
//
// A build without libmosquitto or protobuf-c has the same class, which
// refuses to be made (sparkplug_unavailable.cpp).
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "export/mqtt/mqtt_commands.h"
#include "export/mqtt/mqtt_connection.h"
#include "journal/journal.h"
#include "service/unit_reader.h"
#include "station/live_station.h"
#include "station/station_file.h"

namespace brivant::tool {

// False in a build without libmosquitto or protobuf-c: a station with
// [sparkplug] is refused.
bool sparkplugBuiltIn();

struct SparkplugTally {
    bool connected = false;
    bool born = false;             // NBIRTH sent on this connection
    std::uint64_t bdSeq = 0;       // of the last will given
    std::uint64_t births = 0;      // NBIRTHs sent, rebirths included
    std::uint64_t rebirths = 0;    // of those, asked for by a host
    std::uint64_t messages = 0;    // births, data and deaths written to the broker
    std::uint64_t ignored = 0;     // commands ignored: malformed, unknown, refused
    std::uint64_t backlog = 0;     // samples not yet written to the broker
    std::uint64_t dropped = 0;     // samples the memory bound dropped (no journal)
};

class SparkplugNode {
public:
    // Reads the password file and checks the TLS files (InputError naming
    // the one that cannot be read). Nothing is sent before start().
    SparkplugNode(const Station& station, PublisherLog log);
    ~SparkplugNode();
    SparkplugNode(const SparkplugNode&) = delete;
    SparkplugNode& operator=(const SparkplugNode&) = delete;

    // A unit's settings as they run now, for its birth and for writes of
    // one value of a setting that has several.
    using SettingsOf = std::function<std::optional<UnitSettings>(std::int16_t unit)>;
    // Before start(). DCMD writes are run only when the station file turns
    // commands on; `runner` runs them as the API would.
    void onCommand(CommandRunner runner, SettingsOf settings);
    void forwardFrom(Journal& journal);
    void start();
    // Sends what is due (for at most `grace`), then NDEATH, and disconnects.
    void stop(std::chrono::milliseconds grace = std::chrono::seconds(2));

    // From the readers' threads; never block for the broker.
    std::shared_ptr<const ReaderListener> listener();
    void configEvent(const ConfigEvent& event);

    SparkplugTally tally() const;

private:
    struct Impl;
    std::shared_ptr<Impl> impl_;
};

} // namespace brivant::tool
