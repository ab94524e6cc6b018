// Connect, Disconnect and Send with a real worker against a real mosquitto on 127.0.0.1.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "actions/connect_action.h"
#include "actions/send_action.h"
#include "tests/actions/action_test_support.h"
#include "tests/support/loopback.h"
#include "tests/support/mosquitto.h"
#include "tests/support/test_support.h"

namespace vchat {
namespace {

using namespace std::chrono_literals;
using testing::ConnectFormValues;
using testing::logHas;
using testing::logHasPrefix;
using testing::logTexts;
using testing::Mosquitto;
using testing::SendFormValues;
using testing::waitUntil;

const PresetChannels kPresets = makePresetChannels();

// A real worker, and the state Connect and Disconnect change, per test; a broker on demand.
class WithBroker : public ::testing::Test, protected testing::ConnectionPanel {
protected:
    // Starts a local broker and returns the form's values aimed at it (port empty if it failed).
    ConnectFormValues formForBroker() {
        broker = Mosquitto::start();
        ConnectFormValues v;
        if (broker) v.port = broker->portText();
        return v;
    }
    std::unique_ptr<Mosquitto> broker;
};

class ConnectWorker : public WithBroker {};
class SendWorker : public WithBroker {};

// The whole cycle with a real worker and a real broker: form values reach the worker at Connect
// time only, the preset notice comes once, the buttons follow the state.
TEST_F(ConnectWorker, ConnectDisconnectAgainstALocalBroker) {
    ConnectFormValues v = formForBroker();
    ASSERT_TRUE(broker);
    v.rootTopic = "first";
    v.channel = "LongFast";
    ConnectForm form = v.form();

    connect(form, {&kPresets});
    EXPECT_TRUE(connected);
    EXPECT_TRUE(connectDisabled);
    EXPECT_FALSE(disconnectDisabled);
    EXPECT_EQ(v.channelPsk, "Ag==");
    ASSERT_TRUE(waitUntil([&] { return logHas(log, "Subscribed: first/2/json/#"); }, 20s))
        << ::testing::PrintToString(logTexts(log));
    std::vector<std::string> texts = logTexts(log);
    ASSERT_GE(texts.size(), 2u);
    EXPECT_EQ(texts[0], "Preset channel detected (LongFast), using default PSK Ag==");
    EXPECT_EQ(texts[1], "Connecting...");

    // Edits after Connect do not reach the running worker.
    v.rootTopic = "second";
    v.decodeRaw = true;
    connect(form, {&kPresets});
    disconnect();
    EXPECT_FALSE(connected);
    EXPECT_FALSE(connectDisabled);
    EXPECT_TRUE(disconnectDisabled);
    EXPECT_FALSE(worker.running());
    texts = logTexts(log);
    EXPECT_EQ(texts.back(), "Disconnected.");
    EXPECT_FALSE(logHasPrefix(log, "Subscribed: second"));
    EXPECT_FALSE(logHas(log, "Subscribed: first/2/e/#"));
    EXPECT_EQ(std::count(texts.begin(), texts.end(), "Connecting..."), 1);

    // The second Connect takes the edited form; the key field is no longer empty, so no notice.
    log.clear();
    connect(form, {&kPresets});
    ASSERT_TRUE(waitUntil([&] { return logHas(log, "Subscribed: second/2/e/#"); }, 20s))
        << ::testing::PrintToString(logTexts(log));
    EXPECT_TRUE(logHas(log, "Subscribed: second/2/json/#"));
    EXPECT_EQ(logTexts(log).front(), "Connecting...");
    disconnect();
    EXPECT_EQ(logTexts(log).back(), "Disconnected.");
}

TEST_F(ConnectWorker, HideSettingsAreTakenAtConnectTime) {
    ConnectFormValues v = formForBroker();
    ASSERT_TRUE(broker);
    v.hideNodeinfo = true;
    ConnectForm form = v.form();
    connect(form, {&kPresets});
    ASSERT_TRUE(waitUntil([&] { return logHas(log, "Subscribed: vt/2/json/#"); }, 20s));
    v.hideNodeinfo = false;
    v.hidePosition = true;

    // The worker hears its own publishes through the broker.
    worker.enqueuePublish("vt/2/json/nodeinfo/x", R"({"type":"nodeinfo"})");
    worker.enqueuePublish("vt/2/json/position/x", R"({"type":"position"})");
    ASSERT_TRUE(waitUntil([&] { return worker.publishesHandled() >= 2; }, 20s));
    disconnect();
    EXPECT_FALSE(logHasPrefix(log, "msg vt/2/json/nodeinfo/x"));
    EXPECT_TRUE(logHas(log, "msg vt/2/json/position/x\n{\"type\":\"position\"}"))
        << ::testing::PrintToString(logTexts(log));
}

TEST_F(ConnectWorker, FailedConnectStaysConnectedUntilDisconnect) {
    const int closedPort = testing::freeTcpPort();
    ASSERT_GT(closedPort, 0);
    ConnectFormValues v;
    v.port = std::to_string(closedPort);
    ConnectForm form = v.form();

    connect(form, {&kPresets});
    ASSERT_TRUE(waitUntil([&] { return logHas(log, "error: TCP connect failed"); }, 30s))
        << ::testing::PrintToString(logTexts(log));
    EXPECT_TRUE(connected);
    EXPECT_TRUE(connectDisabled);
    EXPECT_FALSE(disconnectDisabled);

    // A second Connect is refused until Disconnect joins the finished thread.
    connect(form, {&kPresets});
    std::vector<std::string> texts = logTexts(log);
    EXPECT_EQ(std::count(texts.begin(), texts.end(), "Connecting..."), 1);

    disconnect();
    EXPECT_FALSE(connected);
    EXPECT_FALSE(connectDisabled);
    EXPECT_TRUE(disconnectDisabled);
    EXPECT_FALSE(worker.running());
    EXPECT_EQ(logTexts(log).back(), "error: TCP connect failed");
}

// Send through a running worker: the published JSON carries the unsigned To ID.
TEST_F(SendWorker, PublishesToTheGatewayTopicWithUnsignedToId) {
    ConnectFormValues c = formForBroker();
    ASSERT_TRUE(broker);
    ConnectForm connectForm = c.form();
    connect(connectForm, {&kPresets});
    ASSERT_TRUE(waitUntil([&] { return logHasPrefix(log, "Subscribed: vt/2/json/#"); }, 20s));

    SendFormValues v;
    v.gatewayHex = "433D7D0C";
    v.toId = "3000000000";
    v.message = "unsigned";
    SendForm form = v.form();
    onSend(connected, form, log, worker, ResolveChannel{&kPresets});
    v.toId = "-5";
    v.message = "negative";
    onSend(connected, form, log, worker, ResolveChannel{&kPresets});
    const std::string sent = "sent -> vt/2/json/mqtt/!433d7d0c :: {\"from\":1128103180,";
    ASSERT_TRUE(waitUntil(
        [&] {
            int count = 0;
            for (const std::string& t : logTexts(log)) count += t.compare(0, sent.size(), sent) == 0;
            return count == 2;
        },
        20s))
        << ::testing::PrintToString(logTexts(log));
    disconnect();

    std::vector<std::string> published;
    for (const std::string& t : logTexts(log)) {
        if (t.compare(0, sent.size(), sent) == 0) published.push_back(t);
    }
    ASSERT_EQ(published.size(), 2u);
    EXPECT_NE(published[0].find(",\"to\":3000000000,\"payload\":\"unsigned\"}"), std::string::npos)
        << published[0];
    EXPECT_NE(published[1].find(",\"to\":4294967295,\"payload\":\"negative\"}"), std::string::npos)
        << published[1];
}

}  // namespace
}  // namespace vchat
