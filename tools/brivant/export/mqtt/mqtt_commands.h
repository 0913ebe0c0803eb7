// Commands from the broker, apart from the broker: unit/ID/channel/CH/ACTION
// under the station's prefix, with the API's bodies, each answered as the
// API answers. Whatever a publisher sends gets an answer: a body that is not
// JSON or not UTF-8, one too large, a retained command (never run: it would
// be run again at every start).
#pragma once

#include <cstddef>
#include <functional>
#include <string>

#include <nlohmann/json.hpp>

namespace brivant::tool {

// A command body, as the HTTP side bounds a request's body.
constexpr std::size_t kMaxCommandBytes = 16 * 1024;

// Runs one command as the API would: unit, channel and action from the
// topic, the body as sent; sets the HTTP-like status.
using CommandRunner = std::function<nlohmann::json(const std::string& unit, const std::string& channel,
                                                   const std::string& action, const std::string& body,
                                                   int& status)>;

struct MqttCommand {
    std::string topic;
    std::string unit, channel, action;
    std::string body;
    std::string responseTopic; // MQTT 5's, else the answer goes to TOPIC/result
    std::string correlation;   // MQTT 5's correlation data, handed back
    std::string refusal;       // set: not run, answered with this
    int refusalStatus = 400;
};

// A message from the broker as a command; false when its topic is not one.
bool takeCommand(const std::string& topic, const char* payload, std::size_t size, bool retained,
                 const std::string& prefix, MqttCommand& command);

// MQTT 5's response topic as the commander gave it. Refused, the command
// not run and its answer at TOPIC/result, when it lies under the station's
// own topics (an answer there would pose as a state or the status) or holds
// a wildcard, which no message can be published to.
void takeResponseTopic(MqttCommand& command, const std::string& responseTopic, const std::string& prefix);

struct CommandAnswer {
    std::string topic;
    std::string payload; // JSON: the API's body, "status", and the body's "id" if it had one
    int status = 200;
    std::string summary; // for the log: the result's name or the refusal
};

// Runs the command (unless refused) and makes its answer; never throws for
// anything the command holds.
CommandAnswer answerCommand(MqttCommand command, const CommandRunner& runner);

} // namespace brivant::tool
