#include "export/sparkplug/sparkplug_payload.h"

#include <limits>
#include <memory>
#include <stdexcept>

#include "export/sparkplug/sparkplug_b.pb-c.h"

namespace brivant::tool::sparkplug {

namespace {

using CMetric = SparkplugB__Payload__Metric;

// How a type travels: in int_value (32 bits), long_value (64), or another.
// UInt32 goes in long_value, where hosts read it; one sent in int_value is
// taken too.
bool inInt32(DataType type) {
    return type == DataType::Int8 || type == DataType::Int16 || type == DataType::Int32 || type == DataType::UInt8 ||
           type == DataType::UInt16;
}

bool isSigned(DataType type) {
    return type == DataType::Int8 || type == DataType::Int16 || type == DataType::Int32 || type == DataType::Int64;
}

bool isText(DataType type) {
    return type == DataType::String || type == DataType::Text;
}

// The bits of a whole-number type, for its range.
int bitsOf(DataType type) {
    switch (type) {
    case DataType::Int8:
    case DataType::UInt8: return 8;
    case DataType::Int16:
    case DataType::UInt16: return 16;
    case DataType::Int32:
    case DataType::UInt32: return 32;
    default: return 64;
    }
}

bool knownType(std::uint32_t number) {
    return number >= static_cast<std::uint32_t>(DataType::Int8) && number <= static_cast<std::uint32_t>(DataType::Text);
}

std::string nameOf(const Metric& metric) {
    if (!metric.name.empty()) {
        return "metric " + metric.name;
    }
    return metric.alias ? "metric with alias " + std::to_string(*metric.alias) : std::string("a metric");
}

// The whole number `value` holds, if it fits `type`; as the 64 bits that
// go on the wire.
std::optional<std::uint64_t> wireBits(const Value& value, DataType type) {
    const int bits = bitsOf(type);
    if (const auto* u = std::get_if<std::uint64_t>(&value)) {
        const std::uint64_t most = isSigned(type) ? (std::uint64_t{1} << (bits - 1)) - 1
                                   : bits == 64  ? std::numeric_limits<std::uint64_t>::max()
                                                 : (std::uint64_t{1} << bits) - 1;
        return *u <= most ? std::optional<std::uint64_t>(*u) : std::nullopt;
    }
    if (const auto* s = std::get_if<std::int64_t>(&value)) {
        if (isSigned(type)) {
            const std::int64_t least = bits == 64 ? std::numeric_limits<std::int64_t>::min()
                                                  : -(std::int64_t{1} << (bits - 1));
            const std::int64_t most = bits == 64 ? std::numeric_limits<std::int64_t>::max()
                                                 : (std::int64_t{1} << (bits - 1)) - 1;
            if (*s < least || *s > most) {
                return std::nullopt;
            }
            return static_cast<std::uint64_t>(*s); // two's complement, cut to 32 bits below if it goes there
        }
        return *s >= 0 ? wireBits(static_cast<std::uint64_t>(*s), type) : std::nullopt;
    }
    return std::nullopt;
}

void setValue(CMetric& out, const Metric& metric) {
    if (std::holds_alternative<std::monostate>(metric.value)) {
        out.has_is_null = true;
        out.is_null = true;
        return;
    }
    if (!metric.type) {
        throw std::invalid_argument(nameOf(metric) + " has a value but no type");
    }
    const DataType type = *metric.type;
    const auto wrong = [&] {
        return std::invalid_argument(nameOf(metric) + "'s value does not fit its type " +
                                     std::to_string(static_cast<std::uint32_t>(type)));
    };
    if (inInt32(type) || type == DataType::UInt32 || type == DataType::Int64 || type == DataType::UInt64 ||
        type == DataType::DateTime) {
        const std::optional<std::uint64_t> bits = wireBits(metric.value, type);
        if (!bits || (type == DataType::DateTime && std::holds_alternative<std::int64_t>(metric.value))) {
            throw wrong();
        }
        if (inInt32(type)) {
            out.value_case = SPARKPLUG_B__PAYLOAD__METRIC__VALUE_INT_VALUE;
            out.int_value = static_cast<std::uint32_t>(*bits);
        } else {
            out.value_case = SPARKPLUG_B__PAYLOAD__METRIC__VALUE_LONG_VALUE;
            out.long_value = *bits;
        }
    } else if (type == DataType::Float || type == DataType::Double) {
        const auto* d = std::get_if<double>(&metric.value);
        if (d == nullptr) {
            throw wrong();
        }
        if (type == DataType::Float) {
            out.value_case = SPARKPLUG_B__PAYLOAD__METRIC__VALUE_FLOAT_VALUE;
            out.float_value = static_cast<float>(*d);
        } else {
            out.value_case = SPARKPLUG_B__PAYLOAD__METRIC__VALUE_DOUBLE_VALUE;
            out.double_value = *d;
        }
    } else if (type == DataType::Boolean) {
        const auto* b = std::get_if<bool>(&metric.value);
        if (b == nullptr) {
            throw wrong();
        }
        out.value_case = SPARKPLUG_B__PAYLOAD__METRIC__VALUE_BOOLEAN_VALUE;
        out.boolean_value = *b;
    } else {
        const auto* text = std::get_if<std::string>(&metric.value);
        if (text == nullptr) {
            throw wrong();
        }
        out.value_case = SPARKPLUG_B__PAYLOAD__METRIC__VALUE_STRING_VALUE;
        out.string_value = const_cast<char*>(text->c_str()); // read, never written, by the packer
    }
}

// The value `in` carries as its type says, or why it cannot be taken.
std::optional<Value> valueOf(const CMetric& in, std::optional<DataType> type, std::string& why) {
    if (in.has_is_null && in.is_null) {
        return Value{};
    }
    switch (in.value_case) {
    case SPARKPLUG_B__PAYLOAD__METRIC__VALUE__NOT_SET:
        return Value{};
    case SPARKPLUG_B__PAYLOAD__METRIC__VALUE_INT_VALUE: {
        if (type && !inInt32(*type) && *type != DataType::UInt32) {
            break;
        }
        if (type && isSigned(*type)) {
            // Sign-extended from the type's own width.
            const int bits = bitsOf(*type);
            const std::uint32_t raw = in.int_value;
            const std::uint32_t mask = bits == 32 ? 0xFFFFFFFFu : (1u << bits) - 1;
            std::int64_t v = static_cast<std::int64_t>(raw & mask);
            if (v >= (std::int64_t{1} << (bits - 1))) {
                v -= std::int64_t{1} << bits;
            }
            return Value{v};
        }
        if (type && bitsOf(*type) < 32 && in.int_value >= (1u << bitsOf(*type))) {
            why = "an unsigned value out of its type's range";
            return std::nullopt;
        }
        return Value{std::uint64_t{in.int_value}};
    }
    case SPARKPLUG_B__PAYLOAD__METRIC__VALUE_LONG_VALUE:
        // Some hosts send every whole number here, whatever its type.
        if (type && isSigned(*type)) {
            return Value{static_cast<std::int64_t>(in.long_value)};
        }
        if (type && !(inInt32(*type) || *type == DataType::UInt32 || *type == DataType::UInt64 ||
                      *type == DataType::DateTime)) {
            break;
        }
        if (type && bitsOf(*type) < 64 && (in.long_value >> bitsOf(*type)) != 0) {
            why = "an unsigned value out of its type's range";
            return std::nullopt;
        }
        return Value{in.long_value};
    // Each width in its own field: a double taken as a Float would lose
    // what the host sent.
    case SPARKPLUG_B__PAYLOAD__METRIC__VALUE_FLOAT_VALUE:
        if (type && *type != DataType::Float) {
            break;
        }
        return Value{static_cast<double>(in.float_value)};
    case SPARKPLUG_B__PAYLOAD__METRIC__VALUE_DOUBLE_VALUE:
        if (type && *type != DataType::Double) {
            break;
        }
        return Value{in.double_value};
    case SPARKPLUG_B__PAYLOAD__METRIC__VALUE_BOOLEAN_VALUE:
        if (type && *type != DataType::Boolean) {
            break;
        }
        return Value{in.boolean_value != 0};
    case SPARKPLUG_B__PAYLOAD__METRIC__VALUE_STRING_VALUE:
        if (type && !isText(*type)) {
            break;
        }
        return Value{std::string(in.string_value != nullptr ? in.string_value : "")};
    default:
        why = "a value of a kind this station does not take (bytes)";
        return std::nullopt;
    }
    why = "a value that does not match its datatype " + std::to_string(static_cast<std::uint32_t>(*type));
    return std::nullopt;
}

struct Unpacked {
    void operator()(SparkplugB__Payload* payload) const { sparkplug_b__payload__free_unpacked(payload, nullptr); }
};

} // namespace

std::string encode(const Payload& payload) {
    std::vector<CMetric> metrics(payload.metrics.size());
    std::vector<CMetric*> pointers;
    pointers.reserve(metrics.size());
    for (std::size_t i = 0; i < metrics.size(); ++i) {
        const Metric& metric = payload.metrics[i];
        CMetric& out = metrics[i];
        sparkplug_b__payload__metric__init(&out);
        if (!metric.name.empty()) {
            out.name = const_cast<char*>(metric.name.c_str());
        }
        out.has_alias = metric.alias.has_value();
        out.alias = metric.alias.value_or(0);
        out.has_timestamp = metric.timestamp.has_value();
        out.timestamp = metric.timestamp.value_or(0);
        out.has_datatype = metric.type.has_value();
        out.datatype = static_cast<std::uint32_t>(metric.type.value_or(DataType::UInt64));
        if (metric.historical) {
            out.has_is_historical = true;
            out.is_historical = true;
        }
        setValue(out, metric);
        pointers.push_back(&out);
    }
    SparkplugB__Payload message;
    sparkplug_b__payload__init(&message);
    message.has_timestamp = payload.timestamp.has_value();
    message.timestamp = payload.timestamp.value_or(0);
    message.has_seq = payload.seq.has_value();
    message.seq = payload.seq.value_or(0);
    message.n_metrics = pointers.size();
    message.metrics = pointers.data();
    std::string bytes(sparkplug_b__payload__get_packed_size(&message), '\0');
    sparkplug_b__payload__pack(&message, reinterpret_cast<std::uint8_t*>(bytes.data()));
    return bytes;
}

std::optional<Payload> decode(const void* data, std::size_t size, std::string& why) {
    if (size > kMostPayloadBytes) {
        why = "a payload of " + std::to_string(size) + " bytes (at most " + std::to_string(kMostPayloadBytes) + ")";
        return std::nullopt;
    }
    std::unique_ptr<SparkplugB__Payload, Unpacked> message(
        sparkplug_b__payload__unpack(nullptr, size, static_cast<const std::uint8_t*>(data)));
    if (!message) {
        why = "not a Sparkplug B payload (malformed protobuf)";
        return std::nullopt;
    }
    if (message->n_metrics > kMostMetrics) {
        why = std::to_string(message->n_metrics) + " metrics (at most " + std::to_string(kMostMetrics) + ")";
        return std::nullopt;
    }
    Payload payload;
    if (message->has_timestamp) {
        payload.timestamp = message->timestamp;
    }
    if (message->has_seq) {
        payload.seq = message->seq;
    }
    for (std::size_t i = 0; i < message->n_metrics; ++i) {
        const CMetric& in = *message->metrics[i];
        Metric metric;
        if (in.name != nullptr) {
            metric.name = in.name;
        }
        if (in.has_alias) {
            metric.alias = in.alias;
        }
        if (in.has_timestamp) {
            metric.timestamp = in.timestamp;
        }
        if (in.has_datatype) {
            if (!knownType(in.datatype)) {
                why = "metric " + std::to_string(i) + ": datatype " + std::to_string(in.datatype) +
                      ", which this station does not take";
                return std::nullopt;
            }
            metric.type = static_cast<DataType>(in.datatype);
        }
        metric.historical = in.has_is_historical && in.is_historical;
        std::string problem;
        std::optional<Value> value = valueOf(in, metric.type, problem);
        if (!value) {
            why = "metric " + (metric.name.empty() ? std::to_string(i) : metric.name) + ": " + problem;
            return std::nullopt;
        }
        metric.value = std::move(*value);
        payload.metrics.push_back(std::move(metric));
    }
    return payload;
}

std::optional<std::int64_t> wholeNumber(const Metric& metric) {
    if (const auto* s = std::get_if<std::int64_t>(&metric.value)) {
        return *s;
    }
    if (const auto* u = std::get_if<std::uint64_t>(&metric.value)) {
        if (*u <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
            return static_cast<std::int64_t>(*u);
        }
    }
    return std::nullopt;
}

std::optional<bool> truthValue(const Metric& metric) {
    if (const auto* b = std::get_if<bool>(&metric.value)) {
        return *b;
    }
    return std::nullopt;
}

} // namespace brivant::tool::sparkplug
