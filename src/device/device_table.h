// The per-process table of open units, one slot per unit ID 0..15: the
// device layer's own state, read and written by open and close. Other layers
// reach an open unit only through OpenUnit (device.h).
//
// Locking: `tableLock` serialises open and close against each other; every
// write to a slot happens under both `tableLock` and the slot's own `lock`.
// A counter function holds only its slot's `lock` for the whole exchange.
// Open reads slots under `tableLock` alone, which is enough since every
// writer holds it.
#pragma once

#include <cstdint>
#include <mutex>

#include "device/device.h"
#include "discovery/discovery.h"
#include "platform/platform.h"

namespace brivant::device {

struct DeviceSlot {
    std::uint32_t isOpen = 0;
    platform::Handle fileHandle = nullptr;
    platform::UsbHandle usbHandle = nullptr;
    platform::Handle mutexHandle = nullptr;
    // The unit's device path: what tells it apart once units have been
    // plugged or unplugged and the enumeration positions have moved.
    discovery::Path path = {};
    std::mutex lock;
};

extern DeviceSlot deviceTable[kSlotCount];
extern std::mutex tableLock;

// True when an open slot holds the unit with this device path.
// Call with `tableLock` held.
bool pathHeldOpen(const discovery::Path& path);

} // namespace brivant::device
