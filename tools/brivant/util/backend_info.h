// Which units the tool is driving: the Linux library reads BRIVANT_BACKEND at
// its first open, and the tool reads it the same way to say so to the user.
#pragma once

#include <string>

namespace brivant::tool {

// "sim" (the simulated units), "usb" (real units over libusb), "winusb"
// (the Windows DLL), or "none" for a value the library takes as no units.
std::string backendName();

// A word for people: "simulated units", "real units over USB", ...
std::string backendDescription();

// One line for standard error when BRIVANT_BACKEND names no backend; empty
// otherwise.
std::string backendWarning();

// Where to look when a unit is not found: `brivant list`, and --simulate.
std::string notFoundHint();

} // namespace brivant::tool
