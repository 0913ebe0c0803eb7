// The [mqtt] table of a station file, read and written.
#pragma once

#include <ostream>

#include "station/mqtt_settings.h"
#include "station/toml_text.h"

namespace brivant::tool {

// Reads the [mqtt] table; every mistake goes into `problems`.
void readMqtt(const toml::table& table, Problems& problems, MqttSettings& mqtt);
// The [mqtt] table, header included.
void writeMqtt(std::ostream& out, const MqttSettings& mqtt);

} // namespace brivant::tool
