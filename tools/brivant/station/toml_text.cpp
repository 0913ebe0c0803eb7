#include "toml_text.h"

#include <cstdio>

#include "station/channel_table.h"
#include "util/number_text.h"
#include "util/tool_errors.h"

namespace brivant::tool {

const char* typeName(const toml::node& node) {
    switch (node.type()) {
    case toml::node_type::string: return "a string";
    case toml::node_type::integer: return "an integer";
    case toml::node_type::floating_point: return "a number with a fraction";
    case toml::node_type::boolean: return "true or false";
    case toml::node_type::array: return "an array";
    case toml::node_type::table: return "a table";
    default: return "a date or time";
    }
}

bool integerIn(const toml::node& node, const std::string& key, long long low, long long high,
               Problems& problems, long long& out) {
    if (!node.is_integer()) {
        problems.add(node, key + " must be an integer from " + std::to_string(low) + " to " +
                               std::to_string(high) + ", not " + typeName(node));
        return false;
    }
    out = node.as_integer()->get();
    if (out < low || out > high) {
        problems.add(node, key + " " + std::to_string(out) + " is not " + std::to_string(low) +
                               " to " + std::to_string(high));
        return false;
    }
    return true;
}

bool onOff(const toml::node& node, const std::string& key, Problems& problems, std::uint8_t& out) {
    if (node.is_boolean()) {
        out = node.as_boolean()->get() ? 1 : 0;
        return true;
    }
    long long value = 0;
    if (!node.is_integer()) {
        problems.add(node, key + " must be 0 or 1 (or false or true), not " + typeName(node));
        return false;
    }
    if (!integerIn(node, key, 0, kMaxOnOff, problems, value)) {
        return false;
    }
    out = static_cast<std::uint8_t>(value);
    return true;
}

bool word(const toml::node& node, const std::string& key, Problems& problems, std::uint32_t& out) {
    const std::string wanted = key + " must be a 32-bit word: -2147483648 to 4294967295, or a "
                                     "string of one in decimal or 0x-hex";
    if (node.is_integer()) {
        long long value = node.as_integer()->get();
        if (value < kMinWord || value > kMaxWord) {
            problems.add(node, wanted);
            return false;
        }
        out = static_cast<std::uint32_t>(value);
        return true;
    }
    if (node.is_string()) {
        try {
            out = parseWord(node.as_string()->get(), key);
            return true;
        } catch (const UsageError&) {
        }
    }
    problems.add(node, wanted + ", not " + typeName(node));
    return false;
}

bool keyNumber(const toml::key& key, long long high, const std::string& what, Problems& problems,
               long long& out) {
    try {
        out = parseNumber(std::string(key.str()), 0, high, what);
        return true;
    } catch (const UsageError& e) {
        problems.add(key.source(), e.what());
        return false;
    }
}

std::string quoted(const std::string& text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
        }
        if (static_cast<unsigned char>(c) < 0x20) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04X", static_cast<unsigned>(c));
            out += escape;
            continue;
        }
        out += c;
    }
    return out + '"';
}

} // namespace brivant::tool
