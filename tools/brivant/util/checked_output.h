// Output whose every write is checked: a logger that loses data silently is
// the worst kind, so a failed write becomes an OutputError naming the output
// and the system's reason.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

namespace brivant::tool {

class Output {
public:
    // Writes to `file` (not owned), called `name` in messages.
    Output(std::FILE* file, std::string name);

    // Writes `text` whole and flushes it, so nothing written is left in a
    // buffer when the process ends. Throws OutputError.
    void write(std::string_view text);

    const std::string& name() const { return name_; }
    std::FILE* file() const { return file_; }

private:
    std::FILE* file_;
    std::string name_;
};

// Standard output and error as the commands use them. Messages to standard
// error are best effort: there is nowhere left to report their failure.
struct Console {
    Output& out;
    std::FILE* err = stderr;

    void error(const std::string& message) const;
};

} // namespace brivant::tool
