// The simulated platform's operations by name, one for each function of
// platform.h.
#pragma once

namespace brivant::sim {

enum class Op {
    GetClassDevs,
    EnumInterface,
    GetInterfaceDetail,
    DestroyDevInfo,
    LastError,
    LocalAlloc,
    LocalFree,
    CreateFile,
    CloseHandle,
    CreateMutex,
    UsbInitialize,
    UsbFree,
    WritePipe,
    ReadPipe,
};

} // namespace brivant::sim
