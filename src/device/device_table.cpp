#include "device/device_table.h"

#include <string_view>

namespace brivant::device {

DeviceSlot deviceTable[kSlotCount];
std::mutex tableLock;

bool pathHeldOpen(const discovery::Path& path) {
    for (const DeviceSlot& slot : deviceTable) {
        if (slot.isOpen != 0 && std::u16string_view(slot.path) == std::u16string_view(path)) {
            return true;
        }
    }
    return false;
}

OpenUnit::OpenUnit(std::int16_t id) {
    if (!validId(id)) {
        return;
    }
    DeviceSlot& slot = deviceTable[id];
    lock_ = std::unique_lock<std::mutex>(slot.lock);
    open_ = slot.isOpen != 0;
    usb_ = slot.usbHandle;
}

} // namespace brivant::device
