#include "checked_output.h"

#include <cerrno>
#include <cstring>

#include "util/tool_errors.h"

namespace brivant::tool {

Output::Output(std::FILE* file, std::string name) : file_(file), name_(std::move(name)) {}

void Output::write(std::string_view text) {
    errno = 0;
    bool ok = std::fwrite(text.data(), 1, text.size(), file_) == text.size();
    ok = std::fflush(file_) == 0 && ok;
    if (!ok || std::ferror(file_)) {
        int error = errno != 0 ? errno : EIO;
        std::clearerr(file_);
        throw OutputError("cannot write to " + name_ + ": " + std::strerror(error));
    }
}

void Console::error(const std::string& message) const {
    std::fputs((message + '\n').c_str(), err);
    std::fflush(err);
}

} // namespace brivant::tool
