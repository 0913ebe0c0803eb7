// BRIVANT_USB_IDS: USB devices taken as units by their vendor and product
// IDs, for units whose firmware declares no interface GUID. The value is a
// comma-separated list of VVVV:PPPP, each ID one to four hexadecimal digits
// (e.g. "1234:00a1,1234:00a2"); spaces around an entry are ignored. An
// entry that does not read this way is ignored, and listed as rejected.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace brivant::usb {

constexpr const char* kUsbIdsVariable = "BRIVANT_USB_IDS";

struct UsbId {
    std::uint16_t vendor = 0;
    std::uint16_t product = 0;
    bool operator==(const UsbId& other) const {
        return vendor == other.vendor && product == other.product;
    }
};

struct UsbIdList {
    std::vector<UsbId> ids;
    std::vector<std::string> rejected; // entries that are not VVVV:PPPP

    bool lists(UsbId id) const;
};

UsbIdList parseUsbIds(const char* text);

// The list BRIVANT_USB_IDS gives now.
UsbIdList usbIdsFromEnvironment();

} // namespace brivant::usb
