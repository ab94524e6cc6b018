#include "mesh/outgoing.h"

#include <gtest/gtest.h>

#include "tests/support/test_support.h"

namespace vchat {
namespace {

TEST(BuildTextMessageJsonTest, BroadcastWithoutNames) {
    EXPECT_EQ(buildTextMessageJson(testing::textHi(), 5),
              R"({"from":1128103180,"type":"sendtext","channel":0,"id":5,"to":4294967295,"payload":"Hi"})");
}

TEST(BuildTextMessageJsonTest, Members) {
    struct Case {
        const char* name;
        void (*edit)(OutgoingText&);
        std::uint32_t packetId;
        const char* json;
    };
    const Case cases[] = {
        {"both names", [](OutgoingText& m) { m.shortName = "AB"; m.longName = "Alpha \"B\""; }, 7,
         R"({"from":1128103180,"type":"sendtext","channel":0,"id":7,"to":4294967295,)"
         R"("shortName":"AB","longName":"Alpha \"B\"","payload":"Hi"})"},
        {"long name only", [](OutgoingText& m) { m.longName = "L"; }, 7,
         R"({"from":1128103180,"type":"sendtext","channel":0,"id":7,"to":4294967295,"longName":"L","payload":"Hi"})"},
        {"short name only", [](OutgoingText& m) { m.shortName = "S"; }, 7,
         R"({"from":1128103180,"type":"sendtext","channel":0,"id":7,"to":4294967295,"shortName":"S","payload":"Hi"})"},
        {"node 0 and channel 3", [](OutgoingText& m) { m.toId = 0; m.channel = 3; }, 7,
         R"({"from":1128103180,"type":"sendtext","channel":3,"id":7,"to":0,"payload":"Hi"})"},
        {"negative channel is 0", [](OutgoingText& m) { m.channel = -1; m.toId = -5; }, 7,
         R"({"from":1128103180,"type":"sendtext","channel":0,"id":7,"to":4294967295,"payload":"Hi"})"},
        {"largest numbers stay unsigned",
         [](OutgoingText& m) { m.fromId = 4294967295u; m.toId = 4294967295; m.channel = 2147483647; },
         4294967295u,
         R"({"from":4294967295,"type":"sendtext","channel":2147483647,"id":4294967295,"to":4294967295,"payload":"Hi"})"},
        {"node 2147483648", [](OutgoingText& m) { m.toId = 2147483648; }, 0,
         R"({"from":1128103180,"type":"sendtext","channel":0,"id":0,"to":2147483648,"payload":"Hi"})"},
        {"beyond the node range is broadcast", [](OutgoingText& m) { m.toId = 4294967296; }, 0,
         R"({"from":1128103180,"type":"sendtext","channel":0,"id":0,"to":4294967295,"payload":"Hi"})"},
        {"escapes", [](OutgoingText& m) { m.text = "a\"b\\c\nd\te\rf\bg\fh"; }, 1,
         R"({"from":1128103180,"type":"sendtext","channel":0,"id":1,"to":4294967295,)"
         R"("payload":"a\"b\\c\nd\te\rf\bg\fh"})"},
        {"control bytes as \\u00XX, other bytes unchanged", [](OutgoingText& m) { m.text = "\x01\x1f/\xC3\xA4\x7f"; }, 1,
         "{\"from\":1128103180,\"type\":\"sendtext\",\"channel\":0,\"id\":1,\"to\":4294967295,"
         "\"payload\":\"\\u0001\\u001f/\xC3\xA4\x7f\"}"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        OutgoingText message = testing::textHi();
        c.edit(message);
        EXPECT_EQ(buildTextMessageJson(message, c.packetId), c.json);
    }
}

TEST(JsonEscapeTest, QuotesBackslashesAndEveryControlByteEscapedOthersCopied) {
    EXPECT_EQ(jsonEscape(""), "");
    EXPECT_EQ(jsonEscape("\b\t\n\f\r\"\\"), R"(\b\t\n\f\r\"\\)");
    EXPECT_EQ(jsonEscape(std::string("\0\x01\x0b\x0e\x1f", 5)), R"(\u0000\u0001\u000b\u000e\u001f)");
    EXPECT_EQ(jsonEscape("a\tb\rc\nd"), R"(a\tb\rc\nd)");
    EXPECT_EQ(jsonEscape(" /<\x7f\xC3\xA9\xff"), " /<\x7f\xC3\xA9\xff");
}

TEST(BuildTextTopicTest, GatewayLowerCasedRootUnchanged) {
    std::string topic;
    ASSERT_TRUE(buildTextTopic("Msh/EU", "433D7D0C", topic));
    EXPECT_EQ(topic, "Msh/EU/2/json/mqtt/!433d7d0c");
    ASSERT_TRUE(buildTextTopic("", "abcdef01", topic));
    EXPECT_EQ(topic, "/2/json/mqtt/!abcdef01");
}

TEST(BuildTextTopicTest, RefusesGatewayIdsNotEightBytesLong) {
    for (const char* gateway : {"", "433D7D0", "433D7D0C1"}) {
        SCOPED_TRACE(gateway);
        std::string topic = "untouched";
        EXPECT_FALSE(buildTextTopic("msh", gateway, topic));
        EXPECT_EQ(topic, "untouched");
    }
}

}  // namespace
}  // namespace vchat
