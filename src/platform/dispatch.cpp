// The platform layer's functions on Linux: each goes to the backend chosen
// for this process (backend.h).
#include "platform/backend.h"

namespace brivant::platform {

namespace {

const Backend& active() {
    const Backend* chosen = activeBackend.load(std::memory_order_acquire);
    return chosen != nullptr ? *chosen : chooseBackend();
}

} // namespace

DevInfoSet getClassDevs() { return active().getClassDevs(); }

bool enumInterface(DevInfoSet set, std::uint32_t index, InterfaceData* data) {
    return active().enumInterface(set, index, data);
}

bool getInterfaceDetail(DevInfoSet set, InterfaceData* data, void* detail, std::uint32_t detailSize,
                        std::uint32_t* requiredSize) {
    return active().getInterfaceDetail(set, data, detail, detailSize, requiredSize);
}

void destroyDevInfo(DevInfoSet set) { active().destroyDevInfo(set); }

std::uint32_t lastError() { return active().lastError(); }

void* localAlloc(std::size_t size) { return active().localAlloc(size); }

void localFree(void* block) { active().localFree(block); }

Handle createFile(const char16_t* path) { return active().createFile(path); }

void closeHandle(Handle handle) { active().closeHandle(handle); }

Handle createMutex() { return active().createMutex(); }

bool usbInitialize(Handle file, UsbHandle* usb) { return active().usbInitialize(file, usb); }

void usbFree(UsbHandle usb) { active().usbFree(usb); }

bool writePipe(UsbHandle usb, const std::uint8_t* buffer, std::uint32_t length,
               std::uint32_t* transferred) {
    return active().writePipe(usb, buffer, length, transferred);
}

bool readPipe(UsbHandle usb, std::uint8_t* buffer, std::uint32_t length,
              std::uint32_t* transferred) {
    return active().readPipe(usb, buffer, length, transferred);
}

} // namespace brivant::platform
