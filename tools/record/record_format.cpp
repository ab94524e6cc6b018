#include "tools/record/record_format.h"

#include <cstdio>

#include "log/log_file.h"
#include "log/log_view.h"

namespace vchat::record {

namespace {

constexpr char kBase64Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr char kReplacement[] = "\xEF\xBF\xBD";   // U+FFFD
constexpr char kHexDigits[] = "0123456789abcdef";

bool inRange(std::string_view s, std::size_t i, unsigned lo, unsigned hi) {
    if (i >= s.size()) return false;
    const unsigned b = static_cast<unsigned char>(s[i]);
    return b >= lo && b <= hi;
}

// Length of the valid UTF-8 sequence starting at s[i], or 0. Overlong forms, surrogates and values
// above U+10FFFF are not valid: a JSON reader would refuse or alter them.
std::size_t sequenceLength(std::string_view s, std::size_t i) {
    const unsigned b = static_cast<unsigned char>(s[i]);
    if (b < 0x80) return 1;
    if (b >= 0xC2 && b <= 0xDF) return inRange(s, i + 1, 0x80, 0xBF) ? 2 : 0;
    if (b >= 0xE0 && b <= 0xEF) {
        const unsigned lo = b == 0xE0 ? 0xA0 : 0x80;
        const unsigned hi = b == 0xED ? 0x9F : 0xBF;
        return inRange(s, i + 1, lo, hi) && inRange(s, i + 2, 0x80, 0xBF) ? 3 : 0;
    }
    if (b >= 0xF0 && b <= 0xF4) {
        const unsigned lo = b == 0xF0 ? 0x90 : 0x80;
        const unsigned hi = b == 0xF4 ? 0x8F : 0xBF;
        return inRange(s, i + 1, lo, hi) && inRange(s, i + 2, 0x80, 0xBF) && inRange(s, i + 3, 0x80, 0xBF) ? 4 : 0;
    }
    return 0;
}

void appendField(std::string& out, std::string_view name, std::string_view bytes) {
    out += ",\"";
    out += name;
    out += "\":";
    out += jsonString(bytes);
    if (!isValidUtf8(bytes)) {
        out += ",\"";
        out += name == "text" ? "bytes" : std::string(name) + "_bytes";
        out += "\":\"";
        out += encodeBase64(bytes);
        out += '"';
    }
}

}  // namespace

std::string_view kindName(LineKind kind) {
    switch (kind) {
        case LineKind::Json: return "json";
        case LineKind::Envelope: return "envelope";
        case LineKind::Raw: return "raw";
        case LineKind::Status: break;
    }
    return "status";
}

bool isValidUtf8(std::string_view bytes) {
    for (std::size_t i = 0; i < bytes.size();) {
        const std::size_t n = sequenceLength(bytes, i);
        if (n == 0) return false;
        i += n;
    }
    return true;
}

std::string encodeBase64(std::string_view bytes) {
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    std::size_t i = 0;
    for (; i + 2 < bytes.size(); i += 3) {
        const unsigned v = static_cast<unsigned char>(bytes[i]) << 16 | static_cast<unsigned char>(bytes[i + 1]) << 8 |
                           static_cast<unsigned char>(bytes[i + 2]);
        out += kBase64Alphabet[v >> 18];
        out += kBase64Alphabet[(v >> 12) & 63];
        out += kBase64Alphabet[(v >> 6) & 63];
        out += kBase64Alphabet[v & 63];
    }
    if (i < bytes.size()) {
        const bool two = i + 1 < bytes.size();
        const unsigned v = static_cast<unsigned char>(bytes[i]) << 16 |
                           (two ? static_cast<unsigned char>(bytes[i + 1]) << 8 : 0u);
        out += kBase64Alphabet[v >> 18];
        out += kBase64Alphabet[(v >> 12) & 63];
        out += two ? kBase64Alphabet[(v >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

std::string jsonString(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size() + 2);
    out += '"';
    for (std::size_t i = 0; i < bytes.size();) {
        const unsigned char c = static_cast<unsigned char>(bytes[i]);
        const std::size_t n = sequenceLength(bytes, i);
        if (n == 0) {
            out += kReplacement;
            ++i;
            continue;
        }
        if (n > 1) {
            out.append(bytes.substr(i, n));
            i += n;
            continue;
        }
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            case '\b': out += "\\b"; break;
            case '\f': out += "\\f"; break;
            default:
                if (c < 0x20) {
                    out += "\\u00";
                    out += kHexDigits[c >> 4];
                    out += kHexDigits[c & 15];
                } else {
                    out += static_cast<char>(c);
                }
        }
        ++i;
    }
    out += '"';
    return out;
}

std::string isoUtcMillis(WallClock::time_point when) {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(when.time_since_epoch()).count();
    std::time_t seconds = static_cast<std::time_t>(ms / 1000);
    long millis = static_cast<long>(ms % 1000);
    if (millis < 0) {   // before 1970: floor, not truncation
        millis += 1000;
        --seconds;
    }
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char buffer[40];
    const std::size_t n = std::strftime(buffer, sizeof buffer, "%Y-%m-%dT%H:%M:%S", &utc);
    std::snprintf(buffer + n, sizeof buffer - n, ".%03ldZ", millis);
    return buffer;
}

std::string LineFormatter::format(const WorkerLine& line, WallClock::time_point when) {
    const std::size_t maxText = noCut_ ? std::string::npos : kMaxLogText;
    if (format_ == OutputFormat::Text) {
        const std::time_t second = WallClock::to_time_t(when);
        if (second != stampSecond_) {
            stamp_ = formatStamp(second);
            stampSecond_ = second;
        }
        std::string out = makeLogLine(stamp_, line.text, maxText);
        out += kLogLineEnd;
        return out;
    }
    const std::string_view text = std::string_view(line.text).substr(0, maxText);
    std::string out = "{\"time\":\"" + isoUtcMillis(when) + "\",\"kind\":\"";
    out += kindName(line.kind);
    out += '"';
    if (!line.topic.empty()) appendField(out, "topic", line.topic);
    appendField(out, "text", text);
    out += "}\n";
    return out;
}

std::string_view LineFormatter::fileStart() const {
    return format_ == OutputFormat::Text ? kLogFileBom : std::string_view();
}

}  // namespace vchat::record
