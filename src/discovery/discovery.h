// Finding units: they are addressed by the ID they report, not by bus
// position. Every operation here enumerates afresh and releases everything it
// acquired before it returns.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/platform.h"

namespace brivant::discovery {

constexpr std::size_t kMaxPath = 260;         // characters, without the terminator
constexpr std::uint32_t kMaxCounted = 20;     // countInterfaces stops here
constexpr unsigned kNoUnitId = 16;            // no valid ID equals it

// Present interfaces of the unit class, at most 20.
std::uint32_t countInterfaces();

// Copies the device path of the interface at `index` into `path` (261
// characters with the terminator). False when it cannot be had or is longer
// than 260 characters.
bool getInterfacePath(std::uint32_t index, char16_t (&path)[kMaxPath + 1]);

// Asks the unit at `index` for its ID with command K on a temporary
// connection. Returns the byte it reported (0..255), or kNoUnitId when the
// unit there is held open by this process (known by its path), cannot be
// opened, or gives no answer. `path` receives the device path asked, so that
// the unit that answered can be opened again by it even if the enumeration
// has moved since. Call with the device table lock held.
unsigned queryUnitId(std::uint32_t index, char16_t (&path)[kMaxPath + 1]);
unsigned queryUnitId(std::uint32_t index);

} // namespace brivant::discovery
