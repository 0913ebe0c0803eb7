#include "device/device_table.h"

namespace brivant::device {

DeviceSlot deviceTable[kSlotCount];
std::mutex tableLock;

bool indexHeldOpen(std::uint32_t index) {
    for (const DeviceSlot& slot : deviceTable) {
        if (slot.isOpen != 0 && slot.enumIndex == index) {
            return true;
        }
    }
    return false;
}

} // namespace brivant::device
