// The Sparkplug node of a build without libmosquitto or protobuf-c: serve
// checks sparkplugBuiltIn() and refuses a station with [sparkplug], so none
// of this runs.
#include "export/sparkplug/sparkplug_node.h"

#include "util/tool_errors.h"

namespace brivant::tool {

struct SparkplugNode::Impl {};

bool sparkplugBuiltIn() {
    return false;
}

SparkplugNode::SparkplugNode(const Station&, PublisherLog) {
    throw InputError("this build of brivant has no Sparkplug B");
}

SparkplugNode::~SparkplugNode() = default;
void SparkplugNode::onCommand(CommandRunner, SettingsOf) {}
void SparkplugNode::forwardFrom(Journal&) {}
void SparkplugNode::start() {}
void SparkplugNode::stop(std::chrono::milliseconds) {}
std::shared_ptr<const ReaderListener> SparkplugNode::listener() {
    return nullptr;
}
void SparkplugNode::configEvent(const ConfigEvent&) {}
SparkplugTally SparkplugNode::tally() const {
    return {};
}

} // namespace brivant::tool
