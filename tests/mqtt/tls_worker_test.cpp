// The worker over TLS, end to end: a burst that arrives in one TLS record and then silence, a
// record that arrives in pieces, a refused certificate in the log, and the login fallback through
// mosquitto. The round trip through mosquitto in both modes is in worker_broker_test.cpp.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <iostream>
#include <string>
#include <vector>

#include "mqtt/mqtt_worker.h"
#include "tests/support/fake_broker.h"
#include "tests/support/test_certs.h"
#include "tests/support/log_texts.h"
#include "tests/support/mosquitto.h"
#include "tests/support/process.h"
#include "tests/support/test_support.h"

namespace vchat {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
constexpr char kWorkerThreadName[] = "mqtt-worker";
using testing::FakeBroker;
using testing::logHas;
using testing::logHasPrefix;
using testing::logTexts;
using testing::waitUntil;

// Accepts a CONNECT and answers the SUBSCRIBE that follows. False when either is not there.
bool answerLogin(FakeBroker& b) {
    const std::string connect = b.readPacket(30s);
    if (connect.empty() || connect[0] != '\x10' || !b.send(testing::kConnackAccepted)) return false;
    const std::string subscribe = b.readPacket(30s);   // a short one: one length byte
    if (subscribe.size() < 4 || static_cast<unsigned char>(subscribe[0]) != 0x82) return false;
    return b.send(std::string("\x90\x03", 2) + subscribe.substr(2, 2) + '\0');
}

class TlsWorker : public testing::TestCertsSuite {
protected:
    static MqttConfig tlsConfig(const std::string& port) {
        MqttConfig config;
        config.host = "127.0.0.1";
        config.port = port;
        config.rootTopic = "msh/EU";
        config.useTls = true;
        config.verifyServer = true;
        config.caPath = certs_->pem("ca");
        return config;
    }
};

// Many packets in one TLS record: after the first read, the rest is held by the client (the TLS
// library or the worker's own read-ahead), none of it by the socket, and nothing more will come.
TEST_F(TlsWorker, BurstInOneRecordIsShownWithinALoopTurnOrTwo) {
    constexpr int kPackets = 200;
    std::string burst;
    for (int i = 0; i < kPackets; ++i)
        burst += testing::publishBytes("msh/EU/2/json/x", "{\"n\":" + std::to_string(i) + "}");
    std::atomic<std::int64_t> burstSentNs{0};
    std::atomic<bool> subscribed{false};

    // Accepts the login and the subscription, sends the whole burst in one write, then is silent.
    FakeBroker server(FakeBroker::Tls::Certificate, certs_->pem("server"), certs_->key("server"));
    server.serve([&](FakeBroker& b) {
        if (!answerLogin(b)) return;
        subscribed = true;
        // Give the worker time to settle into its loop: the burst must arrive while it waits.
        std::this_thread::sleep_for(500ms);
        burstSentNs = Clock::now().time_since_epoch().count();
        b.send(burst);
        b.stayQuiet();
    });
    ASSERT_TRUE(server.listening());

    LogView log;
    MqttWorker worker;
    worker.start(tlsConfig(server.port()), &log);
    ASSERT_TRUE(waitUntil([&] { return worker.publishesHandled() >= kPackets; }, 30s))
        << "handled " << worker.publishesHandled() << " of " << kPackets;
    const auto doneNs = Clock::now().time_since_epoch().count();
    const auto tookMs = (doneNs - burstSentNs.load()) / 1000000;
    std::cout << "TLS burst of " << kPackets << " PUBLISH packets handled " << tookMs
              << " ms after it was sent\n";
    // Two loop turns are 400 ms; a wait that looked at the socket only would hold the rest of the
    // burst until the broker next sent something (the keep-alive answer, 20 s later).
    EXPECT_LT(tookMs, 3000);
    EXPECT_TRUE(subscribed);
    EXPECT_TRUE(logHas(log, "TCP/TLS connected."));
    EXPECT_TRUE(logHas(log, "msg msh/EU/2/json/x\n{\"n\":0}"));
    EXPECT_TRUE(logHas(log, "msg msh/EU/2/json/x\n{\"n\":" + std::to_string(kPackets - 1) + "}"));
    worker.stop();
    EXPECT_TRUE(logHas(log, "Disconnected."));
}

// One TLS record holding a 6 KB PUBLISH reaches the worker in 40 pieces over 2 s, as over a slow
// mobile link. Between pieces the worker waits on the socket (the TLS library holds the start of
// the record but nothing it could hand out), and the packet is shown once it is whole.
TEST_F(TlsWorker, RecordArrivingInPiecesIsWaitedForWithoutSpinning) {
    const std::string topic = "msh/EU/2/json/slow";
    const std::string payload = "{\"text\":\"" + std::string(6000, 'x') + "\"}";
    for (FakeBroker::Tls mode : {FakeBroker::Tls::Certificate, FakeBroker::Tls::PreSharedKey}) {
        const bool psk = mode == FakeBroker::Tls::PreSharedKey;
        SCOPED_TRACE(psk ? "pre-shared key" : "certificate");
        std::atomic<bool> trickling{false};
        FakeBroker server(mode, certs_->pem("server"), certs_->key("server"));
        server.serve([&](FakeBroker& b) {
            if (!answerLogin(b)) return;
            std::this_thread::sleep_for(300ms);   // the worker settles into its read turn
            trickling = true;
            b.sendInPieces(testing::publishBytes(topic, payload), 40, 50ms);
            b.stayQuiet();
        });
        ASSERT_TRUE(server.listening());
        MqttConfig config = tlsConfig(server.port());
        config.tlsPsk = psk;
        config.pskIdentity = "slow-node";
        config.pskKeyHex = "deadbeef0102";

        LogView log;
        MqttWorker worker;
        worker.start(config, &log);
        ASSERT_TRUE(waitUntil([&] { return trickling.load(); }, 20s));
        const double cpu0 = testing::threadCpuSeconds(kWorkerThreadName);
        const auto t0 = Clock::now();
        ASSERT_TRUE(waitUntil([&] { return worker.publishesHandled() == 1; }, 10s));
        const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
        const double cpu = testing::threadCpuSeconds(kWorkerThreadName) - cpu0;
        std::cout << (psk ? "PSK" : "certificate") << ": record in 40 pieces over " << wall << " s, worker CPU "
                  << cpu << " s\n";
        EXPECT_GT(wall, 1.5);   // the pieces did take their time
        EXPECT_LT(cpu, 0.05 * wall) << "the worker spun while the record was incomplete";
        EXPECT_TRUE(logHas(log, "msg " + topic + "\n" + payload));
        worker.stop();
    }
}

TEST_F(TlsWorker, RefusedCertificateIsLoggedWithItsReason) {
    // A certificate from the right CA that names another host.
    FakeBroker server(FakeBroker::Tls::Certificate, certs_->pem("nameonly"), certs_->key("nameonly"));
    server.serve([](FakeBroker&) {});
    ASSERT_TRUE(server.listening());
    LogView log;
    MqttWorker worker;
    worker.start(tlsConfig(server.port()), &log);
    ASSERT_TRUE(waitUntil([&] { return logHasPrefix(log, "TLS connect failed: "); }, 20s));
    worker.stop();
    std::string line;
    for (const std::string& text : logTexts(log))
        if (text.rfind("TLS connect failed: ", 0) == 0) line = text;
    EXPECT_EQ(line.rfind("TLS connect failed: SSL_connect failed: ", 0), 0u) << line;
    EXPECT_NE(line.find(" verify_result=IP address mismatch"), std::string::npos) << line;
    EXPECT_NE(line.find(" peer_subject=/CN=named broker issuer=/CN=vchat test CA"), std::string::npos)
        << line;
    EXPECT_FALSE(logHas(log, "TCP/TLS connected."));
}

// A broker without the pre-shared key but with a certificate completes a TLS 1.3 handshake; the
// worker drops it before the login, so the credentials never reach it.
TEST_F(TlsWorker, PskBrokerWithoutTheKeyGetsNoLogin) {
    std::atomic<bool> gotBytes{false};
    FakeBroker server(FakeBroker::Tls::Certificate, certs_->pem("server"), certs_->key("server"));
    server.serve([&](FakeBroker& b) { gotBytes = !b.read(1, 10s).empty(); });
    MqttConfig config = tlsConfig(server.port());
    config.tlsPsk = true;
    config.pskIdentity = "node-1";
    config.pskKeyHex = "deadbeef0102";
    config.user = "alice";
    LogView log;
    MqttWorker worker;
    worker.start(config, &log);
    ASSERT_TRUE(waitUntil([&] { return !logTexts(log).empty() && server.scriptDone(); }, 20s));
    worker.stop();
    EXPECT_FALSE(gotBytes) << "the broker received application data";
    const std::string first = logTexts(log).front();
    EXPECT_TRUE(testing::startsWith(first, "TLS connect failed: SSL_connect failed: broker did not use the pre-shared key"))
        << first;
}

// After the broker refuses the unknown user and closes, the anonymous attempt goes over a fresh TLS
// connection with the same verification.
TEST_F(TlsWorker, LoginFallbackOpensAFreshTlsConnection) {
    testing::TempDir dir;
    ASSERT_EQ(testing::runCommand("mosquitto_passwd -c -b " + dir.file("passwd") + " alice pw 2>/dev/null"), 0);
    auto broker = testing::Mosquitto::start(
        testing::tlsListenerConfig(certs_->pem("server"), certs_->key("server"), certs_->pem("ca")) +
        "password_file " + dir.file("passwd") + "\n");
    ASSERT_TRUE(broker);
    MqttConfig config = tlsConfig(broker->portText());
    config.user = "mallory";
    config.password = "guess";
    LogView log;
    MqttWorker worker;
    worker.start(config, &log);
    ASSERT_TRUE(waitUntil([&] { return logHasPrefix(log, "Subscribed: "); }, 20s))
        << broker->log();
    worker.stop();
    const std::vector<std::string> expected = {"TCP/TLS connected.", "Connected to broker.",
                                               "Subscribed: msh/EU/2/json/#", "Disconnected."};
    EXPECT_EQ(logTexts(log), expected);
    EXPECT_TRUE(broker->waitForLog("New connection from", 2, 0s)) << broker->log();
    EXPECT_FALSE(broker->waitForLog("New connection from", 3, 0s)) << broker->log();
}

}  // namespace
}  // namespace vchat
