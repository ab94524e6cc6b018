// The worker on slow links: the CPU it uses while a TLS record arrives in pieces, and how long a
// Send takes to reach the broker.
//
// Usage: slow_link_bench [sends]   (default 1000). Needs mosquitto and openssl on PATH.
//  1. Trickle: a scripted TLS broker (certificate, then pre-shared key) sends one 6 KB PUBLISH in one
//     TLS record that reaches the worker in 40 pieces, 50 ms apart (2 s). Figure: the worker thread's
//     CPU time (user + system, from /proc) from the first piece to the packet being handled.
//  2. Send to broker: the worker logged in to a local mosquitto; `sends` texts go through queueText,
//     5 to 105 ms apart, and a subscriber of the outgoing topic (a bare connection of its own, which reads
//     as soon as its socket is readable) stamps each PUBLISH as it arrives. Figures: median, 99th
//     percentile and largest of queueText -> arrival, first with nothing else going on, then while
//     a publisher sends the worker 10,000 messages a second.
// Each figure is also printed as a line "figure <name> <value>", which scripts/bench-slow-link uses
// to set this build's figures beside those of an older commit. Exit status 1 when a step fails or
// a message is missing.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "log/log_view.h"
#include "mqtt/broker_connection.h"
#include "mqtt/mqtt_worker.h"
#include "mqtt/packet_codec.h"
#include "mqtt/packet_stream.h"
#include "mqtt/session.h"
#include "tests/support/fake_broker.h"
#include "tests/support/mosquitto.h"
#include "tests/support/process.h"
#include "tests/support/test_certs.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
using vchat::testing::FakeBroker;

constexpr char kWorkerThreadName[] = "mqtt-worker";
constexpr std::size_t kPieces = 40;
constexpr auto kPieceGap = 50ms;
constexpr int kIncomingPerSecond = 10000;
// Sends are this far apart, drawn at random (the same draws every run), so that each meets the
// worker's read turn at another point of it.
constexpr int kSendGapMinMs = 5;
constexpr int kSendGapMaxMs = 105;
constexpr std::uint8_t kPacketSuback = 9;

void figure(const std::string& name, double value) { std::printf("figure %s %.3f\n", name.c_str(), value); }

// --- 1. A TLS record in pieces ---------------------------------------------------------------------

bool trickle(const vchat::testing::TestCerts& certs, FakeBroker::Tls mode, const char* name) {
    const std::string topic = "bench/2/json/slow";
    const std::string packet = vchat::testing::publishBytes(topic, "{\"text\":\"" + std::string(6000, 'x') + "\"}");
    std::atomic<bool> trickling{false};
    FakeBroker server(mode, certs.pem("server"), certs.key("server"));
    server.serve([&](FakeBroker& b) {
        if (b.readPacket(30s).empty() || !b.send(vchat::testing::kConnackAccepted)) return;
        const std::string subscribe = b.readPacket(30s);
        if (subscribe.size() < 4) return;
        b.send(std::string("\x90\x03", 2) + subscribe.substr(2, 2) + '\0');
        std::this_thread::sleep_for(300ms);
        trickling = true;
        b.sendInPieces(packet, kPieces, kPieceGap);
        b.stayQuiet();
    });
    vchat::MqttConfig config;
    config.host = "127.0.0.1";
    config.port = server.port();
    config.rootTopic = "bench";
    config.useTls = true;
    config.caPath = certs.pem("ca");
    config.tlsPsk = mode == FakeBroker::Tls::PreSharedKey;
    config.pskIdentity = "bench";
    config.pskKeyHex = "deadbeef0102";   // the scripted broker's key
    vchat::LogView log;
    vchat::MqttWorker worker;
    worker.start(config, &log);
    if (!vchat::testing::waitUntil([&] { return trickling.load(); }, 30s)) {
        std::fprintf(stderr, "trickle %s: the worker did not log in\n", name);
        return false;
    }
    const double cpu0 = vchat::testing::threadCpuSeconds(kWorkerThreadName);
    const auto t0 = Clock::now();
    const bool whole = vchat::testing::waitUntil([&] { return worker.publishesHandled() == 1; }, 30s);
    const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
    const double cpu = vchat::testing::threadCpuSeconds(kWorkerThreadName) - cpu0;
    worker.stop();
    if (!whole) {
        std::fprintf(stderr, "trickle %s: the packet never arrived whole\n", name);
        return false;
    }
    std::printf("TLS record in %zu pieces over %.2f s, %s: worker CPU %.3f s = %.1f %% of a core\n", kPieces, wall,
                name, cpu, 100 * cpu / wall);
    figure(std::string("trickle_cpu_percent_") + name, 100 * cpu / wall);
    return true;
}

// --- 2. Send to broker -----------------------------------------------------------------------------

// A bare MQTT connection to the broker, logged in without credentials; false when that fails.
bool bareLogin(const std::string& port, vchat::BrokerConnection& conn, vchat::PacketStream& stream) {
    static constexpr vchat::LoginAttempt kAnonymous[] = {{"3.1.1", false}};
    vchat::TransportSettings transport;
    transport.host = "127.0.0.1";
    transport.port = port;
    std::string error;
    if (!vchat::openTransport(transport, conn, {}, error)) return false;
    vchat::LoginRequest request;
    request.keepAliveSec = 0;   // it sends no PINGREQ: without this the broker would drop it after 30 s
    request.attempts = kAnonymous;
    request.attemptCount = 1;
    return vchat::logIn(conn, stream, transport, {}, request) == vchat::LoginOutcome::Accepted;
}

// The index n of a text "send n" inside the JSON that queueText builds, or -1.
int sendIndex(const std::string& json) {
    const std::string marker = "\"payload\":\"send ";
    const std::size_t at = json.find(marker);
    return at == std::string::npos ? -1 : std::atoi(json.c_str() + at + marker.size());
}

double percentile(std::vector<double> values, double p) {
    std::sort(values.begin(), values.end());
    const std::size_t at = static_cast<std::size_t>(p * static_cast<double>(values.size() - 1) + 0.5);
    return values[at];
}

bool sendToBroker(const vchat::testing::Mosquitto& broker, int sends, bool loaded) {
    const char* name = loaded ? "loaded" : "idle";
    const std::string port = broker.portText();
    std::atomic<bool> done{false};

    // The subscriber stamps each of our texts as it arrives.
    vchat::BrokerConnection sub;
    vchat::PacketStream subStream;
    std::mt19937 rng(std::random_device{}());
    vchat::MqttPacket suback;
    if (!bareLogin(port, sub, subStream) || !vchat::subscribe(sub, "bench/2/json/mqtt/#", rng) ||
        vchat::readPacket(sub, subStream, suback, 5000) != vchat::IoStatus::Ok || suback.type != kPacketSuback) {
        std::fprintf(stderr, "send %s: the subscriber could not subscribe\n", name);
        return false;
    }
    std::vector<Clock::time_point> arrived(static_cast<std::size_t>(sends));
    std::thread subscriber([&] {
        while (!done) {
            vchat::MqttPacket packet;
            if (vchat::readPacket(sub, subStream, packet, 100) != vchat::IoStatus::Ok) continue;
            const auto now = Clock::now();
            std::string topic;
            std::string payload;
            if (packet.type != vchat::kPacketPublish || !vchat::parsePublish(packet.body, topic, payload)) continue;
            const int i = sendIndex(payload);
            if (i >= 0 && i < sends) arrived[static_cast<std::size_t>(i)] = now;
        }
    });

    // The flood publisher: 10 messages each millisecond, on the worker's subscription.
    vchat::BrokerConnection pub;
    vchat::PacketStream pubStream;
    std::thread publisher;
    if (loaded) {
        if (!bareLogin(port, pub, pubStream)) {
            std::fprintf(stderr, "send %s: the publisher could not log in\n", name);
            done = true;
            subscriber.join();
            return false;
        }
        publisher = std::thread([&] {
            std::string batch;
            for (int i = 0; i < kIncomingPerSecond / 1000; ++i) {
                batch += vchat::buildPublish("bench/2/json/flood", "{\"type\":\"text\",\"n\":" + std::to_string(i) + "}");
            }
            auto next = Clock::now();
            while (!done) {
                if (!vchat::sendRaw(pub, batch)) return;
                next += 1ms;
                std::this_thread::sleep_until(next);
            }
        });
    }

    vchat::LogView log;
    vchat::MqttWorker worker;
    vchat::MqttConfig config;
    config.host = "127.0.0.1";
    config.port = port;
    config.rootTopic = "bench";
    worker.start(config, &log);
    bool ok = vchat::testing::waitUntil([&] { return worker.phase() == vchat::WorkerPhase::Connected; }, 20s);
    std::this_thread::sleep_for(500ms);   // the subscription stands and the flood reaches the worker

    vchat::OutgoingText text;
    text.fromId = 1128103180;
    text.gatewayHex = "433D7D0C";
    std::vector<Clock::time_point> queued(static_cast<std::size_t>(sends));
    std::mt19937 gaps(12345);
    std::uniform_int_distribution<int> gap(kSendGapMinMs, kSendGapMaxMs);
    const std::uint64_t handled0 = worker.publishesHandled();
    const auto start = Clock::now();
    for (int i = 0; ok && i < sends; ++i) {
        text.text = "send " + std::to_string(i);
        queued[static_cast<std::size_t>(i)] = Clock::now();
        worker.queueText(text, config);
        std::this_thread::sleep_for(std::chrono::milliseconds(gap(gaps)));
    }
    const auto last = queued.empty() ? start : queued.back();
    ok = ok && vchat::testing::waitUntil(
                   [&] { return std::all_of(arrived.begin(), arrived.end(), [](auto t) { return t != Clock::time_point{}; }); },
                   10s);
    const double seconds = std::chrono::duration<double>(last - start).count();
    const double incoming = static_cast<double>(worker.publishesHandled() - handled0) / std::max(seconds, 1e-3);
    done = true;
    subscriber.join();
    if (publisher.joinable()) publisher.join();
    worker.stop();
    vchat::closeConnection(sub);
    vchat::closeConnection(pub);
    if (!ok) {
        std::fprintf(stderr, "send %s: not every text reached the subscriber\n", name);
        return false;
    }

    std::vector<double> ms;
    for (std::size_t i = 0; i < queued.size(); ++i) {
        ms.push_back(std::chrono::duration<double, std::milli>(arrived[i] - queued[i]).count());
    }
    std::printf("Send -> broker, %s (%d sends, %.0f incoming messages/s handled): median %.2f ms, p99 %.2f ms, "
                "max %.2f ms\n",
                name, sends, incoming, percentile(ms, 0.5), percentile(ms, 0.99), percentile(ms, 1.0));
    figure(std::string("send_median_ms_") + name, percentile(ms, 0.5));
    figure(std::string("send_p99_ms_") + name, percentile(ms, 0.99));
    figure(std::string("send_max_ms_") + name, percentile(ms, 1.0));
    figure(std::string("incoming_per_s_") + name, incoming);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    const int sends = argc > 1 ? std::atoi(argv[1]) : 1000;
    if (sends <= 0) {
        std::fprintf(stderr, "usage: %s [sends]\n", argv[0]);
        return 2;
    }
    const vchat::testing::TestCerts certs;
    if (!certs.ok) {
        std::fprintf(stderr, "the openssl command could not make the certificates\n");
        return 1;
    }
    bool ok = trickle(certs, FakeBroker::Tls::Certificate, "certificate") &&
              trickle(certs, FakeBroker::Tls::PreSharedKey, "psk");
    const auto broker = vchat::testing::Mosquitto::start("allow_anonymous true\n", "error");
    if (!broker) {
        std::fprintf(stderr, "mosquitto did not start\n");
        return 1;
    }
    ok = ok && sendToBroker(*broker, sends, false) && sendToBroker(*broker, sends, true);
    return ok ? 0 : 1;
}
