#include "device/device_table.h"

#include <string_view>

namespace brivant::device {

DeviceSlot deviceTable[kSlotCount];
std::mutex tableLock;

bool pathHeldOpen(const char16_t* path) {
    for (const DeviceSlot& slot : deviceTable) {
        if (slot.isOpen != 0 && std::u16string_view(slot.path) == std::u16string_view(path)) {
            return true;
        }
    }
    return false;
}

} // namespace brivant::device
