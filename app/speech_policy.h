// Which new log lines a screen reader speaks, and how often: chat messages (their sender and text,
// never the raw JSON), the readable text of a decrypted envelope and the client's own status and
// error lines; position, telemetry, node information and traceroute traffic stay silent. Lines
// that arrive together are said as one utterance ("5 new messages"), at most one utterance per
// kSpeechGapMs. F8 turns it off and on.
//
// Pure: the caller feeds each new line once, with a clock, and speaks what `due` returns. Lines
// come from the network, so everything kept is bounded whatever arrives.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vchat::access {

// The log lines F8 adds; said at once, whatever else is waiting.
inline constexpr std::string_view kSpeakingOnText = "Speaking new lines: on";
inline constexpr std::string_view kSpeakingOffText = "Speaking new lines: off";

inline constexpr std::uint64_t kSpeechGapMs = 1500;
// The most said of one line, and of one utterance, in bytes.
inline constexpr std::size_t kMaxSpokenLine = 400;
inline constexpr std::size_t kMaxUtterance = 1200;
// Status lines said in full in one utterance; more are counted.
inline constexpr std::size_t kMaxStatusSaid = 3;

enum class Speech { silent, chat, status, toggle };
struct SpokenLine {
    Speech kind = Speech::silent;
    std::string text;
};

// The text after a stored line's stamp ("<stamp>  <text>").
std::string_view withoutStamp(std::string_view stored);
// What is said for one line's text (stamp removed); bytes, not yet cleaned.
SpokenLine spokenLine(std::string_view text);

class SpeechQueue {
public:
    // One new stored line; lines are dropped while speaking is off (the toggle's own line is not).
    void add(std::string_view stored, bool speakingOn);
    // The utterance to say now, if any is waiting and the gap since the last one has passed.
    std::optional<std::string> due(std::uint64_t nowMs);

private:
    std::string status_;           // the first kMaxStatusSaid status lines, joined
    std::size_t statusCount_ = 0;
    std::string chat_;             // the first chat line waiting
    std::size_t chatCount_ = 0;
    std::optional<std::string> toggle_;
    std::optional<std::uint64_t> lastSpoken_;
};

}  // namespace vchat::access
