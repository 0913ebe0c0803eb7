// A log file that never outgrows its bound: each line is written with its
// time and flushed; when the file passes `maxBytes` it becomes FILE.1 (the
// one before is dropped) and a new FILE begins. A service that runs for a
// year keeps at most twice the bound on disk, and the newest lines.
#pragma once

#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <string_view>

#include "util/checked_output.h"

namespace brivant::tool {

class BoundedLog : public LineSink {
public:
    // Opens (appends to) `path`; throws std::runtime_error naming it when it
    // cannot be opened.
    BoundedLog(std::string path, std::uint64_t maxBytes);
    ~BoundedLog() override;
    BoundedLog(const BoundedLog&) = delete;
    BoundedLog& operator=(const BoundedLog&) = delete;

    void line(std::string_view text) override;

    // Lines that could not be written (a full disk): told in the next line
    // that can be.
    std::uint64_t lost() const;

private:
    void rotate();

    const std::string path_;
    const std::uint64_t maxBytes_;
    mutable std::mutex lock_;
    std::FILE* file_ = nullptr;
    std::uint64_t size_ = 0;
    std::uint64_t lost_ = 0;
    std::uint64_t lostTold_ = 0;
};

} // namespace brivant::tool
