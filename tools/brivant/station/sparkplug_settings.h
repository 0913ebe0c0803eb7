// The station's [sparkplug] table: serve as a Sparkplug B edge node, its
// own link to a broker beside [mqtt]'s (read and written in
// sparkplug_toml.h).
//   url = "mqtt://host:1883"   # the only key required; and as in [mqtt]:
//   client_id, username, password_file, ca_file, cert_file, key_file, keepalive, protocol
//   group_id = "brivant"       # the group the node is in
//   edge_node_id = "<station>" # the node's ID: no + # / or control characters
//   primary_host_id = "scada"  # births wait until this host says it is online
//   publish_ms = 1000          # each unit's samples go out together this often; 0: each at once
//   commands = false           # true: a host's DCMD writes the channels' settings
#pragma once

#include <string>

#include "station/mqtt_settings.h"

namespace brivant::tool {

struct Station;

struct SparkplugSettings {
    MqttSettings link; // protocol "3.1.1" unless given: a host expects the node's clean session
    std::string groupId = "brivant";
    std::string edgeNodeId; // empty: the station's name
    std::string primaryHostId;
    int publishMs = 1000;
    bool commands = false;
    bool operator==(const SparkplugSettings& other) const;
};

// "" when `id` may stand as a group, edge node or device ID (not empty, no
// '+', '#' or '/', at most 128 bytes of UTF-8 without control characters),
// else why not.
std::string sparkplugIdProblem(const std::string& id);

// The node's ID: edge_node_id, or the station's name.
std::string sparkplugNodeId(const Station& station);
// brivant-<station>-<machine>-sparkplug unless client_id says otherwise:
// never the JSON link's, whose session it would take.
std::string sparkplugClientId(const Station& station);

} // namespace brivant::tool
