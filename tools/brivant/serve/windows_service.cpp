#include "serve/windows_service.h"

#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <chrono>
#include <memory>
#include <stdexcept>
#include <thread>
#include <vector>

#include "util/interrupt.h"

namespace brivant::tool {

namespace {

std::wstring wide(const std::string& text) {
    if (text.empty()) {
        return {};
    }
    const int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(static_cast<std::size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n);
    return out;
}

std::string narrow(const wchar_t* text) {
    if (text == nullptr || *text == L'\0') {
        return {};
    }
    const int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), n, nullptr, nullptr);
    out.resize(static_cast<std::size_t>(n > 0 ? n - 1 : 0));
    return out;
}

std::string systemMessage(DWORD code) {
    wchar_t* text = nullptr;
    FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                   nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::string message = narrow(text);
    LocalFree(text);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' || message.back() == '.')) {
        message.pop_back();
    }
    return (message.empty() ? "error" : message) + " (" + std::to_string(code) + ")";
}

[[noreturn]] void fail(const std::string& what) {
    throw std::runtime_error(what + ": " + systemMessage(GetLastError()));
}

// Service handles, closed when they go out of scope.
struct HandleCloser {
    void operator()(SC_HANDLE handle) const { CloseServiceHandle(handle); }
};
using ScHandle = std::unique_ptr<std::remove_pointer_t<SC_HANDLE>, HandleCloser>;

ScHandle openManager(DWORD access) {
    ScHandle manager(OpenSCManagerW(nullptr, nullptr, access));
    if (!manager) {
        fail("cannot open the service manager");
    }
    return manager;
}

ScHandle openService(const std::string& name, DWORD access) {
    ScHandle manager = openManager(SC_MANAGER_CONNECT);
    ScHandle service(OpenServiceW(manager.get(), wide(name).c_str(), access));
    if (!service) {
        fail("cannot open the service " + name);
    }
    return service;
}

SERVICE_STATUS_PROCESS query(SC_HANDLE service) {
    SERVICE_STATUS_PROCESS status{};
    DWORD needed = 0;
    if (!QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status), sizeof status,
                              &needed)) {
        fail("cannot ask the service's state");
    }
    return status;
}

const char* stateName(DWORD state) {
    switch (state) {
    case SERVICE_STOPPED: return "stopped";
    case SERVICE_START_PENDING: return "starting";
    case SERVICE_STOP_PENDING: return "stopping";
    case SERVICE_RUNNING: return "running";
    case SERVICE_CONTINUE_PENDING: return "continuing";
    case SERVICE_PAUSE_PENDING: return "pausing";
    case SERVICE_PAUSED: return "paused";
    default: return "unknown";
    }
}

const char* startTypeText(DWORD type) {
    return type == SERVICE_AUTO_START     ? "at boot"
           : type == SERVICE_DEMAND_START ? "when asked (brivant service start)"
                                          : "never (disabled)";
}

// Waits while the service is in `passing`, at most `most`; its last state.
SERVICE_STATUS_PROCESS waitWhile(SC_HANDLE service, DWORD passing, std::chrono::seconds most) {
    const auto until = std::chrono::steady_clock::now() + most;
    SERVICE_STATUS_PROCESS status = query(service);
    while (status.dwCurrentState == passing && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        status = query(service);
    }
    return status;
}

std::string exitText(const SERVICE_STATUS_PROCESS& status) {
    if (status.dwWin32ExitCode == ERROR_SERVICE_SPECIFIC_ERROR) {
        return "serve ended with status " + std::to_string(status.dwServiceSpecificExitCode);
    }
    return status.dwWin32ExitCode == NO_ERROR ? "no error" : systemMessage(status.dwWin32ExitCode);
}

// -- the running service --

void keepFailureActionsForCrashes(const std::string& name) {
    try {
        ScHandle service = openService(name, SERVICE_CHANGE_CONFIG);
        SERVICE_FAILURE_ACTIONS_FLAG flag{FALSE};
        ChangeServiceConfig2W(service.get(), SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, &flag);
    } catch (const std::runtime_error&) {
        // best effort: the manager restarts it, and the log says why again
    }
}

struct Running {
    const ServiceSettings* settings = nullptr;
    const std::function<int()>* serve = nullptr;
    SERVICE_STATUS_HANDLE handle = nullptr;
    SERVICE_STATUS status{};
    int result = 0;
    std::string failure;
};

Running running;

void report(DWORD state, DWORD waitHint = 0) {
    running.status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    running.status.dwCurrentState = state;
    running.status.dwControlsAccepted =
        state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN | SERVICE_ACCEPT_PRESHUTDOWN : 0;
    running.status.dwWaitHint = waitHint;
    running.status.dwCheckPoint = state == SERVICE_RUNNING || state == SERVICE_STOPPED ? 0 : running.status.dwCheckPoint + 1;
    SetServiceStatus(running.handle, &running.status);
}

// The manager's thread: serve's loop sees the interrupt and ends as after
// SIGTERM (readers joined, units closed, "offline" published, runtime file
// removed).
DWORD WINAPI control(DWORD code, DWORD, void*, void*) {
    switch (code) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
    case SERVICE_CONTROL_PRESHUTDOWN:
        report(SERVICE_STOP_PENDING, 30000);
        requestInterrupt();
        return NO_ERROR;
    case SERVICE_CONTROL_INTERROGATE:
        return NO_ERROR;
    default:
        return ERROR_CALL_NOT_IMPLEMENTED;
    }
}

void WINAPI serviceMain(DWORD, wchar_t**) {
    const std::wstring name = wide(running.settings->name);
    running.handle = RegisterServiceCtrlHandlerExW(name.c_str(), control, nullptr);
    if (running.handle == nullptr) {
        running.failure = "cannot register with the service manager: " + systemMessage(GetLastError());
        return;
    }
    // Running only once serve is up (reportRunning): a station file that
    // cannot work ends the start as stopped, with serve's status.
    report(SERVICE_START_PENDING, 30000);
    try {
        running.result = (*running.serve)();
    } catch (const std::exception& e) {
        running.failure = e.what();
        running.result = 70;
    } catch (...) {
        running.failure = "an unknown error";
        running.result = 70;
    }
    // A failure ends with an error, so that the manager's failure actions
    // restart it; but a station file that cannot work (64, 66) would fail
    // the same way at every restart: the actions are kept for crashes then,
    // until the next start that runs sets them again.
    if (running.result == 64 || running.result == 66) {
        keepFailureActionsForCrashes(running.settings->name);
    }
    running.status.dwWin32ExitCode = running.result == 0 ? NO_ERROR : ERROR_SERVICE_SPECIFIC_ERROR;
    running.status.dwServiceSpecificExitCode = static_cast<DWORD>(running.result);
    report(SERVICE_STOPPED);
}

} // namespace

int runUnderServiceManager(const ServiceSettings& settings, const std::function<int()>& serve) {
    running.settings = &settings;
    running.serve = &serve;
    std::wstring name = wide(settings.name);
    SERVICE_TABLE_ENTRYW table[] = {{name.data(), serviceMain}, {nullptr, nullptr}};
    if (!StartServiceCtrlDispatcherW(table)) {
        const DWORD code = GetLastError();
        if (code == ERROR_FAILED_SERVICE_CONTROLLER_CONNECT) {
            throw std::runtime_error("service run is started by the service manager (brivant service start); "
                                     "brivant serve --config FILE runs a station in this console");
        }
        SetLastError(code);
        fail("cannot reach the service manager");
    }
    if (!running.failure.empty()) {
        throw std::runtime_error(running.failure);
    }
    return running.result;
}

void reportRunning() {
    report(SERVICE_RUNNING);
}

std::string setFailureActions(const std::string& name) {
    try {
        ScHandle service = openService(name, SERVICE_CHANGE_CONFIG | SERVICE_START);
        SC_ACTION actions[] = {{SC_ACTION_RESTART, 1000}, {SC_ACTION_RESTART, 10000}, {SC_ACTION_RESTART, 60000}};
        SERVICE_FAILURE_ACTIONSW failure{};
        failure.dwResetPeriod = 24 * 60 * 60; // a day without failure begins the count again
        failure.cActions = 3;
        failure.lpsaActions = actions;
        if (!ChangeServiceConfig2W(service.get(), SERVICE_CONFIG_FAILURE_ACTIONS, &failure)) {
            fail("cannot set the failure actions");
        }
        SERVICE_FAILURE_ACTIONS_FLAG flag{TRUE};
        ChangeServiceConfig2W(service.get(), SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, &flag);
        SERVICE_PRESHUTDOWN_INFO preshutdown{30000};
        ChangeServiceConfig2W(service.get(), SERVICE_CONFIG_PRESHUTDOWN_INFO, &preshutdown);
        return "";
    } catch (const std::runtime_error& e) {
        return e.what();
    }
}

namespace {

// The owner of what is there may be trusted with the service's files.
bool trustedOwner(PSID owner) {
    if (owner == nullptr) {
        return false;
    }
    if (IsWellKnownSid(owner, WinLocalSystemSid) || IsWellKnownSid(owner, WinBuiltinAdministratorsSid)) {
        return true;
    }
    // This service's own account (SYSTEM on Windows; under Wine, its user).
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        return false;
    }
    BYTE buffer[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    DWORD size = 0;
    const bool own = GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &size) &&
                     EqualSid(owner, reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid);
    CloseHandle(token);
    return own;
}

std::string sidName(PSID sid) {
    wchar_t* text = nullptr;
    if (sid == nullptr || !ConvertSidToStringSidW(sid, &text)) {
        return "an unknown account";
    }
    std::string name = narrow(text);
    LocalFree(text);
    return name;
}

// Why `path` (a folder, or what one holds) may not be the service's, or "".
std::string untrustedOwner(const std::string& path) {
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    const DWORD rc = GetNamedSecurityInfoW(wide(path).c_str(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner,
                                           nullptr, nullptr, nullptr, &descriptor);
    if (rc != ERROR_SUCCESS) {
        return path + ": its owner cannot be read (" + systemMessage(rc) + ")";
    }
    std::string problem;
    if (!trustedOwner(owner)) {
        problem = path + " is owned by " + sidName(owner) + ", not by SYSTEM or Administrators";
    }
    LocalFree(descriptor);
    return problem;
}

// A second name of another file lets whoever made it have the service
// write into that file.
bool hasOtherNames(const std::string& path) {
    HANDLE file = CreateFileW(wide(path).c_str(), FILE_READ_ATTRIBUTES,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    BY_HANDLE_FILE_INFORMATION info{};
    const bool linked = GetFileInformationByHandle(file, &info) && info.nNumberOfLinks > 1;
    CloseHandle(file);
    return linked;
}

// What `folder` holds, all the way down: each entry the service's own, no
// junction or link, no file with a second name. Returns the first that is
// not, and why, or "".
std::string foreignEntry(const std::string& folder, int depth) {
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(wide(folder + "\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) {
        return ""; // empty, or unreadable: what then fails is said where it fails
    }
    std::string problem;
    do {
        const std::string name = narrow(found.cFileName);
        if (name == "." || name == "..") {
            continue;
        }
        const std::string path = folder + "\\" + name;
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
            problem = path + " is a junction or a link, which the service does not follow";
        } else if ((problem = untrustedOwner(path)).empty()) {
            if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
                if (hasOtherNames(path)) {
                    problem = path + " has another name (a hard link), which the service does not write through";
                }
            } else if (depth >= 8) {
                problem = path + " lies deeper than any folder the service makes";
            } else {
                problem = foreignEntry(path, depth + 1);
            }
        }
    } while (problem.empty() && FindNextFileW(search, &found));
    FindClose(search);
    return problem;
}

} // namespace

std::string prepareServiceFolder(const std::string& folder, const std::string& group, bool checkContents) {
    const std::wstring path = wide(folder);
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        if (!CreateDirectoryW(path.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
            fail("cannot make " + folder);
        }
    } else if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        throw std::runtime_error(folder + " is a junction or a link, which the service does not follow "
                                 "(remove it, and the service makes the folder)");
    } else if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        throw std::runtime_error(folder + " is not a folder (remove it, and the service makes the folder)");
    } else {
        const std::string problem = untrustedOwner(folder);
        if (!problem.empty()) {
            throw std::runtime_error(problem + " (remove it, and the service makes the folder)");
        }
        const std::string foreign = checkContents ? foreignEntry(folder, 0) : "";
        if (!foreign.empty()) {
            throw std::runtime_error(foreign + " (remove it: only the service and Administrators put files here)");
        }
    }
    return shareFolderWith(folder, group);
}

std::string shareFolderWith(const std::string& folder, const std::string& group) {
    // The group's SID, as the descriptor language writes it.
    BYTE sid[SECURITY_MAX_SID_SIZE];
    DWORD sidSize = sizeof sid;
    wchar_t domain[256];
    DWORD domainSize = 256;
    SID_NAME_USE use;
    if (!LookupAccountNameW(nullptr, wide(group).c_str(), sid, &sidSize, domain, &domainSize, &use)) {
        return "no group " + group + ": " + systemMessage(GetLastError());
    }
    wchar_t* sidText = nullptr;
    if (!ConvertSidToStringSidW(sid, &sidText)) {
        return "cannot write the SID of " + group + ": " + systemMessage(GetLastError());
    }
    // Protected (P): nothing inherited from %ProgramData%, where every user
    // may read. SYSTEM and Administrators: all; the group: read.
    const std::wstring sddl = L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FR;;;" + std::wstring(sidText) + L")";
    LocalFree(sidText);
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &descriptor, nullptr)) {
        return "cannot make the folder's ACL: " + systemMessage(GetLastError());
    }
    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = nullptr;
    GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted);
    std::wstring path = wide(folder);
    const DWORD rc = SetNamedSecurityInfoW(path.data(), SE_FILE_OBJECT,
                                           DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, nullptr,
                                           nullptr, dacl, nullptr);
    LocalFree(descriptor);
    return rc == ERROR_SUCCESS ? "" : "cannot set the ACL of " + folder + ": " + systemMessage(rc);
}

void reportEvent(const std::string& name, bool error, const std::string& text) {
    HANDLE source = RegisterEventSourceW(nullptr, wide(name).c_str());
    if (source == nullptr) {
        return;
    }
    const std::wstring message = wide(text);
    const wchar_t* strings[] = {message.c_str()};
    ReportEventW(source, error ? EVENTLOG_ERROR_TYPE : EVENTLOG_INFORMATION_TYPE, 0, error ? 2 : 1, nullptr, 1, 0,
                 strings, nullptr);
    DeregisterEventSource(source);
}

std::string installService(const ServiceSettings& settings, const std::string& program) {
    const std::string command = "\"" + program + "\" service run --config \"" + settings.config + "\" --name \"" +
                                settings.name + "\" --group \"" + settings.group + "\"";
    ScHandle manager = openManager(SC_MANAGER_CREATE_SERVICE);
    ScHandle service(CreateServiceW(manager.get(), wide(settings.name).c_str(), L"Brivant station",
                                    SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START,
                                    SERVICE_ERROR_NORMAL, wide(command).c_str(), nullptr, nullptr, nullptr,
                                    nullptr, nullptr));
    if (!service) {
        fail("cannot install the service " + settings.name);
    }
    std::wstring about = L"Owns the station's counter units, keeps them configured and shares them.";
    SERVICE_DESCRIPTIONW description{about.data()};
    ChangeServiceConfig2W(service.get(), SERVICE_CONFIG_DESCRIPTION, &description);
    std::string text = "installed the service " + settings.name + ": " + command + "\n";
    const std::string failure = setFailureActions(settings.name);
    if (!failure.empty()) {
        text += "warning: " + failure + "\n";
    }
    return text + "it starts with brivant service start (now and at every boot)\n";
}

std::string uninstallService(const std::string& name) {
    ScHandle service = openService(name, SERVICE_STOP | SERVICE_QUERY_STATUS | DELETE);
    std::string text;
    if (query(service.get()).dwCurrentState != SERVICE_STOPPED) {
        SERVICE_STATUS ignored;
        ControlService(service.get(), SERVICE_CONTROL_STOP, &ignored);
        waitWhile(service.get(), SERVICE_STOP_PENDING, std::chrono::seconds(60));
        text += "stopped the service " + name + "\n";
    }
    if (!DeleteService(service.get())) {
        fail("cannot remove the service " + name);
    }
    return text + "removed the service " + name + "\n";
}

namespace {

// Starts `service` and waits until it runs or gives up; returns the line
// that says it runs, or throws with how it ended.
std::string startAndWait(SC_HANDLE service, const std::string& name) {
    if (!StartServiceW(service, 0, nullptr) && GetLastError() != ERROR_SERVICE_ALREADY_RUNNING) {
        fail("cannot start the service " + name);
    }
    const SERVICE_STATUS_PROCESS status = waitWhile(service, SERVICE_START_PENDING, std::chrono::seconds(30));
    if (status.dwCurrentState != SERVICE_RUNNING) {
        throw std::runtime_error("the service " + name + " is " + stateName(status.dwCurrentState) + ": " +
                                 exitText(status) + " (its log is under %ProgramData%\\Brivant\\logs)");
    }
    return "started the service " + name + " (process " + std::to_string(status.dwProcessId) + ")";
}

void setStartType(SC_HANDLE service, DWORD type, const std::string& name) {
    if (!ChangeServiceConfigW(service, SERVICE_NO_CHANGE, type, SERVICE_NO_CHANGE, nullptr, nullptr, nullptr,
                              nullptr, nullptr, nullptr, nullptr)) {
        fail("cannot change how the service " + name + " starts");
    }
}

} // namespace

std::string startService(const std::string& name) {
    ScHandle service = openService(name, SERVICE_START | SERVICE_QUERY_STATUS | SERVICE_CHANGE_CONFIG);
    setStartType(service.get(), SERVICE_AUTO_START, name);
    return startAndWait(service.get(), name) + "; it starts at every boot\n";
}

std::string restoreService(const std::string& name, const std::string& startType, bool running) {
    const DWORD type = startType == "auto"       ? SERVICE_AUTO_START
                       : startType == "disabled" ? SERVICE_DISABLED
                                                 : SERVICE_DEMAND_START;
    ScHandle service = openService(name, SERVICE_START | SERVICE_QUERY_STATUS | SERVICE_CHANGE_CONFIG);
    setStartType(service.get(), type, name);
    std::string text = "the service " + name + " starts " + startTypeText(type) + ", as before\n";
    // Set here too, so that a service left stopped has them at its next start.
    const std::string failure = setFailureActions(name);
    if (!failure.empty()) {
        text += "warning: " + failure + "\n";
    }
    if (!running || type == SERVICE_DISABLED) {
        return text + "it did not run before, and is left stopped\n";
    }
    return text + startAndWait(service.get(), name) + ", as it ran before\n";
}

std::string stopService(const std::string& name) {
    ScHandle service = openService(name, SERVICE_STOP | SERVICE_QUERY_STATUS);
    if (query(service.get()).dwCurrentState == SERVICE_STOPPED) {
        return "the service " + name + " is not running\n";
    }
    SERVICE_STATUS ignored;
    if (!ControlService(service.get(), SERVICE_CONTROL_STOP, &ignored)) {
        fail("cannot stop the service " + name);
    }
    const SERVICE_STATUS_PROCESS status = waitWhile(service.get(), SERVICE_STOP_PENDING, std::chrono::seconds(60));
    if (status.dwCurrentState != SERVICE_STOPPED) {
        throw std::runtime_error("the service " + name + " is still " + stateName(status.dwCurrentState));
    }
    return "stopped the service " + name + "\n";
}

std::string serviceStatus(const std::string& name) {
    ScHandle service = openService(name, SERVICE_QUERY_STATUS | SERVICE_QUERY_CONFIG);
    const SERVICE_STATUS_PROCESS status = query(service.get());
    std::string text = "service " + name + ": " + stateName(status.dwCurrentState);
    if (status.dwCurrentState == SERVICE_RUNNING) {
        text += " (process " + std::to_string(status.dwProcessId) + ")";
    } else if (status.dwCurrentState == SERVICE_STOPPED) {
        text += " (" + exitText(status) + ")";
    }
    text += "\n";
    DWORD needed = 0;
    QueryServiceConfigW(service.get(), nullptr, 0, &needed);
    std::vector<BYTE> buffer(needed + 1);
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
    if (needed > 0 && QueryServiceConfigW(service.get(), config, needed, &needed)) {
        text += std::string("starts: ") +
                startTypeText(config->dwStartType) +
                "\ncommand: " + narrow(config->lpBinaryPathName) + "\n";
    }
    needed = 0;
    QueryServiceConfig2W(service.get(), SERVICE_CONFIG_FAILURE_ACTIONS, nullptr, 0, &needed);
    std::vector<BYTE> failureBuffer(needed + sizeof(SERVICE_FAILURE_ACTIONSW));
    auto* failure = reinterpret_cast<SERVICE_FAILURE_ACTIONSW*>(failureBuffer.data());
    if (QueryServiceConfig2W(service.get(), SERVICE_CONFIG_FAILURE_ACTIONS, failureBuffer.data(),
                             static_cast<DWORD>(failureBuffer.size()), &needed)) {
        text += "on failure:";
        for (DWORD i = 0; i < failure->cActions; ++i) {
            const SC_ACTION& action = failure->lpsaActions[i];
            text += action.Type == SC_ACTION_RESTART ? " restart after " + std::to_string(action.Delay / 1000) + " s"
                                                     : std::string(" nothing");
            text += i + 1 < failure->cActions ? "," : "";
        }
        text += failure->cActions == 0 ? " nothing (the manager reports no actions)\n" : "\n";
    } else {
        text += "on failure: not told by the service manager (" + systemMessage(GetLastError()) + ")\n";
    }
    return text;
}

} // namespace brivant::tool
