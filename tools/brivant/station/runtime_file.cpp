#include "runtime_file.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include <nlohmann/json.hpp>

#if defined(_WIN32)
#include <windows.h>
#include <direct.h>
#else
#include <dirent.h>
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

std::vector<ServeRecord> liveServes() {
    std::vector<ServeRecord> serves;
    std::string folder;
    try {
        folder = runtimeFolder();
    } catch (const std::runtime_error&) {
        return serves; // nothing trustworthy to find
    }
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
        record.path = joinPath(folder, name);
        if (alive(record.pid)) {
            serves.push_back(record);
        }
    }
    return serves;
}

RuntimeFile::RuntimeFile(ServeRecord record) : record_(std::move(record)) {
    const std::string folder = runtimeFolder();
    record_.path = joinPath(folder, kPrefix + std::to_string(record_.pid) + kSuffix);
    nlohmann::json json{{"pid", record_.pid}, {"base", record_.base}, {"token", record_.token},
                        {"station", record_.station}};
    const std::string text = json.dump() + '\n';
    const std::string fresh = record_.path + ".new";
#if defined(_WIN32)
    std::FILE* file = std::fopen(fresh.c_str(), "wb");
#else
    ::unlink(fresh.c_str());
    int fd = ::open(fresh.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
    std::FILE* file = fd >= 0 ? ::fdopen(fd, "wb") : nullptr;
#endif
    if (file == nullptr) {
        throw std::runtime_error("cannot write " + fresh + ": " + std::strerror(errno));
    }
    bool ok = std::fwrite(text.data(), 1, text.size(), file) == text.size();
    ok = std::fclose(file) == 0 && ok;
#if defined(_WIN32)
    ok = ok && MoveFileExA(fresh.c_str(), record_.path.c_str(), MOVEFILE_REPLACE_EXISTING);
#else
    ok = ok && std::rename(fresh.c_str(), record_.path.c_str()) == 0;
#endif
    if (!ok) {
        std::remove(fresh.c_str());
        throw std::runtime_error("cannot write " + record_.path + ": " + std::strerror(errno));
    }
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
