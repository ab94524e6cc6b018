// Which new log lines are spoken and how: chat text with its sender, decrypted envelope text,
// status lines; silent traffic; bursts said as one utterance; the gap between utterances; F8.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "app/speech_policy.h"

namespace vchat::access {
namespace {

constexpr const char* kStamp = "09.12.2026, 10:00:00  ";

// A literal's bytes, NUL and all.
template <std::size_t N>
std::string bytes(const char (&s)[N]) {
    return std::string(s, N - 1);
}

std::string stored(const std::string& text) { return kStamp + text; }

std::string jsonLine(const std::string& json) { return "msg msh/EU_868/2/json/LongFast/!0000abcd\n" + json; }

struct LineCase {
    const char* name;
    std::string text;
    Speech kind;
    std::string said;   // for silent lines: empty
};

TEST(SpeechPolicy, WhatEachKindOfLineSays) {
    const std::vector<LineCase> cases = {
        {"chat text", jsonLine(R"({"from":1234,"payload":{"text":"hello there"},"sender":"!0000abcd","type":"text"})"),
         Speech::chat, "Message from !000004d2: hello there"},
        {"escapes decoded", jsonLine(R"({"from":1,"type":"text","payload":{"text":"a \"q\" \u00e9\ud83d\ude00\nb"}})"),
         Speech::chat, "Message from !00000001: a \"q\" \xC3\xA9\xF0\x9F\x98\x80 b"},
        {"lone surrogate", jsonLine(R"({"from":1,"type":"text","payload":{"text":"x\ud800y"}})"), Speech::chat,
         "Message from !00000001: x\xEF\xBF\xBDy"},
        {"no from: the gateway", jsonLine(R"({"type":"text","sender":"!0000abcd","payload":{"text":"hi"}})"),
         Speech::chat, "Message from !0000abcd: hi"},
        {"text key inside a string value",
         jsonLine(R"({"from":2,"type":"text","payload":{"note":"\"text\" here","text":"real"}})"), Speech::chat,
         "Message from !00000002: real"},
        {"position", jsonLine(R"({"from":1,"payload":{"latitude_i":1},"type":"position"})"), Speech::silent, ""},
        {"telemetry", jsonLine(R"({"from":1,"payload":{"voltage":4.1},"type":"telemetry"})"), Speech::silent, ""},
        {"nodeinfo with a text field", jsonLine(R"({"from":1,"payload":{"text":"x"},"type":"nodeinfo"})"),
         Speech::silent, ""},
        {"traceroute", jsonLine(R"({"from":1,"payload":{"route":[1]},"type":"traceroute"})"), Speech::silent, ""},
        {"our own echo", jsonLine(R"({"from":1,"type":"sendtext","payload":"hi"})"), Speech::silent, ""},
        {"empty text", jsonLine(R"({"from":1,"type":"text","payload":{"text":""}})"), Speech::silent, ""},
        {"cut JSON", jsonLine(R"({"from":1,"type":"text","payload":{"te)"), Speech::silent, ""},
        {"raw dump", "RAW msh/EU_868/2/e/x\nHEX: 0a0b", Speech::silent, ""},
        {"envelope parse failure", "RAW envelope ok, MeshPacket parse failed (12 bytes)", Speech::silent, ""},
        {"envelope without key", "[!0000abcd] (1/2) no-psk ct=00ff", Speech::silent, ""},
        {"envelope not decrypted", "[!0000abcd] (1/2) decrypt-failed ct=00ff", Speech::silent, ""},
        {"short envelope text", bytes("[!0000abcd] (1/2) \x08\x01\x12\x02hi"), Speech::chat, "hi"},
        {"envelope of another port", bytes("[!0000abcd] (1/2) \x08\x03\x12\x02hi"), Speech::silent, ""},
        {"long envelope text", "[!0000abcd] (1/2) a longer text message", Speech::chat, "a longer text message"},
        {"run from the length byte", bytes("[g] (1/2) \x2Bthis message is forty-three characters long\x48\x01"),
         Speech::chat, "this message is forty-three characters long"},
        {"node id run", bytes("[g] (1/2) !0000abcd\x12\x04Name"), Speech::silent, ""},
        {"status", "Connected to broker.", Speech::status, "Connected to broker."},
        {"error", "error: connection lost", Speech::status, "error: connection lost"},
        {"toggle", std::string(kSpeakingOffText), Speech::toggle, std::string(kSpeakingOffText)},
    };
    for (const LineCase& c : cases) {
        const SpokenLine got = spokenLine(c.text);
        EXPECT_EQ(got.kind, c.kind) << c.name;
        if (c.kind != Speech::silent) {
            EXPECT_EQ(got.text, c.said) << c.name;
        }
    }
}

TEST(SpeechPolicy, HostileLinesAreBounded) {
    const std::string huge(7000, 'x');
    const SpokenLine chat = spokenLine(jsonLine(R"({"from":1,"type":"text","payload":{"text":")" + huge + "\"}}"));
    EXPECT_EQ(chat.kind, Speech::chat);
    EXPECT_LE(chat.text.size(), kMaxSpokenLine);
    EXPECT_LE(spokenLine("error: " + huge).text.size(), kMaxSpokenLine);
    // A cut inside a character keeps the character out.
    const std::string accents = std::string(kMaxSpokenLine - 1, 'a') + "\xC3\xA9\xC3\xA9";
    const std::string said = spokenLine(accents).text;
    EXPECT_EQ(said, std::string(kMaxSpokenLine - 1, 'a'));
    // Many keys that look like the one wanted, none with a colon: found in one pass, nothing said.
    std::string keys = "{";
    for (int i = 0; i < 2000; ++i) keys += "\"type\" ";
    EXPECT_EQ(spokenLine(jsonLine(keys)).kind, Speech::silent);
}

struct Step {
    std::uint64_t at;                   // ms
    std::vector<std::string> lines;     // texts added before asking
    bool speakingOn;
    std::optional<std::string> said;    // what `due` returns then
};

struct QueueCase {
    const char* name;
    std::vector<Step> steps;
};

std::string chat(const std::string& text) {
    return jsonLine(R"({"from":1,"type":"text","payload":{"text":")" + text + "\"}}");
}

TEST(SpeechQueue, BurstsCoalescedAndRateLimited) {
    const std::string from = "Message from !00000001: ";
    const std::vector<QueueCase> cases = {
        {"one line, said at once", {{0, {chat("a")}, true, from + "a"}, {10, {}, true, std::nullopt}}},
        {"a burst in one frame", {{0, {chat("a"), chat("b"), chat("c"), chat("d"), chat("e")}, true, "5 new messages"}}},
        {"status lines joined, chat counted",
         {{0, {"TCP connected.", "Connected to broker.", chat("x"), chat("y")}, true,
           "TCP connected. Connected to broker. 2 new messages"}}},
        {"too many status lines counted",
         {{0, {"s1", "s2", "s3", "s4", "s5"}, true, "s1 s2 s3 2 more status lines"}}},
        {"within the gap: waits, then coalesced",
         {{0, {chat("a")}, true, from + "a"},
          {100, {chat("b")}, true, std::nullopt},
          {kSpeechGapMs - 1, {chat("c")}, true, std::nullopt},
          {kSpeechGapMs, {}, true, "2 new messages"},
          {kSpeechGapMs + 10, {}, true, std::nullopt}}},
        {"silent traffic does not wait for a turn",
         {{0, {jsonLine(R"({"type":"position"})")}, true, std::nullopt}, {1, {chat("a")}, true, from + "a"}}},
        {"off: dropped, and the toggle said at once",
         {{0, {chat("a")}, true, from + "a"},
          {10, {chat("b"), std::string(kSpeakingOffText)}, false, std::string(kSpeakingOffText)},
          {20, {chat("c")}, false, std::nullopt},
          {5000, {}, false, std::nullopt},
          {5010, {std::string(kSpeakingOnText)}, true, std::string(kSpeakingOnText)},
          {5020, {chat("d")}, true, std::nullopt},
          {5010 + kSpeechGapMs, {}, true, from + "d"}}},
    };
    for (const QueueCase& c : cases) {
        SpeechQueue queue;
        for (const Step& s : c.steps) {
            for (const std::string& line : s.lines) queue.add(stored(line), s.speakingOn);
            EXPECT_EQ(queue.due(s.at), s.said) << c.name << " at " << s.at;
        }
    }
}

TEST(SpeechQueue, AFloodKeepsOneUtteranceBounded) {
    SpeechQueue queue;
    for (int i = 0; i < 20000; ++i) queue.add(stored(i % 2 ? chat(std::string(300, 'm')) : std::string(300, 's')), true);
    const std::optional<std::string> said = queue.due(0);
    ASSERT_TRUE(said);
    EXPECT_LE(said->size(), kMaxUtterance);
    EXPECT_NE(said->find("9997 more status lines 10000 new messages"), std::string::npos);
}

TEST(SpeechPolicy, StampRemoved) {
    EXPECT_EQ(withoutStamp(stored("text  with two spaces")), "text  with two spaces");
    EXPECT_EQ(withoutStamp("no stamp"), "no stamp");
}

}  // namespace
}  // namespace vchat::access
