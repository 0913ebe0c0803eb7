#include "backend_info.h"

#include <cstdlib>

namespace brivant::tool {

namespace {

std::string variable() {
    const char* value = std::getenv("BRIVANT_BACKEND");
    return value == nullptr ? std::string() : std::string(value);
}

} // namespace

std::string backendName() {
#if defined(_WIN32)
    return "winusb";
#else
    const std::string value = variable();
    if (value.empty() || value == "usb") {
        return "usb";
    }
    return value == "sim" ? "sim" : "none";
#endif
}

std::string backendDescription() {
    const std::string name = backendName();
    if (name == "sim") {
        return "simulated units (BRIVANT_BACKEND=sim)";
    }
    if (name == "none") {
        return "no units (BRIVANT_BACKEND is '" + variable() + "')";
    }
    return name == "usb" ? "real units over USB (libusb)" : "real units over USB (WinUSB)";
}

std::string backendWarning() {
    if (backendName() != "none") {
        return "";
    }
    return "brivant: warning: BRIVANT_BACKEND is '" + variable() +
           "', neither usb nor sim: the library finds no units (--simulate chooses the "
           "simulated ones)";
}

std::string notFoundHint() {
#if defined(_WIN32)
    return "brivant: 'brivant list' shows the units present";
#else
    if (backendName() == "sim") {
        return "brivant: the simulated units are 0, 1 and 5";
    }
    return "brivant: 'brivant list' tells which units are present and why one cannot be opened; "
           "--simulate uses the simulated units 0, 1 and 5";
#endif
}

} // namespace brivant::tool
