#include "actions/send_action.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "actions/connect_action.h"
#include "tests/actions/action_test_support.h"
#include "tests/support/test_support.h"

namespace vchat {
namespace {

using testing::SendFormValues;
using testing::logTexts;

const PresetChannels kPresets = makePresetChannels();

TEST(ParseGatewayHex, ExactlyEightHexDigits) {
    const std::vector<std::pair<std::string, std::optional<std::uint32_t>>> cases = {
        {"433d7d0c", 1128103180u}, {"433D7D0C", 1128103180u}, {"ffffffff", 4294967295u},
        {"80000000", 2147483648u}, {"00000000", 0u},          {"0000000A", 10u},
        {"", std::nullopt},        {"433d7d0", std::nullopt}, {"433d7d0c0", std::nullopt},
        {"0x433d7d", std::nullopt}, {" 433d7d0", std::nullopt}, {"433d7d0 ", std::nullopt},
        {"433d7d0g", std::nullopt}, {"-33d7d0c", std::nullopt}, {std::string("433d7d\0c", 8), std::nullopt},
    };
    for (const auto& [text, expected] : cases) {
        EXPECT_EQ(parseGatewayHex(text), expected) << '"' << text << '"';
    }
}

TEST(ParseToId, AtoiReadingWithinThirtyTwoBits) {
    const std::vector<std::pair<std::string, std::optional<std::int64_t>>> cases = {
        {"", -1},
        {"12", 12},
        {"12abc", 12},
        {" 12", 12},
        {"\t\n\v\f\r 12", 12},
        {"+12", 12},
        {"abc", 0},
        {"-", 0},
        {"+", 0},
        {" ", 0},
        {"- 5", 0},
        {"0", 0},
        {"-0", 0},
        {"-5", -5},
        {"007", 7},
        {"2147483647", 2147483647},
        {"2147483648", 2147483648},
        {"4294967295", 4294967295},
        {"000000000000004294967295", 4294967295},
        {"-2147483648", -2147483648LL},
        {"4294967296", std::nullopt},
        {"-2147483649", std::nullopt},
        {"99999999999999999999999999999", std::nullopt},
        {"-99999999999999999999999999999", std::nullopt},
        {"4294967296abc", std::nullopt},
    };
    for (const auto& [text, expected] : cases) {
        EXPECT_EQ(parseToId(text, false), expected) << '"' << text << '"';
    }
    for (const char* text : {"", "12", "4294967296", "abc"}) {
        EXPECT_EQ(parseToId(text, true), -1) << text;   // Broadcast wins whatever the text
    }
}

TEST(PlanSend, ChecksComeInOrder) {
    struct Case {
        bool connected;
        std::string fromId;
        std::string gatewayHex;
        std::string toId;
        std::string refusal;
    };
    const std::vector<Case> cases = {
        {false, "", "bad", "99999999999", "Not connected."},
        {false, "1128103180", "433d7d0c", "", "Not connected."},
        {true, "", "bad", "99999999999", "FROM_ID required."},
        {true, "1", "bad", "99999999999", "GATEWAY_HEX must be 8 hex chars (e.g. 433d7d0c)."},
        {true, "1", "0x433d7d0c", "", "GATEWAY_HEX must be 8 hex chars (e.g. 433d7d0c)."},
        {true, "1", "433d7d0c", "99999999999", "To ID out of range."},
        {true, "1", "433d7d0c", "-2147483649", "To ID out of range."},
        {true, "1", "433d7d0c", "4294967295", ""},
        {true, "1", "433d7d0c", "", ""},
    };
    for (const Case& c : cases) {
        SendFormValues v;
        v.fromId = c.fromId;
        v.gatewayHex = c.gatewayHex;
        v.toId = c.toId;
        SendPlan plan = planSend(c.connected, v.form(), ResolveChannel{&kPresets});
        EXPECT_EQ(plan.refusal, c.refusal) << c.fromId << " " << c.gatewayHex << " " << c.toId;
    }
}

TEST(PlanSend, FromIdFollowsTheGatewayValue) {
    struct Case {
        std::string fromId;
        std::string gatewayHex;
        std::string adjusted;   // empty: left alone
        std::uint32_t fromValue;
    };
    const std::vector<Case> cases = {
        {"1128103180", "433D7D0C", "", 1128103180u},
        {"1128103180", "433d7d0c", "", 1128103180u},
        {"42", "433d7d0c", "1128103180", 1128103180u},
        {"01128103180", "433d7d0c", "1128103180", 1128103180u},
        {"1128103180 ", "433d7d0c", "1128103180", 1128103180u},
        {"1", "ffffffff", "4294967295", 4294967295u},
        {"1", "80000000", "2147483648", 2147483648u},
        {"5", "00000000", "0", 0u},
    };
    for (const Case& c : cases) {
        SendFormValues v;
        v.fromId = c.fromId;
        v.gatewayHex = c.gatewayHex;
        SendPlan plan = planSend(true, v.form(), ResolveChannel{&kPresets});
        EXPECT_EQ(plan.refusal, "");
        EXPECT_EQ(plan.adjustedFromId, c.adjusted) << c.fromId;
        EXPECT_EQ(plan.message.fromId, c.fromValue) << c.fromId;
    }
}

TEST(PlanSend, MessageRecordAndRootTopic) {
    SendFormValues v;
    v.message = "Hi \"there\"";
    v.gatewayHex = "433D7D0C";
    v.fromId = "1128103180";
    v.channel = "mediumslow";
    v.shortName = "ab";
    v.longName = "Long Name";
    v.rootTopic = "msh/EU/";
    v.toId = "2147483648";
    SendPlan plan = planSend(true, v.form(), ResolveChannel{&kPresets});
    ASSERT_EQ(plan.refusal, "");
    EXPECT_EQ(plan.message.text, "Hi \"there\"");
    EXPECT_EQ(plan.message.gatewayHex, "433D7D0C");   // as typed
    EXPECT_EQ(plan.message.channel, 3);
    EXPECT_EQ(plan.message.shortName, "ab");
    EXPECT_EQ(plan.message.longName, "Long Name");
    EXPECT_EQ(plan.message.toId, 2147483648LL);
    EXPECT_EQ(plan.config.rootTopic, "msh/EU/");
    EXPECT_EQ(plan.config.host, "");
    EXPECT_EQ(plan.config.channelPsk, "");

    v.channel = "Mesh Varnholt";
    v.toId = "12";
    v.broadcast = true;
    plan = planSend(true, v.form(), ResolveChannel{&kPresets});
    EXPECT_EQ(plan.message.channel, -1);
    EXPECT_EQ(plan.message.toId, -1);
}

// onSend against a worker that was never started: queueText still queues, nothing is published.
class SendOnIdleWorker : public ::testing::Test {
protected:
    void send() {
        SendForm form = v.form();
        onSend(connected, form, log, worker, ResolveChannel{&kPresets});
    }
    // FROM_ID now agrees with GATEWAY_HEX, and the log said so in its one line.
    void expectFromIdAdjusted() {
        EXPECT_EQ(logTexts(log), std::vector<std::string>{"Adjusted FROM_ID to match GATEWAY_HEX ? 1128103180"});
        EXPECT_EQ(v.fromId, "1128103180");
    }
    LogView log;
    MqttWorker worker;
    std::atomic<bool> connected{true};
    SendFormValues v;
};

TEST_F(SendOnIdleWorker, RefusalLogsOneLineAndLeavesTheForm) {
    struct Case {
        bool connected;
        std::string fromId;
        std::string toId;
        std::string line;
    };
    for (const Case& c : std::vector<Case>{{false, "1", "", "Not connected."},
                                           {true, "", "", "FROM_ID required."},
                                           {true, "42", "4294967296", "To ID out of range."}}) {
        log.clear();
        connected = c.connected;
        v.message = "keep me";
        v.fromId = c.fromId;
        v.toId = c.toId;
        send();
        EXPECT_EQ(logTexts(log), std::vector<std::string>{c.line});
        EXPECT_EQ(v.message, "keep me");
        EXPECT_EQ(v.fromId, c.fromId);
        EXPECT_EQ(worker.queuedCount(), 0u);
    }
}

TEST_F(SendOnIdleWorker, SendAdjustsFromIdQueuesAndClearsTheMessageLine) {
    v.fromId = "42";
    v.toId = "4294967295";
    send();
    expectFromIdAdjusted();
    EXPECT_EQ(v.message, "");
    EXPECT_EQ(worker.queuedCount(), 1u);

    // Now in agreement: no second adjustment line.
    v.message = "again";
    send();
    EXPECT_EQ(log.lines.size(), 1u);
    EXPECT_EQ(worker.queuedCount(), 2u);
}

TEST_F(SendOnIdleWorker, EmptyMessageStillAdjustsButQueuesNothing) {
    v.message = "";
    v.fromId = "7";
    send();
    expectFromIdAdjusted();
    EXPECT_EQ(worker.queuedCount(), 0u);
}

}  // namespace
}  // namespace vchat
