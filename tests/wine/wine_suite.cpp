// End-to-end suite of the real BRIVANT.dll under Wine.
//
// Wine's own setupapi enumerates the unit interfaces that the harness
// registers in Wine's registry (units NN = 00..16, present or not through
// their "Linked" value); CreateFileW opens the device paths through symlinks
// that the driver script made in the prefix's dosdevices; the winusb.dll test
// double next to this program stands in for the units and records every call.
//
// Prints a tally per group, a line per failed check, and ends with
// "wine: N passed, M failed".
#include <cstdio>
#include <cstring>
#include <thread>

#include "groups.h"
#include "harness.h"

using namespace suite;

namespace {

// ---- the groups -------------------------------------------------------------

void exportsResolve() {
    currentGroup = "exports";
    const char* names[] = {"Brivant_Device_Close",   "Brivant_Device_Open",   "Brivant_ForcedClear",
                           "Brivant_InputInverter",  "Brivant_OutputInverter", "Brivant_OutputMode",
                           "Brivant_ReadCount",      "Brivant_ReadCountCh",   "Brivant_RunStop",
                           "Brivant_SelClearEvent",  "Brivant_SelMultiplier", "Brivant_SetLimitter",
                           "Brivant_WritePresetData"};
    for (int ordinal = 1; ordinal <= 13; ++ordinal) {
        FARPROC byName = GetProcAddress(lib.module, names[ordinal - 1]);
        FARPROC byOrdinal = GetProcAddress(lib.module, MAKEINTRESOURCEA(ordinal));
        check(byName != nullptr && byName == byOrdinal,
              std::string(names[ordinal - 1]) + " resolves by name and as ordinal " +
                  std::to_string(ordinal));
    }
    check(GetProcAddress(lib.module, MAKEINTRESOURCEA(14)) == nullptr, "ordinal 14 does not resolve");
    check(GetProcAddress(lib.module, "DllMain") == nullptr, "DllMain is not exported");
}

std::wstring versionString(const std::vector<BYTE>& info, const wchar_t* name) {
    struct Translation {
        WORD language;
        WORD codePage;
    }* translation = nullptr;
    UINT size = 0;
    if (!VerQueryValueW(info.data(), L"\\VarFileInfo\\Translation",
                        reinterpret_cast<void**>(&translation), &size) ||
        size < sizeof *translation) {
        return L"<no translation>";
    }
    wchar_t query[96];
    swprintf(query, 96, L"\\StringFileInfo\\%04x%04x\\%ls", translation->language,
             translation->codePage, name);
    wchar_t* value = nullptr;
    if (!VerQueryValueW(info.data(), query, reinterpret_cast<void**>(&value), &size) ||
        value == nullptr) {
        return L"<missing>";
    }
    return value;
}

void versionResource() {
    currentGroup = "version";
    wchar_t path[MAX_PATH];
    GetModuleFileNameW(lib.module, path, MAX_PATH);
    DWORD handle = 0;
    DWORD size = GetFileVersionInfoSizeW(path, &handle);
    std::vector<BYTE> info(size);
    bool read = size != 0 && GetFileVersionInfoW(path, 0, size, info.data());
    check(read, "GetFileVersionInfoW reads the version resource");
    if (!read) {
        return;
    }
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT fixedSize = 0;
    bool haveFixed = VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&fixed), &fixedSize) &&
                     fixedSize >= sizeof *fixed;
    // The resource carries the version the headers were made with.
    const DWORD versionMS = MAKELONG(BRIVANT_VERSION_MINOR, BRIVANT_VERSION_MAJOR);
    const DWORD versionLS = MAKELONG(0, BRIVANT_VERSION_PATCH);
    check(haveFixed && fixed->dwFileVersionMS == versionMS && fixed->dwFileVersionLS == versionLS,
          "file version " BRIVANT_VERSION_STRING ".0");
    check(haveFixed && fixed->dwProductVersionMS == versionMS &&
              fixed->dwProductVersionLS == versionLS,
          "product version " BRIVANT_VERSION_STRING ".0");
    check(versionString(info, L"FileDescription") == L"BRIVANT", "FileDescription is BRIVANT");
    check(versionString(info, L"InternalName") == L"BRIVANT.dll", "InternalName is BRIVANT.dll");
    check(versionString(info, L"OriginalFilename") == L"BRIVANT.dll",
          "OriginalFilename is BRIVANT.dll");
}

void openFindsUnitById() {
    currentGroup = "open";
    scenario({});
    check(lib.open(0) == RC_ID_NOT_FOUND, "no unit present: open gives 6");
    check(lib.open(16) == RC_BAD_ID && lib.open(-1) == RC_BAD_ID, "ids 16 and -1: open gives 1");
    expectNothingSent("no unit present, or a bad id,");

    scenario({5, 3, 9}); // unit00 reports 5, unit01 3, unit02 9
    check(lib.open(3) == RC_OK, "open(3) finds unit01, which reports 3");
    std::vector<double_usb::Call> calls = usb.calls();
    // K to unit00 (no match), K to unit01 (match), then unit01 for good.
    const int expectedOps[] = {double_usb::OpInitialize, double_usb::OpWritePipe,
                               double_usb::OpReadPipe,   double_usb::OpFree,
                               double_usb::OpInitialize, double_usb::OpWritePipe,
                               double_usb::OpReadPipe,   double_usb::OpFree,
                               double_usb::OpInitialize};
    const int expectedUnits[] = {0, 0, 0, 0, 1, 1, 1, 1, 1};
    bool sequence = calls.size() == 9;
    for (size_t i = 0; sequence && i < 9; ++i) {
        sequence = calls[i].op == expectedOps[i] && calls[i].unit == expectedUnits[i] && calls[i].ok;
    }
    check(sequence, "open asks unit00 then unit01 for their ID, each on a connection of its own, "
                    "then binds unit01 (" + std::to_string(calls.size()) + " calls)");
    if (calls.size() == 9) {
        const std::uint8_t k[] = {0x02, 0x4B, 0x03};
        check(calls[1].length == 3 && std::memcmp(calls[1].bytes, k, 3) == 0 && calls[1].pipe == 0x01 &&
                  calls[2].pipe == 0x82 && calls[2].length == 1 && !calls[1].overlappedGiven &&
                  !calls[2].overlappedGiven,
              "the ID query writes 02 4B 03 to pipe 0x01 and reads 1 byte from 0x82");
        bool fileAsFixed = true;
        for (int i : {0, 4, 8}) {
            fileAsFixed = fileAsFixed && calls[i].fileAccess == (FILE_GENERIC_READ | FILE_GENERIC_WRITE) &&
                          calls[i].fileOverlapped == 1;
        }
        char seen[64];
        std::snprintf(seen, sizeof seen, "access %#lx, overlapped %d",
                      static_cast<unsigned long>(calls[8].fileAccess), calls[8].fileOverlapped);
        check(fileAsFixed, std::string("WinUSB is bound to files opened for read and write, "
                                       "overlapped (") + seen + ")");
    }
    check(usb.state().handlesHeld == 1, "only the open unit's WinUSB handle stays held");
    HANDLE shared = openElsewhere(1, FILE_SHARE_READ | FILE_SHARE_WRITE);
    check(shared != INVALID_HANDLE_VALUE, "the open unit's file is shared for reading and writing");
    if (shared != INVALID_HANDLE_VALUE) {
        CloseHandle(shared);
    }
    check(!fileReleased(1) && fileReleased(0) && fileReleased(2),
          "only the open unit's file stays open");
    usb.reset();
    check(lib.open(3) == RC_ALREADY_OPEN, "a second open(3) gives 3");
    expectNothingSent("the second open");
}

void framesReachTheUnit() {
    currentGroup = "frames";
    scenario({5, 3});
    check(lib.open(3) == RC_OK, "open(3)");
    usb.reset();
    check(lib.selMultiplier(3, 1, 2) == RC_OK, "SelMultiplier(3, 1, 2) gives 0");
    expectExchange("SelMultiplier(3, 1, 2)", 1, {0x02, 0x45, 0x31, 0x32, 0x03}, 1);
    check(lib.inputInverter(3, 0, 1, 0, 1) == RC_OK, "InputInverter gives 0");
    expectExchange("InputInverter(3, 0, 1, 0, 1)", 1, {0x02, 0x41, 0x30, 0x31, 0x30, 0x31, 0x03}, 1);
    check(lib.outputInverter(3, 2, 1, 0) == RC_OK, "OutputInverter gives 0");
    expectExchange("OutputInverter(3, 2, 1, 0)", 1, {0x02, 0x42, 0x32, 0x31, 0x30, 0x03}, 1);
    check(lib.outputMode(3, 1, 0, 1) == RC_OK, "OutputMode gives 0");
    expectExchange("OutputMode(3, 1, 0, 1)", 1, {0x02, 0x43, 0x31, 0x30, 0x31, 0x03}, 1);
    check(lib.selClearEvent(3, 0, 2) == RC_OK, "SelClearEvent(3, 0, 2) is accepted");
    expectExchange("SelClearEvent(3, 0, 2)", 1, {0x02, 0x44, 0x30, 0x32, 0x03}, 1);
    check(lib.setLimitter(3, 2, 1, 1) == RC_OK, "SetLimitter gives 0");
    expectExchange("SetLimitter(3, 2, 1, 1)", 1, {0x02, 0x46, 0x32, 0x31, 0x31, 0x03}, 1);
    check(lib.forcedClear(3, 2) == RC_OK, "ForcedClear gives 0");
    expectExchange("ForcedClear(3, 2)", 1, {0x02, 0x48, 0x32, 0x03}, 1);
    check(lib.runStop(3, 1, 1) == RC_OK, "RunStop gives 0");
    expectExchange("RunStop(3, 1, 1)", 1, {0x02, 0x49, 0x31, 0x31, 0x03}, 1);
    const std::uint32_t preset[2] = {0x12AB00FFu, 0};
    check(lib.writePresetData(3, 1, preset) == RC_OK, "WritePresetData gives 0");
    expectExchange("WritePresetData(3, 1, {0x12AB00FF, 0})", 1,
                   {0x02, 0x47, 0x31, '1', '2', 'A', 'B', '0', '0', 'F', 'F', '0', '0', '0', '0',
                    '0', '0', '0', '0', 0x03},
                   1);

    check(lib.runStop(3, 0, 2) == RC_BAD_PARAMETER && lib.forcedClear(3, 3) == RC_BAD_PARAMETER &&
              lib.inputInverter(3, 0, 1, 1, 2) == RC_BAD_PARAMETER &&
              lib.writePresetData(3, 3, preset) == RC_BAD_PARAMETER,
          "a value above its bound gives 8");
    expectNothingSent("a value above its bound");
}

void countsAreDecoded() {
    currentGroup = "counts";
    scenario({3});
    check(lib.open(3) == RC_OK, "open(3)");
    double_usb::Unit unit;
    unit.idReply = 3;
    const std::uint8_t reply[15] = {0x00, 0x80, 0x00, 0x00, 0x00, 0x80, 0x00, 0x00,
                                    0x12, 0x80, 0x00, 0x00, 0x01, 0x02, 0xFE};
    std::memcpy(unit.countReply, reply, sizeof reply);
    configure(0, unit);
    usb.reset();
    int32_t counts[3] = {};
    uint8_t status[3] = {};
    check(lib.readCount(3, counts, status) == RC_OK, "ReadCount gives 0");
    expectExchange("ReadCount", 0, {0x02, 0x4A, 0x03}, 15);
    check(counts[0] == 8388608 && counts[1] == -8388608 &&
              counts[2] == static_cast<int32_t>(0xFF800000u),
          "bit 23 extends channels 1 and 2 only (" + std::to_string(counts[0]) + ", " +
              std::to_string(counts[1]) + ", " + std::to_string(counts[2]) + ")");
    check(status[0] == 0x01 && status[1] == 0x02 && status[2] == 0xFE, "status bytes pass unchanged");

    const std::uint8_t second[15] = {0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x7F, 0xFF, 0xFF,
                                     0x12, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00};
    std::memcpy(unit.countReply, second, sizeof second);
    configure(0, unit);
    int32_t count = 0;
    uint8_t one = 0xAA;
    check(lib.readCountCh(3, 0, &count, &one) == RC_OK && count == -1 && one == 0,
          "ReadCountCh channel 0 of FF FF FF FF gives -1");
    check(lib.readCountCh(3, 1, &count, &one) == RC_OK && count == 8388607,
          "ReadCountCh channel 1 of 00 7F FF FF gives 8388607");
    check(lib.readCountCh(3, 2, &count, &one) == RC_OK && count == 0x12000001,
          "ReadCountCh channel 2 of 12 00 00 01 gives 0x12000001");
    check(usb.callCount() == 6, "each ReadCountCh is one exchange");
    usb.reset();
    check(lib.readCountCh(3, 3, &count, &one) == RC_BAD_PARAMETER &&
              lib.readCountCh(4, 3, &count, &one) == RC_BAD_PARAMETER,
          "ReadCountCh channel 3 gives 8, open or not");
    expectNothingSent("ReadCountCh channel 3");
}

void decisionsHold() {
    currentGroup = "decisions";
    scenario({3});
    check(lib.open(3) == RC_OK, "open(3)");
    usb.reset();
    int32_t counts[3] = {11, 22, 33};
    uint8_t status[3] = {44, 55, 66};
    int32_t count = 77;
    uint8_t one = 88;
    const std::uint32_t preset[2] = {1, 2};
    for (int16_t id : {int16_t{16}, int16_t{-1}, int16_t{4}}) {
        std::string name = "id " + std::to_string(id);
        check(lib.inputInverter(id, 0, 0, 0, 0) == RC_NOT_OPEN &&
                  lib.outputInverter(id, 0, 0, 0) == RC_NOT_OPEN &&
                  lib.outputMode(id, 0, 0, 0) == RC_NOT_OPEN &&
                  lib.selClearEvent(id, 0, 0) == RC_NOT_OPEN &&
                  lib.selMultiplier(id, 0, 0) == RC_NOT_OPEN &&
                  lib.setLimitter(id, 0, 0, 0) == RC_NOT_OPEN &&
                  lib.forcedClear(id, 9) == RC_NOT_OPEN && lib.runStop(id, 0, 9) == RC_NOT_OPEN &&
                  lib.writePresetData(id, 0, preset) == RC_NOT_OPEN &&
                  lib.writePresetData(id, 0, nullptr) == RC_NOT_OPEN &&
                  lib.readCount(id, counts, status) == RC_NOT_OPEN &&
                  lib.readCount(id, nullptr, nullptr) == RC_NOT_OPEN &&
                  lib.readCountCh(id, 0, &count, &one) == RC_NOT_OPEN,
              name + ": every counter function gives 7");
    }
    expectNothingSent("ids that are not open");

    check(lib.readCount(3, nullptr, status) == RC_BAD_PARAMETER &&
              lib.readCount(3, counts, nullptr) == RC_BAD_PARAMETER &&
              lib.readCountCh(3, 0, nullptr, &one) == RC_BAD_PARAMETER &&
              lib.readCountCh(3, 0, &count, nullptr) == RC_BAD_PARAMETER &&
              lib.writePresetData(3, 0, nullptr) == RC_BAD_PARAMETER,
          "null output or data pointers on an open unit give 8");
    expectNothingSent("null pointers");

    double_usb::Unit unit;
    unit.idReply = 3;
    std::memset(unit.countReply, 0x11, sizeof unit.countReply);
    unit.deliverAtMost = 14;
    configure(0, unit);
    check(lib.readCount(3, counts, status) == RC_COMM_FAILED &&
              lib.readCountCh(3, 1, &count, &one) == RC_COMM_FAILED,
          "a J reply of 14 bytes gives 9");
    check(counts[0] == 11 && counts[1] == 22 && counts[2] == 33 && status[0] == 44 &&
              status[2] == 66 && count == 77 && one == 88,
          "a short J reply leaves the outputs untouched");

    unit.deliverAtMost = -1;
    unit.writeFails = 1;
    configure(0, unit);
    usb.reset();
    check(lib.forcedClear(3, 0) == RC_COMM_FAILED, "a failing write gives 9");
    std::vector<double_usb::Call> calls = usb.calls();
    check(calls.size() == 1 && calls[0].op == double_usb::OpWritePipe,
          "no read follows a failing write");
    unit.writeFails = 0;
    unit.readFails = 1;
    configure(0, unit);
    check(lib.readCount(3, counts, status) == RC_COMM_FAILED && counts[0] == 11,
          "a failing read gives 9 and writes nothing");
    unit.readFails = 0;
    unit.ackReply = 0x15;
    configure(0, unit);
    check(lib.forcedClear(3, 0) == RC_OK, "after failures the unit stays open, any ack byte gives 0");
}

void discoverySkipsWhatItMust() {
    currentGroup = "discovery";
    scenario({5, 3, 9});
    check(lib.open(3) == RC_OK, "open(3) takes unit01");
    usb.reset();
    check(lib.open(9) == RC_OK, "open(9) still finds unit02 past the open unit01");
    bool unit01Untouched = true;
    for (const double_usb::Call& call : usb.calls()) {
        unit01Untouched = unit01Untouched && call.unit != 1;
    }
    check(unit01Untouched, "the open unit is not asked for its ID again");
    check(lib.readCount(9, nullptr, nullptr) == RC_BAD_PARAMETER && lib.forcedClear(3, 0) == RC_OK,
          "two units open side by side");

    scenario({-1, 7});
    check(lib.open(0) == RC_ID_NOT_FOUND, "a K reply with no byte is no ID, not ID 0");
    check(lib.open(7) == RC_OK, "the unit after a silent one is still found");

    scenario({4, 4});
    HANDLE held = openElsewhere(0, 0);
    check(held != INVALID_HANDLE_VALUE, "this program holds unit00 exclusively");
    check(lib.open(4) == RC_OK, "a unit held elsewhere is skipped; the next one reporting 4 opens");
    std::vector<double_usb::Call> calls = usb.calls();
    check(!calls.empty() && calls[0].unit == 1, "no WinUSB call reached the held unit");
    if (held != INVALID_HANDLE_VALUE) {
        CloseHandle(held);
    }

    std::vector<int> many(17, 20);
    many[0] = 0;
    scenario(many);
    check(lib.open(0) == RC_TOO_MANY_UNITS, "17 present units give 4");
    expectNothingSent("counting 17 units");
    many.pop_back();
    scenario(many);
    check(lib.open(0) == RC_OK, "16 present units are fine");
}

void openFailureReleasesEverything() {
    currentGroup = "open failure";
    scenario({6});
    usb.failInitialize(2); // the ID query binds first; the open for good fails
    check(lib.open(6) == RC_OPEN_FAILED, "WinUSB refusing the unit gives 5");
    check(lib.forcedClear(6, 0) == RC_NOT_OPEN, "the slot stays closed");
    check(usb.state().handlesHeld == 0 && fileReleased(0), "the unit's handles are all released");
    check(lib.open(6) == RC_OK, "the next open succeeds");
}

void closeReleases() {
    currentGroup = "close";
    scenario({3});
    check(lib.open(3) == RC_OK, "open(3)");
    usb.reset();
    lib.close(3);
    std::vector<double_usb::Call> calls = usb.calls();
    check(calls.size() == 1 && calls[0].op == double_usb::OpFree && calls[0].ok,
          "close frees the WinUSB handle and sends nothing");
    check(usb.state().handlesHeld == 0 && fileReleased(0), "close releases the unit's file");
    check(lib.readCount(3, nullptr, nullptr) == RC_NOT_OPEN, "after close the id gives 7");
    usb.reset();
    lib.close(3);
    lib.close(16);
    lib.close(-1);
    expectNothingSent("closing a closed or bad id");
    check(lib.open(3) == RC_OK, "open after close finds the unit again");
    check(usb.state().badFrees == 0, "no WinUSB handle was freed twice");
}

void oneExchangeAtATimePerUnit() {
    currentGroup = "lock";
    scenario({1, 2});
    check(lib.open(1) == RC_OK && lib.open(2) == RC_OK, "open(1) and open(2)");
    double_usb::Unit slow;
    slow.readDelayMs = 1;
    slow.idReply = 1;
    configure(0, slow);
    slow.idReply = 2;
    configure(1, slow);
    usb.reset();
    constexpr int kCalls = 60;
    int failures[3] = {};
    auto hammer = [&failures](int16_t id, int slot) {
        for (int i = 0; i < kCalls; ++i) {
            int32_t counts[3];
            uint8_t status[3];
            if (lib.readCount(id, counts, status) != RC_OK) {
                ++failures[slot];
            }
        }
    };
    std::thread a(hammer, int16_t{1}, 0);
    std::thread b(hammer, int16_t{1}, 1);
    std::thread c(hammer, int16_t{2}, 2);
    a.join();
    b.join();
    c.join();
    check(failures[0] + failures[1] + failures[2] == 0, "every concurrent read gives 0");
    check(usb.callCount() == 3 * kCalls * 2, "every read is one write and one read");
    check(usb.state().interleavings == 0, "no write reached a unit before its previous reply");
}

void nothingLeftBehind() {
    currentGroup = "cleanup";
    scenario({});
    bool released = usb.state().handlesHeld == 0;
    for (int unit = 0; unit < kRegisteredUnits; ++unit) {
        released = released && fileReleased(unit);
    }
    check(released, "after closing every id no WinUSB handle or unit file is held");
    check(usb.state().badFrees == 0, "no stray WinUSB_Free");
}


// Runs last: it leaves a unit's handles behind on purpose.
void unloadClosesNothing() {
    currentGroup = "unload";
    scenario({2});
    check(lib.open(2) == RC_OK, "open(2)");
    usb.reset();
    check(FreeLibrary(lib.module) != FALSE && GetModuleHandleW(L"BRIVANT.dll") == nullptr,
          "FreeLibrary unloads BRIVANT.dll");
    check(usb.callCount() == 0 && usb.state().handlesHeld == 1,
          "unloading does not close the unit that is still open");
    lib.module = LoadLibraryW(L"BRIVANT.dll");
    check(lib.module != nullptr, "BRIVANT.dll loads again");
    if (lib.module == nullptr) {
        return;
    }
    resolveLibrary();
    if (lib.open == nullptr || lib.close == nullptr || lib.readCount == nullptr) {
        check(false, "the reloaded library's functions resolve");
        return;
    }
    check(lib.readCount(2, nullptr, nullptr) == RC_NOT_OPEN, "a fresh load starts with every id closed");
    check(lib.open(2) == RC_OK, "the unit opens again beside the forgotten handles");
    lib.close(2);
    check(usb.state().handlesHeld == 1 && usb.state().badFrees == 0,
          "close releases only what this load opened");
}

// Runs one group and prints its tally.
void run(void (*group)()) {
    int passedBefore = passed;
    int failedBefore = failed;
    group();
    std::printf("%-14s %3d passed, %d failed\n", currentGroup, passed - passedBefore,
                failed - failedBefore);
}

} // namespace

int main() {
    bool loaded = loadAll();
    std::printf("%-14s %3d passed, %d failed\n", currentGroup, passed, failed);
    if (loaded) {
        run(exportsResolve);
        run(versionResource);
        run(openFindsUnitById);
        run(framesReachTheUnit);
        run(countsAreDecoded);
        run(decisionsHold);
        run(discoverySkipsWhatItMust);
        run(openFailureReleasesEverything);
        run(closeReleases);
        run(oneExchangeAtATimePerUnit);
        run(unpluggedUnitFailsUntilBack);
        run(replugAnywhereIsFoundAgain);
        run(unplugWhileInUse);
        run(threadsShareUnitsSafely);
        run(stressSixteenUnits);
        run(stdcallKeepsTheStackBalanced);
        run(nothingLeftBehind);
        run(unloadClosesNothing);
    }
    std::printf("wine: %d passed, %d failed\n", passed, failed);
    std::fflush(stdout);
    return failed == 0 && passed > 0 ? 0 : 1;
}

