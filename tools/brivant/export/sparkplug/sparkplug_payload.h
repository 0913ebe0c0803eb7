// Sparkplug B payloads: what the station sends as an edge node (births,
// data, deaths) encoded, and what a host sends it (NCMD, DCMD) decoded,
// through the protobuf-c code made from sparkplug_b.proto.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace brivant::tool::sparkplug {

// Sparkplug B's data types, by their numbers on the wire (those a station
// sends or takes; the arrays, data sets and templates are not among them).
enum class DataType : std::uint32_t {
    Int8 = 1,
    Int16 = 2,
    Int32 = 3,
    Int64 = 4,
    UInt8 = 5,
    UInt16 = 6,
    UInt32 = 7,
    UInt64 = 8,
    Float = 9,
    Double = 10,
    Boolean = 11,
    String = 12,
    DateTime = 13,
    Text = 14,
};

// A metric's value as the station holds it: none (is_null), a whole
// number (signed types as std::int64_t, unsigned ones and DateTime as
// std::uint64_t), a floating one, a truth value or a text.
using Value = std::variant<std::monostate, std::uint64_t, std::int64_t, double, bool, std::string>;

struct Metric {
    std::string name;                       // in births; data messages name a metric by its alias
    std::optional<std::uint64_t> alias;
    std::optional<std::uint64_t> timestamp; // ms since the epoch, UTC
    std::optional<DataType> type;           // in births; a data message may leave it out
    bool historical = false;
    Value value;
};

struct Payload {
    std::optional<std::uint64_t> timestamp;
    std::optional<std::uint64_t> seq;
    std::vector<Metric> metrics;
};

// What decode() takes: a command is small, and a payload past these is
// refused before any of it is unpacked.
constexpr std::size_t kMostPayloadBytes = 64 * 1024;
constexpr std::size_t kMostMetrics = 256;

// The payload's bytes. A value that its type cannot carry (300 as UInt8, a
// text as Int32, a metric with a value and no type) is a fault of the
// caller's: std::invalid_argument naming the metric.
std::string encode(const Payload& payload);

// The payload in `size` bytes from the network, or nothing with `why` set:
// malformed protobuf, too large, too many metrics, or a metric whose value
// does not match its type. Fields this station does not know are skipped.
std::optional<Payload> decode(const void* data, std::size_t size, std::string& why);

// A decoded metric's value as a whole number or as a truth value, when it
// is one (a host may send a setting as any integer type, or a Boolean).
std::optional<std::int64_t> wholeNumber(const Metric& metric);
std::optional<bool> truthValue(const Metric& metric);

} // namespace brivant::tool::sparkplug
