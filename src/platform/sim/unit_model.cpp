// How a simulated unit answers: see unit_model.h.
#include "platform/sim/unit_model.h"

namespace brivant::sim {

namespace {

constexpr std::uint8_t kEtx = 0x03;

// A digit argument, or -1 when the character is not one.
int digit(std::uint8_t c) {
    return c >= '0' && c <= '9' ? c - '0' : -1;
}

// Eight upper- or lower-case hex characters; false when any is not one.
bool hexWord(const std::uint8_t* text, std::uint32_t& word) {
    word = 0;
    for (int i = 0; i < 8; ++i) {
        std::uint8_t c = text[i];
        std::uint32_t value;
        if (c >= '0' && c <= '9') {
            value = c - '0';
        } else if (c >= 'A' && c <= 'F') {
            value = c - 'A' + 10u;
        } else if (c >= 'a' && c <= 'f') {
            value = c - 'a' + 10u;
        } else {
            return false;
        }
        word = (word << 4) | value;
    }
    return true;
}

void putBigEndian(std::uint8_t* out, std::uint32_t value) {
    out[0] = static_cast<std::uint8_t>(value >> 24);
    out[1] = static_cast<std::uint8_t>(value >> 16);
    out[2] = static_cast<std::uint8_t>(value >> 8);
    out[3] = static_cast<std::uint8_t>(value);
}

} // namespace

std::int64_t LiveUnit::countAt(const Channel& channel, SimClock::time_point now) const {
    if (!channel.running || now <= channel.mark) {
        return channel.countAtMark;
    }
    auto micros = std::chrono::duration_cast<std::chrono::microseconds>(now - channel.mark).count();
    std::size_t index = static_cast<std::size_t>(&channel - channels_.data());
    std::int64_t rate = kCountsPerSecond[index] * (std::int64_t{1} << channel.multiplierShift);
    return channel.countAtMark + rate * micros / 1000000;
}

void LiveUnit::settle(Channel& channel, SimClock::time_point now) {
    channel.countAtMark = countAt(channel, now);
    channel.mark = now;
}

void LiveUnit::apply(char letter, const std::uint8_t* args, std::size_t argCount,
                     SimClock::time_point now) {
    int ch = argCount >= 1 ? digit(args[0]) : -1;
    if (ch < 0 || ch > 2) {
        return; // the library never sends this; the unit ignores it
    }
    Channel& channel = channels_[static_cast<std::size_t>(ch)];
    int value = argCount >= 2 ? digit(args[1]) : -1;
    switch (letter) {
    case 'E': // multiplier selection
        if (value >= 0 && value <= 2) {
            settle(channel, now);
            channel.multiplierShift = static_cast<unsigned>(value);
        }
        break;
    case 'G': // preset words, kept for the next forced clear
        if (argCount >= 17) {
            std::uint32_t first = 0;
            std::uint32_t second = 0;
            if (hexWord(args + 1, first) && hexWord(args + 9, second)) {
                channel.preset[0] = first;
                channel.preset[1] = second;
            }
        }
        break;
    case 'H': // forced clear: the count restarts from the first preset word
        channel.countAtMark = static_cast<std::int32_t>(channel.preset[0]);
        channel.mark = now;
        break;
    case 'I': // run (1) or stop (0)
        if (value == 0 || value == 1) {
            settle(channel, now);
            channel.running = value == 1;
        }
        break;
    default: // A, B, C, D, F: taken and ignored
        break;
    }
}

void LiveUnit::start(SimClock::time_point now) {
    if (!started_) {
        for (Channel& channel : channels_) {
            channel.mark = now;
        }
        started_ = true;
    }
}

std::size_t LiveUnit::answer(const std::uint8_t* frame, std::size_t length,
                             SimClock::time_point now, std::uint8_t ack,
                             std::array<std::uint8_t, 15>& reply) {
    start(now);
    char letter = length >= 2 ? static_cast<char>(frame[1]) : '\0';
    if (letter == 'J') {
        for (std::size_t ch = 0; ch < channels_.size(); ++ch) {
            auto count = static_cast<std::uint32_t>(countAt(channels_[ch], now));
            if (ch > 0) {
                count &= 0x00FFFFFFu; // 24-bit counters
            }
            putBigEndian(reply.data() + 4 * ch, count);
            reply[12 + ch] = channels_[ch].running ? kStatusRunning : 0;
        }
        return reply.size();
    }
    // Arguments run from after the letter up to ETX.
    std::size_t argCount = 0;
    while (2 + argCount < length && frame[2 + argCount] != kEtx) {
        ++argCount;
    }
    apply(letter, frame + 2, argCount, now);
    reply[0] = ack;
    return 1;
}

Reply UnitModel::answer(const std::uint8_t* frame, std::size_t length, SimClock::time_point now) {
    char letter = length >= 2 ? static_cast<char>(frame[1]) : '\0';
    Reply reply;
    if (letter == 'K') {
        if (answers_.live) {
            live_.start(now);
        }
        if (answers_.idReply >= 0) {
            reply.bytes[0] = static_cast<std::uint8_t>(answers_.idReply);
            reply.size = 1;
        }
    } else if (answers_.live) {
        reply.size = live_.answer(frame, length, now, answers_.ackReply, reply.bytes);
    } else if (letter == 'J') {
        reply.bytes = answers_.countReply;
        reply.size = reply.bytes.size();
    } else {
        reply.bytes[0] = answers_.ackReply;
        reply.size = 1;
    }
    return reply;
}

} // namespace brivant::sim
