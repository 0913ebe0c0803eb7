// What the counter functions see of the device table: whether an ID names
// a slot, and the open unit behind it, held for the length of one exchange.
#pragma once

#include <cstdint>
#include <mutex>

#include "platform/platform.h"

namespace brivant::device {

constexpr int kSlotCount = 16;

// True when `id` indexes a slot of the table.
inline bool validId(std::int16_t id) { return static_cast<std::uint16_t>(id) < kSlotCount; }

// The unit open under an ID, with its slot's lock held for as long as this
// object lives: calls on one unit never interleave, and a close waits until
// the exchange in hand has ended. Calls on different units never wait for
// each other. An ID outside the table or a closed slot gives no unit.
class OpenUnit {
public:
    explicit OpenUnit(std::int16_t id);
    OpenUnit(const OpenUnit&) = delete;
    OpenUnit& operator=(const OpenUnit&) = delete;

    bool isOpen() const { return open_; }
    platform::UsbHandle usbHandle() const { return usb_; }

private:
    std::unique_lock<std::mutex> lock_;
    bool open_ = false;
    platform::UsbHandle usb_ = nullptr;
};

} // namespace brivant::device
