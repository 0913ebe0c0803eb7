// Sparkplug B payloads: what the station encodes decodes the same here and
// in a second decoder (python3-protobuf over protoc's module of the same
// .proto), and what comes from the network is taken only when it is sound.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <sstream>

#include <nlohmann/json.hpp>

#include "export/sparkplug/sparkplug_payload.h"

namespace sp = brivant::tool::sparkplug;

namespace {

sp::Metric metric(const std::string& name, std::uint64_t alias, sp::DataType type, sp::Value value) {
    sp::Metric m;
    m.name = name;
    m.alias = alias;
    m.type = type;
    m.value = std::move(value);
    return m;
}

// A file of the test's own, removed with it.
struct Scratch {
    Scratch() {
        char name[] = "/tmp/brivant-sparkplug-XXXXXX";
        const int fd = mkstemp(name);
        if (fd >= 0) {
            close(fd);
            path = name;
        }
    }
    ~Scratch() { std::remove(path.c_str()); }
    std::string path;
};

std::string python(const std::string& mode, const std::string& path, const std::string& input = "") {
    std::string command = std::string("/usr/bin/python3 ") + BRIVANT_SPARKPLUG_CODEC + " " + BRIVANT_SPARKPLUG_MODULE +
                          " " + mode + " " + path;
    Scratch in;
    if (!input.empty()) {
        std::ofstream(in.path) << input;
        command += " < " + in.path;
    }
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return "";
    }
    std::string out;
    char buffer[4096];
    std::size_t n = 0;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) {
        out.append(buffer, n);
    }
    EXPECT_EQ(pclose(pipe), 0) << command;
    return out;
}

nlohmann::json otherDecoder(const std::string& bytes) {
    Scratch file;
    std::ofstream(file.path, std::ios::binary) << bytes;
    return nlohmann::json::parse(python("decode", file.path));
}

std::string bytesFromHost(const nlohmann::json& payload) {
    Scratch file;
    python("encode", file.path, payload.dump());
    std::ifstream in(file.path, std::ios::binary);
    std::stringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

std::optional<sp::Payload> decoded(const std::string& bytes, std::string& why) {
    return sp::decode(bytes.data(), bytes.size(), why);
}

} // namespace

// Each type at the edges of its range, as the station sends it: back the
// same through decode(), and in the wire field Sparkplug B gives it
// as the other decoder reads it (signed 32-bit ones as two's complement in
// int_value; UInt32 and 64-bit ones in long_value).
TEST(SparkplugPayload, EveryTypeAtItsEdgesReadsTheSameInBothDecoders) {
    sp::Payload payload;
    payload.timestamp = 1796995198774;
    payload.seq = 0; // present, though zero: an NBIRTH's
    payload.metrics = {
        metric("i8", 1, sp::DataType::Int8, std::int64_t{-128}),
        metric("i16", 2, sp::DataType::Int16, std::int64_t{32767}),
        metric("i32", 3, sp::DataType::Int32, std::int64_t{-1}),
        metric("i64", 4, sp::DataType::Int64, std::numeric_limits<std::int64_t>::min()),
        metric("u8", 5, sp::DataType::UInt8, std::uint64_t{255}),
        metric("u32", 6, sp::DataType::UInt32, std::uint64_t{4294967295u}),
        metric("Count", 7, sp::DataType::UInt64, std::numeric_limits<std::uint64_t>::max()),
        metric("f", 8, sp::DataType::Float, 0.5),
        metric("d", 9, sp::DataType::Double, -1e300),
        metric("b", 10, sp::DataType::Boolean, true),
        metric("s", 11, sp::DataType::String, std::string("Zähler 1")),
        metric("when", 12, sp::DataType::DateTime, std::uint64_t{1796995198774}),
        metric("gone", 13, sp::DataType::UInt64, sp::Value{}),
    };
    payload.metrics[6].timestamp = 1796995198000;
    payload.metrics[6].historical = true;
    const std::string bytes = sp::encode(payload);

    std::string why;
    const std::optional<sp::Payload> back = decoded(bytes, why);
    ASSERT_TRUE(back) << why;
    EXPECT_EQ(back->timestamp, payload.timestamp);
    EXPECT_EQ(back->seq, std::optional<std::uint64_t>(0));
    ASSERT_EQ(back->metrics.size(), payload.metrics.size());
    for (std::size_t i = 0; i < payload.metrics.size(); ++i) {
        const sp::Metric& sent = payload.metrics[i];
        const sp::Metric& got = back->metrics[i];
        EXPECT_EQ(got.name, sent.name);
        EXPECT_EQ(got.alias, sent.alias);
        EXPECT_EQ(got.type, sent.type) << sent.name;
        EXPECT_EQ(got.timestamp, sent.timestamp) << sent.name;
        EXPECT_EQ(got.historical, sent.historical) << sent.name;
        EXPECT_EQ(got.value, sent.value) << sent.name;
    }

    const nlohmann::json other = otherDecoder(bytes);
    EXPECT_EQ(other["timestamp"], 1796995198774u);
    EXPECT_EQ(other["seq"], 0);
    const nlohmann::json& m = other["metrics"];
    ASSERT_EQ(m.size(), payload.metrics.size());
    EXPECT_EQ(m[0]["int_value"], 4294967168u); // -128
    EXPECT_EQ(m[2]["int_value"], 4294967295u); // -1
    EXPECT_EQ(m[3]["long_value"], 9223372036854775808u);
    EXPECT_EQ(m[4]["int_value"], 255);
    EXPECT_EQ(m[5]["long_value"], 4294967295u) << "UInt32 in long_value, where hosts read it";
    EXPECT_EQ(m[6]["long_value"], std::numeric_limits<std::uint64_t>::max());
    EXPECT_EQ(m[6]["datatype"], 8);
    EXPECT_EQ(m[6]["is_historical"], true);
    EXPECT_EQ(m[6]["timestamp"], 1796995198000u);
    EXPECT_EQ(m[6]["name"], "Count");
    EXPECT_EQ(m[6]["alias"], 7);
    EXPECT_EQ(m[7]["float_value"], 0.5);
    EXPECT_EQ(m[8]["double_value"], -1e300);
    EXPECT_EQ(m[9]["boolean_value"], true);
    EXPECT_EQ(m[10]["string_value"], "Zähler 1");
    EXPECT_EQ(m[11]["long_value"], 1796995198774u);
    EXPECT_EQ(m[12]["is_null"], true);
    EXPECT_FALSE(m[12].contains("long_value"));
    for (const auto& each : m) {
        EXPECT_FALSE(each.contains("is_historical") && &each != &m[6]) << each.dump();
    }
}

// A data message names metrics by alias alone, and an NDEATH carries no
// seq: what is left out is left out on the wire, not sent as zero.
TEST(SparkplugPayload, WhatIsLeftOutStaysOut) {
    sp::Payload death;
    sp::Metric bdSeq = metric("bdSeq", 0, sp::DataType::UInt64, std::uint64_t{0});
    bdSeq.alias.reset();
    death.metrics = {bdSeq};
    nlohmann::json other = otherDecoder(sp::encode(death));
    EXPECT_FALSE(other.contains("seq"));
    EXPECT_FALSE(other.contains("timestamp"));
    EXPECT_FALSE(other["metrics"][0].contains("alias"));
    EXPECT_EQ(other["metrics"][0]["long_value"], 0);

    sp::Payload data;
    data.seq = 17;
    sp::Metric count;
    count.alias = 7;
    count.type = sp::DataType::UInt64;
    count.value = std::uint64_t{42};
    data.metrics = {count};
    other = otherDecoder(sp::encode(data));
    EXPECT_FALSE(other["metrics"][0].contains("name"));
    EXPECT_EQ(other["metrics"][0]["alias"], 7);
}

TEST(SparkplugPayload, AValueItsTypeCannotCarryIsTheCallersFault) {
    const auto refused = [](sp::DataType type, sp::Value value) {
        sp::Payload payload;
        payload.metrics = {metric("m", 1, type, std::move(value))};
        EXPECT_THROW(sp::encode(payload), std::invalid_argument);
    };
    refused(sp::DataType::UInt8, std::uint64_t{256});
    refused(sp::DataType::UInt8, std::int64_t{-1});
    refused(sp::DataType::Int8, std::int64_t{-129});
    refused(sp::DataType::Int16, std::uint64_t{32768});
    refused(sp::DataType::Int64, std::uint64_t{1} << 63);
    refused(sp::DataType::UInt32, std::uint64_t{1} << 32);
    refused(sp::DataType::Int32, std::string("7"));
    refused(sp::DataType::Boolean, std::uint64_t{1});
    refused(sp::DataType::String, true);
    refused(sp::DataType::DateTime, std::int64_t{5});
    sp::Payload untyped;
    untyped.metrics = {metric("m", 1, sp::DataType::UInt8, std::uint64_t{1})};
    untyped.metrics[0].type.reset();
    EXPECT_THROW(sp::encode(untyped), std::invalid_argument);
}

// What a host sends: the rebirth request and a setting, the way hosts send
// them (a UInt8 in int_value, or any whole number in long_value).
TEST(SparkplugPayload, AHostsCommandsDecode) {
    std::string why;
    std::optional<sp::Payload> command = decoded(
        bytesFromHost({{"timestamp", 1796995198774},
                       {"metrics", {{{"name", "Node Control/Rebirth"}, {"datatype", 11}, {"boolean_value", true}}}}}),
        why);
    ASSERT_TRUE(command) << why;
    ASSERT_EQ(command->metrics.size(), 1u);
    EXPECT_EQ(command->metrics[0].name, "Node Control/Rebirth");
    EXPECT_EQ(sp::truthValue(command->metrics[0]), std::optional<bool>(true));
    EXPECT_FALSE(sp::wholeNumber(command->metrics[0]));

    command = decoded(bytesFromHost({{"metrics",
                                      {{{"name", "Channel 0/Multiplier"}, {"datatype", 5}, {"int_value", 3}},
                                       {{"alias", 21}, {"datatype", 5}, {"long_value", 2}},
                                       {{"alias", 22}, {"datatype", 3}, {"int_value", 4294967295u}},
                                       {{"alias", 23}, {"long_value", 9}}}}}),
                      why);
    ASSERT_TRUE(command) << why;
    ASSERT_EQ(command->metrics.size(), 4u);
    EXPECT_EQ(sp::wholeNumber(command->metrics[0]), std::optional<std::int64_t>(3));
    EXPECT_EQ(sp::wholeNumber(command->metrics[1]), std::optional<std::int64_t>(2));
    EXPECT_EQ(sp::wholeNumber(command->metrics[2]), std::optional<std::int64_t>(-1));
    EXPECT_EQ(command->metrics[3].alias, std::optional<std::uint64_t>(23));
    EXPECT_FALSE(command->metrics[3].type);
    EXPECT_EQ(sp::wholeNumber(command->metrics[3]), std::optional<std::int64_t>(9));
}

// Bytes from the network that are not a sound payload are refused with a
// reason, never taken in part.
TEST(SparkplugPayload, UnsoundBytesAreRefusedWithAReason) {
    const auto refusedFor = [](const std::string& bytes, const std::string& part) {
        std::string why;
        EXPECT_FALSE(decoded(bytes, why));
        EXPECT_NE(why.find(part), std::string::npos) << why;
    };
    refusedFor(std::string("\xff\xff\xff\xff", 4), "malformed");
    sp::Payload payload;
    payload.metrics = {metric("Count", 7, sp::DataType::UInt64, std::uint64_t{123456789})};
    const std::string whole = sp::encode(payload);
    refusedFor(whole.substr(0, whole.size() - 2), "malformed");
    refusedFor(std::string(sp::kMostPayloadBytes + 1, '\0'), "bytes");

    sp::Payload many;
    for (std::uint64_t i = 0; i <= sp::kMostMetrics; ++i) {
        many.metrics.push_back(metric("", i, sp::DataType::Boolean, false));
    }
    refusedFor(sp::encode(many), "metrics");

    refusedFor(bytesFromHost({{"metrics", {{{"alias", 1}, {"datatype", 99}, {"int_value", 1}}}}}), "datatype 99");
    refusedFor(bytesFromHost({{"metrics", {{{"alias", 1}, {"datatype", 11}, {"int_value", 1}}}}}), "match");
    refusedFor(bytesFromHost({{"metrics", {{{"alias", 1}, {"datatype", 5}, {"int_value", 256}}}}}), "range");
    refusedFor(bytesFromHost({{"metrics", {{{"alias", 1}, {"datatype", 12}, {"long_value", 1}}}}}), "match");
    refusedFor(bytesFromHost({{"metrics", {{{"alias", 1}, {"datatype", 9}, {"double_value", 0.1}}}}}), "match");
}

// Fields a station does not declare (a data set in a metric, a payload
// field from a later revision) are skipped, and the rest is read.
TEST(SparkplugPayload, FieldsItDoesNotKnowAreSkipped) {
    sp::Payload payload;
    payload.seq = 3;
    payload.metrics = {metric("b", 1, sp::DataType::Boolean, true)};
    std::string bytes = sp::encode(payload);
    // Field 6 of the payload, varint 1; a second metric with alias 2 and
    // an empty field 17 (dataset_value).
    bytes += std::string("\x30\x01", 2);
    bytes += std::string("\x12\x05\x10\x02\x8a\x01\x00", 7);
    std::string why;
    const std::optional<sp::Payload> back = decoded(bytes, why);
    ASSERT_TRUE(back) << why;
    EXPECT_EQ(back->seq, std::optional<std::uint64_t>(3));
    ASSERT_EQ(back->metrics.size(), 2u);
    EXPECT_EQ(sp::truthValue(back->metrics[0]), std::optional<bool>(true));
    EXPECT_EQ(back->metrics[1].alias, std::optional<std::uint64_t>(2));
}
