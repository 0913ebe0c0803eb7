// Finding units: they are addressed by the ID they report, not by bus
// position. Every operation here enumerates afresh and releases everything it
// acquired before it returns. Discovery knows nothing of which units this
// process holds open: that is the device table's business.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/platform.h"

namespace brivant::discovery {

constexpr std::size_t kMaxPath = 260;         // characters, without the terminator
constexpr std::uint32_t kMaxCounted = 20;     // countInterfaces stops here
constexpr unsigned kNoUnitId = 16;            // no valid ID equals it

using Path = char16_t[kMaxPath + 1];

// Present interfaces of the unit class, at most 20.
std::uint32_t countInterfaces();

// Copies the device path of the interface at `index` into `path` (261
// characters with the terminator). False when it cannot be had or is longer
// than 260 characters.
bool getInterfacePath(std::uint32_t index, Path& path);

// Asks the unit at `path` for its ID with command K on a temporary
// connection, released before this returns. Returns the byte it reported
// (0..255), or kNoUnitId when the unit cannot be opened or gives no answer.
unsigned queryUnitId(const Path& path);

} // namespace brivant::discovery
