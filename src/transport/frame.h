// Command frames and the request/reply exchange with a unit.
//
// A frame is STX, one command letter, ASCII argument characters, ETX. A reply
// has no framing: its first byte is its first field.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/platform.h"

namespace brivant::transport {

constexpr std::uint8_t kStx = 0x02;
constexpr std::uint8_t kEtx = 0x03;
constexpr std::size_t kMaxFrame = 20; // the G frame; every reply fits too

constexpr std::uint32_t kAckReplyLength = 1;   // reply to A..I, read and discarded
constexpr std::uint32_t kIdReplyLength = 1;    // reply to K: the unit's ID byte
constexpr std::uint32_t kCountReplyLength = 15; // reply to J

// A frame under construction, built on the caller's stack.
class Frame {
public:
    explicit Frame(char letter) {
        bytes_[0] = kStx;
        bytes_[1] = static_cast<std::uint8_t>(letter);
        length_ = 2;
    }
    // A small value (channel or setting) travels as one ASCII digit.
    Frame& digit(std::uint8_t value) {
        bytes_[length_++] = static_cast<std::uint8_t>('0' + value);
        return *this;
    }
    // A 32-bit word travels as eight upper-case hex digits, most significant first.
    Frame& hex8(std::uint32_t word);
    // Appends ETX; returns the finished frame's length.
    std::size_t finish() {
        bytes_[length_++] = kEtx;
        return length_;
    }
    std::uint8_t* data() { return bytes_; }

private:
    std::uint8_t bytes_[kMaxFrame] = {};
    std::size_t length_ = 0;
};

// Writes the eight hex characters of `word` to `out` (no terminator).
void encodeHex8(std::uint32_t word, std::uint8_t* out);

// Writes `frameLength` bytes of `frame` to the out pipe in one call, then reads
// up to `replyLength` bytes from the in pipe into `reply` in one call. `reply`
// may be the frame's own buffer. `received` (optional) gets the byte count the
// read delivered. Returns 0 when both calls succeed, 9 when either fails; a
// failed write is not followed by a read.
std::int16_t exchange(platform::UsbHandle usb, const std::uint8_t* frame, std::size_t frameLength,
                      std::uint8_t* reply, std::uint32_t replyLength,
                      std::uint32_t* received = nullptr);

} // namespace brivant::transport
