#include "secret_file.h"

#include <cerrno>
#include <cstring>
#include <fstream>

#include "util/tool_errors.h"

#if !defined(_WIN32)
#include <sys/stat.h>
#endif

namespace brivant::tool {

std::optional<std::string> readSecretLine(const std::string& path, const std::string& what) {
    std::ifstream in(path);
    if (!in) {
        if (errno == ENOENT) {
            return std::nullopt;
        }
        throw InputError("cannot read " + what + " " + path + ": " + std::strerror(errno));
    }
    std::string line;
    std::getline(in, line);
    if (!line.empty() && line.back() == '\r') {
        line.pop_back();
    }
    return line;
}

bool othersCanRead(const std::string& path) {
#if defined(_WIN32)
    (void)path;
    return false;
#else
    // The file's group is the way to share it (a scrape job's user, say).
    struct stat facts {};
    return ::stat(path.c_str(), &facts) == 0 && (facts.st_mode & S_IROTH) != 0;
#endif
}

} // namespace brivant::tool
