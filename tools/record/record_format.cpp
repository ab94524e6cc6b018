#include "tools/record/record_format.h"

#include <cstdio>

#include "log/log_file.h"
#include "log/log_view.h"
#include "mesh/ascii.h"
#include "mesh/channel_crypto.h"
#include "mesh/outgoing.h"
#include "mesh/utf8.h"

namespace vchat::record {

namespace {

constexpr char kReplacement[] = "\xEF\xBF\xBD";   // U+FFFD

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
        const std::size_t n = utf8SequenceLength(bytes, i);
        if (n == 0) return false;
        i += n;
    }
    return true;
}

std::string jsonString(std::string_view bytes) {
    // Runs of valid UTF-8 are escaped as the outgoing messages are; each byte that starts no valid
    // sequence becomes one U+FFFD.
    std::string out = "\"";
    std::size_t run = 0;
    for (std::size_t i = 0; i < bytes.size();) {
        const std::size_t n = utf8SequenceLength(bytes, i);
        if (n > 0) {
            i += n;
            continue;
        }
        out += jsonEscape(bytes.substr(run, i - run));
        out += kReplacement;
        run = ++i;
    }
    out += jsonEscape(bytes.substr(run));
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

std::string escapeControls(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    auto escape = [&out](char c) {
        const auto b = static_cast<std::uint8_t>(c);
        out += "\\x";
        out += kLowerHexDigits[b >> 4];
        out += kLowerHexDigits[b & 0xF];
    };
    for (std::size_t i = 0; i < bytes.size();) {
        const auto b = static_cast<std::uint8_t>(bytes[i]);
        if ((b < 0x20 && b != '\n' && b != '\t') || b == 0x7F) {
            escape(bytes[i++]);
            continue;
        }
        if (b < 0x80) {
            out += bytes[i++];
            continue;
        }
        const std::size_t n = utf8SequenceLength(bytes, i);
        if (n == 2 && b == 0xC2 && static_cast<std::uint8_t>(bytes[i + 1]) <= 0x9F) {
            escape(bytes[i]);
            escape(bytes[i + 1]);
            i += 2;
        } else if (n == 0 && b <= 0x9F) {
            escape(bytes[i++]);   // a terminal in an 8-bit mode reads it as a C1 control
        } else {
            const std::size_t take = n == 0 ? 1 : n;
            out.append(bytes.substr(i, take));
            i += take;
        }
    }
    return out;
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
        if (escapeControls_) out = escapeControls(out);   // after the cut, which counts the bytes said
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
