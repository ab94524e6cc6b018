// Reading the recorder's jsonl lines back with a general JSON parser rather than the recorder's own
// code, so a test sees what any JSON reader would: strict grammar, valid UTF-8, \u escapes decoded.
#pragma once

#include <nlohmann/json.hpp>

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "mesh/channel_crypto.h"

namespace vchat::testing {

using JsonObject = std::map<std::string, std::string>;

// One object whose members are all strings; nothing for anything else (not JSON, trailing bytes,
// another value type).
inline std::optional<JsonObject> readJsonObject(const std::string& line) {
    const nlohmann::json parsed = nlohmann::json::parse(line, nullptr, /*allow_exceptions=*/false);
    if (!parsed.is_object()) return std::nullopt;
    JsonObject members;
    for (const auto& [name, value] : parsed.items()) {
        if (!value.is_string()) return std::nullopt;
        members[name] = value.get<std::string>();
    }
    return members;
}

// The exact bytes of a member: its "<name>_bytes" ("bytes" for "text") when there is one.
inline std::string exactBytes(const JsonObject& object, const std::string& name) {
    const auto raw = object.find(name == "text" ? "bytes" : name + "_bytes");
    if (raw != object.end()) return decodeBase64(raw->second);
    const auto plain = object.find(name);
    return plain == object.end() ? std::string() : plain->second;
}

// The objects of a jsonl file's complete lines; a line that is no such object is left out and
// counted in `bad`.
inline std::vector<JsonObject> readJsonl(const std::string& bytes, int* bad) {
    std::vector<JsonObject> out;
    std::size_t start = 0;
    for (std::size_t nl; (nl = bytes.find('\n', start)) != std::string::npos; start = nl + 1) {
        auto object = readJsonObject(bytes.substr(start, nl - start));
        if (object) out.push_back(*object);
        *bad += !object;
    }
    return out;
}

}  // namespace vchat::testing
