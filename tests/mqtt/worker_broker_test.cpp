// The worker against real mosquitto brokers, one source for Linux and for Windows (run under wine by
// scripts/test-windows): every kind of login with traffic through it, two workers talking, a broker
// that goes away and a stop during a silent login. The log reads the same, line for line, on both.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "mqtt/mqtt_worker.h"
#include "tests/support/log_texts.h"
#include "tests/support/loopback.h"
#include "tests/support/test_brokers.h"

namespace vchat {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Strings = std::vector<std::string>;
using testing::BrokerKind;
using testing::logTexts;
using testing::TestBroker;
using testing::waitForLine;

constexpr char kSubscribed[] = "Subscribed: msh/EU/2/json/#";

class WorkerBroker : public ::testing::Test {
protected:
    // Starts `worker` on the broker of that kind (opened at the first call); true once it has
    // subscribed.
    bool subscribed(BrokerKind kind, MqttWorker& worker, LogView& log) {
        if (!broker) broker = TestBroker::open(kind, why);
        if (!broker) return false;
        worker.start(broker->config(), &log);
        return waitForLine(log, kSubscribed, 20s);
    }
    std::string why;
    std::unique_ptr<TestBroker> broker;
};

struct LoginCase {
    const char* name;
    BrokerKind kind;
    const char* connectedLine;
};

class WorkerBrokerLogin : public WorkerBroker, public ::testing::WithParamInterface<LoginCase> {};

// The login is accepted at the first attempt, an item goes out and comes back through the broker
// (the worker subscribed before it sent), and stop says goodbye.
TEST_P(WorkerBrokerLogin, SendsAndHearsBackThroughTheBroker) {
    const LoginCase& c = GetParam();
    LogView log;
    MqttWorker worker;
    ASSERT_TRUE(subscribed(c.kind, worker, log)) << why;
    const std::string topic = "msh/EU/2/json/mqtt/!0a1b2c3d";
    const std::string payload = std::string("{\"via\":\"") + c.name + "\"}";
    worker.enqueuePublish(topic, payload);
    EXPECT_TRUE(waitForLine(log, "msg " + topic + "\n" + payload, 20s));
    worker.stop();
    const Strings expected = {c.connectedLine, "Connected to broker.", kSubscribed,
                              "sent -> " + topic + " :: " + payload, "msg " + topic + "\n" + payload,
                              "Disconnected."};
    EXPECT_EQ(logTexts(log), expected);
    if (c.kind == BrokerKind::Password) {
        // One connection, accepted as an MQTT 3.1.1 client with the user name.
        EXPECT_TRUE(broker->waitForLog("(p2, c1, k20, u'alice')", 5s));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Brokers, WorkerBrokerLogin,
    ::testing::Values(LoginCase{"Password", BrokerKind::Password, "TCP connected."},
                      LoginCase{"TlsWithCa", BrokerKind::TlsCertificate, "TCP/TLS connected."},
                      LoginCase{"TlsPsk", BrokerKind::TlsPsk, "TCP/TLS connected."}),
    [](const ::testing::TestParamInfo<LoginCase>& info) { return std::string(info.param.name); });

// Two workers under the same root, so each hears what the other sends and the sender hears itself
// too, as a user does. Each item is queued while the sender idles in its read turn, and reaches the
// receiver at once: the sender is woken for it, and the payload, written after the PUBLISH head,
// does not wait for the broker's acknowledgement of the head (which the broker, used to answering
// with the echo, delays).
TEST_F(WorkerBroker, TrafficBetweenTwoWorkersGoesOutAtOnce) {
    LogView log;
    MqttWorker receiver;
    ASSERT_TRUE(subscribed(BrokerKind::Plain, receiver, log)) << why;
    LogView senderLog;
    MqttWorker sender;
    ASSERT_TRUE(subscribed(BrokerKind::Plain, sender, senderLog));

    constexpr int kItems = 7;
    Strings heard;
    Strings sentAndHeard;
    std::vector<std::chrono::microseconds> took;
    for (int i = 0; i < kItems; ++i) {
        std::this_thread::sleep_for(50ms);
        const std::string payload = "{\"n\":" + std::to_string(i) + "}";
        const auto t0 = Clock::now();
        sender.enqueuePublish("msh/EU/2/json/x", payload);
        while (receiver.publishesHandled() <= static_cast<std::uint64_t>(i) && Clock::now() - t0 < 10s) {
            std::this_thread::sleep_for(1ms);
        }
        took.push_back(std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - t0));
        // The sender's read turn lasts 200 ms: an item that waited for its end would take longer.
        EXPECT_LT(took.back(), 100ms) << took.back().count() << " us";
        heard.push_back("msg msh/EU/2/json/x\n" + payload);
        sentAndHeard.push_back("sent -> msh/EU/2/json/x :: " + payload);
        sentAndHeard.push_back(heard.back());
        ASSERT_TRUE(waitForLine(senderLog, heard.back(), 10s));
    }
    std::sort(took.begin(), took.end());
    EXPECT_LT(took[kItems / 2], 15ms) << "median " << took[kItems / 2].count() << " us";
    sender.stop();
    receiver.stop();
    Strings expected = {"TCP connected.", "Connected to broker.", kSubscribed};
    Strings expectedSender = expected;
    expected.insert(expected.end(), heard.begin(), heard.end());
    expected.push_back("Disconnected.");
    EXPECT_EQ(logTexts(log), expected);
    expectedSender.insert(expectedSender.end(), sentAndHeard.begin(), sentAndHeard.end());
    expectedSender.push_back("Disconnected.");
    EXPECT_EQ(logTexts(senderLog), expectedSender);
}

TEST_F(WorkerBroker, BrokerGoneIsReportedOnce) {
    LogView log;
    MqttWorker worker;
    ASSERT_TRUE(subscribed(BrokerKind::Killable, worker, log)) << why;
    ASSERT_TRUE(broker->kill());
    EXPECT_TRUE(waitForLine(log, "error: connection lost", 20s));
    EXPECT_EQ(worker.phase(), WorkerPhase::Lost);
    worker.stop();
    const Strings expected = {"TCP connected.", "Connected to broker.", kSubscribed, "error: connection lost",
                              "Disconnected."};
    EXPECT_EQ(logTexts(log), expected);
}

// A listener that accepts (through its backlog) and never answers the CONNECT.
TEST_F(WorkerBroker, StopDuringASilentLoginIsPrompt) {
    const testing::LoopbackListener listener;
    ASSERT_TRUE(listener.ok());
    MqttConfig config;
    config.host = "127.0.0.1";
    config.port = listener.portText();
    LogView log;
    MqttWorker worker;
    worker.start(config, &log);
    ASSERT_TRUE(waitForLine(log, "TCP connected.", 10s));
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(worker.phase(), WorkerPhase::Connecting);
    const auto t0 = Clock::now();
    worker.stop();
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0);
    EXPECT_LT(took, 500ms) << took.count() << " ms";
    const Strings expected = {"TCP connected.", "Disconnected."};
    EXPECT_EQ(logTexts(log), expected);
}

}  // namespace
}  // namespace vchat
