#include "actions/connect_action.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tests/actions/action_test_support.h"
#include "tests/support/test_support.h"

namespace vchat {
namespace {

using testing::ConnectFormValues;

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
    testing::ConnectionPanel panel;
    panel.connected = true;
    panel.connectDisabled = true;
    panel.disconnectDisabled = false;
    ConnectFormValues v;
    v.channel = "LongFast";
    ConnectForm form = v.form();
    panel.connect(form, {&kPresets});
    EXPECT_TRUE(panel.log.lines.empty());
    EXPECT_EQ(v.channelPsk, "");   // the preset rule did not run either
    EXPECT_FALSE(panel.worker.running());

    panel.connected = false;
    panel.connectDisabled = false;
    panel.disconnectDisabled = true;
    panel.disconnect();
    EXPECT_FALSE(panel.connected);
    EXPECT_FALSE(panel.connectDisabled);
    EXPECT_TRUE(panel.disconnectDisabled);
    EXPECT_TRUE(panel.log.lines.empty());
}

}  // namespace
}  // namespace vchat
