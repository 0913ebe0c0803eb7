// What `brivant list` tells about the USB backend on Linux: how many USB
// devices it looked at, which are units and by which sign, and which cannot
// be opened, with what a person can do about it.
#pragma once

#include <string>

#include "platform/libusb/diagnostics.h"

namespace brivant::tool {

// The report for `survey`, a line each, for standard error. With
// `nothingFound` it tells the whole picture; otherwise only the units that
// cannot be opened (empty when there are none).
std::string usbReport(const usb::Survey& survey, bool nothingFound);

} // namespace brivant::tool
