// The bytes of the descriptors through which a device declares its
// interface GUID to Windows, as a unit's firmware would send them, for the
// emulated units and the parsers' tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace brivant::test::usb {

using Bytes = std::vector<std::uint8_t>;

constexpr std::uint8_t kMsOs20VendorCode = 0x20;
constexpr std::uint8_t kMsOs10VendorCode = 0x21;

void put16(Bytes& b, unsigned value);
void put32(Bytes& b, unsigned value);
void append(Bytes& b, const Bytes& more);
Bytes utf16(const std::string& text, bool terminated = true);

// An MS OS 2.0 descriptor set: WINUSB compatible ID and a
// DeviceInterfaceGUIDs property holding `guid`, for the whole device or,
// when `functionInterface` is 0 or more, in a function subset.
Bytes msOs20Set(const std::string& guid, int functionInterface = -1);
// A BOS descriptor with the MS OS 2.0 platform capability for such a set.
Bytes bosWithMsOs20(std::size_t setLength);
// String descriptor 0xEE and MS OS 1.0 extended properties with a
// DeviceInterfaceGUID property holding `guid`.
Bytes msOs10String();
Bytes msOs10Properties(const std::string& guid);

} // namespace brivant::test::usb
