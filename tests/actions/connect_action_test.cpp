#include "actions/connect_action.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "tests/actions/action_test_support.h"
#include "tests/support/mosquitto.h"
#include "tests/support/loopback.h"
#include "tests/support/test_support.h"

namespace vchat {
namespace {

using namespace std::chrono_literals;
using testing::ConnectFormValues;
using testing::logHas;
using testing::logHasPrefix;
using testing::logTexts;
using testing::Mosquitto;
using testing::waitUntil;

const PresetChannels kPresets = makePresetChannels();

TEST(PresetRule, FillsAnEmptyKeyForExactPresetNamesOnly) {
    struct Case {
        std::string channel;
        std::string psk;
        std::string pskAfter;
        std::string notice;   // empty: none
    };
    const std::vector<Case> cases = {
        {"LongFast", "", "Ag==", "Preset channel detected (LongFast), using default PSK Ag=="},
        {"longfast", "", "Ag==", "Preset channel detected (longfast), using default PSK Ag=="},
        {"MEDIUMSLOW", "", "Ag==", "Preset channel detected (MEDIUMSLOW), using default PSK Ag=="},
        {"shortslow", "", "Ag==", "Preset channel detected (shortslow), using default PSK Ag=="},
        {"ShortFast", "", "Ag==", "Preset channel detected (ShortFast), using default PSK Ag=="},
        {"longfast", "1PG7OiApB1nwvP+rz05pAQ==", "1PG7OiApB1nwvP+rz05pAQ==", ""},
        {"longfast", " ", " ", ""},
        {"long fast", "", "", ""},
        {" longfast", "", "", ""},
        {"longfast ", "", "", ""},
        {"longfast2", "", "", ""},
        {"Mesh Varnholt", "", "", ""},
        {"0", "", "", ""},
        {"", "", "", ""},
    };
    const ResolveChannel resolve{&kPresets};
    for (const Case& c : cases) {
        std::string psk = c.psk;
        std::optional<std::string> notice = applyPresetRule(c.channel, psk, resolve);
        EXPECT_EQ(psk, c.pskAfter) << c.channel;
        EXPECT_EQ(notice.value_or(""), c.notice) << c.channel;
    }
}

TEST(TlsPortRule, OnlyExactly1883WithTlsBecomes8883) {
    struct Case {
        bool useTls;
        std::string port;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {true, "1883", "8883"},  {true, "8883", "8883"},   {true, " 1883", " 1883"},
        {true, "1883 ", "1883 "}, {true, "", ""},           {true, "01883", "01883"},
        {false, "1883", "1883"}, {false, "8883", "8883"},  {false, "mqtt", "mqtt"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(connectPort(c.port, c.useTls), c.expected) << c.useTls << " '" << c.port << "'";
    }
}

TEST(BuildConfig, EveryFieldComesFromItsOwnWidget) {
    ConnectFormValues v;
    v.host = "h";
    v.port = "p";
    v.user = "u";
    v.password = "pw";
    v.rootTopic = "rt/";
    v.channelPsk = "psk";
    v.caPath = "ca.pem";
    v.pskIdentity = "id";
    v.pskKeyHex = "beef";
    v.decodeRaw = true;
    v.hidePosition = true;
    v.hideTraceroute = true;
    v.verifyServer = false;
    MqttConfig c = buildConfig(v.form());
    EXPECT_EQ(c.host, "h");
    EXPECT_EQ(c.port, "p");
    EXPECT_EQ(c.user, "u");
    EXPECT_EQ(c.password, "pw");
    EXPECT_EQ(c.rootTopic, "rt/");
    EXPECT_EQ(c.channelPsk, "psk");
    EXPECT_EQ(c.caPath, "ca.pem");
    EXPECT_EQ(c.pskIdentity, "id");
    EXPECT_EQ(c.pskKeyHex, "beef");
    EXPECT_TRUE(c.channelKey.empty());
    EXPECT_TRUE(c.decodeRaw);
    EXPECT_FALSE(c.hideNodeinfo);
    EXPECT_TRUE(c.hidePosition);
    EXPECT_FALSE(c.hideTelemetry);
    EXPECT_TRUE(c.hideTraceroute);
    EXPECT_FALSE(c.useTls);
    EXPECT_FALSE(c.verifyServer);
    EXPECT_FALSE(c.tlsPsk);

    v.hideNodeinfo = true;
    v.hidePosition = false;
    v.hideTelemetry = true;
    v.hideTraceroute = false;
    v.decodeRaw = false;
    v.verifyServer = true;
    c = buildConfig(v.form());
    EXPECT_TRUE(c.hideNodeinfo);
    EXPECT_FALSE(c.hidePosition);
    EXPECT_TRUE(c.hideTelemetry);
    EXPECT_FALSE(c.hideTraceroute);
    EXPECT_FALSE(c.decodeRaw);
    EXPECT_TRUE(c.verifyServer);
}

TEST(BuildConfig, TlsPskOnlyTogetherWithUseTlsAndPortRuleLeavesTheForm) {
    for (bool useTls : {false, true}) {
        for (bool pskMode : {false, true}) {
            ConnectFormValues v;
            v.useTls = useTls;
            v.tlsPskMode = pskMode;
            MqttConfig c = buildConfig(v.form());
            EXPECT_EQ(c.useTls, useTls);
            EXPECT_EQ(c.tlsPsk, useTls && pskMode) << useTls << pskMode;
            EXPECT_EQ(c.port, useTls ? "8883" : "1883");
            EXPECT_EQ(v.port, "1883");
        }
    }
}

TEST(ConnectAction, RefusedWhileConnectedAndDisconnectRefusedWhileIdle) {
    LogView log;
    MqttWorker worker;
    std::atomic<bool> connected{true};
    bool connectDisabled = true;
    bool disconnectDisabled = false;
    ConnectFormValues v;
    v.channel = "LongFast";
    ConnectForm form = v.form();
    onConnect(connected, {connectDisabled, disconnectDisabled}, form, log, worker, {&kPresets});
    EXPECT_TRUE(log.lines.empty());
    EXPECT_EQ(v.channelPsk, "");   // the preset rule did not run either
    EXPECT_FALSE(worker.running());

    connected = false;
    connectDisabled = false;
    disconnectDisabled = true;
    onDisconnect(connected, {connectDisabled, disconnectDisabled}, worker);
    EXPECT_FALSE(connected);
    EXPECT_FALSE(connectDisabled);
    EXPECT_TRUE(disconnectDisabled);
    EXPECT_TRUE(log.lines.empty());
}

// A real worker, and the state Connect and Disconnect change, per test.
class ConnectWorker : public ::testing::Test, protected testing::ConnectionPanel {};

// The whole cycle with a real worker and a real broker: form values reach the worker at Connect
// time only, the preset notice comes once, the buttons follow the state.
TEST_F(ConnectWorker, ConnectDisconnectAgainstALocalBroker) {
    auto broker = Mosquitto::start();
    ASSERT_TRUE(broker);
    ConnectFormValues v;
    v.port = broker->portText();
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
    auto broker = Mosquitto::start();
    ASSERT_TRUE(broker);
    ConnectFormValues v;
    v.port = broker->portText();
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

}  // namespace
}  // namespace vchat
