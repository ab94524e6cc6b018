// The worker against scripted fake brokers: login order, subscriptions, the outgoing queue,
// keep-alive with a driven clock, and every way of losing the connection.
#include "mqtt/mqtt_worker.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "tests/support/fake_broker.h"
#include "tests/support/log_texts.h"
#include "tests/support/process.h"
#include "tests/support/test_support.h"

namespace vchat {
namespace {

using namespace std::chrono_literals;
using testing::countLines;
using testing::FakeBroker;
using testing::waitForLine;
using testing::logHas;
using testing::logTexts;
using testing::waitUntil;

constexpr char kWorkerThreadName[] = "mqtt-worker";
const std::string kPingreq("\xC0\x00", 2);
const std::string kPingresp("\xD0\x00", 2);

// CONNECT as the broker expects it for one login attempt (level 4 is 3.1.1, 3 is 3.1).
std::string expectedConnect(int level, const std::string& clientId, const std::string& user,
                            const std::string& password) {
    using testing::u16;
    const std::string name = level == 4 ? "MQTT" : "MQIsdp";
    char flags = 0x02;
    if (!user.empty()) flags = static_cast<char>(flags | 0x80);
    if (!user.empty() && !password.empty()) flags = static_cast<char>(flags | 0x40);
    std::string rest = u16(name.size()) + name + static_cast<char>(level) + flags + std::string("\x00\x14", 2) +
                       u16(clientId.size()) + clientId;
    if (!user.empty()) rest += u16(user.size()) + user;
    if (!user.empty() && !password.empty()) rest += u16(password.size()) + password;
    return "\x10" + testing::remainingLength(rest.size()) + rest;
}

MqttConfig configFor(const FakeBroker& broker) {
    MqttConfig config;
    config.host = "127.0.0.1";
    config.port = broker.port();
    config.user = "alice";
    config.password = "s3cret";
    config.rootTopic = "msh/EU";
    return config;
}

// Reads one CONNECT and checks it byte for byte against the attempt's expected form.
void expectConnect(FakeBroker& broker, int level, const std::string& user, const std::string& password) {
    const std::string got = broker.readPacket();
    ASSERT_FALSE(got.empty()) << "no CONNECT for level " << level;
    const std::size_t idAt = level == 4 ? 14 : 16;   // fixed header 2, name, level, flags, keep-alive, id length
    ASSERT_GE(got.size(), idAt + 28);
    const std::string clientId = got.substr(idAt, 28);
    EXPECT_TRUE(testing::isClientId(clientId)) << clientId;
    EXPECT_EQ(got, expectedConnect(level, clientId, user, password));
}

// Accepts the worker, answers attempt 1 and reads the JSON SUBSCRIBE.
void loginAndSubscribe(FakeBroker& broker, LogView& log, const MqttConfig& config) {
    ASSERT_TRUE(broker.accept());
    expectConnect(broker, 4, config.user, config.password);
    ASSERT_TRUE(broker.send(testing::kConnackAccepted));
    const std::string sub = broker.readPacket();
    ASSERT_GE(sub.size(), 4u);
    EXPECT_EQ(static_cast<std::uint8_t>(sub[0]), 0x82);
    ASSERT_TRUE(waitForLine(log, "Connected to broker.", 10s));
}

std::string subscribeBytes(const std::string& packetId, const std::string& filter) {
    const std::string rest = packetId + testing::u16(filter.size()) + filter + std::string(1, '\0');
    return "\x82" + testing::remainingLength(rest.size()) + rest;
}

// One worker against one scripted broker; loggedIn starts it and answers its login and subscription.
class WorkerFakeBroker : public ::testing::Test {
protected:
    void loggedIn() {
        worker.start(config, &log);
        loginAndSubscribe(broker, log, config);
    }
    FakeBroker broker;
    LogView log;
    MqttWorker worker;
    MqttConfig config = configFor(broker);
};

TEST_F(WorkerFakeBroker, FourLoginAttemptsInOrderWithSuccessAtEach) {
    // Each refusal a different way: return code 5, a 1-byte CONNACK body, return code 4.
    const std::string refusals[] = {std::string("\x20\x02\x00\x05", 4), std::string("\x20\x01\x00", 3),
                                    std::string("\x20\x02\x00\x04", 4)};
    struct Attempt {
        int level;
        bool withCredentials;
    };
    const Attempt attempts[] = {{4, true}, {4, false}, {3, true}, {3, false}};
    for (int successAt = 0; successAt < 4; ++successAt) {
        SCOPED_TRACE("success at attempt " + std::to_string(successAt + 1));
        FakeBroker broker;
        LogView log;
        MqttWorker worker;
        const MqttConfig config = configFor(broker);
        worker.start(config, &log);
        ASSERT_TRUE(broker.accept());
        for (int i = 0; i <= successAt; ++i) {
            const Attempt& a = attempts[i];
            expectConnect(broker, a.level, a.withCredentials ? config.user : "",
                          a.withCredentials ? config.password : "");
            ASSERT_TRUE(broker.send(i == successAt ? testing::kConnackAccepted : refusals[i]));
        }
        ASSERT_TRUE(waitForLine(log, "Connected to broker.", 10s));
        EXPECT_FALSE(broker.readPacket().empty());   // the SUBSCRIBE
        worker.stop();
        EXPECT_EQ(broker.readPacket(), testing::kDisconnect);
        EXPECT_TRUE(broker.waitClientClosed());
        const std::vector<std::string> expected = {"TCP connected.", "Connected to broker.",
                                                   "Subscribed: msh/EU/2/json/#", "Disconnected."};
        EXPECT_EQ(logTexts(log), expected);
    }
}

TEST_F(WorkerFakeBroker, AllFourRefusedEndsWithLoginFailure) {
    config.password = "";   // user name only: flags 0x82 on the attempts with credentials
    worker.start(config, &log);
    ASSERT_TRUE(broker.accept());
    expectConnect(broker, 4, "alice", "");
    broker.send(std::string("\x20\x02\x00\x05", 4));
    expectConnect(broker, 4, "", "");
    broker.send(std::string("\x20\x02\x00\x05", 4));
    expectConnect(broker, 3, "alice", "");
    broker.send(std::string("\x20\x02\x00\x02", 4));
    expectConnect(broker, 3, "", "");
    broker.send(std::string("\x20\x01\x00", 3));
    ASSERT_TRUE(waitForLine(log, "error: MQTT handshake/login failed", 10s));
    EXPECT_TRUE(broker.waitClientClosed());
    EXPECT_TRUE(worker.running());   // ended, until stop
    worker.stop();
    const std::vector<std::string> expected = {"TCP connected.", "error: MQTT handshake/login failed"};
    EXPECT_EQ(logTexts(log), expected);
}

// A broker that closes after a refusal (as MQTT 3.1.1 asks), or before answering at all, gets each
// further attempt on a fresh connection; the log does not show the extra connections.
TEST(WorkerLoginFallback, EachAttemptAfterACloseGoesOverAFreshConnection) {
    struct Case {
        const char* what;
        std::string answer;   // to each refused attempt, before the close ("": close at once)
        int acceptAt;         // 0-based attempt that gets CONNACK 0
    };
    const Case cases[] = {
        {"not authorised, then closed", std::string("\x20\x02\x00\x05", 4), 3},
        {"level 4 unknown, then closed", std::string("\x20\x02\x00\x01", 4), 2},
        {"closed without a CONNACK", "", 1},
    };
    struct Attempt {
        int level;
        bool withCredentials;
    };
    const Attempt attempts[] = {{4, true}, {4, false}, {3, true}, {3, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        FakeBroker broker;
        LogView log;
        MqttWorker worker;
        const MqttConfig config = configFor(broker);
        worker.start(config, &log);
        for (int i = 0; i <= c.acceptAt; ++i) {
            ASSERT_TRUE(broker.accept()) << "no connection for attempt " << i + 1;
            const Attempt& a = attempts[i];
            expectConnect(broker, a.level, a.withCredentials ? config.user : "",
                          a.withCredentials ? config.password : "");
            if (i == c.acceptAt) break;
            if (!c.answer.empty()) {
                ASSERT_TRUE(broker.send(c.answer));
            }
            broker.closeClient();
        }
        ASSERT_TRUE(broker.send(testing::kConnackAccepted));
        const std::string sub = broker.readPacket();   // the session goes on on the last connection
        ASSERT_GE(sub.size(), 4u);
        EXPECT_EQ(static_cast<std::uint8_t>(sub[0]), 0x82);
        ASSERT_TRUE(waitForLine(log, "Subscribed: msh/EU/2/json/#", 10s));
        worker.stop();
        EXPECT_EQ(broker.readPacket(), testing::kDisconnect);
        const std::vector<std::string> expected = {"TCP connected.", "Connected to broker.",
                                                   "Subscribed: msh/EU/2/json/#", "Disconnected."};
        EXPECT_EQ(logTexts(log), expected);
    }
}

TEST_F(WorkerFakeBroker, SubscriptionFiltersFollowRootTopicAndDecodeRaw) {
    struct Case {
        std::string rootTopic;
        bool decodeRaw;
        std::vector<std::string> filters;
    };
    const Case cases[] = {
        {"msh/EU", false, {"msh/EU/2/json/#"}},
        {"msh/EU", true, {"msh/EU/2/json/#", "msh/EU/2/e/#"}},
        {"", true, {"/2/json/#", "/2/e/#"}},
        {"root/", false, {"root//2/json/#"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("root topic '" + c.rootTopic + "'");
        FakeBroker broker;
        LogView log;
        MqttWorker worker;
        MqttConfig config = configFor(broker);
        config.rootTopic = c.rootTopic;
        config.decodeRaw = c.decodeRaw;
        // A marker queued up front: it goes out right after the subscriptions, so nothing else
        // can hide between them.
        worker.enqueuePublish("marker", "m");
        worker.start(config, &log);
        ASSERT_TRUE(broker.accept());
        expectConnect(broker, 4, config.user, config.password);
        broker.send(testing::kConnackAccepted);
        for (const std::string& filter : c.filters) {
            const std::string got = broker.readPacket();
            ASSERT_GE(got.size(), 4u);
            const std::string packetId = got.substr(2, 2);
            EXPECT_NE(packetId, std::string(2, '\0'));
            EXPECT_EQ(got, subscribeBytes(packetId, filter));
        }
        EXPECT_EQ(broker.readPacket(), testing::publishBytes("marker", "m"));
        worker.stop();
        for (const std::string& filter : c.filters) EXPECT_EQ(countLines(log, "Subscribed: " + filter), 1);
    }
}

TEST_F(WorkerFakeBroker, QueuedItemsGoOutInOrderEarlierOnesFirst) {
    worker.enqueuePublish("t/1", "before one");
    worker.enqueuePublish("t/2", "before\ntwo");   // a line feed inside the payload stays
    loggedIn();
    EXPECT_EQ(broker.readPacket(), testing::publishBytes("t/1", "before one"));
    EXPECT_EQ(broker.readPacket(), testing::publishBytes("t/2", "before\ntwo"));
    worker.enqueuePublish("t/3", "after three");
    worker.enqueuePublish("t/4", "");
    EXPECT_EQ(broker.readPacket(), testing::publishBytes("t/3", "after three"));
    EXPECT_EQ(broker.readPacket(), testing::publishBytes("t/4", ""));
    ASSERT_TRUE(waitUntil([&] { return worker.queuedCount() == 0 && logHas(log, "sent -> t/4 :: "); }, 10s));
    worker.stop();
    std::vector<std::string> sent;
    for (const std::string& line : logTexts(log)) {
        if (line.rfind("sent -> ", 0) == 0) sent.push_back(line);
    }
    const std::vector<std::string> expected = {"sent -> t/1 :: before one", "sent -> t/2 :: before\ntwo",
                                               "sent -> t/3 :: after three", "sent -> t/4 :: "};
    EXPECT_EQ(sent, expected);
}

// The broker is silent, so the worker sits in the wait of its read turn whenever an item is
// queued, each time at another point of it: the item goes out at once all the same.
TEST_F(WorkerFakeBroker, QueuedItemGoesOutAtOnceWhileNothingArrives) {
    loggedIn();
    for (int i = 0; i < 5; ++i) {
        std::this_thread::sleep_for(130ms);
        const std::string payload = "now " + std::to_string(i);
        const auto t0 = std::chrono::steady_clock::now();
        worker.enqueuePublish("t/now", payload);
        EXPECT_EQ(broker.readPacket(), testing::publishBytes("t/now", payload));
        const auto took = std::chrono::steady_clock::now() - t0;
        EXPECT_LT(took, 50ms) << std::chrono::duration_cast<std::chrono::milliseconds>(took).count() << " ms";
    }
    EXPECT_TRUE(waitForLine(log, "sent -> t/now :: now 4", 10s));
    worker.stop();
}

TEST_F(WorkerFakeBroker, BurstOfPublishesIsShownWithoutWaitingForMoreTraffic) {
    loggedIn();
    std::string burst;
    for (int i = 0; i < 50; ++i) {
        burst += testing::publishBytes("msh/EU/2/json/x", "{\"n\":" + std::to_string(i) + "}");
    }
    burst += kPingresp;   // other packet types are read and ignored
    ASSERT_TRUE(broker.send(burst));
    // 50 packets at one per loop turn, no 200 ms wait between them once they are buffered.
    ASSERT_TRUE(waitUntil([&] { return worker.publishesHandled() == 50; }, 3s));
    EXPECT_TRUE(logHas(log, "msg msh/EU/2/json/x\n{\"n\":0}"));
    EXPECT_TRUE(logHas(log, "msg msh/EU/2/json/x\n{\"n\":49}"));
    worker.stop();
}

// A message over the limit is read through: one line names its topic and size, nothing of its
// payload is shown, and the message right behind it is shown as usual.
TEST_F(WorkerFakeBroker, AMessageOverFourMiBIsOneLineAndTheNextOneIsShown) {
    loggedIn();
    const std::string bigTopic = "msh/EU/2/json/big";
    const std::string big = "{\"pad\":\"" + std::string(5 << 20, 'x') + "\"}";
    const std::string next = "msg msh/EU/2/json/next\n{\"n\":1}";
    ASSERT_TRUE(broker.send(testing::publishBytes(bigTopic, big) + testing::publishBytes("msh/EU/2/json/next", "{\"n\":1}")));
    ASSERT_TRUE(waitForLine(log, next, 20s));
    worker.stop();
    const std::string size = std::to_string(2 + bigTopic.size() + big.size());
    const std::vector<std::string> expected = {
        "TCP connected.", "Connected to broker.", "Subscribed: msh/EU/2/json/#",
        "dropped message on " + bigTopic + ": " + size + " bytes, over the 4194304-byte limit", next, "Disconnected."};
    EXPECT_EQ(logTexts(log), expected);
    EXPECT_EQ(worker.publishesHandled(), 1u);
}

TEST_F(WorkerFakeBroker, PingAfterTwentySecondsAndLostWhenUnansweredForThirty) {
    std::atomic<std::int64_t> now{1000000};
    worker.setClock([&now] { return now.load(); });
    loggedIn();
    // Once a queued item has gone out, the loop runs and its ping schedule starts from `now`.
    worker.enqueuePublish("sync", "1");
    ASSERT_EQ(broker.readPacket(), testing::publishBytes("sync", "1"));

    now += 19999;
    EXPECT_EQ(broker.readPacket(700ms), "");   // several turns, no ping yet
    now += 1;
    EXPECT_EQ(broker.readPacket(), kPingreq);
    ASSERT_TRUE(broker.send(kPingresp));
    std::this_thread::sleep_for(500ms);   // the answer is read in a turn or two

    // The next ping is not answered; 29.9 s later the connection still stands, at 30 s it is lost.
    now += 20000;
    EXPECT_EQ(broker.readPacket(), kPingreq);
    now += 29900;
    std::this_thread::sleep_for(700ms);
    EXPECT_FALSE(logHas(log, "error: connection lost"));
    now += 100;
    ASSERT_TRUE(waitForLine(log, "error: connection lost", 10s));
    EXPECT_TRUE(broker.waitClientClosed());
    worker.stop();
    EXPECT_EQ(countLines(log, "error: connection lost"), 1);
    EXPECT_EQ(logTexts(log).back(), "Disconnected.");
}

// After a lost connection: one report, an idle thread, a queue that keeps what is sent, and a stop
// that still says "Disconnected.".
void expectQuietAfterLoss(MqttWorker& worker, LogView& log) {
    ASSERT_TRUE(waitForLine(log, "error: connection lost", 10s));
    worker.enqueuePublish("t/late", "kept");

    const double cpu0 = testing::threadCpuSeconds(kWorkerThreadName);
    ASSERT_GE(cpu0, 0) << "worker thread not found";
    const auto t0 = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(3s);
    const double cpu = testing::threadCpuSeconds(kWorkerThreadName) - cpu0;
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    // A thread spinning on a dead socket would use most of the wall time.
    EXPECT_LT(cpu, 0.1 * wall) << "worker used " << cpu << " s of CPU in " << wall << " s";

    EXPECT_EQ(worker.queuedCount(), 1u);
    EXPECT_FALSE(logHas(log, "sent -> t/late :: kept"));
    EXPECT_EQ(countLines(log, "error: connection lost"), 1);
    const auto s0 = std::chrono::steady_clock::now();
    worker.stop();
    EXPECT_LT(std::chrono::steady_clock::now() - s0, 1s);
    EXPECT_EQ(logTexts(log).back(), "Disconnected.");
    EXPECT_EQ(countLines(log, "Disconnected."), 1);
    EXPECT_EQ(worker.queuedCount(), 1u);
}

TEST_F(WorkerFakeBroker, BrokerClosingAtOnceIsReportedOnce) {
    loggedIn();
    broker.closeClient();
    expectQuietAfterLoss(worker, log);
}

TEST_F(WorkerFakeBroker, BrokerClosingMidPacketIsReportedOnce) {
    loggedIn();
    ASSERT_TRUE(broker.send(std::string("\x30\x10\x00\x05msh/E", 9)));
    std::this_thread::sleep_for(100ms);
    broker.closeClient();
    expectQuietAfterLoss(worker, log);
    EXPECT_EQ(worker.publishesHandled(), 0u);
}

TEST_F(WorkerFakeBroker, PublishThatCannotBeWrittenStaysAtTheFrontOfTheQueue) {
    loggedIn();
    // The broker stops reading: a payload larger than every socket buffer on the way cannot be
    // written completely, and the write gives up after its stall time.
    const std::string big(32 * 1024 * 1024, 'b');
    worker.enqueuePublish("t/big", big);
    worker.enqueuePublish("t/small", "s");
    ASSERT_TRUE(waitForLine(log, "error: connection lost", 60s));
    EXPECT_EQ(worker.queuedCount(), 2u);
    for (const std::string& line : logTexts(log)) EXPECT_NE(line.rfind("sent -> ", 0), 0u) << line;
    worker.stop();
    EXPECT_EQ(logTexts(log).back(), "Disconnected.");

    // The next connection sends both, in their order.
    FakeBroker second;
    LogView log2;
    const MqttConfig config2 = configFor(second);
    worker.start(config2, &log2);
    loginAndSubscribe(second, log2, config2);
    EXPECT_TRUE(second.readPacket(30s) == testing::publishBytes("t/big", big));
    EXPECT_EQ(second.readPacket(), testing::publishBytes("t/small", "s"));
    worker.stop();
    EXPECT_EQ(worker.queuedCount(), 0u);
}

TEST_F(WorkerFakeBroker, StopWhileLoopingIsPromptAndStartWhileRunningDoesNothing) {
    FakeBroker other;
    loggedIn();

    worker.start(configFor(other), &log);
    EXPECT_FALSE(other.accept(500ms));
    EXPECT_EQ(countLines(log, "TCP connected."), 1);

    std::this_thread::sleep_for(300ms);
    const auto t0 = std::chrono::steady_clock::now();
    worker.stop();
    const auto took = std::chrono::steady_clock::now() - t0;
    EXPECT_LT(took, 1s) << std::chrono::duration_cast<std::chrono::milliseconds>(took).count() << " ms";
    EXPECT_FALSE(worker.running());
    EXPECT_EQ(broker.readPacket(), testing::kDisconnect);
    EXPECT_EQ(logTexts(log).back(), "Disconnected.");
}

TEST(WorkerTcp, ConnectFailuresAreReportedPromptly) {
    for (const testing::Unreachable& c : testing::unreachableBrokers()) {
        SCOPED_TRACE(c.what);
        LogView log;
        MqttWorker worker;
        MqttConfig config;
        config.host = c.host;
        config.port = c.port;
        const auto t0 = std::chrono::steady_clock::now();
        worker.start(config, &log);
        ASSERT_TRUE(waitForLine(log, "error: TCP connect failed", 5s));
        EXPECT_LT(std::chrono::steady_clock::now() - t0, 5s);
        EXPECT_TRUE(worker.running());
        worker.stop();
        const std::vector<std::string> expected = {"error: TCP connect failed"};
        EXPECT_EQ(logTexts(log), expected);
    }
}

}  // namespace
}  // namespace vchat
