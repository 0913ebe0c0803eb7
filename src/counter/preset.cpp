// Preset data: two 32-bit words per channel, each as eight hex characters.
#include "counter/open_unit.h"

using namespace brivant;

extern "C" BRIVANT_API int16_t BRIVANT_CALL Brivant_WritePresetData(int16_t id, uint8_t channel,
                                                                    const uint32_t* data) {
    return counter::onOpenUnit(id, [&](platform::UsbHandle usb) -> std::int16_t {
        if (channel > counter::kMaxChannel || data == nullptr) {
            return RC_BAD_PARAMETER;
        }
        transport::Frame frame('G');
        frame.digit(channel).hex8(data[0]).hex8(data[1]);
        return counter::sendCommand(usb, frame);
    });
}
