#include "runtime_file.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include <nlohmann/json.hpp>

#include "util/atomic_file.h"
#include "util/json_text.h"

#if defined(_WIN32)
#include <windows.h>
#include <direct.h>
#include <shlobj.h>
#else
#include <dirent.h>
#include <grp.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace brivant::tool {

namespace {

const char* const kPrefix = "serve-";
const char* const kSuffix = ".json";

#if defined(_WIN32)

bool systemFolders = false; // serve runs as the Windows service

bool alive(long pid) {
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(pid));
    if (process == nullptr) {
        return false;
    }
    DWORD code = 0;
    bool running = GetExitCodeProcess(process, &code) && code == STILL_ACTIVE;
    CloseHandle(process);
    return running;
}

std::vector<std::string> filesIn(const std::string& folder) {
    std::vector<std::string> names;
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((folder + "\\serve-*.json").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) {
        return names;
    }
    do {
        names.push_back(found.cFileName);
    } while (FindNextFileA(search, &found));
    FindClose(search);
    return names;
}

#else

bool alive(long pid) {
    return pid > 0 && (::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM);
}

std::vector<std::string> filesIn(const std::string& folder) {
    std::vector<std::string> names;
    DIR* dir = ::opendir(folder.c_str());
    if (dir == nullptr) {
        return names;
    }
    while (dirent* entry = ::readdir(dir)) {
        std::string name = entry->d_name;
        if (name.rfind(kPrefix, 0) == 0 && name.size() > std::strlen(kSuffix) &&
            name.compare(name.size() - std::strlen(kSuffix), std::strlen(kSuffix), kSuffix) == 0) {
            names.push_back(name);
        }
    }
    ::closedir(dir);
    return names;
}

// A folder of the user's own that only they can write to.
void makePrivateFolder(const std::string& folder) {
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
        throw std::runtime_error("cannot make " + folder + ": " + std::strerror(errno));
    }
    struct stat info {};
    if (::lstat(folder.c_str(), &info) != 0) {
        throw std::runtime_error("cannot look at " + folder + ": " + std::strerror(errno));
    }
    if (!S_ISDIR(info.st_mode) || info.st_uid != ::geteuid() || (info.st_mode & 022) != 0) {
        throw std::runtime_error(folder + " is not a folder of this user's that only they can "
                                          "write to; it is not used for serve's address and token");
    }
}

#endif

std::string joinPath(const std::string& folder, const std::string& name) {
#if defined(_WIN32)
    return folder + "\\" + name;
#else
    return folder + "/" + name;
#endif
}

} // namespace

long currentPid() {
#if defined(_WIN32)
    return static_cast<long>(GetCurrentProcessId());
#else
    return static_cast<long>(::getpid());
#endif
}

std::string runtimeFolder() {
#if defined(_WIN32)
    const char* local = std::getenv("LOCALAPPDATA");
    if (local == nullptr || *local == '\0') {
        throw std::runtime_error("LOCALAPPDATA is not set");
    }
    std::string folder = std::string(local) + "\\brivant";
    CreateDirectoryA(folder.c_str(), nullptr);
    return folder;
#else
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime != nullptr && *runtime == '/') {
        std::string folder = std::string(runtime) + "/brivant";
        makePrivateFolder(folder);
        return folder;
    }
    const char* home = std::getenv("HOME");
    if (home == nullptr || *home != '/') {
        throw std::runtime_error("neither XDG_RUNTIME_DIR nor HOME is set");
    }
    std::string brivant = std::string(home) + "/.brivant";
    makePrivateFolder(brivant);
    std::string folder = brivant + "/run";
    makePrivateFolder(folder);
    return folder;
#endif
}

std::string stateFolder() {
#if defined(_WIN32)
    std::string folder = (systemFolders ? programDataFolder() : runtimeFolder()) + "\\state";
    CreateDirectoryA(folder.c_str(), nullptr);
    return folder;
#else
    // systemd's StateDirectory= (the packaged service's /var/lib/brivant),
    // else the user's state folder.
    const char* given = std::getenv("STATE_DIRECTORY");
    if (given != nullptr && *given == '/') {
        std::string folder(given);
        return folder.substr(0, folder.find(':'));
    }
    std::string base;
    const char* state = std::getenv("XDG_STATE_HOME");
    if (state != nullptr && *state == '/') {
        base = state;
    } else {
        const char* home = std::getenv("HOME");
        if (home == nullptr || *home != '/') {
            throw std::runtime_error("none of STATE_DIRECTORY, XDG_STATE_HOME and HOME is set");
        }
        base = std::string(home) + "/.local/state";
        ::mkdir((std::string(home) + "/.local").c_str(), 0755);
    }
    ::mkdir(base.c_str(), 0700);
    std::string folder = base + "/brivant";
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
        throw std::runtime_error("cannot make " + folder + ": " + std::strerror(errno));
    }
    return folder;
#endif
}

namespace {

// The station's name as part of a file's name.
std::string fileNamePart(const std::string& station) {
    std::string name;
    for (char c : station) {
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                           c == '-' || c == '_' || c == '.';
        name += plain ? c : '_';
    }
    return name;
}

} // namespace

std::string changesFileFor(const std::string& station) {
    return joinPath(stateFolder(), "changes-" + fileNamePart(station) + ".toml");
}

std::string journalFileFor(const std::string& station) {
    return joinPath(stateFolder(), "journal-" + fileNamePart(station) + ".db");
}

namespace {

// The records in one folder of serves whose process is alive; a file this
// user may not read (a system serve's, outside its group) is passed over.
void readRecords(const std::string& folder, std::vector<ServeRecord>& serves) {
    for (const std::string& name : filesIn(folder)) {
        std::ifstream in(joinPath(folder, name));
        std::stringstream text;
        text << in.rdbuf();
        nlohmann::json json = nlohmann::json::parse(text.str(), nullptr, false);
        if (!json.is_object() || !json.contains("pid") || !json["pid"].is_number_integer() ||
            !json.contains("base") || !json["base"].is_string() || !json.contains("token") ||
            !json["token"].is_string()) {
            continue;
        }
        ServeRecord record;
        record.pid = json["pid"].get<long>();
        record.base = json["base"].get<std::string>();
        record.token = json["token"].get<std::string>();
        record.station = json.value("station", "");
        record.backend = json.value("backend", "");
        record.journal = json.value("journal", "");
        if (json.contains("units") && json["units"].is_array()) {
            for (const auto& unit : json["units"]) {
                if (unit.is_number_integer()) {
                    record.units.push_back(unit.get<std::int16_t>());
                }
            }
        }
        record.path = joinPath(folder, name);
        const bool known = std::any_of(serves.begin(), serves.end(),
                                       [&](const ServeRecord& other) { return other.pid == record.pid; });
        if (alive(record.pid) && !known) {
            serves.push_back(record);
        }
    }
}

#if !defined(_WIN32)
// The system serve's place: made by its service manager, written by serve
// alone, readable by the group brivant only.
bool trustedSystemFolder(const std::string& folder) {
    struct stat info {};
    return ::lstat(folder.c_str(), &info) == 0 && S_ISDIR(info.st_mode) && (info.st_mode & 022) == 0;
}

// Gives `path` to the group brivant, when this process is in it: a system
// serve shares its address and token with that group alone.
void giveToGroup(const std::string& path) {
    if (const group* brivant = ::getgrnam("brivant")) {
        [[maybe_unused]] int done = ::chown(path.c_str(), static_cast<uid_t>(-1), brivant->gr_gid);
    }
}
#endif

} // namespace

#if defined(_WIN32)
// Asked of the shell rather than read from %ProgramData%: a service's
// environment need not have it (Wine gives one C:\users\Public there).
std::string programDataFolder() {
    char data[MAX_PATH];
    if (SHGetFolderPathA(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, data) != S_OK) {
        throw std::runtime_error("the system names no folder for all users' program data");
    }
    std::string folder = std::string(data) + "\\Brivant";
    CreateDirectoryA(folder.c_str(), nullptr);
    return folder;
}
#endif

std::string systemRuntimeFolder() {
    const char* given = std::getenv("BRIVANT_SYSTEM_RUNTIME");
    if (given != nullptr && *given != '\0') {
        return given;
    }
#if defined(_WIN32)
    return programDataFolder() + "\\run";
#else
    return "/run/brivant";
#endif
}

#if defined(_WIN32)
void useSystemFolders() {
    systemFolders = true;
}
#endif

std::vector<ServeRecord> liveServes() {
    std::vector<ServeRecord> serves;
    try {
        readRecords(runtimeFolder(), serves);
    } catch (const std::runtime_error&) {
        // no folder of the user's own to trust: the system one may still be there
    }
#if defined(_WIN32)
    // The service's folder: its ACL lets Administrators and the group the
    // installer named read it, and no one else.
    try {
        readRecords(systemRuntimeFolder(), serves);
    } catch (const std::runtime_error&) {
    }
#else
    const std::string system = systemRuntimeFolder();
    if (trustedSystemFolder(system)) {
        readRecords(system, serves);
    }
#endif
    return serves;
}

RuntimeFile::RuntimeFile(ServeRecord record) : record_(std::move(record)) {
    std::string folder;
    bool system = false;
#if !defined(_WIN32)
    // Under systemd with RuntimeDirectory= (the packaged service): the
    // system place, shared with the group brivant.
    const char* managed = std::getenv("RUNTIME_DIRECTORY");
    if (managed != nullptr && *managed == '/') {
        folder = std::string(managed).substr(0, std::string(managed).find(':'));
        system = true;
        ::chmod(folder.c_str(), 0750);
        giveToGroup(folder);
    }
#endif
#if defined(_WIN32)
    if (systemFolders) {
        folder = systemRuntimeFolder();
        CreateDirectoryA(folder.c_str(), nullptr);
        system = true;
    }
#endif
    if (!system) {
        folder = runtimeFolder();
    }
    record_.path = joinPath(folder, kPrefix + std::to_string(record_.pid) + kSuffix);
    nlohmann::json json{{"pid", record_.pid}, {"base", record_.base}, {"token", record_.token},
                        {"station", record_.station}, {"units", record_.units},
                        {"backend", record_.backend}, {"journal", record_.journal}};
    // Readable by its owner alone (and a system serve's group): it holds the token.
    replaceFile(record_.path, jsonText(json) + '\n', system ? 0640 : 0600);
#if !defined(_WIN32)
    if (system) {
        giveToGroup(record_.path);
    }
#endif
    // Files left by serves that died without removing them.
    for (const std::string& name : filesIn(folder)) {
        long pid = std::strtol(name.c_str() + std::strlen(kPrefix), nullptr, 10);
        if (pid != record_.pid && !alive(pid)) {
            std::remove(joinPath(folder, name).c_str());
        }
    }
}

RuntimeFile::~RuntimeFile() {
    remove();
}

void RuntimeFile::remove() {
    if (!removed_) {
        std::remove(record_.path.c_str());
        removed_ = true;
    }
}

} // namespace brivant::tool
