#include "util/bounded_log.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>

#include "util/time_text.h"

namespace brivant::tool {

namespace {

std::FILE* openForAppend(const std::string& path, std::uint64_t& size) {
    std::FILE* file = std::fopen(path.c_str(), "ab");
    if (file != nullptr && std::fseek(file, 0, SEEK_END) == 0) {
        const long at = std::ftell(file);
        size = at > 0 ? static_cast<std::uint64_t>(at) : 0;
    }
    return file;
}

} // namespace

BoundedLog::BoundedLog(std::string path, std::uint64_t maxBytes)
    : path_(std::move(path)), maxBytes_(maxBytes) {
    file_ = openForAppend(path_, size_);
    if (file_ == nullptr) {
        throw std::runtime_error("cannot open the log " + path_ + ": " + std::strerror(errno));
    }
}

BoundedLog::~BoundedLog() {
    if (file_ != nullptr) {
        std::fclose(file_);
    }
}

void BoundedLog::line(std::string_view text) {
    std::string whole = isoTimeUtc(std::chrono::system_clock::now()) + " ";
    whole.append(text);
    whole += '\n';
    std::lock_guard<std::mutex> hold(lock_);
    if (file_ == nullptr) {
        // A rotation that could neither rename nor begin the file (a viewer
        // or a scanner holding it): tried again at each line, so the log
        // comes back, with its note of what was lost, once it is let go.
        file_ = openForAppend(path_, size_);
    }
    if (lost_ != lostTold_ && file_ != nullptr) {
        const std::string note = isoTimeUtc(std::chrono::system_clock::now()) + " (" +
                                 std::to_string(lost_ - lostTold_) + " lines were lost: the log could not be written)\n";
        if (std::fputs(note.c_str(), file_) >= 0) {
            size_ += note.size();
            lostTold_ = lost_;
        }
    }
    if (file_ == nullptr || std::fwrite(whole.data(), 1, whole.size(), file_) != whole.size() ||
        std::fflush(file_) != 0) {
        ++lost_;
        if (file_ != nullptr) {
            std::clearerr(file_);
        }
        return;
    }
    size_ += whole.size();
    if (size_ >= maxBytes_) {
        rotate();
    }
}

std::uint64_t BoundedLog::lost() const {
    std::lock_guard<std::mutex> hold(lock_);
    return lost_;
}

// Windows renames no open file, so the file is closed first.
void BoundedLog::rotate() {
    std::fclose(file_);
    const std::string old = path_ + ".1";
    std::remove(old.c_str());
    size_ = 0;
    if (std::rename(path_.c_str(), old.c_str()) == 0) {
        file_ = openForAppend(path_, size_);
    } else {
        // Held open by a reader that shares no delete: begun again rather
        // than let it grow.
        file_ = std::fopen(path_.c_str(), "wb");
    }
}

} // namespace brivant::tool
