// JSON as text, whatever bytes it holds. A message that quotes what a client
// sent (a topic, a body that is not UTF-8) would make nlohmann's dump()
// throw; here such bytes become U+FFFD instead, so an answer or a log line
// never ends the thread that writes it.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

namespace brivant::tool {

template <typename Json>
std::string jsonText(const Json& value) {
    return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

} // namespace brivant::tool
