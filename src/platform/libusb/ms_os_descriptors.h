// Reading the Microsoft OS descriptors through which a driverless WinUSB
// device tells Windows its device interface class GUID, as Windows reads
// them: MS OS 2.0 through a platform capability of the BOS descriptor and a
// descriptor set fetched with the vendor code it names; MS OS 1.0 through
// string descriptor 0xEE and the extended properties fetched with the
// vendor code found there. These functions only parse bytes a device sent:
// every length in them is checked against what was received.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

namespace brivant::usb {

// The interface class under which units register on Windows.
constexpr const char* kUnitInterfaceGuid = "{85B54C78-94CC-4866-A4BD-464E49DFC5E4}";

// Descriptor set information of an MS OS 2.0 platform capability.
struct MsOs20SetInfo {
    std::uint8_t vendorCode = 0;   // bRequest of the request that fetches the set
    std::uint16_t totalLength = 0; // wLength of that request
};

// Scans a BOS descriptor (its whole wTotalLength) for the MS OS 2.0
// platform capability, and picks the descriptor set meant for the newest
// Windows version it lists.
std::optional<MsOs20SetInfo> findMsOs20Set(const std::uint8_t* bos, std::size_t length);

// Where a descriptor set or extended properties declare the unit GUID.
struct GuidDeclaration {
    static constexpr int kWholeDevice = -1;
    int interfaceNumber = kWholeDevice; // the first interface of the function declaring it
};

// Looks through an MS OS 2.0 descriptor set for a registry property
// DeviceInterfaceGUID or DeviceInterfaceGUIDs that holds the unit GUID.
// A property outside any function subset applies to the whole device.
std::optional<GuidDeclaration> msOs20DeclaresUnit(const std::uint8_t* set, std::size_t length);

// The vendor code of MS OS 1.0, from string descriptor 0xEE ("MSFT100").
std::optional<std::uint8_t> msOs10VendorCode(const std::uint8_t* string, std::size_t length);

// True when an MS OS 1.0 extended properties descriptor holds a property
// DeviceInterfaceGUID or DeviceInterfaceGUIDs with the unit GUID.
bool msOs10DeclaresUnit(const std::uint8_t* properties, std::size_t length);

// Requests that fetch the descriptors above. MS OS 2.0: the set with
// wIndex 7 from the device. MS OS 1.0: the extended properties with wIndex 5
// from one interface (its number in the high byte of wValue, page 0).
constexpr std::uint16_t kMsOs20SetIndex = 7;
constexpr std::uint16_t kMsOs10PropertiesIndex = 5;
constexpr std::uint8_t kMsOs10StringIndex = 0xEE;

} // namespace brivant::usb
