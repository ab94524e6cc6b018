// Reading the recorder's jsonl lines back, written here from the JSON grammar rather than from the
// recorder's writer, so a test sees what any JSON reader would.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "mesh/channel_crypto.h"
#include "mesh/ascii.h"

namespace vchat::testing {

// Appends code point `cp` as UTF-8.
inline void appendUtf8(std::string& out, std::uint32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

// One flat object of string members, {"name":"value",...}; nothing for anything else (other value
// types, raw control bytes in a string, bad escapes, trailing bytes).
inline std::optional<std::map<std::string, std::string>> readJsonObject(const std::string& line) {
    std::size_t i = 0;
    auto readString = [&](std::string& out) {
        if (i >= line.size() || line[i++] != '"') return false;
        while (i < line.size()) {
            const unsigned char c = static_cast<unsigned char>(line[i++]);
            if (c == '"') return true;
            if (c < 0x20) return false;
            if (c != '\\') {
                out += static_cast<char>(c);
                continue;
            }
            if (i >= line.size()) return false;
            const char e = line[i++];
            const std::string simple = "\"\\/bfnrt";
            const std::string meaning = "\"\\/\b\f\n\r\t";
            if (simple.find(e) != std::string::npos) {
                out += meaning[simple.find(e)];
                continue;
            }
            auto hex4 = [&](std::uint32_t& v) {
                if (i + 4 > line.size()) return false;
                v = 0;
                for (int k = 0; k < 4; ++k) {
                    const int d = hexDigitValue(line[i++]);
                    if (d < 0) return false;
                    v = v * 16 + static_cast<std::uint32_t>(d);
                }
                return true;
            };
            std::uint32_t cp = 0;
            if (e != 'u' || !hex4(cp)) return false;
            if (cp >= 0xD800 && cp < 0xDC00) {
                std::uint32_t low = 0;
                if (line.compare(i, 2, "\\u") != 0) return false;
                i += 2;
                if (!hex4(low) || low < 0xDC00 || low > 0xDFFF) return false;
                cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
            }
            appendUtf8(out, cp);
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
        if (i < line.size() && line[i] == ',') {
            ++i;
            continue;
        }
        if (i + 1 == line.size() && line[i] == '}') return members;
        return std::nullopt;
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
inline std::vector<std::map<std::string, std::string>> readJsonl(const std::string& bytes, int* bad = nullptr) {
    std::vector<std::map<std::string, std::string>> out;
    std::size_t start = 0;
    for (std::size_t nl; (nl = bytes.find('\n', start)) != std::string::npos; start = nl + 1) {
        if (auto object = readJsonObject(bytes.substr(start, nl - start))) {
            out.push_back(*object);
        } else if (bad) {
            ++*bad;
        }
    }
    return out;
}

}  // namespace vchat::testing
