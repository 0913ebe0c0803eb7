// The per-process table of open units: one slot per unit ID 0..15.
//
// Locking: `tableLock` serialises open and close against each other; every
// write to a slot happens under both `tableLock` and the slot's own `lock`.
// A counter function holds only its slot's `lock` for the whole exchange, so
// calls on one unit never interleave and a close waits for an exchange in
// flight, while calls on different units never wait for each other. The ID
// query of an open reads slots under `tableLock` alone, which is enough since
// every writer holds it.
#pragma once

#include <cstdint>
#include <mutex>

#include "discovery/discovery.h"
#include "platform/platform.h"

namespace brivant::device {

constexpr int kSlotCount = 16;

struct DeviceSlot {
    std::uint32_t isOpen = 0;
    platform::Handle fileHandle = nullptr;
    platform::UsbHandle usbHandle = nullptr;
    platform::Handle mutexHandle = nullptr;
    // The unit's device path: what tells it apart once units have been
    // plugged or unplugged and the enumeration positions have moved.
    char16_t path[discovery::kMaxPath + 1] = {};
    std::mutex lock;
};

extern DeviceSlot deviceTable[kSlotCount];
extern std::mutex tableLock;

// True when `id` indexes a slot of the table.
inline bool validId(std::int16_t id) { return static_cast<std::uint16_t>(id) < kSlotCount; }

// True when an open slot holds the unit with this device path.
// Call with `tableLock` held.
bool pathHeldOpen(const char16_t* path);

} // namespace brivant::device
