// brivant_installer_actions.dll: the installer's own custom actions, carried
// in the MSI's Binary table and never installed.
//
// A major upgrade removes the old product before it installs the new one,
// and the old product's removal stops and deletes the service Brivant; the
// new one would install it anew, started on demand and not running.
// RememberService runs before that removal and keeps, in installer
// properties, how the service starts and whether it runs; the installed
// brivant.exe (`service restore`) puts both back once the new service is in
// place. Written against kernel32, advapi32 and msi alone, so that nothing
// has to be next to the DLL where the installer unpacks it.
#include <windows.h>

#include <msi.h>
#include <msiquery.h>

namespace {

constexpr const wchar_t* kService = L"Brivant";

// One line in the installer's log (msiexec /l*v).
void logLine(MSIHANDLE install, const wchar_t* text) {
    MSIHANDLE record = MsiCreateRecord(1);
    if (record == 0) {
        return;
    }
    MsiRecordSetStringW(record, 0, text);
    MsiProcessMessage(install, INSTALLMESSAGE_INFO, record);
    MsiCloseHandle(record);
}

const wchar_t* startTypeName(DWORD type) {
    switch (type) {
    case SERVICE_AUTO_START:
        return L"auto";
    case SERVICE_DISABLED:
        return L"disabled";
    default:
        return L"demand";
    }
}

// The service's start type, or SERVICE_NO_CHANGE when the manager does not
// tell it.
DWORD startTypeOf(SC_HANDLE service) {
    DWORD needed = 0;
    QueryServiceConfigW(service, nullptr, 0, &needed);
    if (needed == 0) {
        return SERVICE_NO_CHANGE;
    }
    auto* config = static_cast<QUERY_SERVICE_CONFIGW*>(HeapAlloc(GetProcessHeap(), 0, needed));
    if (config == nullptr) {
        return SERVICE_NO_CHANGE;
    }
    const DWORD type = QueryServiceConfigW(service, config, needed, &needed) ? config->dwStartType : SERVICE_NO_CHANGE;
    HeapFree(GetProcessHeap(), 0, config);
    return type;
}

} // namespace

// Immediate, before RemoveExistingProducts, on an upgrade: sets
// BRIVANTSTARTTYPE (auto, demand or disabled) and BRIVANTSTATE (running or
// stopped). With no service to read, neither is set, and the new service
// stays as installed. Never fails the upgrade.
extern "C" __declspec(dllexport) UINT __stdcall RememberService(MSIHANDLE install) {
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (manager == nullptr) {
        logLine(install, L"Brivant: cannot reach the service manager; the service is installed as new");
        return ERROR_SUCCESS;
    }
    SC_HANDLE service = OpenServiceW(manager, kService, SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS);
    if (service == nullptr) {
        logLine(install, L"Brivant: no service Brivant before the upgrade; it is installed as new");
        CloseServiceHandle(manager);
        return ERROR_SUCCESS;
    }
    const DWORD type = startTypeOf(service);
    SERVICE_STATUS status{};
    const bool known = QueryServiceStatus(service, &status) != FALSE;
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    if (type == SERVICE_NO_CHANGE || !known) {
        logLine(install, L"Brivant: the service manager does not tell how the service runs; it is installed as new");
        return ERROR_SUCCESS;
    }
    // A service on its way up counts as running; one on its way down, not.
    const bool running = status.dwCurrentState != SERVICE_STOPPED && status.dwCurrentState != SERVICE_STOP_PENDING;
    MsiSetPropertyW(install, L"BRIVANTSTARTTYPE", startTypeName(type));
    MsiSetPropertyW(install, L"BRIVANTSTATE", running ? L"running" : L"stopped");
    logLine(install, running ? L"Brivant: the service runs before the upgrade; it is started again after it"
                             : L"Brivant: the service is stopped before the upgrade; it stays stopped after it");
    return ERROR_SUCCESS;
}
