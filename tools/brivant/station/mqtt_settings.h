// The station's [mqtt] table: where and how serve publishes to a broker,
// and the defaults that follow from the station (read and written in
// mqtt_toml.h).
#pragma once

#include <cstddef>
#include <string>

namespace brivant::tool {

struct Station;

// Where and how serve publishes to an MQTT broker: the [mqtt] table.
//   url = "mqtt://host:1883"   # or mqtts://host:8883 (TLS); the only key required
//   client_id = "..."          # default brivant-<station>-<machine>
//   username = "..."
//   password_file = "..."      # its first line is the password
//   ca_file, cert_file, key_file = "..."   # TLS: the CA, and a client certificate and its key
//   keepalive = 30             # seconds, 5 to 3600
//   qos = 1                    # 0 or 1
//   protocol = "5"             # "5" or "3.1.1"
//   prefix = "brivant/<station>"
//   publish_ms = 0             # 0: every sample; N: each unit's latest sample every N ms
//   queue = 0                  # messages kept while the broker is away; 0: about 3 minutes' worth
//   commands = false           # true: channels can be changed through the broker
struct MqttSettings {
    std::string url;
    std::string host;
    int port = 1883;
    bool tls = false;
    std::string clientId;
    std::string username;
    std::string passwordFile;
    std::string caFile;
    std::string certFile;
    std::string keyFile;
    int keepAliveSeconds = 30;
    int qos = 1;
    bool mqtt5 = true;
    std::string prefix;
    int publishMs = 0;
    std::size_t queue = 0;
    bool commands = false;
    bool operator==(const MqttSettings& other) const;
};

// A topic level may hold no wildcards and no control characters.
bool topicSafe(const std::string& text);

// This machine, in 8 characters or so: the start of its machine ID, or its
// host name.
std::string machineTag();

// The defaults that follow from the station: client ID, topic prefix, and
// the queue's bound (three minutes of messages at the publish rate, at
// least 1000).
std::string mqttClientId(const Station& station);
std::string mqttPrefix(const Station& station);
std::size_t mqttQueueBound(const Station& station);

} // namespace brivant::tool
