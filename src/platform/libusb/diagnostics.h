// What the USB backend sees, for a person asking why no unit is found: how
// many USB devices there are, which of them are units and by which sign,
// which could not be opened and why. For the brivant tool's diagnostics
// (`brivant list`); built as its own static library,
// brivant_usb_diagnostics, and not part of libbrivant.so, which exports
// only the 13 functions.
//
//   #include "platform/libusb/diagnostics.h"
//   brivant::usb::Survey survey = brivant::usb::surveyUsb();
//   for (const brivant::usb::SurveyedUsbDevice& d : survey.devices) ...
//
// surveyUsb() judges devices exactly as the library does (the same code,
// the same BRIVANT_USB_IDS), in a libusb context of its own. It sends no
// frame to any unit: a unit is opened and its interface claimed and released
// again, to find out whether the library could open it. A unit this process
// already holds open through the library shows as busy. The survey takes
// about as long as one Brivant_Device_Open: each device that must be asked
// for its MS OS descriptors is asked once, in a few control requests.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace brivant::usb {

// Why a device is a unit, or that it is not.
enum class UnitSign {
    NotAUnit,   // judged, and not a unit (see `reason`)
    Unknown,    // it could not be opened to be asked (see `openProblem`)
    MsOs20,     // its MS OS 2.0 descriptor set declares the unit interface GUID
    MsOs10,     // its MS OS 1.0 extended properties declare it
    UsbIds,     // its VID:PID is listed in BRIVANT_USB_IDS
};

// Why a device could not be opened (a unit, or a device that had to be
// opened to be asked).
enum class OpenProblem {
    None,
    PermissionDenied, // its device node is not ours to open: see the udev rule in the README
    Busy,             // its interface is claimed by another process (or by this one)
    Gone,             // it was unplugged while being looked at
    Other,            // any other failure; `openError` names it
};

struct SurveyedUsbDevice {
    std::uint8_t bus = 0;
    std::string ports;             // port numbers from the root hub, "1.4"; empty for a root hub
    std::uint8_t address = 0;
    std::uint16_t vendorId = 0;
    std::uint16_t productId = 0;
    UnitSign sign = UnitSign::NotAUnit;
    std::string reason;            // why it is or is not a unit, in words
    std::string path;              // a unit's device path, e.g. "usb:1-1.4:1.0"
    int interfaceNumber = -1;      // a unit's interface
    OpenProblem openProblem = OpenProblem::None;
    std::string openError;         // libusb's name for the failure, e.g. "LIBUSB_ERROR_ACCESS"
};

struct Survey {
    // What BRIVANT_BACKEND selects in the library: "usb" (also when unset),
    // "sim", or "none" for any other value, which finds no units at all.
    std::string backend;
    std::string backendValue;      // BRIVANT_BACKEND as set; empty when unset

    bool usbAvailable = false;     // libusb started and listed the devices
    std::string usbError;          // why not, when it did not

    int devicesConsidered = 0;     // every USB device libusb lists, hubs included
    std::vector<SurveyedUsbDevice> devices; // all of them, in libusb's order
    int units = 0;                 // those that are units
    int unitsOpenable = 0;         // units the library could open now

    std::vector<std::string> rejectedUsbIds; // BRIVANT_USB_IDS entries that are not VVVV:PPPP
};

Survey surveyUsb();

// One device, by its bus number and address, judged as the library judges
// it, and nothing else asked or opened: what the udev rule asks when a USB
// device appears (`brivant udev-probe`). `found` is false when no such
// device is present; `reason` says why it is or is not a unit.
struct DeviceJudgement {
    bool found = false;
    UnitSign sign = UnitSign::NotAUnit;
    std::string reason;
    std::string usbError; // libusb could not start or list the devices
};
DeviceJudgement judgeUsbDevice(std::uint8_t bus, std::uint8_t address);

// Short words for people: "MS OS 2.0 descriptors", "permission denied", ...
const char* describe(UnitSign sign);
const char* describe(OpenProblem problem);

} // namespace brivant::usb
