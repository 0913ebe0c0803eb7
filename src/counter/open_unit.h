// What every counter function shares: reaching an open unit and sending it a
// command whose one-byte reply is read and discarded.
#pragma once

#include <cstdint>

#include "brivant.h"
#include "device/device.h"
#include "transport/frame.h"

namespace brivant::counter {

constexpr std::uint8_t kMaxChannel = 2;

// Runs `body(usbHandle)` with the unit held (device::OpenUnit), so the whole
// exchange is one unit's alone. An ID outside the table or a closed slot
// gives RC_NOT_OPEN before anything else is looked at.
template <typename Body>
std::int16_t onOpenUnit(std::int16_t id, Body&& body) {
    device::OpenUnit unit(id);
    if (!unit.isOpen()) {
        return RC_NOT_OPEN;
    }
    return body(unit.usbHandle());
}

// Finishes `frame`, runs the exchange and ignores the reply byte's value:
// a read that succeeds means the unit took the command.
inline std::int16_t sendCommand(platform::UsbHandle usb, transport::Frame& frame) {
    std::size_t length = frame.finish();
    return transport::exchange(usb, frame.data(), length, frame.data(), transport::kAckReplyLength);
}

} // namespace brivant::counter
