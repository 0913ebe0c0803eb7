// Emulated USB units for the libusb backend's tests, under umockdev: each
// unit is a device in umockdev's sysfs and /dev, and its usbfs requests
// (claims, control and bulk URBs) are answered here as usbfs would: per
// open file, which holds its own URBs, and one file at a time may claim the
// interface. The frames written to
// it are answered by the simulation's unit model, so the bytes on the wire
// are the real ones. The process must run with umockdev's preload library
// (the test binary links it), and the bus must exist before libusb starts.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/sim/unit_model.h"

namespace brivant::test::usb {

// How a device says it is a unit: the MS OS descriptors Windows reads, or
// nothing (then only BRIVANT_USB_IDS can make it one).
enum class Sign { MsOs20, MsOs10, None };

constexpr const char* kUnitGuid = "{85B54C78-94CC-4866-A4BD-464E49DFC5E4}";

struct DeviceSetup {
    std::uint16_t vendor = 0x1234;
    std::uint16_t product = 0x0001;
    Sign sign = Sign::MsOs20;
    std::string guid = kUnitGuid;  // what its MS OS descriptors declare
    bool unitEndpoints = true;     // its interface has bulk endpoints 0x01 and 0x82
    int failedControls = 0;        // its first control requests that fail on the bus
    sim::UnitAnswers answers;      // how it answers frames
};

// A unit answering K with `id`, with its count reply marked by `id`.
DeviceSetup unitWithId(int id, Sign sign = Sign::MsOs20);

// One control request as the device received it.
struct ControlRequest {
    std::uint8_t requestType;
    std::uint8_t request;
    std::uint16_t value;
    std::uint16_t index;
    std::uint16_t length;
};

// What a device has seen since it was first plugged in.
struct Traffic {
    int claims = 0;                                  // successful interface claims
    std::vector<std::vector<std::uint8_t>> frames;   // bulk out transfers, as sent
    int bulkReads = 0;                               // bulk in transfers submitted
    std::vector<ControlRequest> controls;
    std::vector<std::string> unexpected;             // requests a unit never gets from the library
};

class EmulatedBus {
public:
    EmulatedBus();
    ~EmulatedBus();
    EmulatedBus(const EmulatedBus&) = delete;
    EmulatedBus& operator=(const EmulatedBus&) = delete;

    // Plugs a device into the next free port of bus 1; returns its number.
    int plug(const DeviceSetup& setup);
    // Unplugs it: transfers waiting fail as the kernel fails them, every
    // later request on an open handle fails with ENODEV, and libusb hears
    // the removal.
    void unplug(int device);
    // Plugs it back into the same port, at a new address.
    void replug(int device);
    void unplugAll();
    // Unplugs every device and frees their ports for the next test.
    void clear();

    // Another process holds the interface claimed: claims fail with EBUSY.
    void setClaimedElsewhere(int device, bool claimed);
    // While held (until released or unplugged), the device keeps its
    // replies back and reads wait.
    void holdReplies(int device, bool held);
    // Waits (bounded, to catch a hang) until a read is waiting on the
    // device; false if none came.
    bool waitForWaitingRead(int device);

    Traffic traffic(int device) const;
    // The device node's file in umockdev's tree.
    std::string nodeFile(int device) const;
    // Its address on bus 1 now (udev's DEVNUM); 0 while unplugged.
    int address(int device) const;

private:
    struct State;
    std::unique_ptr<State> state_;
};

} // namespace brivant::test::usb
