#include "atomic_file.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "util/tool_errors.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace brivant::tool {

namespace {

std::string folderOf(const std::string& path) {
    const std::size_t slash = path.find_last_of("/\\");
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? path.substr(0, 1) : path.substr(0, slash);
}

std::string baseOf(const std::string& path) {
    const std::size_t slash = path.find_last_of("/\\");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

#if !defined(_WIN32)

// Where a write to `path` must land: the file a symbolic link names (links
// to links too), so that the link itself stays.
std::string landingPath(const std::string& path) {
    std::string at = path;
    for (int hops = 0; hops < 40; ++hops) {
        struct stat facts {};
        if (::lstat(at.c_str(), &facts) != 0 || !S_ISLNK(facts.st_mode)) {
            return at;
        }
        char target[PATH_MAX];
        const ssize_t n = ::readlink(at.c_str(), target, sizeof target - 1);
        if (n < 0) {
            return at;
        }
        target[n] = '\0';
        at = target[0] == '/' ? std::string(target) : folderOf(at) + "/" + target;
    }
    throw OutputError("cannot write " + path + ": too many levels of symbolic links");
}

bool writeAll(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

#endif

} // namespace

#if defined(_WIN32)

void replaceFile(const std::string& path, const std::string& text, unsigned) {
    // A name of our own beside the file: two writers never share one.
    static long counter = 0;
    const std::string fresh = folderOf(path) + "\\." + baseOf(path) + "." +
                              std::to_string(GetCurrentProcessId()) + "." +
                              std::to_string(InterlockedIncrement(&counter)) + ".new";
    HANDLE file = CreateFileA(fresh.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        throw OutputError("cannot write " + path + " (error " + std::to_string(GetLastError()) + ")");
    }
    DWORD written = 0;
    bool ok = WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
              written == text.size() && FlushFileBuffers(file);
    const DWORD error = GetLastError();
    CloseHandle(file);
    if (!ok || !MoveFileExA(fresh.c_str(), path.c_str(),
                            MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        const DWORD moveError = ok ? GetLastError() : error;
        DeleteFileA(fresh.c_str());
        throw OutputError("cannot write " + path + " (error " + std::to_string(moveError) + ")");
    }
}

#else

void replaceFile(const std::string& path, const std::string& text, unsigned newMode) {
    const std::string target = landingPath(path);
    const std::string folder = folderOf(target);
    std::string fresh = folder + "/." + baseOf(target) + ".XXXXXX";
    const int fd = ::mkostemp(fresh.data(), O_CLOEXEC);
    if (fd < 0) {
        throw OutputError("cannot write " + target + ": " + std::strerror(errno));
    }
    auto fail = [&](int error) {
        ::close(fd);
        ::unlink(fresh.c_str());
        throw OutputError("cannot write " + target + ": " + std::strerror(error));
    };
    struct stat old {};
    if (::stat(target.c_str(), &old) == 0) {
        // Best effort for the owner: only root may give a file away.
        [[maybe_unused]] int owned = ::fchown(fd, old.st_uid, old.st_gid);
        if (::fchmod(fd, old.st_mode & 07777) != 0) {
            fail(errno);
        }
    } else if (::fchmod(fd, static_cast<mode_t>(newMode)) != 0) {
        fail(errno);
    }
    if (!writeAll(fd, text) || ::fsync(fd) != 0) {
        fail(errno);
    }
    if (::close(fd) != 0) {
        const int error = errno;
        ::unlink(fresh.c_str());
        throw OutputError("cannot write " + target + ": " + std::strerror(error));
    }
    if (::rename(fresh.c_str(), target.c_str()) != 0) {
        const int error = errno;
        ::unlink(fresh.c_str());
        throw OutputError("cannot replace " + target + ": " + std::strerror(error));
    }
    // The rename is in the folder: synced, it survives a power cut.
    const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
}

#endif

} // namespace brivant::tool
