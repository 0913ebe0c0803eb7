// A station's TOML, read and written. Every mistake is kept with its place, so
// that all of them are told at once, as FILE:LINE:COLUMN: what is wrong.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#define TOML_EXCEPTIONS 1
#include <toml++/toml.h>

namespace brivant::tool {

// Collects the file's mistakes with their places.
class Problems {
public:
    explicit Problems(std::string file) : file_(std::move(file)) {}

    void add(const toml::source_region& where, const std::string& what) {
        found_.push_back({where.begin.line, where.begin.column, what});
    }
    void add(const toml::node& node, const std::string& what) { add(node.source(), what); }
    bool empty() const { return found_.empty(); }

    // In the order of the file.
    std::vector<std::string> list() const {
        std::vector<Found> sorted = found_;
        std::stable_sort(sorted.begin(), sorted.end(), [](const Found& a, const Found& b) {
            return a.line != b.line ? a.line < b.line : a.column < b.column;
        });
        std::vector<std::string> out;
        for (const Found& f : sorted) {
            out.push_back(file_ + ':' + std::to_string(f.line) + ':' + std::to_string(f.column) +
                          ": " + f.what);
        }
        return out;
    }

private:
    struct Found {
        toml::source_index line;
        toml::source_index column;
        std::string what;
    };
    std::string file_;
    std::vector<Found> found_;
};

// "a string", "an integer", ... for messages.
const char* typeName(const toml::node& node);

// `key = value` where the value is an integer from low to high.
bool integerIn(const toml::node& node, const std::string& key, long long low, long long high,
               Problems& problems, long long& out);

// An on/off setting: 0, 1, false or true.
bool onOff(const toml::node& node, const std::string& key, Problems& problems, std::uint8_t& out);

// A 32-bit word: an integer from -2147483648 to 4294967295, or a string of
// one in decimal or 0x-hex.
bool word(const toml::node& node, const std::string& key, Problems& problems, std::uint32_t& out);

// A table key that is a number from 0 to high: "0", "15".
bool keyNumber(const toml::key& key, long long high, const std::string& what, Problems& problems,
               long long& out);

// `text`, quoted and escaped for TOML.
std::string quoted(const std::string& text);

} // namespace brivant::tool
