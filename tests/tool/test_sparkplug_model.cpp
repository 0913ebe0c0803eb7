// The station as a Sparkplug edge node, before any MQTT: its IDs, its
// sequence numbers, each unit's metrics and aliases, the births and data
// built from settings and samples, and a host's writes of a setting.
#include <gtest/gtest.h>

#include <brivant.h>

#include <set>

#include "export/sparkplug/sparkplug_model.h"
#include "station/sparkplug_settings.h"

namespace sp = brivant::tool::sparkplug;
using brivant::tool::ChannelSettings;
using brivant::tool::Sample;

namespace {

Sample sampleAt(std::int64_t ms, std::int16_t result = RC_OK) {
    Sample s;
    s.time = brivant::tool::WallTime(std::chrono::milliseconds(ms));
    s.result = result;
    s.counts = {7, -1, 2147483647};
    s.status = {0, 1, 2};
    return s;
}

const sp::Metric* byName(const sp::Payload& payload, const std::string& name) {
    for (const sp::Metric& m : payload.metrics) {
        if (m.name == name) {
            return &m;
        }
    }
    return nullptr;
}

} // namespace

TEST(SparkplugModel, IdsKeepTheTopicRules) {
    EXPECT_EQ(brivant::tool::sparkplugIdProblem("Line 3"), "");
    EXPECT_EQ(brivant::tool::sparkplugIdProblem("Zähler-Halle_2"), "");
    for (const std::string& bad : std::vector<std::string>{"", "a+b", "a#", "line/3", "a\nb", std::string(129, 'x')}) {
        EXPECT_NE(brivant::tool::sparkplugIdProblem(bad), "") << bad;
    }
    const sp::NodeName name{"Plant", "station-1"};
    EXPECT_EQ(sp::nodeTopic(name, "NBIRTH"), "spBv1.0/Plant/NBIRTH/station-1");
    EXPECT_EQ(sp::deviceTopic(name, "DDATA", 3), "spBv1.0/Plant/DDATA/station-1/unit-3");
}

// seq: 0 in the NBIRTH, then one more in each message, 255 then 0, over
// more than one wrap; a new birth starts again at 0.
TEST(SparkplugModel, SeqRisesByOneAndWrapsAt255) {
    sp::Sequence seq;
    EXPECT_EQ(seq.birth(), 0u);
    std::uint64_t expected = 1;
    for (int i = 0; i < 600; ++i) {
        EXPECT_EQ(seq.next(), expected) << i;
        expected = (expected + 1) % 256;
    }
    EXPECT_EQ(seq.birth(), 0u);
    EXPECT_EQ(seq.next(), 1u);
    // bdSeq the same way, from one CONNECT to the next.
    std::uint64_t bdSeq = 0;
    for (int connect = 1; connect <= 300; ++connect) {
        bdSeq = sp::nextBdSeq(bdSeq);
        EXPECT_EQ(bdSeq, static_cast<std::uint64_t>(connect % 256)) << connect;
    }
}

// Every metric of every unit has an alias no other has, the same at each
// call (a restart, a replug), and a name and a type.
TEST(SparkplugModel, AliasesAreUniqueAndStable) {
    std::set<std::uint64_t> aliases{sp::kBdSeqAlias, sp::kRebirthAlias, sp::kBacklogAlias};
    std::size_t total = 3;
    for (std::int16_t unit = 0; unit <= 15; ++unit) {
        const std::vector<sp::UnitMetric> metrics = sp::unitMetrics(unit);
        const std::vector<sp::UnitMetric> again = sp::unitMetrics(unit);
        ASSERT_EQ(metrics.size(), again.size());
        for (std::size_t i = 0; i < metrics.size(); ++i) {
            EXPECT_EQ(metrics[i].alias, again[i].alias);
            EXPECT_EQ(metrics[i].name, again[i].name);
            EXPECT_FALSE(metrics[i].name.empty());
            aliases.insert(metrics[i].alias);
        }
        total += metrics.size();
    }
    EXPECT_EQ(aliases.size(), total);
    // The scheme the README gives hosts: unit 3, channel 1, its Count.
    const std::vector<sp::UnitMetric> unit3 = sp::unitMetrics(3);
    const auto count = std::find_if(unit3.begin(), unit3.end(),
                                    [](const sp::UnitMetric& m) { return m.name == "Channel 1/Count"; });
    ASSERT_NE(count, unit3.end());
    EXPECT_EQ(count->alias, 4200u);
    EXPECT_EQ(count->type, sp::DataType::UInt64);
}

// A birth carries every metric with its name, alias and type, values from
// the settings and the latest sample; data carry aliases alone, stamped
// with the sample's own time.
TEST(SparkplugModel, BirthsNameEverythingAndDataOnlyAlias) {
    std::array<ChannelSettings, 3> settings{};
    settings[1].multiplier = 2;
    settings[2].run = false;
    settings[0].preset = {4294967295u, 5};
    settings[1].inputInversion = {0, 1, 0};
    const sp::Payload birth = sp::deviceBirth(2, settings, sampleAt(1796995198774), true, 1796995199000);
    const std::vector<sp::UnitMetric> entries = sp::unitMetrics(2);
    ASSERT_EQ(birth.metrics.size(), entries.size());
    for (std::size_t i = 0; i < entries.size(); ++i) {
        EXPECT_EQ(birth.metrics[i].name, entries[i].name);
        EXPECT_EQ(birth.metrics[i].alias, entries[i].alias);
        EXPECT_EQ(birth.metrics[i].type, entries[i].type);
    }
    EXPECT_EQ(byName(birth, "Answering")->value, sp::Value{true});
    EXPECT_EQ(byName(birth, "Channel 1/Count")->value, sp::Value{std::uint64_t{4294967295u}}); // -1 as read
    EXPECT_EQ(byName(birth, "Channel 1/Count")->timestamp, std::optional<std::uint64_t>(1796995198774));
    EXPECT_EQ(byName(birth, "Channel 2/Status")->value, sp::Value{std::uint64_t{2}});
    EXPECT_EQ(byName(birth, "Channel 1/multiplier")->value, sp::Value{std::uint64_t{2}});
    EXPECT_EQ(byName(birth, "Channel 1/input_inversion/s2")->value, sp::Value{std::uint64_t{1}});
    EXPECT_EQ(byName(birth, "Channel 2/run")->value, sp::Value{false});
    EXPECT_EQ(byName(birth, "Channel 0/preset/first")->type, sp::DataType::UInt32);
    EXPECT_EQ(byName(birth, "Channel 0/preset/first")->value, sp::Value{std::uint64_t{4294967295u}});
    // Every value fits its type: the birth encodes.
    EXPECT_NO_THROW(sp::encode(birth));

    const sp::Payload unread = sp::deviceBirth(2, settings, std::nullopt, false, 1796995199000);
    EXPECT_EQ(byName(unread, "Answering")->value, sp::Value{false});
    EXPECT_EQ(byName(unread, "Channel 0/Count")->value, sp::Value{});
    EXPECT_NO_THROW(sp::encode(unread));

    const sp::Payload data = sp::deviceData(2, sampleAt(1796995198774), true);
    ASSERT_EQ(data.metrics.size(), 6u);
    EXPECT_EQ(data.timestamp, std::optional<std::uint64_t>(1796995198774));
    for (const sp::Metric& m : data.metrics) {
        EXPECT_TRUE(m.name.empty());
        EXPECT_TRUE(m.alias.has_value());
        EXPECT_TRUE(m.historical);
        EXPECT_EQ(m.timestamp, std::optional<std::uint64_t>(1796995198774));
    }
    EXPECT_EQ(data.metrics[4].alias, 3300u); // channel 2's Count
    EXPECT_EQ(data.metrics[4].value, sp::Value{std::uint64_t{2147483647}});

    const sp::Payload failed = sp::deviceData(2, sampleAt(1796995198800, RC_ID_NOT_FOUND), false);
    ASSERT_EQ(failed.metrics.size(), 1u);
    EXPECT_EQ(failed.metrics[0].alias, 3000u);
    EXPECT_EQ(failed.metrics[0].value, sp::Value{false});
}

TEST(SparkplugModel, TheDeathHoldsBdSeqAlone) {
    const sp::Payload death = sp::nodeDeath(255);
    EXPECT_FALSE(death.seq);
    EXPECT_FALSE(death.timestamp);
    ASSERT_EQ(death.metrics.size(), 1u);
    EXPECT_EQ(death.metrics[0].name, "bdSeq");
    EXPECT_EQ(death.metrics[0].value, sp::Value{std::uint64_t{255}});
    const sp::Payload birth = sp::nodeBirth(255, 12, 1796995199000);
    EXPECT_EQ(byName(birth, "bdSeq")->value, sp::Value{std::uint64_t{255}});
    EXPECT_EQ(byName(birth, "Node Control/Rebirth")->value, sp::Value{false});
}

// A host's write, by name or by alias, within the setting's bounds; a
// metric that is read, unknown or out of range is refused with why.
TEST(SparkplugModel, AHostsWritesAreCheckedAsTheApiChecksThem) {
    std::string why;
    sp::Metric write;
    write.name = "Channel 1/multiplier";
    write.type = sp::DataType::UInt8;
    write.value = std::uint64_t{2};
    std::optional<sp::SettingWrite> taken = sp::settingWrite(0, write, why);
    ASSERT_TRUE(taken) << why;
    EXPECT_EQ(taken->channel, 1);
    EXPECT_STREQ(taken->setting->key, "multiplier");
    EXPECT_EQ(taken->value, 2u);

    sp::Metric byAlias;
    byAlias.alias = 1100 + 2 + 1 + 1 + 1; // unit 0, channel 0: Count, Status, run, multiplier, clear_event, input_inversion/s1
    byAlias.value = true;
    taken = sp::settingWrite(0, byAlias, why);
    ASSERT_TRUE(taken) << why;
    EXPECT_STREQ(taken->setting->key, "input_inversion");
    EXPECT_EQ(taken->index, 0u);
    EXPECT_EQ(taken->value, 1u);

    const auto refused = [&](const std::string& name, sp::Value value, const std::string& part) {
        sp::Metric m;
        m.name = name;
        m.value = std::move(value);
        std::string reason;
        EXPECT_FALSE(sp::settingWrite(0, m, reason)) << name;
        EXPECT_NE(reason.find(part), std::string::npos) << reason;
    };
    refused("Channel 1/multiplier", std::uint64_t{3}, "0 to 2");
    refused("Channel 1/multiplier", std::int64_t{-1}, "0 to 2");
    refused("Channel 1/multiplier", std::string("2"), "whole number");
    refused("Channel 1/Count", std::uint64_t{0}, "read, not written");
    refused("Channel 3/multiplier", std::uint64_t{0}, "no metric");
    refused("Channel 0/write_preset", true, "station file only");
    refused("Channel 0/preset/second", std::uint64_t{4294967296u}, "not 4294967296");
}
