// The [mqtt] table of a station file, read and written, and the keys of a
// broker link that [sparkplug] has too.
#pragma once

#include <ostream>
#include <string>

#include "station/mqtt_settings.h"
#include "station/toml_text.h"

namespace brivant::tool {

// A key of the link (url, client_id, username, password_file, ca_file,
// cert_file, key_file, keepalive, protocol) of table `section`: read into
// `mqtt`, false when `name` is none of them.
bool readLinkKey(const std::string& section, const std::string& name, const toml::node& node,
                 Problems& problems, MqttSettings& mqtt);
// What the link's keys must be together: the url given, a certificate with
// its key, TLS files with mqtts://, a password with a user name.
void checkLink(const std::string& section, const toml::table& table, Problems& problems,
               const MqttSettings& mqtt);
void writeLink(std::ostream& out, const MqttSettings& mqtt);

// Reads the [mqtt] table; every mistake goes into `problems`.
void readMqtt(const toml::table& table, Problems& problems, MqttSettings& mqtt);
// The [mqtt] table, header included.
void writeMqtt(std::ostream& out, const MqttSettings& mqtt);

} // namespace brivant::tool
