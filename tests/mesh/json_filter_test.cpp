#include "mesh/ascii.h"
#include "mesh/json_filter.h"

#include <gtest/gtest.h>

namespace vchat {
namespace {

TEST(ToLowerAsciiTest, OnlyAsciiCapitalsChange) {
    EXPECT_EQ(toLowerAscii("AZaz@[`{09"), "azaz@[`{09");
    // UTF-8 capitals (here "Ä") and other high bytes stay as they are.
    EXPECT_EQ(toLowerAscii("\xC3\x84\xFF\x80X"), "\xC3\x84\xFF\x80x");
    EXPECT_EQ(toLowerAscii(std::string("A\0B", 3)), std::string("a\0b", 3));
}

enum Hide { kNone = 0, kNodeinfo = 1, kPosition = 2, kTelemetry = 4, kTraceroute = 8 };

MqttConfig hiding(int flags) {
    MqttConfig settings;
    settings.hideNodeinfo = flags & kNodeinfo;
    settings.hidePosition = flags & kPosition;
    settings.hideTelemetry = flags & kTelemetry;
    settings.hideTraceroute = flags & kTraceroute;
    return settings;
}

TEST(IsHiddenJsonTest, Rules) {
    constexpr int kAll = kNodeinfo | kPosition | kTelemetry | kTraceroute;
    struct Case {
        const char* name;
        int flags;
        const char* topic;
        const char* payload;
        bool hidden;
    };
    const Case cases[] = {
        {"plain text message", kAll, "msh/2/json/LongFast/!1", R"({"type":"text","payload":"hi"})", false},
        {"empty type hides with all off", kNone, "t", R"({"from":1,"type":""})", true},
        {"empty type in capitals", kNone, "t", R"({"TYPE":""})", true},
        {"empty type after a space is not that rule", kNone, "t", R"({"type": ""})", false},
        {"type word in a chat text", kPosition, "t", R"({"type":"text","payload":"my Position"})", true},
        {"same with the setting off", kAll & ~kPosition, "t", R"({"type":"text","payload":"my Position"})",
         false},
        {"topic word, any payload", kNodeinfo, "msh/2/json/NodeInfo/!1", "{}", true},
        {"word without type key", kTelemetry, "msh/2/json/x", R"({"kind":"telemetry"})", false},
        {"word without type key, topic has it", kTelemetry, "msh/Telemetry/x", R"({"kind":"x"})", true},
        {"capital type value", kNodeinfo, "t", R"({"type":"NODEINFO"})", true},
        {"type key anywhere, word anywhere", kTraceroute, "t", R"({"a":"traceroute","b":{"Type":1}})", true},
        {"each word needs its own setting", kNodeinfo, "t", R"({"type":"position"})", false},
        {"telemetry row", kTelemetry, "t", R"({"type":"telemetry"})", true},
        {"traceroute row", kTraceroute, "t", R"({"type":"traceroute"})", true},
        {"position row", kPosition, "t", R"({"type":"position"})", true},
        {"word must be contiguous", kPosition, "t", R"({"type":"posi tion"})", false},
        {"all off shows everything else", kNone, "nodeinfo/position", R"({"type":"telemetry"})", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(isHiddenJson(c.topic, c.payload, hiding(c.flags)), c.hidden);
    }
}

}  // namespace
}  // namespace vchat
