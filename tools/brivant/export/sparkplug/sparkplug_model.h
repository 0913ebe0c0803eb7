// The station as a Sparkplug B edge node: its topics, the metrics of each
// unit (one device) with aliases that never change, and the payloads of
// births and data built from what the readers hold. No MQTT here: the node
// that publishes them takes these.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "export/sparkplug/sparkplug_payload.h"
#include "journal/journal_row.h"
#include "service/unit_reader.h"
#include "station/channel_table.h"

namespace brivant::tool::sparkplug {

struct NodeName {
    std::string group;
    std::string node;
};

// spBv1.0/GROUP/NBIRTH/NODE, and with "/DEVICE" for a device's.
std::string nodeTopic(const NodeName& name, const std::string& type);
std::string deviceTopic(const NodeName& name, const std::string& type, std::int16_t unit);
std::string deviceId(std::int16_t unit); // "unit-3"

// seq: 0 in the NBIRTH, one more in every message after it, 255 then 0.
class Sequence {
public:
    std::uint64_t birth();
    std::uint64_t next();

private:
    std::uint64_t next_ = 0;
};

// bdSeq after `last`: one more at each CONNECT the broker took, 255 then 0.
std::uint64_t nextBdSeq(std::uint64_t last);

// What a unit's metric stands for.
enum class Stands { Answering, Count, Status, Setting };

struct UnitMetric {
    std::string name;   // "Channel 0/Count", "Channel 1/input_inversion/s2"
    std::uint64_t alias;
    DataType type;
    Stands stands;
    int channel = -1;   // -1: the unit's own
    const ChannelSetting* setting = nullptr;
    std::size_t index = 0; // which of the setting's values
};

// A unit's metrics, in the order its birth lists them. An alias is
// (unit + 1) * 1000 + (channel + 1) * 100 + the metric's place in its
// channel (Count, Status, then each setting's values in the channel
// table's order), so it holds across restarts, replugs and other units.
std::vector<UnitMetric> unitMetrics(std::int16_t unit);

// Node metrics: bdSeq, "Node Control/Rebirth" and the journal backlog.
constexpr std::uint64_t kBdSeqAlias = 1;
constexpr std::uint64_t kRebirthAlias = 2;
constexpr std::uint64_t kBacklogAlias = 3;

std::uint64_t millisecondsOf(const WallTime& time);

Payload nodeBirth(std::uint64_t bdSeq, std::uint64_t backlog, std::uint64_t nowMs);
Payload nodeDeath(std::uint64_t bdSeq); // bdSeq alone: no seq, no timestamp

// A unit's birth: every metric with name, alias and type; counts and
// status from its latest sample, if it has one that read, else null.
Payload deviceBirth(std::int16_t unit, const std::array<ChannelSettings, 3>& settings,
                    const std::optional<Sample>& latest, bool answering, std::uint64_t nowMs);

// A sample as data: each channel's Count and Status by alias, stamped with
// the sample's own time; `historical` for one forwarded from the journal.
// A sample that did not read sends Answering false instead.
Payload deviceData(std::int16_t unit, const Sample& sample, bool historical);
// The same, added to `payload` (several samples of a unit go in one
// message). Answering goes too when it differs from `answering`, what the
// host was last told, which it then holds.
void appendData(Payload& payload, std::int16_t unit, const Sample& sample, bool historical,
                std::optional<bool>& answering);
// Every setting's value, by alias: sent once a change has been made.
Payload settingsData(std::int16_t unit, const std::array<ChannelSettings, 3>& settings, std::uint64_t nowMs);
// The node's journal backlog, by alias.
Payload backlogData(std::uint64_t backlog, std::uint64_t nowMs);
// A journal's row as the sample it was.
Sample sampleOf(const JournalRow& row);

// A DCMD's metric, named or by alias, as a write of one setting's value.
struct SettingWrite {
    int channel;
    const ChannelSetting* setting;
    std::size_t index;
    std::uint32_t value;
};
std::optional<SettingWrite> settingWrite(std::int16_t unit, const Metric& metric, std::string& why);

} // namespace brivant::tool::sparkplug
