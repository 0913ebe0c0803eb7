// Brivant_Device_Open and Brivant_Device_Close.
#include <algorithm>
#include <iterator>

#include "brivant.h"
#include "device/device_table.h"
#include "discovery/discovery.h"

using namespace brivant;

namespace {

// Finds the first present unit, in enumeration order, that reports `id`;
// `path` receives its device path. A unit held open here is never opened a
// second time: it is recognised by its path, not by the position it was
// found at, since a unit unplugged or replugged since then has moved the
// others in the enumeration. Call with the table lock held.
bool findUnit(std::int16_t id, std::uint32_t count, discovery::Path& path) {
    for (std::uint32_t i = 0; i < count; ++i) {
        if (discovery::getInterfacePath(i, path) && !device::pathHeldOpen(path) &&
            discovery::queryUnitId(path) == static_cast<std::uint16_t>(id)) {
            return true;
        }
    }
    return false;
}

} // namespace

extern "C" BRIVANT_API int16_t BRIVANT_CALL Brivant_Device_Open(int16_t id) {
    if (!device::validId(id)) {
        return RC_BAD_ID;
    }
    std::lock_guard<std::mutex> tableGuard(device::tableLock);
    device::DeviceSlot& slot = device::deviceTable[id];
    if (slot.isOpen != 0) {
        return RC_ALREADY_OPEN;
    }
    std::uint32_t count = discovery::countInterfaces();
    if (count > device::kSlotCount) {
        return RC_TOO_MANY_UNITS;
    }
    discovery::Path path;
    if (!findUnit(id, count, path)) {
        return RC_ID_NOT_FOUND;
    }

    platform::Handle mutex = platform::createMutex();
    if (mutex == nullptr) {
        return RC_OPEN_FAILED;
    }
    // The unit is opened by the path it answered on, not by its position:
    // a unit unplugged meanwhile would have moved another into that position.
    platform::Handle file = platform::createFile(path);
    if (file == platform::invalidHandle()) {
        platform::closeHandle(mutex);
        return RC_OPEN_FAILED;
    }
    platform::UsbHandle usb = nullptr;
    if (!platform::usbInitialize(file, &usb)) {
        platform::closeHandle(file);
        platform::closeHandle(mutex);
        return RC_OPEN_FAILED;
    }

    std::lock_guard<std::mutex> slotGuard(slot.lock);
    slot.mutexHandle = mutex;
    slot.fileHandle = file;
    slot.usbHandle = usb;
    std::copy(std::begin(path), std::end(path), std::begin(slot.path));
    slot.isOpen = 1;
    return RC_OK;
}

extern "C" BRIVANT_API void BRIVANT_CALL Brivant_Device_Close(int16_t id) {
    if (!device::validId(id)) {
        return;
    }
    std::lock_guard<std::mutex> tableGuard(device::tableLock);
    device::DeviceSlot& slot = device::deviceTable[id];
    std::lock_guard<std::mutex> slotGuard(slot.lock); // waits for an exchange in flight
    if (slot.isOpen == 0) {
        return;
    }
    platform::closeHandle(slot.mutexHandle);
    platform::usbFree(slot.usbHandle);
    platform::closeHandle(slot.fileHandle);
    slot.usbHandle = nullptr;
    slot.fileHandle = nullptr;
    slot.isOpen = 0;
}
