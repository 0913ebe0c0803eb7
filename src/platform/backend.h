// Where the platform layer's functions go on Linux: one backend, chosen once
// per process, behind a table of the platform operations. Each call of
// platform.h costs one load and one indirect call through it (dispatch.cpp).
//
// The shared library chooses at its first platform call from BRIVANT_BACKEND
// (choose_backend.cpp); the tests' library is bound to the simulation from
// the start (sim/sim_always.cpp). Windows has only its own layer and no
// table.
#pragma once

#include <atomic>
#include <cstring>

#include "platform/platform.h"

namespace brivant::platform {

struct Backend {
    const char* name;
    DevInfoSet (*getClassDevs)();
    bool (*enumInterface)(DevInfoSet set, std::uint32_t index, InterfaceData* data);
    bool (*getInterfaceDetail)(DevInfoSet set, InterfaceData* data, void* detail,
                               std::uint32_t detailSize, std::uint32_t* requiredSize);
    void (*destroyDevInfo)(DevInfoSet set);
    std::uint32_t (*lastError)();
    void* (*localAlloc)(std::size_t size);
    void (*localFree)(void* block);
    Handle (*createFile)(const char16_t* path);
    void (*closeHandle)(Handle handle);
    Handle (*createMutex)();
    bool (*usbInitialize)(Handle file, UsbHandle* usb);
    void (*usbFree)(UsbHandle usb);
    bool (*writePipe)(UsbHandle usb, const std::uint8_t* buffer, std::uint32_t length,
                      std::uint32_t* transferred);
    bool (*readPipe)(UsbHandle usb, std::uint8_t* buffer, std::uint32_t length,
                     std::uint32_t* transferred);
};

// The backend in use; null until the first platform call has chosen one.
extern std::atomic<const Backend*> activeBackend;

// Chooses the backend, stores it in activeBackend and returns it. Called by
// the first platform call; calls racing it make the same choice.
const Backend& chooseBackend();

// What a value of BRIVANT_BACKEND asks for. Unset or empty asks for the
// default, the USB backend.
enum class BackendChoice { Usb, Sim, Unknown };
inline BackendChoice backendChoice(const char* value) {
    if (value == nullptr || value[0] == '\0' || std::strcmp(value, "usb") == 0) {
        return BackendChoice::Usb;
    }
    return std::strcmp(value, "sim") == 0 ? BackendChoice::Sim : BackendChoice::Unknown;
}
constexpr const char* kBackendVariable = "BRIVANT_BACKEND";

} // namespace brivant::platform

// The backends' tables.
namespace brivant::sim {
extern const platform::Backend kBackend; // the simulated units (sim/sim_platform.cpp)
}
namespace brivant::usb {
extern const platform::Backend kBackend; // real units over libusb (libusb/libusb_platform.cpp)
}
