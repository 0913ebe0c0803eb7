#include "mqtt_commands.h"

#include "util/json_text.h"
#include "util/path_parts.h"

namespace brivant::tool {

bool takeCommand(const std::string& topic, const char* payload, std::size_t size, bool retained,
                 const std::string& prefix, MqttCommand& command) {
    const auto parts = partsAfter(topic, prefix + "/unit/");
    if (!parts || parts->size() != 4 || (*parts)[1] != "channel") {
        return false;
    }
    command.topic = topic;
    command.unit = (*parts)[0];
    command.channel = (*parts)[2];
    command.action = (*parts)[3];
    if (retained) {
        // Kept by the broker and handed over at each subscription: run it
        // and a stop or clear would happen again at every start.
        command.refusal = "a retained command is not run (publish commands without retain)";
    } else if (size > kMaxCommandBytes) {
        command.refusal = "a command may hold at most " + std::to_string(kMaxCommandBytes) +
                          " bytes; this one holds " + std::to_string(size);
        command.refusalStatus = 413;
    } else if (size > 0) {
        command.body.assign(payload, size);
    }
    return true;
}

void takeResponseTopic(MqttCommand& command, const std::string& responseTopic, const std::string& prefix) {
    const bool own = responseTopic == prefix || responseTopic.rfind(prefix + "/", 0) == 0;
    const bool wildcard = responseTopic.find_first_of("+#") != std::string::npos;
    if (!own && !wildcard) {
        command.responseTopic = responseTopic;
        return;
    }
    if (command.refusal.empty()) {
        command.refusal = "the response topic " + responseTopic +
                          (own ? " is under the station's own topics (" + prefix + "/)" : " holds a wildcard") +
                          ": the command is not run, and its answer is here";
        command.refusalStatus = 400;
    }
}

CommandAnswer answerCommand(MqttCommand command, const CommandRunner& runner) {
    using Json = nlohmann::json;
    Json id;
    int status = 200;
    Json result;
    if (!command.refusal.empty()) {
        status = command.refusalStatus;
        result = Json{{"error", command.refusal}};
    } else {
        try {
            Json body = Json::parse(command.body);
            if (body.is_object() && body.contains("id")) {
                id = body["id"];
                body.erase("id");
                command.body = jsonText(body);
            }
        } catch (const Json::exception&) {
            // left as sent: the API's own check says what is wrong with it
        }
        result = runner(command.unit, command.channel, command.action, command.body, status);
    }
    if (!result.is_object()) {
        result = Json{{"error", "no answer"}};
        status = 500;
    }
    result["status"] = status;
    if (!id.is_null()) {
        result["id"] = id;
    }
    CommandAnswer answer;
    answer.topic = !command.responseTopic.empty() ? command.responseTopic : command.topic + "/result";
    answer.payload = jsonText(result);
    answer.status = status;
    answer.summary = result.contains("result") && result["result"].is_string()
                         ? result["result"].get<std::string>()
                         : result.contains("error") && result["error"].is_string()
                               ? result["error"].get<std::string>()
                               : "refused";
    return answer;
}

} // namespace brivant::tool
