#include "app/speech_policy.h"

#include <cstdio>

namespace vchat::access {

namespace {

constexpr std::string_view kMsgPrefix = "msg ";
constexpr std::string_view kRawPrefix = "RAW ";
constexpr std::string_view kNoPskMarker = " no-psk ct=";
constexpr std::string_view kDecryptFailedMarker = " decrypt-failed ct=";
constexpr std::string_view kStampEnd = "  ";
constexpr std::string_view kTextType = "text";

constexpr std::string_view kChatFromText = "Message from ";
constexpr std::string_view kChatSeparatorText = ": ";
constexpr std::string_view kNewMessagesText = " new messages";
constexpr std::string_view kMoreStatusText = " more status lines";

// The longest head of `text` of at most `limit` bytes that does not end inside a UTF-8 sequence.
std::string_view headOf(std::string_view text, std::size_t limit) {
    if (text.size() <= limit) return text;
    std::size_t cut = limit;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
    return text.substr(0, cut);
}

void appendUtf8(std::string& out, std::uint32_t c) {
    if (c < 0x80) {
        out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (c >> 6)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (c >> 12)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (c >> 18)));
        out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
}

std::optional<std::uint32_t> hex4(std::string_view s, std::size_t at) {
    if (at + 4 > s.size()) return std::nullopt;
    std::uint32_t v = 0;
    for (std::size_t i = at; i < at + 4; ++i) {
        const char c = s[i];
        v <<= 4;
        if (c >= '0' && c <= '9') v |= static_cast<std::uint32_t>(c - '0');
        else if (c >= 'a' && c <= 'f') v |= static_cast<std::uint32_t>(c - 'a' + 10);
        else if (c >= 'A' && c <= 'F') v |= static_cast<std::uint32_t>(c - 'A' + 10);
        else return std::nullopt;
    }
    return v;
}

// The JSON string starting after the quote at `at`, escapes decoded, at most kMaxSpokenLine bytes.
std::string jsonString(std::string_view json, std::size_t at) {
    std::string out;
    for (std::size_t i = at; i < json.size() && out.size() < kMaxSpokenLine; ++i) {
        const char c = json[i];
        if (c == '"') break;
        if (c != '\\' || i + 1 >= json.size()) {
            out.push_back(c);
            continue;
        }
        const char e = json[++i];
        switch (e) {
            case 'n': case 'r': case 't': case 'b': case 'f': out.push_back(' '); break;
            case 'u': {
                std::optional<std::uint32_t> c1 = hex4(json, i + 1);
                if (!c1) break;
                i += 4;
                std::uint32_t code = *c1;
                if (code >= 0xD800 && code <= 0xDBFF && i + 2 < json.size() && json[i + 1] == '\\' && json[i + 2] == 'u') {
                    std::optional<std::uint32_t> c2 = hex4(json, i + 3);
                    if (c2 && *c2 >= 0xDC00 && *c2 <= 0xDFFF) {
                        code = 0x10000 + ((code - 0xD800) << 10) + (*c2 - 0xDC00);
                        i += 6;
                    }
                }
                if (code >= 0xD800 && code <= 0xDFFF) code = 0xFFFD;
                appendUtf8(out, code);
                break;
            }
            default: out.push_back(e); break;
        }
    }
    return std::string(headOf(out, kMaxSpokenLine));
}

// Where the value of the first "key" at or after `from` starts (spaces and the colon skipped).
std::optional<std::size_t> valueOf(std::string_view json, std::string_view key, std::size_t from = 0) {
    std::string quoted;
    quoted.reserve(key.size() + 2);
    quoted.append("\"").append(key).append("\"");
    for (std::size_t at = json.find(quoted, from); at != std::string_view::npos; at = json.find(quoted, at + 1)) {
        std::size_t i = at + quoted.size();
        while (i < json.size() && (json[i] == ' ' || json[i] == '\t' || json[i] == '\n' || json[i] == '\r')) ++i;
        if (i >= json.size() || json[i] != ':') continue;   // a string value that looks like the key
        ++i;
        while (i < json.size() && (json[i] == ' ' || json[i] == '\t' || json[i] == '\n' || json[i] == '\r')) ++i;
        if (i < json.size()) return i;
    }
    return std::nullopt;
}

std::optional<std::string> stringValue(std::string_view json, std::string_view key, std::size_t from = 0) {
    std::optional<std::size_t> at = valueOf(json, key, from);
    if (!at || json[*at] != '"') return std::nullopt;
    return jsonString(json, *at + 1);
}

// The sender as nodes name each other ("!" and eight hex digits), from the "from" number; the
// "sender" field (the gateway that heard it) when there is none.
std::string senderOf(std::string_view json) {
    std::optional<std::size_t> at = valueOf(json, "from");
    if (at) {
        std::uint64_t n = 0;
        std::size_t i = *at;
        while (i < json.size() && i < *at + 12 && json[i] >= '0' && json[i] <= '9') n = n * 10 + (json[i++] - '0');
        if (i > *at && n <= 0xFFFFFFFFull) {
            char id[16];
            std::snprintf(id, sizeof id, "!%08x", static_cast<unsigned>(n));
            return id;
        }
    }
    return stringValue(json, "sender").value_or(std::string());
}

SpokenLine chatLine(std::string_view json) {
    if (stringValue(json, "type") != std::optional<std::string>(std::string(kTextType))) return {};
    std::optional<std::size_t> payload = valueOf(json, "payload");
    if (!payload) return {};
    std::optional<std::string> text = json[*payload] == '"' ? std::optional<std::string>(jsonString(json, *payload + 1))
                                                            : stringValue(json, "text", *payload);
    if (!text || text->empty()) return {};
    std::string said(kChatFromText);
    said.append(senderOf(json)).append(kChatSeparatorText).append(*text);
    return SpokenLine{Speech::chat, std::string(headOf(said, kMaxSpokenLine))};
}

bool isControlByte(char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; }

bool isNodeId(std::string_view s) {
    if (s.size() != 9 || s[0] != '!') return false;
    for (char c : s.substr(1)) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    }
    return true;
}

// The readable text of a decrypted envelope, as packetLine wrote it after "[label] (a/b) ": either
// the whole plaintext (no long printable run: a short message is still in its Data fields, port
// first) or the plaintext from its first long printable run.
SpokenLine envelopeText(std::string_view readable) {
    constexpr char kPortField = 0x08, kPayloadField = 0x12, kTextPort = 0x01;
    std::string_view text;
    if (!readable.empty() && readable[0] == kPortField) {
        if (readable.size() < 4 || readable[1] != kTextPort || readable[2] != kPayloadField) return {};
        const std::size_t length = static_cast<unsigned char>(readable[3]);
        if (length >= 0x80) return {};
        text = readable.substr(4, length);
    } else {
        std::size_t end = 0;
        while (end < readable.size() && !isControlByte(readable[end])) ++end;
        text = readable.substr(0, end);
        // The run may start at the payload's own length byte, with a field or two after the text.
        const std::size_t length = text.empty() ? 0 : static_cast<unsigned char>(text[0]);
        if (length > 0 && length + 1 <= text.size() && length + 3 >= text.size()) text = text.substr(1, length);
        if (isNodeId(text)) return {};
    }
    if (text.empty()) return {};
    return SpokenLine{Speech::chat, std::string(headOf(text, kMaxSpokenLine))};
}

}  // namespace

std::string_view withoutStamp(std::string_view stored) {
    const std::size_t at = stored.find(kStampEnd);
    return at == std::string_view::npos ? stored : stored.substr(at + kStampEnd.size());
}

SpokenLine spokenLine(std::string_view text) {
    if (text == kSpeakingOnText || text == kSpeakingOffText) return SpokenLine{Speech::toggle, std::string(text)};
    if (text.substr(0, kMsgPrefix.size()) == kMsgPrefix) {
        const std::size_t lf = text.find('\n');
        if (lf != std::string_view::npos) return chatLine(text.substr(lf + 1));
    }
    if (text.substr(0, kRawPrefix.size()) == kRawPrefix) return {};
    if (!text.empty() && text[0] == '[') {
        const std::size_t numbers = text.find("] (");
        const std::size_t close = numbers == std::string_view::npos ? numbers : text.find(')', numbers);
        if (close != std::string_view::npos) {
            const std::string_view rest = text.substr(close + 1);
            if (rest.substr(0, kNoPskMarker.size()) == kNoPskMarker ||
                rest.substr(0, kDecryptFailedMarker.size()) == kDecryptFailedMarker || rest.empty()) {
                return {};
            }
            return envelopeText(rest.substr(1));
        }
    }
    return SpokenLine{Speech::status, std::string(headOf(text, kMaxSpokenLine))};
}

void SpeechQueue::add(std::string_view stored, bool speakingOn) {
    SpokenLine line = spokenLine(withoutStamp(stored));
    if (line.kind == Speech::toggle) {
        toggle_ = std::move(line.text);
        if (!speakingOn) {   // what was waiting is not said any more
            status_.clear();
            chat_.clear();
            statusCount_ = 0;
            chatCount_ = 0;
        }
        return;
    }
    if (!speakingOn) return;
    if (line.kind == Speech::status) {
        if (++statusCount_ <= kMaxStatusSaid) {
            if (!status_.empty()) status_.push_back(' ');
            status_.append(line.text);
        }
    } else if (line.kind == Speech::chat) {
        if (++chatCount_ == 1) chat_ = std::move(line.text);
    }
}

std::optional<std::string> SpeechQueue::due(std::uint64_t nowMs) {
    std::optional<std::string> said;
    if (toggle_) {
        said = std::move(toggle_);
        toggle_.reset();
    } else {
        if (statusCount_ == 0 && chatCount_ == 0) return std::nullopt;
        if (lastSpoken_ && nowMs - *lastSpoken_ < kSpeechGapMs) return std::nullopt;
        std::string text = status_;
        if (statusCount_ > kMaxStatusSaid) {
            text.append(" ").append(std::to_string(statusCount_ - kMaxStatusSaid)).append(kMoreStatusText);
        }
        if (chatCount_ > 0 && !text.empty()) text.push_back(' ');
        if (chatCount_ == 1) text.append(chat_);
        if (chatCount_ > 1) text.append(std::to_string(chatCount_)).append(kNewMessagesText);
        said = std::string(headOf(text, kMaxUtterance));
        status_.clear();
        chat_.clear();
        statusCount_ = 0;
        chatCount_ = 0;
    }
    lastSpoken_ = nowMs;
    return said;
}

}  // namespace vchat::access
