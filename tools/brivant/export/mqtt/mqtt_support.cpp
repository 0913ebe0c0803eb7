#include "export/mqtt/mqtt_publisher.h"
#include "export/sparkplug/sparkplug_node.h"

namespace brivant::tool {

std::string mqttUnsupported(const Station& station) {
    for (const auto& [table, link] : {std::pair{"[mqtt]", station.mqtt ? &*station.mqtt : nullptr},
                                      std::pair{"[sparkplug]", station.sparkplug ? &station.sparkplug->link : nullptr}}) {
        if (link == nullptr) {
            continue;
        }
        if (!mqttBuiltIn()) {
            return std::string(table) + ": this build of brivant has no MQTT (it was built without libmosquitto)";
        }
        if (link->tls && !mqttTlsBuiltIn()) {
            return std::string(table) + ": this build of brivant has no MQTT over TLS (its libmosquitto was built "
                                        "without it); use an mqtt:// url";
        }
    }
    if (station.sparkplug && !sparkplugBuiltIn()) {
        return "[sparkplug]: this build of brivant has no Sparkplug B (it was built without protobuf-c)";
    }
    return "";
}

} // namespace brivant::tool
