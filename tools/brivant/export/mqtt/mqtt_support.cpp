#include "export/mqtt/mqtt_publisher.h"

namespace brivant::tool {

std::string mqttUnsupported(const Station& station) {
    if (!station.mqtt) {
        return "";
    }
    if (!mqttBuiltIn()) {
        return "[mqtt]: this build of brivant has no MQTT (it was built without libmosquitto)";
    }
    if (station.mqtt->tls && !mqttTlsBuiltIn()) {
        return "[mqtt]: this build of brivant has no MQTT over TLS (its libmosquitto was built without "
               "it); use an mqtt:// url";
    }
    return "";
}

} // namespace brivant::tool
