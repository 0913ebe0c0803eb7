// brivant.hpp - the C++ face of brivant.h: header-only, C++17.
//
//     brivant::Unit unit(0);                  // opens unit 0, or throws brivant::Error
//     unit.run(0);
//     brivant::Counts c = unit.readCounts();  // c.counts[k], c.status[k] of channel k
//                                             // unit 0 is closed when `unit` goes
//
// A Unit owns one open unit ID: it opens on construction and closes on
// destruction, can be moved but not copied, and never closes an ID twice.
// Every operation throws brivant::Error (a std::system_error whose code() is
// the result code in brivant::resultCategory()) or, in its overload taking a
// std::error_code&, reports the code there and throws nothing.
#ifndef BRIVANT_HPP
#define BRIVANT_HPP

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <system_error>
#include <utility>

#include "brivant.h"

namespace brivant {

// The RC_* codes, usable as std::error_code values (ec == Result::notOpen).
enum class Result : int {
    ok = RC_OK,
    badId = RC_BAD_ID,
    alreadyOpen = RC_ALREADY_OPEN,
    tooManyUnits = RC_TOO_MANY_UNITS,
    openFailed = RC_OPEN_FAILED,
    idNotFound = RC_ID_NOT_FOUND,
    notOpen = RC_NOT_OPEN,
    badParameter = RC_BAD_PARAMETER,
    commFailed = RC_COMM_FAILED,
};

// "RC_NOT_OPEN" for 7; "RC_UNKNOWN" for a code the library never returns.
inline const char* resultName(int code) noexcept {
    switch (code) {
#define BRIVANT_RESULT_NAME(name, meaning) \
    case name: return #name;
        BRIVANT_RESULT_CODES(BRIVANT_RESULT_NAME)
#undef BRIVANT_RESULT_NAME
    default: return "RC_UNKNOWN";
    }
}

// What a result code means, in plain words.
inline const char* resultMeaning(int code) noexcept {
    switch (code) {
#define BRIVANT_RESULT_MEANING(name, meaning) \
    case name: return meaning;
        BRIVANT_RESULT_CODES(BRIVANT_RESULT_MEANING)
#undef BRIVANT_RESULT_MEANING
    default: return "not a result code of this library";
    }
}

// "RC_NOT_OPEN (7): the unit is not open".
inline std::string resultMessage(int code) {
    return std::string(resultName(code)) + " (" + std::to_string(code) + "): " + resultMeaning(code);
}

inline const std::error_category& resultCategory() noexcept {
    struct Category : std::error_category {
        const char* name() const noexcept override { return "brivant"; }
        std::string message(int code) const override { return resultMessage(code); }
    };
    static const Category instance;
    return instance;
}

inline std::error_code make_error_code(Result result) noexcept {
    return {static_cast<int>(result), resultCategory()};
}

// An RC_OK code becomes the empty error_code, anything else a brivant one.
inline std::error_code toErrorCode(std::int16_t rc) noexcept {
    return rc == RC_OK ? std::error_code() : std::error_code(rc, resultCategory());
}

// Thrown by the Unit operations that take no std::error_code&.
class Error : public std::system_error {
public:
    using std::system_error::system_error;
};

// The counts and status bytes of the three channels; element k is channel k.
struct Counts {
    std::array<std::int32_t, 3> counts{};
    std::array<std::uint8_t, 3> status{};
};

// The count and status byte of one channel.
struct ChannelCount {
    std::int32_t count = 0;
    std::uint8_t status = 0;
};

} // namespace brivant

namespace std {
template <>
struct is_error_code_enum<brivant::Result> : true_type {};
} // namespace std

namespace brivant {

class Unit {
public:
    // Opens unit `id`; throws Error when it cannot.
    explicit Unit(std::int16_t id) : id_(id) {
        std::error_code ec = toErrorCode(Brivant_Device_Open(id));
        if (ec) {
            throw Error(ec, "brivant unit " + std::to_string(id) + ": open");
        }
        open_ = true;
    }

    // Opens unit `id`; on failure gives no Unit and the reason in `ec`.
    static std::optional<Unit> open(std::int16_t id, std::error_code& ec) noexcept {
        ec = toErrorCode(Brivant_Device_Open(id));
        if (ec) {
            return std::nullopt;
        }
        return Unit(id, Opened{});
    }

    Unit(const Unit&) = delete;
    Unit& operator=(const Unit&) = delete;

    // The moved-from Unit owns nothing afterwards and closes nothing.
    Unit(Unit&& other) noexcept
        : id_(other.id_), open_(std::exchange(other.open_, false)) {}
    Unit& operator=(Unit&& other) noexcept {
        if (this != &other) {
            close();
            id_ = other.id_;
            open_ = std::exchange(other.open_, false);
        }
        return *this;
    }

    ~Unit() { close(); }

    std::int16_t id() const noexcept { return id_; }
    bool isOpen() const noexcept { return open_; }

    // Closes the unit now; later calls, and the destructor, do nothing. The
    // unit keeps its settings and counts.
    void close() noexcept {
        if (open_) {
            open_ = false;
            Brivant_Device_Close(id_);
        }
    }

    // Every operation below on a closed or moved-from Unit gives
    // Result::notOpen and sends nothing.

    // Input inversion s1, s2, s3 (each 0 or 1) of a channel (0 to 2).
    void setInputInversion(std::uint8_t channel, std::uint8_t s1, std::uint8_t s2, std::uint8_t s3) {
        std::error_code ec;
        setInputInversion(channel, s1, s2, s3, ec);
        raise(ec, "input inversion");
    }
    void setInputInversion(std::uint8_t channel, std::uint8_t s1, std::uint8_t s2, std::uint8_t s3,
                           std::error_code& ec) noexcept {
        ec = call(Brivant_InputInverter, channel, s1, s2, s3);
    }

    // Output inversion s1, s2 (each 0 or 1).
    void setOutputInversion(std::uint8_t channel, std::uint8_t s1, std::uint8_t s2) {
        std::error_code ec;
        setOutputInversion(channel, s1, s2, ec);
        raise(ec, "output inversion");
    }
    void setOutputInversion(std::uint8_t channel, std::uint8_t s1, std::uint8_t s2,
                            std::error_code& ec) noexcept {
        ec = call(Brivant_OutputInverter, channel, s1, s2);
    }

    // Output mode s1, s2 (each 0 or 1).
    void setOutputMode(std::uint8_t channel, std::uint8_t s1, std::uint8_t s2) {
        std::error_code ec;
        setOutputMode(channel, s1, s2, ec);
        raise(ec, "output mode");
    }
    void setOutputMode(std::uint8_t channel, std::uint8_t s1, std::uint8_t s2,
                       std::error_code& ec) noexcept {
        ec = call(Brivant_OutputMode, channel, s1, s2);
    }

    // Which event clears the count (0 to 2).
    void selectClearEvent(std::uint8_t channel, std::uint8_t selection) {
        std::error_code ec;
        selectClearEvent(channel, selection, ec);
        raise(ec, "clear event");
    }
    void selectClearEvent(std::uint8_t channel, std::uint8_t selection, std::error_code& ec) noexcept {
        ec = call(Brivant_SelClearEvent, channel, selection);
    }

    // The multiplier (0 to 2).
    void selectMultiplier(std::uint8_t channel, std::uint8_t selection) {
        std::error_code ec;
        selectMultiplier(channel, selection, ec);
        raise(ec, "multiplier");
    }
    void selectMultiplier(std::uint8_t channel, std::uint8_t selection, std::error_code& ec) noexcept {
        ec = call(Brivant_SelMultiplier, channel, selection);
    }

    // The limiter s1, s2 (each 0 or 1).
    void setLimiter(std::uint8_t channel, std::uint8_t s1, std::uint8_t s2) {
        std::error_code ec;
        setLimiter(channel, s1, s2, ec);
        raise(ec, "limiter");
    }
    void setLimiter(std::uint8_t channel, std::uint8_t s1, std::uint8_t s2,
                    std::error_code& ec) noexcept {
        ec = call(Brivant_SetLimitter, channel, s1, s2);
    }

    // Clears the channel's count now.
    void forceClear(std::uint8_t channel) {
        std::error_code ec;
        forceClear(channel, ec);
        raise(ec, "forced clear");
    }
    void forceClear(std::uint8_t channel, std::error_code& ec) noexcept {
        ec = call(Brivant_ForcedClear, channel);
    }

    // Starts or stops the channel's counting.
    void run(std::uint8_t channel) { setRunning(channel, true); }
    void stop(std::uint8_t channel) { setRunning(channel, false); }
    void setRunning(std::uint8_t channel, bool running) {
        std::error_code ec;
        setRunning(channel, running, ec);
        raise(ec, running ? "run" : "stop");
    }
    void setRunning(std::uint8_t channel, bool running, std::error_code& ec) noexcept {
        ec = call(Brivant_RunStop, channel, static_cast<std::uint8_t>(running ? 1 : 0));
    }

    // Writes the channel's two preset words.
    void writePreset(std::uint8_t channel, std::uint32_t first, std::uint32_t second) {
        std::error_code ec;
        writePreset(channel, first, second, ec);
        raise(ec, "preset");
    }
    void writePreset(std::uint8_t channel, std::uint32_t first, std::uint32_t second,
                     std::error_code& ec) noexcept {
        const std::uint32_t words[2] = {first, second};
        ec = call(Brivant_WritePresetData, channel, words);
    }

    // The counts and status bytes of all three channels, in one exchange.
    Counts readCounts() {
        std::error_code ec;
        Counts result = readCounts(ec);
        raise(ec, "read counts");
        return result;
    }
    Counts readCounts(std::error_code& ec) noexcept {
        Counts result;
        ec = call(Brivant_ReadCount, result.counts.data(), result.status.data());
        return ec ? Counts{} : result;
    }

    // The count and status byte of one channel, in the same one exchange.
    ChannelCount readChannel(std::uint8_t channel) {
        std::error_code ec;
        ChannelCount result = readChannel(channel, ec);
        raise(ec, "read count");
        return result;
    }
    ChannelCount readChannel(std::uint8_t channel, std::error_code& ec) noexcept {
        ChannelCount result;
        ec = call(Brivant_ReadCountCh, channel, &result.count, &result.status);
        return ec ? ChannelCount{} : result;
    }

private:
    struct Opened {};
    Unit(std::int16_t id, Opened) noexcept : id_(id), open_(true) {}

    template <typename Function, typename... Args>
    std::error_code call(Function function, Args... args) const noexcept {
        if (!open_) {
            return make_error_code(Result::notOpen);
        }
        return toErrorCode(function(id_, args...));
    }

    void raise(const std::error_code& ec, const char* what) const {
        if (ec) {
            throw Error(ec, "brivant unit " + std::to_string(id_) + ": " + what);
        }
    }

    std::int16_t id_ = -1;
    bool open_ = false;
};

} // namespace brivant

#endif // BRIVANT_HPP
