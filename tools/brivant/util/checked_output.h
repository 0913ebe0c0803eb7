// Output whose every write is checked: a logger that loses data silently is
// the worst kind, so a failed write becomes an OutputError naming the output
// and the system's reason.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

namespace brivant::tool {

// Where a process with no terminal (a Windows service) sends its lines: a
// log file. Best effort, like standard error.
class LineSink {
public:
    virtual ~LineSink() = default;
    virtual void line(std::string_view text) = 0; // one line, without its newline
};

class Output {
public:
    // Writes to `file` (not owned), called `name` in messages.
    Output(std::FILE* file, std::string name);
    // Writes each line to `sink` (not owned) instead.
    Output(LineSink& sink, std::string name);

    // Writes `text` whole and flushes it, so nothing written is left in a
    // buffer when the process ends. Throws OutputError.
    void write(std::string_view text);

    const std::string& name() const { return name_; }
    std::FILE* file() const { return file_; }

private:
    std::FILE* file_;
    LineSink* sink_ = nullptr;
    std::string name_;
};

// Standard output and error as the commands use them. Messages to standard
// error are best effort: there is nowhere left to report their failure.
struct Console {
    Output& out;
    std::FILE* err = stderr;
    LineSink* errSink = nullptr; // instead of `err`, when set

    void error(const std::string& message) const;
};

} // namespace brivant::tool
