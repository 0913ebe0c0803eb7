// Count reading: one J exchange fetches all three channels.
#include "counter/open_unit.h"

using namespace brivant;

namespace {

std::uint32_t bigEndian32(const std::uint8_t* bytes) {
    return (std::uint32_t{bytes[0]} << 24) | (std::uint32_t{bytes[1]} << 16) |
           (std::uint32_t{bytes[2]} << 8) | std::uint32_t{bytes[3]};
}

// Channels 1 and 2 carry 24-bit two's-complement counts: a set bit 23 makes
// the top byte all ones, whatever the unit sent in it.
std::int32_t extendFromBit23(std::uint32_t value) {
    if ((value & 0x00800000u) != 0) {
        value |= 0xFF000000u;
    }
    return static_cast<std::int32_t>(value);
}

} // namespace

extern "C" BRIVANT_API int16_t BRIVANT_CALL Brivant_ReadCount(int16_t id, int32_t* counts,
                                                              uint8_t* status) {
    return counter::onOpenUnit(id, [&](platform::UsbHandle usb) -> std::int16_t {
        if (counts == nullptr || status == nullptr) {
            return RC_BAD_PARAMETER;
        }
        transport::Frame frame('J');
        std::size_t length = frame.finish();
        std::uint8_t reply[transport::kCountReplyLength];
        std::uint32_t received = 0;
        std::int16_t rc = transport::exchange(usb, frame.data(), length, reply,
                                              transport::kCountReplyLength, &received);
        if (rc != RC_OK) {
            return rc;
        }
        // The reply must arrive whole: missing bytes would be read as counts.
        if (received < transport::kCountReplyLength) {
            return RC_COMM_FAILED;
        }
        counts[0] = static_cast<std::int32_t>(bigEndian32(reply));
        counts[1] = extendFromBit23(bigEndian32(reply + 4));
        counts[2] = extendFromBit23(bigEndian32(reply + 8));
        status[0] = reply[12];
        status[1] = reply[13];
        status[2] = reply[14];
        return RC_OK;
    });
}

extern "C" BRIVANT_API int16_t BRIVANT_CALL Brivant_ReadCountCh(int16_t id, uint8_t channel,
                                                                int32_t* count, uint8_t* status) {
    if (channel > counter::kMaxChannel) {
        return RC_BAD_PARAMETER;
    }
    // Null outputs are refused only once the slot is known to be open.
    if (count == nullptr || status == nullptr) {
        return counter::onOpenUnit(id, [](platform::UsbHandle) -> std::int16_t {
            return RC_BAD_PARAMETER;
        });
    }
    std::int32_t counts[3];
    std::uint8_t statuses[3];
    std::int16_t rc = Brivant_ReadCount(id, counts, statuses);
    if (rc != RC_OK) {
        return rc;
    }
    *count = counts[channel];
    *status = statuses[channel];
    return RC_OK;
}
