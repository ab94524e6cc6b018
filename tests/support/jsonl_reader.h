// Reading the recorder's jsonl lines back, written here from the JSON grammar rather than from the
// recorder's writer, so a test sees what any JSON reader would.
#pragma once

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "mesh/channel_crypto.h"

namespace vchat::testing {

// One flat object of string members, {"name":"value",...}; nothing for anything else (other value
// types, raw control bytes in a string, bad escapes, trailing bytes). The recorder escapes only
// control bytes as \u00XX and writes every other character as it is, so a \u escape above U+007F
// is refused here too: a test that meets one fails rather than reading it wrongly.
inline std::optional<std::map<std::string, std::string>> readJsonObject(const std::string& line) {
    std::size_t i = 0;
    auto readString = [&](std::string& out) {
        if (i >= line.size() || line[i++] != '"') return false;
        while (i < line.size()) {
            const unsigned char c = static_cast<unsigned char>(line[i++]);
            if (c == '"') return true;
            if (c < 0x20 || (c == '\\' && i >= line.size())) return false;
            if (c != '\\') {
                out += static_cast<char>(c);
                continue;
            }
            const char e = line[i++];
            const std::size_t simple = std::string_view("\"\\/bfnrt").find(e);
            if (simple != std::string_view::npos) {
                out += "\"\\/\b\f\n\r\t"[simple];
                continue;
            }
            if (e != 'u') return false;
            std::uint32_t cp = 0;   // exactly four hex digits
            const auto [stop, error] = std::from_chars(line.data() + i, line.data() + std::min(i + 4, line.size()), cp, 16);
            i += 4;
            if (error != std::errc() || stop != line.data() + i || cp >= 0x80) return false;
            out += static_cast<char>(cp);
        }
        return false;
    };
    std::map<std::string, std::string> members;
    if (line.empty() || line[i++] != '{') return std::nullopt;
    for (;;) {
        std::string name;
        std::string value;
        if (!readString(name) || i >= line.size() || line[i++] != ':' || !readString(value)) return std::nullopt;
        members[name] = value;
        if (i + 1 == line.size() && line[i] == '}') return members;
        if (i >= line.size() || line[i++] != ',') return std::nullopt;
    }
}

// The exact bytes of a member: its "<name>_bytes" ("bytes" for "text") when there is one.
inline std::string exactBytes(const std::map<std::string, std::string>& object, const std::string& name) {
    const auto raw = object.find(name == "text" ? "bytes" : name + "_bytes");
    if (raw != object.end()) return decodeBase64(raw->second);
    const auto plain = object.find(name);
    return plain == object.end() ? std::string() : plain->second;
}

// The objects of a jsonl file's complete lines; a line that is no such object is left out and
// counted in `bad`.
inline std::vector<std::map<std::string, std::string>> readJsonl(const std::string& bytes, int* bad) {
    std::vector<std::map<std::string, std::string>> out;
    std::size_t start = 0;
    for (std::size_t nl; (nl = bytes.find('\n', start)) != std::string::npos; start = nl + 1) {
        auto object = readJsonObject(bytes.substr(start, nl - start));
        if (object) out.push_back(*object);
        *bad += !object;
    }
    return out;
}

}  // namespace vchat::testing
