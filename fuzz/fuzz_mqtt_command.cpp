// A message from the broker, as anyone allowed to publish may send it:
// topic, payload and retain flag through the command path to the station's
// units. Every command gets an answer that is JSON with a status; nothing
// crashes or throws; a retained one is never run.
#include <cstddef>
#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

#include "export/mqtt/mqtt_commands.h"
#include "service/channel_change.h"
#include "fuzz_require.h"
#include "served_station.h"

using namespace brivant;


extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::ServedStation& served = fuzz::servedStation();
    if (size < 2) {
        return 0;
    }
    // First byte: the retain flag; then the topic up to a NUL; the payload.
    const bool retained = (data[0] & 1) != 0;
    const std::string rest(reinterpret_cast<const char*>(data + 1), size - 1);
    const std::size_t split = rest.find('\0');
    const std::string topic = "brivant/fuzz/" + rest.substr(0, split);
    const std::string payload = split == std::string::npos ? "" : rest.substr(split + 1);
    tool::MqttCommand command;
    if (!tool::takeCommand(topic, payload.data(), payload.size(), retained, "brivant/fuzz", command)) {
        return 0;
    }
    bool ran = false;
    tool::CommandAnswer answer = tool::answerCommand(
        command, [&](const std::string& unit, const std::string& channel, const std::string& action,
                     const std::string& body, int& status) {
            ran = true;
            return tool::runChange(*served.registry, served.live.get(), unit, channel, action, body,
                                   std::chrono::milliseconds(500), status);
        });
    require(!(retained && ran), "a retained command is never run");
    nlohmann::json body = nlohmann::json::parse(answer.payload, nullptr, false);
    require(body.is_object() && body.contains("status") && body["status"] == answer.status,
            "the answer is JSON with its status");
    require(answer.topic == command.topic + "/result", "answered on TOPIC/result");
    return 0;
}
