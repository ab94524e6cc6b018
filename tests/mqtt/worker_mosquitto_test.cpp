// The worker against a real mosquitto on 127.0.0.1, what only Linux runs: traffic both ways with
// other MQTT clients, the password file's refusals, and the outgoing text message as a subscriber
// sees it. The cases shared with the Windows build are in worker_broker_test.cpp.
#include "mqtt/mqtt_worker.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "tests/mqtt/mesh_envelope.h"
#include "tests/support/log_texts.h"
#include "tests/support/mosquitto.h"
#include "tests/support/test_support.h"

namespace vchat {
namespace {

using namespace std::chrono_literals;
using testing::countLines;
using testing::logTexts;
using testing::Mosquitto;
using testing::readFile;
using testing::runCommand;
using testing::waitForLine;
using testing::waitUntil;

std::string pubCommand(const Mosquitto& broker, const std::string& topic) {
    return "mosquitto_pub -h 127.0.0.1 -p " + broker.portText() + " -t '" + topic + "'";
}

TEST(WorkerMosquitto, PlainTcpEndToEnd) {
    auto broker = Mosquitto::start();
    ASSERT_TRUE(broker);
    testing::TempDir dir;
    LogView log;
    MqttWorker worker;
    MqttConfig config;
    config.host = "127.0.0.1";
    config.port = broker->portText();
    config.rootTopic = "msh/EU";
    config.decodeRaw = true;
    config.channelPsk = "AQ==";   // one byte, 0x01
    worker.start(config, &log);
    ASSERT_TRUE(waitForLine(log, "Subscribed: msh/EU/2/e/#", 15s));
    // SUBACK is not awaited by the worker, so tests wait until the broker has logged the filter.
    ASSERT_TRUE(broker->waitForLog("msh/EU/2/e/# (QoS 0)"));
    EXPECT_TRUE(countLines(log, "TCP connected.") == 1 && countLines(log, "Connected to broker.") == 1);

    // JSON from another client is shown as it arrived.
    const std::string jsonTopic = "msh/EU/2/json/LongFast/!aabbccdd";
    const std::string json = R"({"from":2864434397,"type":"text","payload":{"text":"hello json"}})";
    testing::writeFile(dir.file("json"), json);
    ASSERT_EQ(runCommand(pubCommand(*broker, jsonTopic) + " -f " + dir.file("json")), 0);
    EXPECT_TRUE(waitForLine(log, "msg " + jsonTopic + "\n" + json, 15s));

    // An encrypted envelope is decrypted with the channel key and its text shown.
    const std::string plaintext = std::string("\x08\x01\x12\x0b", 4) + "Hello mesh!";
    const std::string envelope = testing::meshEnvelope(
        "LongFast", 4000000000u, 7, testing::encryptForChannel(std::string(1, '\x01'), 4000000000u, 7, plaintext));
    testing::writeFile(dir.file("envelope"), envelope);
    ASSERT_EQ(runCommand(pubCommand(*broker, "msh/EU/2/e/LongFast/!aabbccdd") + " -f " + dir.file("envelope")), 0);
    EXPECT_TRUE(waitForLine(log, "[LongFast] (4000000000/7) Hello mesh!", 15s));
    EXPECT_TRUE(waitUntil([&] { return worker.publishesHandled() == 2; }, 5s));

    // The outgoing text message reaches a subscriber byte for byte.
    const std::string received = dir.file("received");
    ASSERT_EQ(runCommand("timeout 30 mosquitto_sub -h 127.0.0.1 -p " + broker->portText() +
                         " -i textsub -C 1 -N -t 'msh/EU/2/json/mqtt/#' > " + received + " &"),
              0);
    ASSERT_TRUE(broker->waitForLog("msh/EU/2/json/mqtt/# (QoS 0)"));
    OutgoingText text;
    text.text = "Hi \"there\"\nbye";
    text.fromId = 1128103180;
    text.gatewayHex = "433D7D0C";
    text.shortName = "ab";
    std::srand(12345);
    const std::uint32_t r1 = static_cast<std::uint32_t>(std::rand()) % 32768;
    const std::uint32_t r2 = static_cast<std::uint32_t>(std::rand()) % 32768;
    const std::string id = std::to_string((r1 * 65536) ^ r2);
    std::srand(12345);
    MqttConfig sendConfig;
    sendConfig.rootTopic = "msh/EU";
    worker.queueText(text, sendConfig);
    const std::string expectedJson = "{\"from\":1128103180,\"type\":\"sendtext\",\"channel\":0,\"id\":" + id +
                                     ",\"to\":4294967295,\"shortName\":\"ab\",\"payload\":\"Hi \\\"there\\\"\\nbye\"}";
    EXPECT_TRUE(waitUntil([&] { return readFile(received).size() >= expectedJson.size(); }, 15s));
    EXPECT_EQ(readFile(received), expectedJson);
    EXPECT_EQ(countLines(log, "sent -> msh/EU/2/json/mqtt/!433d7d0c :: " + expectedJson), 1);

    worker.stop();
    EXPECT_EQ(logTexts(log).back(), "Disconnected.");
    EXPECT_TRUE(broker->waitForLog("Received DISCONNECT from korvane-"));
}

class WorkerMosquittoPasswords : public ::testing::Test {
protected:
    void SetUp() override { startBroker(false); }
    void startBroker(bool allowAnonymous) {
        ASSERT_EQ(runCommand("mosquitto_passwd -c -b " + dir.file("passwd") + " alice 's3cret pw' 2>/dev/null"), 0);
        broker = Mosquitto::start(std::string("allow_anonymous ") + (allowAnonymous ? "true" : "false") +
                                  "\npassword_file " + dir.file("passwd") + "\n");
        ASSERT_TRUE(broker);
        config.host = "127.0.0.1";
        config.port = broker->portText();
        config.rootTopic = "msh/EU";
        config.user = "alice";
    }
    testing::TempDir dir;
    std::unique_ptr<Mosquitto> broker;
    MqttConfig config;
    LogView log;
    MqttWorker worker;
};

// The same password file on a broker that also admits anonymous clients.
class WorkerMosquittoPasswordsOrAnonymous : public WorkerMosquittoPasswords {
protected:
    void SetUp() override { startBroker(true); }
};

// The broker closes the connection after refusing the unknown user; the anonymous attempt that
// follows, on a fresh connection, is accepted and traffic flows.
TEST_F(WorkerMosquittoPasswordsOrAnonymous, UnknownUserFallsBackToAnonymous) {
    config.user = "mallory";
    config.password = "guess";
    worker.start(config, &log);
    ASSERT_TRUE(waitForLine(log, "Subscribed: msh/EU/2/json/#", 15s)) << broker->log();
    ASSERT_TRUE(broker->waitForLog("msh/EU/2/json/#"));
    ASSERT_EQ(runCommand(pubCommand(*broker, "msh/EU/2/json/x") + " -m '{\"n\":1}'"), 0);
    EXPECT_TRUE(waitForLine(log, "msg msh/EU/2/json/x\n{\"n\":1}", 10s));
    worker.stop();
    const std::vector<std::string> expected = {"TCP connected.", "Connected to broker.",
                                               "Subscribed: msh/EU/2/json/#", "msg msh/EU/2/json/x\n{\"n\":1}",
                                               "Disconnected."};
    EXPECT_EQ(logTexts(log), expected);
}

TEST_F(WorkerMosquittoPasswords, WrongPasswordEndsWithLoginFailure) {
    config.password = "wrong";
    worker.start(config, &log);
    ASSERT_TRUE(waitForLine(log, "error: MQTT handshake/login failed", 30s));
    worker.stop();
    const std::vector<std::string> expected = {"TCP connected.", "error: MQTT handshake/login failed"};
    EXPECT_EQ(logTexts(log), expected);
}

}  // namespace
}  // namespace vchat
