// The eight channel settings and actions: one ASCII digit per argument.
#include "counter/open_unit.h"

using namespace brivant;

namespace {

struct Arg {
    std::uint8_t value;
    std::uint8_t bound;
};

// Checks each argument against its bound in order, then sends
// STX, `letter`, the digits, ETX.
template <std::size_t N>
std::int16_t sendSetting(std::int16_t id, char letter, const Arg (&args)[N]) {
    return counter::onOpenUnit(id, [&](platform::UsbHandle usb) -> std::int16_t {
        for (const Arg& arg : args) {
            if (arg.value > arg.bound) {
                return RC_BAD_PARAMETER;
            }
        }
        transport::Frame frame(letter);
        for (const Arg& arg : args) {
            frame.digit(arg.value);
        }
        return counter::sendCommand(usb, frame);
    });
}

constexpr std::uint8_t kCh = counter::kMaxChannel;

} // namespace

extern "C" {

BRIVANT_API int16_t BRIVANT_CALL Brivant_InputInverter(int16_t id, uint8_t channel, uint8_t s1,
                                                       uint8_t s2, uint8_t s3) {
    return sendSetting(id, 'A', {{channel, kCh}, {s1, 1}, {s2, 1}, {s3, 1}});
}

BRIVANT_API int16_t BRIVANT_CALL Brivant_OutputInverter(int16_t id, uint8_t channel, uint8_t s1,
                                                        uint8_t s2) {
    return sendSetting(id, 'B', {{channel, kCh}, {s1, 1}, {s2, 1}});
}

BRIVANT_API int16_t BRIVANT_CALL Brivant_OutputMode(int16_t id, uint8_t channel, uint8_t s1,
                                                    uint8_t s2) {
    return sendSetting(id, 'C', {{channel, kCh}, {s1, 1}, {s2, 1}});
}

BRIVANT_API int16_t BRIVANT_CALL Brivant_SelClearEvent(int16_t id, uint8_t channel,
                                                       uint8_t selection) {
    return sendSetting(id, 'D', {{channel, kCh}, {selection, 2}});
}

BRIVANT_API int16_t BRIVANT_CALL Brivant_SelMultiplier(int16_t id, uint8_t channel,
                                                       uint8_t selection) {
    return sendSetting(id, 'E', {{channel, kCh}, {selection, 2}});
}

BRIVANT_API int16_t BRIVANT_CALL Brivant_SetLimitter(int16_t id, uint8_t channel, uint8_t s1,
                                                     uint8_t s2) {
    return sendSetting(id, 'F', {{channel, kCh}, {s1, 1}, {s2, 1}});
}

BRIVANT_API int16_t BRIVANT_CALL Brivant_ForcedClear(int16_t id, uint8_t channel) {
    return sendSetting(id, 'H', {{channel, kCh}});
}

BRIVANT_API int16_t BRIVANT_CALL Brivant_RunStop(int16_t id, uint8_t channel, uint8_t run) {
    return sendSetting(id, 'I', {{channel, kCh}, {run, 1}});
}

} // extern "C"
