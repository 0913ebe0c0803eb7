#include "transport/frame.h"

#include "brivant.h"

namespace brivant::transport {

void encodeHex8(std::uint32_t word, std::uint8_t* out) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    for (int i = 0; i < 8; ++i) {
        out[i] = static_cast<std::uint8_t>(kDigits[(word >> (28 - 4 * i)) & 0xFu]);
    }
}

Frame& Frame::hex8(std::uint32_t word) {
    encodeHex8(word, bytes_ + length_);
    length_ += 8;
    return *this;
}

std::int16_t exchange(platform::UsbHandle usb, const std::uint8_t* frame, std::size_t frameLength,
                      std::uint8_t* reply, std::uint32_t replyLength, std::uint32_t* received) {
    std::uint32_t written = 0;
    if (!platform::writePipe(usb, frame, static_cast<std::uint32_t>(frameLength), &written)) {
        return RC_COMM_FAILED;
    }
    std::uint32_t read = 0;
    if (!platform::readPipe(usb, reply, replyLength, &read)) {
        return RC_COMM_FAILED;
    }
    if (received != nullptr) {
        *received = read;
    }
    return RC_OK;
}

} // namespace brivant::transport
