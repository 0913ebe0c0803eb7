// A Sparkplug B payload as anyone allowed to publish on the station's
// command topics may send it: decoded or refused with a reason, never a
// crash; and what is decoded encodes again (when each value has its type)
// into bytes that decode to the same.
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>

#include "export/sparkplug/sparkplug_payload.h"
#include "fuzz_require.h"

using namespace brivant::tool;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string why;
    const std::optional<sparkplug::Payload> payload = sparkplug::decode(data, size, why);
    if (!payload) {
        require(!why.empty(), "a refused payload has a reason");
        return 0;
    }
    require(payload->metrics.size() <= sparkplug::kMostMetrics, "no more metrics than the bound");
    std::string bytes;
    try {
        bytes = sparkplug::encode(*payload);
    } catch (const std::invalid_argument&) {
        return 0; // a value with no type, which a host may send and a station never does
    }
    const std::optional<sparkplug::Payload> again = sparkplug::decode(bytes.data(), bytes.size(), why);
    require(again.has_value(), "what the station encodes decodes");
    require(again->seq == payload->seq && again->timestamp == payload->timestamp, "seq and timestamp kept");
    require(again->metrics.size() == payload->metrics.size(), "every metric kept");
    for (std::size_t i = 0; i < payload->metrics.size(); ++i) {
        const sparkplug::Metric& a = payload->metrics[i];
        const sparkplug::Metric& b = again->metrics[i];
        require(a.name == b.name && a.alias == b.alias && a.type == b.type && a.timestamp == b.timestamp &&
                    a.historical == b.historical,
                "a metric's fields kept");
        // A float's NaN is not equal to itself; everything else compares.
        const auto* da = std::get_if<double>(&a.value);
        const auto* db = std::get_if<double>(&b.value);
        if (da != nullptr && db != nullptr && *da != *da) {
            require(*db != *db, "NaN stays NaN");
        } else {
            require(a.value == b.value, "a metric's value kept");
        }
    }
    return 0;
}
