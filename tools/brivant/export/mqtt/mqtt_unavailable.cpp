// The publisher of a build without libmosquitto: serve refuses a station
// with [mqtt] before it makes one, so none of this runs.
#include "export/mqtt/mqtt_publisher.h"

#include "util/tool_errors.h"

namespace brivant::tool {

bool mqttBuiltIn() {
    return false;
}

bool mqttTlsBuiltIn() {
    return false;
}

struct MqttPublisher::Impl {};

MqttPublisher::MqttPublisher(const Station&, PublisherLog) {
    throw UsageError("[mqtt]: this build of brivant has no MQTT (it was built without libmosquitto)");
}

MqttPublisher::~MqttPublisher() = default;

void MqttPublisher::onCommand(CommandRunner) {}
void MqttPublisher::forwardFrom(Journal&) {}
void MqttPublisher::start() {}
void MqttPublisher::stop(std::chrono::milliseconds) {}
void MqttPublisher::sample(std::int16_t, const Sample&, std::optional<bool>) {}
void MqttPublisher::unitEvent(const UnitEvent&) {}
void MqttPublisher::configEvent(const ConfigEvent&) {}

OutboxTally MqttPublisher::tally() const {
    return {};
}

std::shared_ptr<const ReaderListener> MqttPublisher::listener() {
    return nullptr;
}

} // namespace brivant::tool
