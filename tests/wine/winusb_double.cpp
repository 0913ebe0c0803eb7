// winusb.dll test double: see winusb_double.h.
#include <windows.h>
#include <winusb.h> // the definitions below must match the real declarations

#include <algorithm>
#include <cstring>
#include <mutex>
#include <set>
#include <vector>

#include "platform/sim/unit_model.h"
#include "winusb_double.h"

using namespace double_usb;
using brivant::sim::UnitModel;

namespace {

struct Interface {
    int unit;
    brivant::sim::Reply reply; // the unit's answer to the last frame written here
};

std::mutex stateLock;
Unit units[kUnits];
UnitModel models[kUnits]; // how each unit answers, from the answers in units[]

// Until the suite configures them, unit NN answers K with NN, so that a
// program run on its own in the prefix (brivant.exe) finds units by number.
struct DefaultAnswers {
    DefaultAnswers() {
        for (int unit = 0; unit < kUnits; ++unit) {
            units[unit].idReply = unit;
            brivant::sim::UnitAnswers answers;
            answers.idReply = unit;
            models[unit].setAnswers(answers);
        }
    }
} defaultAnswers;
bool unplugged[kUnits] = {};
// A write reached the unit and its reply has not been read yet. Kept per unit,
// not per handle: two connections to one unit must not interleave either.
bool awaitingReply[kUnits] = {};
std::vector<Call> calls;
std::set<Interface*> live;
State state;
int failInitializeCountdown = 0;

void record(Call call) {
    calls.push_back(call);
}

// The unit number the file behind `file` names; -1 when it cannot be read.
// The handle may be opened for overlapped use, so the read always carries an
// OVERLAPPED and waits for it.
int unitOfFile(HANDLE file) {
    char text[2] = {};
    OVERLAPPED overlapped{};
    overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    DWORD got = 0;
    BOOL ok = ReadFile(file, text, sizeof text, nullptr, &overlapped);
    if (!ok && GetLastError() == ERROR_IO_PENDING) {
        ok = TRUE;
    }
    if (ok) {
        ok = GetOverlappedResult(file, &overlapped, &got, TRUE);
    }
    CloseHandle(overlapped.hEvent);
    if (!ok || got != sizeof text || text[0] < '0' || text[0] > '9' || text[1] < '0' ||
        text[1] > '9') {
        return -1;
    }
    int unit = (text[0] - '0') * 10 + (text[1] - '0');
    return unit < kUnits ? unit : -1;
}

// What the kernel says about how the library opened the file.
struct PublicObjectBasicInformation {
    ULONG attributes;
    ACCESS_MASK grantedAccess;
    ULONG reserved[12];
};
struct IoStatus {
    ULONG_PTR status;
    ULONG_PTR information;
};
using NtQueryObjectFn = LONG(WINAPI*)(HANDLE, int, PVOID, ULONG, PULONG);
using NtQueryInformationFileFn = LONG(WINAPI*)(HANDLE, IoStatus*, PVOID, ULONG, int);
constexpr int kObjectBasicInformation = 0;
constexpr int kFileModeInformation = 16;
constexpr ULONG kSynchronousIo = 0x10 | 0x20; // FILE_SYNCHRONOUS_IO_ALERT / _NONALERT

void describeFile(HANDLE file, Call& call) {
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    auto queryObject =
        reinterpret_cast<NtQueryObjectFn>(reinterpret_cast<void*>(GetProcAddress(ntdll, "NtQueryObject")));
    auto queryFile = reinterpret_cast<NtQueryInformationFileFn>(
        reinterpret_cast<void*>(GetProcAddress(ntdll, "NtQueryInformationFile")));
    PublicObjectBasicInformation basic{};
    if (queryObject != nullptr &&
        queryObject(file, kObjectBasicInformation, &basic, sizeof basic, nullptr) == 0) {
        call.fileAccess = basic.grantedAccess;
    }
    ULONG mode = 0;
    IoStatus io{};
    if (queryFile != nullptr && queryFile(file, &io, &mode, sizeof mode, kFileModeInformation) == 0) {
        call.fileOverlapped = (mode & kSynchronousIo) == 0 ? 1 : 0;
    }
}

Interface* liveInterface(void* handle) {
    auto* found = static_cast<Interface*>(handle);
    return live.count(found) != 0 ? found : nullptr;
}

} // namespace

// Exported undecorated through winusb_double.def.
extern "C" {

BOOL WINAPI WinUsb_Initialize(HANDLE DeviceHandle,
                                PWINUSB_INTERFACE_HANDLE InterfaceHandle) {
    int unit = unitOfFile(DeviceHandle);
    std::lock_guard<std::mutex> guard(stateLock);
    Call call;
    call.op = OpInitialize;
    call.unit = unit;
    describeFile(DeviceHandle, call);
    bool failNow = failInitializeCountdown > 0 && --failInitializeCountdown == 0;
    if (unit < 0 || failNow || InterfaceHandle == nullptr) {
        record(call);
        SetLastError(ERROR_NOT_SUPPORTED);
        return FALSE;
    }
    if (unplugged[unit]) {
        record(call);
        SetLastError(ERROR_DEVICE_NOT_CONNECTED);
        return FALSE;
    }
    auto* usb = new Interface{unit, {}};
    live.insert(usb);
    ++state.handlesHeld;
    *InterfaceHandle = usb;
    call.ok = 1;
    record(call);
    return TRUE;
}

BOOL WINAPI WinUsb_Free(WINUSB_INTERFACE_HANDLE InterfaceHandle) {
    std::lock_guard<std::mutex> guard(stateLock);
    Call call;
    call.op = OpFree;
    Interface* usb = liveInterface(InterfaceHandle);
    if (usb == nullptr) {
        ++state.badFrees;
        record(call);
        return FALSE;
    }
    call.unit = usb->unit;
    call.ok = 1;
    live.erase(usb);
    --state.handlesHeld;
    delete usb;
    record(call);
    return TRUE;
}

BOOL WINAPI WinUsb_WritePipe(WINUSB_INTERFACE_HANDLE InterfaceHandle, UCHAR PipeID,
                                                   PUCHAR Buffer, ULONG BufferLength,
                                                   PULONG LengthTransferred,
                                                   LPOVERLAPPED Overlapped) {
    std::lock_guard<std::mutex> guard(stateLock);
    Call call;
    call.op = OpWritePipe;
    call.pipe = PipeID;
    call.length = BufferLength;
    call.overlappedGiven = Overlapped != nullptr;
    Interface* usb = liveInterface(InterfaceHandle);
    if (usb == nullptr || Buffer == nullptr) {
        record(call);
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    call.unit = usb->unit;
    std::memcpy(call.bytes, Buffer, std::min<ULONG>(BufferLength, sizeof call.bytes));
    if (awaitingReply[usb->unit]) {
        ++state.interleavings;
    }
    if (unplugged[usb->unit]) {
        record(call);
        SetLastError(ERROR_DEVICE_NOT_CONNECTED);
        return FALSE;
    }
    if (units[usb->unit].writeFails || PipeID != 0x01) {
        record(call);
        SetLastError(ERROR_GEN_FAILURE);
        return FALSE;
    }
    awaitingReply[usb->unit] = true;
    usb->reply = models[usb->unit].answer(Buffer, BufferLength, brivant::sim::SimClock::now());
    call.transferred = BufferLength;
    if (LengthTransferred != nullptr) {
        *LengthTransferred = BufferLength;
    }
    call.ok = 1;
    record(call);
    return TRUE;
}

BOOL WINAPI WinUsb_ReadPipe(WINUSB_INTERFACE_HANDLE InterfaceHandle, UCHAR PipeID,
                                                  PUCHAR Buffer, ULONG BufferLength,
                                                  PULONG LengthTransferred,
                                                  LPOVERLAPPED Overlapped) {
    unsigned delay = 0;
    int inFlight = -1; // the unit this read is counted on
    {
        std::lock_guard<std::mutex> guard(stateLock);
        Interface* usb = liveInterface(InterfaceHandle);
        if (usb != nullptr) {
            delay = units[usb->unit].readDelayMs;
            inFlight = usb->unit;
            ++state.unitReadsInFlight[inFlight];
            state.maxReadsInFlight = std::max(state.maxReadsInFlight, ++state.readsInFlight);
        }
    }
    if (delay != 0) {
        Sleep(delay); // outside the lock: another writer may come in meanwhile
    }
    std::lock_guard<std::mutex> guard(stateLock);
    if (inFlight >= 0) {
        --state.unitReadsInFlight[inFlight];
        --state.readsInFlight;
    }
    Call call;
    call.op = OpReadPipe;
    call.pipe = PipeID;
    call.length = BufferLength;
    call.overlappedGiven = Overlapped != nullptr;
    Interface* usb = liveInterface(InterfaceHandle);
    if (usb == nullptr || Buffer == nullptr) {
        record(call);
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    call.unit = usb->unit;
    awaitingReply[usb->unit] = false;
    if (unplugged[usb->unit]) { // also when it went while this read waited
        record(call);
        SetLastError(ERROR_DEVICE_NOT_CONNECTED);
        return FALSE;
    }
    const Unit& unit = units[usb->unit];
    if (unit.readFails || PipeID != 0x82) {
        record(call);
        SetLastError(ERROR_SEM_TIMEOUT);
        return FALSE;
    }
    auto replyLength = static_cast<ULONG>(usb->reply.size);
    if (unit.deliverAtMost >= 0) {
        replyLength = std::min<ULONG>(replyLength, static_cast<ULONG>(unit.deliverAtMost));
    }
    replyLength = std::min(replyLength, BufferLength);
    std::memcpy(Buffer, usb->reply.bytes.data(), replyLength);
    std::memcpy(call.bytes, usb->reply.bytes.data(), replyLength);
    call.transferred = replyLength;
    if (LengthTransferred != nullptr) {
        *LengthTransferred = replyLength;
    }
    call.ok = 1;
    record(call);
    return TRUE;
}

// Forgets the record, the armed Initialize failure, the fault counters and
// the most reads seen in flight. Units keep their settings and stay plugged
// or not; handles still live stay valid so that the library can free them.
void Double_Reset() {
    std::lock_guard<std::mutex> guard(stateLock);
    calls.clear();
    failInitializeCountdown = 0;
    state.badFrees = 0;
    state.interleavings = 0;
    state.maxReadsInFlight = state.readsInFlight;
}

// Unplugs (0) or plugs back in (1) a unit: while unplugged every WinUSB call
// on it fails.
void Double_SetPlugged(int unit, int plugged) {
    std::lock_guard<std::mutex> guard(stateLock);
    if (unit >= 0 && unit < kUnits) {
        unplugged[unit] = plugged == 0;
    }
}

void Double_SetUnit(int unit, const Unit* settings) {
    std::lock_guard<std::mutex> guard(stateLock);
    if (unit >= 0 && unit < kUnits && settings != nullptr) {
        units[unit] = *settings;
        brivant::sim::UnitAnswers answers;
        answers.idReply = settings->idReply;
        std::copy(std::begin(settings->countReply), std::end(settings->countReply),
                  answers.countReply.begin());
        answers.ackReply = settings->ackReply;
        models[unit].setAnswers(answers);
    }
}

// The Nth WinUsb_Initialize from now fails (1-based); 0 disarms.
void Double_FailInitialize(int nthFromNow) {
    std::lock_guard<std::mutex> guard(stateLock);
    failInitializeCountdown = nthFromNow;
}

int Double_CallCount() {
    std::lock_guard<std::mutex> guard(stateLock);
    return static_cast<int>(calls.size());
}

int Double_GetCall(int index, Call* call) {
    std::lock_guard<std::mutex> guard(stateLock);
    if (index < 0 || static_cast<size_t>(index) >= calls.size() || call == nullptr) {
        return 0;
    }
    *call = calls[static_cast<size_t>(index)];
    return 1;
}

void Double_GetState(State* out) {
    std::lock_guard<std::mutex> guard(stateLock);
    *out = state;
}

} // extern "C"
