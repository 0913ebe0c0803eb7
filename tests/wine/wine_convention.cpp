// The calling convention as a 32-bit host sees it: every function called many
// thousands of times through pointers declared __stdcall here, not taken from
// brivant.h, as a VBA Declare or .NET's DllImport declare them. This file is
// built without frame pointers, so the compiler finds its locals and its
// return address only by the stack pointer: a function that cleared more or
// less of the stack than its caller expects moves the stack pointer between
// rounds, spoils the arguments and results, and soon crashes the program.
// On 64-bit Windows there is one convention and __stdcall means nothing: the
// group runs the same calls there.
#include <windows.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdint>
#include <string>

#include "groups.h"
#include "harness.h"

namespace suite {

namespace {

struct StdcallApi {
    int16_t(__stdcall* open)(int16_t) = nullptr;
    void(__stdcall* close)(int16_t) = nullptr;
    int16_t(__stdcall* inputInverter)(int16_t, uint8_t, uint8_t, uint8_t, uint8_t) = nullptr;
    int16_t(__stdcall* outputInverter)(int16_t, uint8_t, uint8_t, uint8_t) = nullptr;
    int16_t(__stdcall* outputMode)(int16_t, uint8_t, uint8_t, uint8_t) = nullptr;
    int16_t(__stdcall* selClearEvent)(int16_t, uint8_t, uint8_t) = nullptr;
    int16_t(__stdcall* selMultiplier)(int16_t, uint8_t, uint8_t) = nullptr;
    int16_t(__stdcall* setLimitter)(int16_t, uint8_t, uint8_t, uint8_t) = nullptr;
    int16_t(__stdcall* forcedClear)(int16_t, uint8_t) = nullptr;
    int16_t(__stdcall* runStop)(int16_t, uint8_t, uint8_t) = nullptr;
    int16_t(__stdcall* writePresetData)(int16_t, uint8_t, const uint32_t*) = nullptr;
    int16_t(__stdcall* readCount)(int16_t, int32_t*, uint8_t*) = nullptr;
    int16_t(__stdcall* readCountCh)(int16_t, uint8_t, int32_t*, uint8_t*) = nullptr;

    bool complete() const {
        return open && close && inputInverter && outputInverter && outputMode && selClearEvent &&
               selMultiplier && setLimitter && forcedClear && runStop && writePresetData &&
               readCount && readCountCh;
    }
};

StdcallApi resolveStdcall() {
    StdcallApi api;
    resolve(lib.module, "Brivant_Device_Open", api.open);
    resolve(lib.module, "Brivant_Device_Close", api.close);
    resolve(lib.module, "Brivant_InputInverter", api.inputInverter);
    resolve(lib.module, "Brivant_OutputInverter", api.outputInverter);
    resolve(lib.module, "Brivant_OutputMode", api.outputMode);
    resolve(lib.module, "Brivant_SelClearEvent", api.selClearEvent);
    resolve(lib.module, "Brivant_SelMultiplier", api.selMultiplier);
    resolve(lib.module, "Brivant_SetLimitter", api.setLimitter);
    resolve(lib.module, "Brivant_ForcedClear", api.forcedClear);
    resolve(lib.module, "Brivant_RunStop", api.runStop);
    resolve(lib.module, "Brivant_WritePresetData", api.writePresetData);
    resolve(lib.module, "Brivant_ReadCount", api.readCount);
    resolve(lib.module, "Brivant_ReadCountCh", api.readCountCh);
    return api;
}

// This function's own stack pointer, read where it stands.
#if defined(__i386__)
#define STACK_POINTER(sp) asm volatile("movl %%esp, %0" : "=r"(sp))
#else
#define STACK_POINTER(sp) asm volatile("movq %%rsp, %0" : "=r"(sp))
#endif

constexpr int kRounds = 6000;
constexpr int16_t kId = 5;
constexpr int kCloseEvery = 1000; // a real close and open; the other opens return at once

// What the rounds of calls came to.
struct Rounds {
    long calls = 0;
    int moved = 0;       // rounds that began at another stack pointer
    int wrong = 0;       // rounds in which a call gave another result or output than it must
    int firstWrong = -1;
};

// The rounds themselves, kept apart from the checks' messages so that
// nothing here makes the compiler keep a frame pointer after all.
__attribute__((noinline)) Rounds callEveryFunction(const StdcallApi& api,
                                                   const std::array<std::uint8_t, 15>& theirs) {
    Rounds rounds;
    std::uintptr_t firstSp = 0;
    auto gives = [&rounds](int16_t rc, int16_t want) {
        ++rounds.calls;
        return rc == want;
    };
    for (int round = 0; round < kRounds; ++round) {
        std::uintptr_t sp = 0;
        STACK_POINTER(sp);
        firstSp = round == 0 ? sp : firstSp;
        rounds.moved += sp != firstSp;
        // Arguments change with the round so that a call that read them from
        // the wrong place would not give the expected result by chance.
        const auto ch = static_cast<uint8_t>(round % 3);
        const auto bit = static_cast<uint8_t>(round % 2);
        const auto sel = static_cast<uint8_t>((round / 3) % 3);
        const uint32_t preset[2] = {static_cast<uint32_t>(round) * 2654435761u, ~0u - round};
        int32_t counts[3] = {-1, -1, -1};
        uint8_t status[3] = {0xEE, 0xEE, 0xEE};
        int32_t count = -1;
        uint8_t one = 0xEE;
        bool ok = gives(api.open(kId), RC_ALREADY_OPEN) &&
                  gives(api.open(static_cast<int16_t>(16 + round)), RC_BAD_ID) &&
                  gives(api.inputInverter(kId, ch, bit, !bit, bit), RC_OK) &&
                  gives(api.inputInverter(kId, ch, bit, 2, bit), RC_BAD_PARAMETER) &&
                  gives(api.outputInverter(kId, ch, !bit, bit), RC_OK) &&
                  gives(api.outputMode(kId, ch, bit, bit), RC_OK) &&
                  gives(api.outputMode(kId, 3, bit, bit), RC_BAD_PARAMETER) &&
                  gives(api.selClearEvent(kId, ch, sel), RC_OK) &&
                  gives(api.selMultiplier(kId, ch, sel), RC_OK) &&
                  gives(api.selMultiplier(kId, ch, 3), RC_BAD_PARAMETER) &&
                  gives(api.setLimitter(kId, ch, bit, !bit), RC_OK) &&
                  gives(api.forcedClear(kId, ch), RC_OK) &&
                  gives(api.forcedClear(static_cast<int16_t>(kId + 1), ch), RC_NOT_OPEN) &&
                  gives(api.runStop(kId, ch, bit), RC_OK) &&
                  gives(api.writePresetData(kId, ch, preset), RC_OK) &&
                  gives(api.writePresetData(kId, ch, nullptr), RC_BAD_PARAMETER) &&
                  gives(api.readCount(kId, counts, status), RC_OK) &&
                  brivant::stress::countsAreOf(kId, counts, status) &&
                  gives(api.readCountCh(kId, ch, &count, &one), RC_OK) &&
                  count == 0x100 * (ch + 1) + kId && one == theirs[12 + ch] &&
                  gives(api.readCountCh(kId, 3, &count, &one), RC_BAD_PARAMETER);
        api.close(-1);
        ++rounds.calls;
        if (round % kCloseEvery == kCloseEvery - 1) {
            api.close(kId);
            ++rounds.calls;
            ok = ok && gives(api.readCount(kId, counts, status), RC_NOT_OPEN) &&
                 gives(api.open(kId), RC_OK);
        }
        if (!ok) {
            rounds.firstWrong = rounds.firstWrong < 0 ? round : rounds.firstWrong;
            ++rounds.wrong;
        }
        usb.reset(); // keeps the double's record short
    }
    return rounds;
}

} // namespace

void stdcallKeepsTheStackBalanced() {
    currentGroup = "convention";
    const StdcallApi api = resolveStdcall();
    check(api.complete(), "the 13 functions resolve as __stdcall pointers");
    if (!api.complete()) {
        return;
    }
    scenario({kId});
    double_usb::Unit unit;
    unit.idReply = kId;
    const std::array<std::uint8_t, 15> theirs = brivant::stress::countsOf(kId);
    std::copy(theirs.begin(), theirs.end(), unit.countReply);
    configure(0, unit);
    check(api.open(kId) == RC_OK, "open(5)");
    auto started = std::chrono::steady_clock::now();
    const Rounds rounds = callEveryFunction(api, theirs);
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                  std::chrono::steady_clock::now() - started)
                  .count();
    std::printf("  %d rounds, %ld calls (each function at least %d times) in %ld ms\n", kRounds,
                rounds.calls, kRounds, static_cast<long>(ms));
    check(rounds.moved == 0, "the stack pointer is the same at the start of every round (" +
                                 std::to_string(rounds.moved) + " rounds moved)");
    check(rounds.wrong == 0, "every call gives its result and outputs (" +
                                 std::to_string(rounds.wrong) + " rounds did not, first " +
                                 std::to_string(rounds.firstWrong) + ")");
    api.close(kId);
}

} // namespace suite
