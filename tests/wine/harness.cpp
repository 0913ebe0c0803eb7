// The Wine suite's shared machinery: see harness.h.
#include "harness.h"

#include <cstdio>
#include <cstring>

namespace suite {

int passed = 0;
int failed = 0;
const char* currentGroup = "";

Library lib;
Double usb;

void check(bool condition, const std::string& what) {
    if (condition) {
        ++passed;
    } else {
        ++failed;
        std::printf("FAIL [%s] %s\n", currentGroup, what.c_str());
    }
}

namespace {

// ---- simulated units in Wine's registry --------------------------------------

const wchar_t kClassGuid[] = L"{85b54c78-94cc-4866-a4bd-464e49dfc5e4}";

std::wstring unitName(int unit) {
    wchar_t name[8];
    swprintf(name, 8, L"unit%02d", unit);
    return name;
}

std::wstring devicePath(int unit) {
    return L"\\\\?\\usb#vid_1234&pid_0001#" + unitName(unit) + L"#" + kClassGuid;
}

std::wstring linkedKey(int unit) {
    return std::wstring(L"System\\CurrentControlSet\\Control\\DeviceClasses\\") + kClassGuid +
           L"\\##?#USB#VID_1234&PID_0001#" + unitName(unit) + L"#" + kClassGuid + L"\\#\\Control";
}

bool setString(HKEY root, const std::wstring& key, const wchar_t* name, const std::wstring& value) {
    HKEY handle;
    if (RegCreateKeyExW(root, key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &handle,
                        nullptr) != ERROR_SUCCESS) {
        return false;
    }
    LONG rc = RegSetValueExW(handle, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                             static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(handle);
    return rc == ERROR_SUCCESS;
}

bool setLinked(int unit, DWORD linked) {
    HKEY handle;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, linkedKey(unit).c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                        nullptr, &handle, nullptr) != ERROR_SUCCESS) {
        return false;
    }
    LONG rc = RegSetValueExW(handle, L"Linked", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&linked),
                             sizeof linked);
    RegCloseKey(handle);
    return rc == ERROR_SUCCESS;
}

bool registerUnits() {
    for (int unit = 0; unit < kRegisteredUnits; ++unit) {
        std::wstring instance = L"USB\\VID_1234&PID_0001\\" + unitName(unit);
        std::wstring interfaceKey = std::wstring(L"System\\CurrentControlSet\\Control\\DeviceClasses\\") +
                                    kClassGuid + L"\\##?#USB#VID_1234&PID_0001#" + unitName(unit) +
                                    L"#" + kClassGuid;
        if (!setString(HKEY_LOCAL_MACHINE, L"System\\CurrentControlSet\\Enum\\" + instance,
                       L"ClassGUID", L"{36fc9e60-c465-11cf-8056-444553540000}") ||
            !setString(HKEY_LOCAL_MACHINE, interfaceKey, L"DeviceInstance", instance) ||
            !setLinked(unit, 0)) {
            return false;
        }
    }
    return true;
}

std::string hex(const std::uint8_t* bytes, unsigned length) {
    std::string text;
    char part[4];
    for (unsigned i = 0; i < length; ++i) {
        std::snprintf(part, sizeof part, "%s%02X", i ? " " : "", bytes[i]);
        text += part;
    }
    return text;
}

} // namespace

void scenario(const std::vector<int>& ids) {
    for (int id = 0; id < 16; ++id) {
        lib.close(static_cast<int16_t>(id));
    }
    for (int unit = 0; unit < kRegisteredUnits; ++unit) {
        setLinked(unit, unit < static_cast<int>(ids.size()) ? 1 : 0);
    }
    usb.reset();
    for (int unit = 0; unit < double_usb::kUnits; ++unit) {
        usb.setPlugged(unit, 1);
        double_usb::Unit settings;
        settings.idReply = unit < static_cast<int>(ids.size()) ? ids[static_cast<size_t>(unit)] : 0;
        usb.setUnit(unit, &settings);
    }
}

void configure(int unit, const double_usb::Unit& settings) { usb.setUnit(unit, &settings); }

void plug(int unit, bool present) {
    if (!setLinked(unit, present ? 1 : 0)) { // counted only when it goes wrong
        check(false, "unit" + std::to_string(unit) + " is " + (present ? "shown" : "hidden") +
                         " in the registry");
    }
    usb.setPlugged(unit, present ? 1 : 0);
}

double_usb::Unit markedUnit(int id) {
    double_usb::Unit unit;
    unit.idReply = id;
    unit.countReply[3] = static_cast<std::uint8_t>(id);
    return unit;
}

bool waitForReadInFlight(int unit, DWORD ms) {
    DWORD started = GetTickCount();
    while (usb.state().unitReadsInFlight[unit] < 1) {
        if (GetTickCount() - started > ms) {
            return false;
        }
        Sleep(1);
    }
    return true;
}

HANDLE openElsewhere(int unit, DWORD sharing) {
    return CreateFileW(devicePath(unit).c_str(), GENERIC_READ | GENERIC_WRITE, sharing, nullptr,
                       OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

bool fileReleased(int unit) {
    HANDLE file = openElsewhere(unit, 0);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    CloseHandle(file);
    return true;
}

void expectExchange(const std::string& what, int unit, const std::vector<std::uint8_t>& frame,
                    unsigned replyLength) {
    std::vector<double_usb::Call> calls = usb.calls();
    bool ok = calls.size() == 2 && calls[0].op == double_usb::OpWritePipe &&
              calls[0].unit == unit && calls[0].pipe == 0x01 &&
              calls[0].length == frame.size() &&
              std::memcmp(calls[0].bytes, frame.data(), frame.size()) == 0 &&
              calls[1].op == double_usb::OpReadPipe && calls[1].unit == unit &&
              calls[1].pipe == 0x82 && calls[1].length == replyLength &&
              calls[0].overlappedGiven == 0 && calls[1].overlappedGiven == 0;
    std::string seen = std::to_string(calls.size()) + " calls";
    if (!calls.empty()) {
        seen += ", first writes " + hex(calls[0].bytes, calls[0].length);
    }
    check(ok, what + " sends " + hex(frame.data(), static_cast<unsigned>(frame.size())) +
                  " and reads " + std::to_string(replyLength) + " (" + seen + ")");
    usb.reset();
}

void expectNothingSent(const std::string& what) {
    check(usb.callCount() == 0, what + " touches no unit");
    usb.reset();
}

void resolveLibrary() {
    resolve(lib.module, "Brivant_Device_Open", lib.open);
    resolve(lib.module, "Brivant_Device_Close", lib.close);
    resolve(lib.module, "Brivant_InputInverter", lib.inputInverter);
    resolve(lib.module, "Brivant_OutputInverter", lib.outputInverter);
    resolve(lib.module, "Brivant_OutputMode", lib.outputMode);
    resolve(lib.module, "Brivant_SelClearEvent", lib.selClearEvent);
    resolve(lib.module, "Brivant_SelMultiplier", lib.selMultiplier);
    resolve(lib.module, "Brivant_SetLimitter", lib.setLimitter);
    resolve(lib.module, "Brivant_ForcedClear", lib.forcedClear);
    resolve(lib.module, "Brivant_RunStop", lib.runStop);
    resolve(lib.module, "Brivant_WritePresetData", lib.writePresetData);
    resolve(lib.module, "Brivant_ReadCount", lib.readCount);
    resolve(lib.module, "Brivant_ReadCountCh", lib.readCountCh);
}

bool loadAll() {
    currentGroup = "load";
    lib.module = LoadLibraryW(L"BRIVANT.dll");
    check(lib.module != nullptr, "LoadLibrary BRIVANT.dll");
    if (lib.module == nullptr) {
        return false;
    }
    resolveLibrary();

    // The double must be the very winusb.dll that BRIVANT.dll bound to.
    HMODULE bound = GetModuleHandleW(L"winusb.dll");
    HMODULE loaded = LoadLibraryW(L"winusb.dll");
    check(bound != nullptr && bound == loaded, "BRIVANT.dll imports the winusb.dll loaded here");
    if (loaded == nullptr) {
        return false;
    }
    resolve(loaded, "Double_Reset", usb.reset);
    resolve(loaded, "Double_SetUnit", usb.setUnit);
    resolve(loaded, "Double_FailInitialize", usb.failInitialize);
    resolve(loaded, "Double_CallCount", usb.callCount);
    resolve(loaded, "Double_GetCall", usb.getCall);
    resolve(loaded, "Double_GetState", usb.getState);
    resolve(loaded, "Double_SetPlugged", usb.setPlugged);
    bool complete = usb.reset && usb.setUnit && usb.failInitialize && usb.callCount &&
                    usb.getCall && usb.getState && usb.setPlugged && lib.open && lib.close &&
                    lib.readCountCh && lib.readCount && lib.writePresetData && lib.runStop && lib.forcedClear &&
                    lib.setLimitter && lib.selMultiplier && lib.selClearEvent && lib.outputMode &&
                    lib.outputInverter && lib.inputInverter;
    check(complete, "the test double is winusb.dll and every function resolves");
    if (!complete) {
        return false;
    }
    bool registered = registerUnits();
    check(registered, "the simulated units are registered");
    return registered;
}

} // namespace suite
