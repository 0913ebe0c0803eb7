// serve's link to an MQTT broker. Under the station's prefix it publishes
//   status                   "online", retained; the will says "offline"
//   unit/ID/state            the unit's latest sample, JSON, retained
//   unit/ID/event            configured, failed, reconnected, not-answering
//   queue                    the outbox's depth, sent and dropped, retained
// and, with commands on, takes unit/ID/channel/CH/ACTION with the API's
// bodies, answering each on its MQTT 5 response topic or on TOPIC/result.
//
// Readers hand their samples over without waiting: a message goes into a
// bounded outbox, and one thread of its own sends it. While the broker is
// away the outbox fills, and past its bound the oldest messages are dropped
// and counted. A message the broker has not acknowledged when the
// connection drops goes back to the front of the outbox, so that after a
// reconnection everything is sent in the order it was made.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "live_station.h"
#include "mqtt_commands.h"
#include "metrics.h"
#include "station_file.h"
#include "unit_reader.h"

namespace brivant::tool {

// What the publisher tells serve's log: a level ("info", "warning",
// "error"), an event name and a line of text.
using PublisherLog = std::function<void(const std::string& level, const std::string& event,
                                        const std::string& text)>;


class MqttPublisher {
public:
    // Reads the password file, if one is named; throws InputError when it
    // cannot be read. Nothing is sent before start().
    MqttPublisher(const Station& station, PublisherLog log);
    ~MqttPublisher();
    MqttPublisher(const MqttPublisher&) = delete;
    MqttPublisher& operator=(const MqttPublisher&) = delete;

    // Commands are taken only when the station file turns them on.
    void onCommand(CommandRunner runner);
    void start();
    // Sends what waits (for at most `grace`), says "offline" and disconnects.
    void stop(std::chrono::milliseconds grace = std::chrono::seconds(2));

    // From the readers' threads; never block for the broker.
    void sample(std::int16_t id, const Sample& sample, std::optional<bool> configured);
    void unitEvent(const UnitEvent& event);
    void configEvent(const ConfigEvent& event);

    OutboxTally tally() const;

    // The samples and events of the readers, for ReaderSettings::listener.
    std::shared_ptr<const ReaderListener> listener();

private:
    struct Impl;
    std::shared_ptr<Impl> impl_;
};

} // namespace brivant::tool
