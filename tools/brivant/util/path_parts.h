// Paths and topics taken apart: "/api/units/3/channels/1/run" after
// "/api/units/" is {"3", "channels", "1", "run"}.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace brivant::tool {

// The parts of `text` after `head`, split at each '/' (empty parts kept);
// nullopt when `text` does not begin with `head`.
inline std::optional<std::vector<std::string>> partsAfter(const std::string& text,
                                                          const std::string& head) {
    if (text.compare(0, head.size(), head) != 0) {
        return std::nullopt;
    }
    std::vector<std::string> parts;
    std::size_t at = head.size();
    for (std::size_t slash; (slash = text.find('/', at)) != std::string::npos; at = slash + 1) {
        parts.push_back(text.substr(at, slash - at));
    }
    parts.push_back(text.substr(at));
    return parts;
}

} // namespace brivant::tool
