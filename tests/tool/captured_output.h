// Output written to a temporary file and read back, for tests that run the
// tool's commands in-process.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "util/checked_output.h"

namespace brivant::test {

// Output written to a temporary file, read back as text or lines.
class CapturedOutput {
public:
    CapturedOutput() : file_(std::tmpfile()), output_(file_, "the test file") {}
    ~CapturedOutput() { std::fclose(file_); }
    tool::Output& output() { return output_; }
    std::FILE* file() const { return file_; }
    std::string text() const {
        std::fflush(file_);
        std::rewind(file_);
        std::string all;
        char chunk[4096];
        for (std::size_t got; (got = std::fread(chunk, 1, sizeof chunk, file_)) > 0;) {
            all.append(chunk, got);
        }
        std::fseek(file_, 0, SEEK_END);
        return all;
    }
    std::vector<std::string> lines() const {
        std::vector<std::string> all;
        std::string text = this->text();
        for (std::size_t at = 0, end; (end = text.find('\n', at)) != std::string::npos; at = end + 1) {
            all.push_back(text.substr(at, end - at));
        }
        return all;
    }

private:
    std::FILE* file_;
    tool::Output output_;
};

} // namespace brivant::test
