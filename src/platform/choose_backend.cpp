// The shared library's choice of backend, made once per process at its first
// platform call, from BRIVANT_BACKEND: "usb" (also when unset or empty) for
// real units over libusb, "sim" for the simulated units. Any other value
// gives a backend with no units at all, so that a misspelt choice neither
// drives hardware nor passes simulated units off as real ones: every open
// then answers RC_ID_NOT_FOUND, and nothing else is touched.
#include <cstdlib>

#include "platform/backend.h"

namespace brivant::platform {

std::atomic<const Backend*> activeBackend{nullptr};

namespace {

const Backend kNoUnits = {
    "none",
    [] { return invalidHandle(); },
    [](DevInfoSet, std::uint32_t, InterfaceData*) { return false; },
    [](DevInfoSet, InterfaceData*, void*, std::uint32_t, std::uint32_t*) { return false; },
    [](DevInfoSet) {},
    [] { return std::uint32_t{0}; },
    [](std::size_t) -> void* { return nullptr; },
    [](void*) {},
    [](const char16_t*) { return invalidHandle(); },
    [](Handle) {},
    []() -> Handle { return nullptr; },
    [](Handle, UsbHandle*) { return false; },
    [](UsbHandle) {},
    [](UsbHandle, const std::uint8_t*, std::uint32_t, std::uint32_t* transferred) {
        *transferred = 0;
        return false;
    },
    [](UsbHandle, std::uint8_t*, std::uint32_t, std::uint32_t* transferred) {
        *transferred = 0;
        return false;
    },
};

} // namespace

const Backend& chooseBackend() {
    const Backend* chosen = &kNoUnits;
    switch (backendChoice(std::getenv(kBackendVariable))) {
    case BackendChoice::Usb:
        chosen = &usb::kBackend;
        break;
    case BackendChoice::Sim:
        chosen = &sim::kBackend;
        break;
    case BackendChoice::Unknown:
        break;
    }
    const Backend* expected = nullptr;
    activeBackend.compare_exchange_strong(expected, chosen, std::memory_order_acq_rel);
    return *activeBackend.load(std::memory_order_acquire);
}

} // namespace brivant::platform
