// Times as every output of the tool writes them: UTC, to the millisecond.
#pragma once

#include <chrono>
#include <string>

namespace brivant::tool {

// "2026-12-08T19:43:12.345Z"
std::string isoTimeUtc(std::chrono::system_clock::time_point time);

} // namespace brivant::tool
