#include "checked_output.h"

#include <cerrno>
#include <cstring>

#include "util/tool_errors.h"

namespace brivant::tool {

Output::Output(std::FILE* file, std::string name) : file_(file), name_(std::move(name)) {}

Output::Output(LineSink& sink, std::string name) : file_(nullptr), sink_(&sink), name_(std::move(name)) {}

namespace {

void eachLine(std::string_view text, LineSink& sink) {
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        sink.line(text.substr(0, end));
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    }
}

} // namespace

void Output::write(std::string_view text) {
    if (sink_ != nullptr) {
        eachLine(text, *sink_);
        return;
    }
    errno = 0;
    bool ok = std::fwrite(text.data(), 1, text.size(), file_) == text.size();
    ok = std::fflush(file_) == 0 && ok;
    if (!ok || std::ferror(file_)) {
        int error = errno != 0 ? errno : EIO;
        std::clearerr(file_);
        if (error == EPIPE) {
            throw OutputClosed("cannot write to " + name_ + ": " + std::strerror(error));
        }
        throw OutputError("cannot write to " + name_ + ": " + std::strerror(error));
    }
}

void Console::error(const std::string& message) const {
    if (errSink != nullptr) {
        eachLine(message, *errSink);
        return;
    }
    std::fputs((message + '\n').c_str(), err);
    std::fflush(err);
}

} // namespace brivant::tool
