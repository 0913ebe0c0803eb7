// serve's link to an MQTT broker. Under the station's prefix it publishes
//   status                   "online", retained; the will says "offline"
//   unit/ID/state            the unit's latest sample, JSON, retained
//   unit/ID/event            configured, failed, reconnected, not-answering
//   queue                    the outbox's depth, sent and dropped, retained
// and, with commands on, takes unit/ID/channel/CH/ACTION with the API's
// bodies, answering each on its MQTT 5 response topic or on TOPIC/result.
//
// Readers hand their samples over without waiting: a message goes into the
// outbox (outbox.h), and the connection's thread (mqtt_connection.h) sends
// it, connecting again with a back-off while the broker is away. A build without libmosquitto
// has the same class, which refuses to be made (mqtt_unavailable.cpp).
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "export/mqtt/mqtt_commands.h"
#include "export/mqtt/mqtt_connection.h"
#include "export/mqtt/outbox.h"
#include "journal/journal.h"
#include "service/unit_reader.h"
#include "station/live_station.h"
#include "station/station_file.h"

namespace brivant::tool {


// False in a build without libmosquitto: a station with [mqtt] is refused.
bool mqttBuiltIn();
// False where libmosquitto was built without TLS: mqtts:// is
// refused.
bool mqttTlsBuiltIn();
// Why this build cannot publish as the station's [mqtt] asks, or "".
std::string mqttUnsupported(const Station& station);

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
    // States are forwarded from the journal (with publish_ms 0), each once
    // the broker has acknowledged the one before: the readers' samples are
    // then taken from it, not handed over. Before start().
    void forwardFrom(Journal& journal);
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
