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
//
// Arguments are taken as whole integers of any integer type and are never cut
// down to the C types: a unit ID outside -32768..32767 gives Result::badId,
// and a channel, setting or preset word outside its C type gives
// Result::badParameter, with nothing sent in either case (the library itself
// refuses the values inside the C types that are above their bounds).
// Floating-point values do not convert; bool is taken only by on/off settings.
#ifndef BRIVANT_HPP
#define BRIVANT_HPP

// MSVC reports the standard in _MSVC_LANG, and __cplusplus only with
// /Zc:__cplusplus.
#if (defined(_MSVC_LANG) ? _MSVC_LANG : __cplusplus) < 201703L
#error "brivant.hpp needs C++17 or later (-std=c++17, /std:c++17); C code includes brivant.h"
#else // the rest needs C++17: this #error alone is told

#include <array>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <system_error>
#include <type_traits>
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

namespace detail {

// An integer argument as the caller wrote it, of any integer type, kept whole
// so that the Unit can check it against the C argument's type: a plain
// conversion would turn channel 256 into channel 0 and unit 65541 into unit 5.
// With TakesBool false a bool does not convert either: a bool where a unit,
// channel or selection belongs is a slip (arguments swapped), not a number.
template <bool TakesBool>
class WholeInteger {
    template <typename T>
    static constexpr bool accepted = std::is_integral_v<T> && (TakesBool || !std::is_same_v<T, bool>);

public:
    template <typename T, std::enable_if_t<accepted<T>, int> = 0>
    constexpr WholeInteger(T value) noexcept // NOLINT: converting on purpose
        : value_(static_cast<long long>(value)),
          representable_(!std::is_unsigned_v<T> ||
                         static_cast<unsigned long long>(value) <=
                             static_cast<unsigned long long>(std::numeric_limits<long long>::max())) {}

    template <typename T,
              std::enable_if_t<std::is_floating_point_v<T> || (std::is_same_v<T, bool> && !accepted<T>), int> = 0>
    WholeInteger(T) = delete;

    constexpr bool isId() const noexcept { return within(-32768, 32767); }
    constexpr bool isByte() const noexcept { return within(0, 255); }
    // A 32-bit word, given either as unsigned or as signed (two's complement).
    constexpr bool isWord() const noexcept { return within(-2147483648LL, 4294967295LL); }

    // Only meaningful after the matching is...() said yes.
    constexpr std::int16_t id() const noexcept { return static_cast<std::int16_t>(value_); }
    constexpr std::uint8_t byte() const noexcept { return static_cast<std::uint8_t>(value_); }
    constexpr std::uint32_t word() const noexcept {
        return static_cast<std::uint32_t>(static_cast<unsigned long long>(value_));
    }
    constexpr bool isZero() const noexcept { return representable_ && value_ == 0; }

    std::string text() const {
        return representable_ ? std::to_string(value_)
                              : std::to_string(static_cast<unsigned long long>(value_));
    }

private:
    constexpr bool within(long long low, long long high) const noexcept {
        return representable_ && value_ >= low && value_ <= high;
    }

    long long value_;
    bool representable_; // false for an unsigned value above the range of long long
};

} // namespace detail

// A unit ID, channel, selection or preset word: any integer type but bool.
using Integer = detail::WholeInteger<false>;
// An on/off setting: bool, or 0 and 1 of any integer type.
using OnOff = detail::WholeInteger<true>;

class Unit {
public:
    // Opens unit `id`; throws Error when it cannot.
    explicit Unit(Integer id) {
        std::error_code ec = openId(id);
        if (ec) {
            throw Error(ec, "brivant unit " + id.text() + ": open");
        }
        id_ = id.id();
        open_ = true;
    }

    // Opens unit `id`; on failure gives no Unit and the reason in `ec`.
    static std::optional<Unit> open(Integer id, std::error_code& ec) noexcept {
        ec = openId(id);
        if (ec) {
            return std::nullopt;
        }
        return Unit(id.id(), Opened{});
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
    void setInputInversion(Integer channel, OnOff s1, OnOff s2, OnOff s3) {
        std::error_code ec;
        setInputInversion(channel, s1, s2, s3, ec);
        raise(ec, "input inversion");
    }
    void setInputInversion(Integer channel, OnOff s1, OnOff s2, OnOff s3,
                           std::error_code& ec) noexcept {
        ec = sendBytes(Brivant_InputInverter, channel, s1, s2, s3);
    }

    // Output inversion s1, s2 (each 0 or 1).
    void setOutputInversion(Integer channel, OnOff s1, OnOff s2) {
        std::error_code ec;
        setOutputInversion(channel, s1, s2, ec);
        raise(ec, "output inversion");
    }
    void setOutputInversion(Integer channel, OnOff s1, OnOff s2, std::error_code& ec) noexcept {
        ec = sendBytes(Brivant_OutputInverter, channel, s1, s2);
    }

    // Output mode s1, s2 (each 0 or 1).
    void setOutputMode(Integer channel, OnOff s1, OnOff s2) {
        std::error_code ec;
        setOutputMode(channel, s1, s2, ec);
        raise(ec, "output mode");
    }
    void setOutputMode(Integer channel, OnOff s1, OnOff s2, std::error_code& ec) noexcept {
        ec = sendBytes(Brivant_OutputMode, channel, s1, s2);
    }

    // Which event clears the count (0 to 2).
    void selectClearEvent(Integer channel, Integer selection) {
        std::error_code ec;
        selectClearEvent(channel, selection, ec);
        raise(ec, "clear event");
    }
    void selectClearEvent(Integer channel, Integer selection, std::error_code& ec) noexcept {
        ec = sendBytes(Brivant_SelClearEvent, channel, selection);
    }

    // The multiplier (0 to 2).
    void selectMultiplier(Integer channel, Integer selection) {
        std::error_code ec;
        selectMultiplier(channel, selection, ec);
        raise(ec, "multiplier");
    }
    void selectMultiplier(Integer channel, Integer selection, std::error_code& ec) noexcept {
        ec = sendBytes(Brivant_SelMultiplier, channel, selection);
    }

    // The limiter s1, s2 (each 0 or 1).
    void setLimiter(Integer channel, OnOff s1, OnOff s2) {
        std::error_code ec;
        setLimiter(channel, s1, s2, ec);
        raise(ec, "limiter");
    }
    void setLimiter(Integer channel, OnOff s1, OnOff s2, std::error_code& ec) noexcept {
        ec = sendBytes(Brivant_SetLimitter, channel, s1, s2);
    }

    // Clears the channel's count now.
    void forceClear(Integer channel) {
        std::error_code ec;
        forceClear(channel, ec);
        raise(ec, "forced clear");
    }
    void forceClear(Integer channel, std::error_code& ec) noexcept {
        ec = sendBytes(Brivant_ForcedClear, channel);
    }

    // Starts (true or 1) or stops (false or 0) the channel's counting.
    void run(Integer channel) { setRunning(channel, true); }
    void stop(Integer channel) { setRunning(channel, false); }
    void setRunning(Integer channel, OnOff running) {
        std::error_code ec;
        setRunning(channel, running, ec);
        raise(ec, running.isZero() ? "stop" : "run");
    }
    void setRunning(Integer channel, OnOff running, std::error_code& ec) noexcept {
        ec = sendBytes(Brivant_RunStop, channel, running);
    }

    // Writes the channel's two preset words, each given as unsigned or as
    // signed 32-bit (-256 is sent as 0xFFFFFF00).
    void writePreset(Integer channel, Integer first, Integer second) {
        std::error_code ec;
        writePreset(channel, first, second, ec);
        raise(ec, "preset");
    }
    void writePreset(Integer channel, Integer first, Integer second, std::error_code& ec) noexcept {
        ec = refusal(channel.isByte() && first.isWord() && second.isWord());
        if (!ec) {
            const std::uint32_t words[2] = {first.word(), second.word()};
            ec = toErrorCode(Brivant_WritePresetData(id_, channel.byte(), words));
        }
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
        ec = refusal(true);
        if (!ec) {
            ec = toErrorCode(Brivant_ReadCount(id_, result.counts.data(), result.status.data()));
        }
        return ec ? Counts{} : result;
    }

    // The count and status byte of one channel, in the same one exchange.
    ChannelCount readChannel(Integer channel) {
        std::error_code ec;
        ChannelCount result = readChannel(channel, ec);
        raise(ec, "read count");
        return result;
    }
    ChannelCount readChannel(Integer channel, std::error_code& ec) noexcept {
        ChannelCount result;
        ec = refusal(channel.isByte());
        if (!ec) {
            ec = toErrorCode(Brivant_ReadCountCh(id_, channel.byte(), &result.count, &result.status));
        }
        return ec ? ChannelCount{} : result;
    }

private:
    struct Opened {};
    Unit(std::int16_t id, Opened) noexcept : id_(id), open_(true) {}

    // An ID beyond int16_t gets the result of any other ID outside 0..15.
    static std::error_code openId(const Integer& id) noexcept {
        if (!id.isId()) {
            return make_error_code(Result::badId);
        }
        return toErrorCode(Brivant_Device_Open(id.id()));
    }

    // The wrapper's own refusals, in the library's order: not open first,
    // then arguments.
    std::error_code refusal(bool argumentsFit) const noexcept {
        if (!open_) {
            return make_error_code(Result::notOpen);
        }
        return argumentsFit ? std::error_code() : make_error_code(Result::badParameter);
    }

    // A command whose arguments after the ID are all uint8_t.
    template <typename Function, typename... Arguments>
    std::error_code sendBytes(Function function, const Arguments&... arguments) const noexcept {
        std::error_code ec = refusal((arguments.isByte() && ...));
        return ec ? ec : toErrorCode(function(id_, arguments.byte()...));
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

#endif // C++17

#endif // BRIVANT_HPP
