// The gateway simulator: publishes simulated gateway traffic to a broker and prints what clients send.
//
// Standard output: one line per message a client publishes under <root>/2/json/mqtt/ (and, with
// "--print-sent -", one line per sent message). Standard error: progress and errors.
// Exit status: 0 after a signal or the linger time, 1 when the broker cannot be reached or the
// connection is lost, 2 for bad options.

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "mqtt/broker_connection.h"
#include "mqtt/packet_codec.h"
#include "mqtt/packet_stream.h"
#include "mqtt/sockets.h"
#include "mqtt/session.h"
#include "tools/gateway-sim/sim_options.h"
#include "tools/gateway-sim/sim_traffic.h"

namespace {

using Clock = std::chrono::steady_clock;
using vchat::sim::SimOptions;

constexpr std::uint16_t kKeepAliveSec = 60;
constexpr auto kPingInterval = std::chrono::seconds(30);
constexpr std::string_view kClientIdPrefix = "gwsim-";
// Longest wait for incoming packets between two sends; also how quickly a signal is noticed.
constexpr int kMaxWaitMs = 100;
// With no rate limit, check for incoming packets after this many sends.
constexpr int kBurstSize = 64;
constexpr const char* kClientSuffix = "/2/json/mqtt/#";
constexpr const char* kReceivedPrefix = "client -> ";

// The name it was started under: gateway-sim in the build tree, another name once installed.
const char* program = "gateway-sim";

struct FileCloser {
    void operator()(std::FILE* f) const {
        if (f && f != stdout) std::fclose(f);
    }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

vchat::TransportSettings transportOf(const SimOptions& o) {
    vchat::TransportSettings t;
    t.host = o.host;
    t.port = o.port;
    t.useTls = o.tls;
    t.verifyServer = !o.insecure;
    t.caPath = o.caFile;
    t.tlsPsk = !o.pskIdentity.empty();
    t.pskIdentity = o.pskIdentity;
    t.pskKeyHex = o.pskKeyHex;
    return t;
}

constexpr const char* kNoClientIdText = "no random bytes for a client identifier";

const char* loginFailureText(vchat::LoginOutcome outcome) {
    switch (outcome) {
    case vchat::LoginOutcome::Refused:
        return "the broker refused the login";
    case vchat::LoginOutcome::NoAnswer:
        return "no CONNACK from the broker";
    case vchat::LoginOutcome::ConnectionLost:
        return "the connection was lost during the login";
    case vchat::LoginOutcome::Stopped:
        return "stopped";
    case vchat::LoginOutcome::NoClientId:
        return kNoClientIdText;
    case vchat::LoginOutcome::Accepted:
        break;
    }
    return "";
}

std::int64_t unixNow() {
    return static_cast<std::int64_t>(std::time(nullptr));
}

}  // namespace

int main(int argc, char* argv[]) {
    if (argc > 0 && argv[0][0] != '\0') {
        // Windows hands over the whole path, with either separator, and the .exe.
        static std::string name(argv[0]);
        name.erase(0, name.find_last_of("/\\") + 1);
        if (name.size() > 4 && name.compare(name.size() - 4, 4, ".exe") == 0) name.resize(name.size() - 4);
        program = name.c_str();
    }
    std::vector<std::string> args(argv + 1, argv + argc);
    SimOptions o;
    std::string error;
    if (!vchat::sim::parseOptions(args, o, error)) {
        std::fprintf(stderr, "%s: %s\nTry %s --help.\n", program, error.c_str(), program);
        return 2;
    }
    if (o.help) {
        std::fputs(vchat::sim::usageText(program).c_str(), stdout);
        return 0;
    }

    FilePtr sentOut;
    if (o.printSent == "-") {
        sentOut.reset(stdout);
    } else if (!o.printSent.empty()) {
        sentOut.reset(std::fopen(o.printSent.c_str(), "wb"));
        if (!sentOut) {
            std::fprintf(stderr, "%s: cannot write %s\n", program, o.printSent.c_str());
            return 2;
        }
    }

    // Raised by SIGINT / SIGTERM (Ctrl+C on Windows); also cuts a connect or login short.
    vchat::StopSignal stop;
    vchat::stopOnInterrupt(stop);

    const vchat::ConnectControl control{&stop, {}};
    const vchat::TransportSettings transport = transportOf(o);
    vchat::BrokerConnection conn;
    if (!vchat::openTransport(transport, conn, control, error)) {
        if (error.empty()) error = "TCP connect failed";
        std::fprintf(stderr, "%s: %s:%s: %s\n", program, o.host.c_str(), o.port.c_str(), error.c_str());
        return 1;
    }
    std::mt19937 rng(std::random_device{}());
    vchat::PacketStream stream;
    vchat::LoginRequest request;
    request.user = o.user;
    request.password = o.password;
    request.keepAliveSec = kKeepAliveSec;
    request.clientIdPrefix = kClientIdPrefix;
    request.attempts = vchat::kFallbackLoginAttempts;
    request.attemptCount = std::size(vchat::kFallbackLoginAttempts);
    const vchat::LoginOutcome outcome = vchat::logIn(conn, stream, transport, control, request);
    if (outcome != vchat::LoginOutcome::Accepted) {
        std::fprintf(stderr, "%s: %s:%s: %s\n", program, o.host.c_str(), o.port.c_str(), loginFailureText(outcome));
        return 1;
    }
    const std::string clientFilter = o.traffic.rootTopic + kClientSuffix;
    if (!vchat::subscribe(conn, clientFilter, rng)) {
        std::fprintf(stderr, "%s: connection lost\n", program);
        return 1;
    }
    std::fprintf(stderr, "%s: connected to %s:%s%s; listening on %s\n", program, o.host.c_str(),
                 o.port.c_str(), o.tls ? " (TLS)" : "", clientFilter.c_str());

    vchat::sim::TrafficState traffic = vchat::sim::makeTrafficState(o.traffic);
    const bool paced = o.rate > 0;
    const auto interval = paced ? std::chrono::duration_cast<Clock::duration>(
                                      std::chrono::duration<double>(1.0 / o.rate))
                                : Clock::duration::zero();
    const auto start = Clock::now();
    auto nextSend = start;
    auto lastPing = start;
    Clock::time_point finishedAt{};
    bool finished = false;
    std::uint64_t sent = 0;

    auto lost = [&](const char* what) {
        std::fprintf(stderr, "%s: connection lost (%s) after %llu messages\n", program, what,
                     static_cast<unsigned long long>(sent));
        if (sentOut) std::fflush(sentOut.get());
        return 1;
    };

    while (!stop.raised()) {
        auto now = Clock::now();
        // Send what is due; without a rate, a burst at a time so incoming packets still get read.
        int burst = 0;
        while (!finished && (paced ? nextSend <= now : burst < kBurstSize)) {
            const vchat::sim::SimMessage m = vchat::sim::nextMessage(traffic, unixNow());
            if (!vchat::sendRaw(conn, vchat::buildPublish(m.topic, m.payload))) {
                if (stop.raised()) break;
                return lost("publish");
            }
            ++sent;
            ++burst;
            if (sentOut) {
                const std::string record = vchat::sim::sentRecord(m) + "\n";
                std::fwrite(record.data(), 1, record.size(), sentOut.get());
                if (paced) std::fflush(sentOut.get());
            }
            if (o.verbose) {
                std::fprintf(stderr, "sent %s %s on %s\n", m.envelope ? "envelope" : "json",
                             std::string(vchat::sim::kKindNames[static_cast<std::size_t>(m.kind)]).c_str(),
                             m.topic.c_str());
            }
            nextSend += interval;
            if (o.count != 0 && sent >= o.count) {
                finished = true;
                finishedAt = Clock::now();
                if (sentOut) std::fflush(sentOut.get());
                const double seconds = std::chrono::duration<double>(finishedAt - start).count();
                std::fprintf(stderr, "%s: sent %llu messages in %.3f s\n", program,
                             static_cast<unsigned long long>(sent), seconds);
            }
            // A sender far behind its schedule (a slow broker) does not try to catch up in one go.
            if (paced && now - nextSend > std::chrono::seconds(1)) nextSend = now;
        }
        if (finished && o.lingerSec >= 0 &&
            Clock::now() - finishedAt >= std::chrono::duration<double>(o.lingerSec)) {
            break;
        }

        int waitMs = kMaxWaitMs;
        if (!finished) {
            if (!paced) {
                waitMs = 0;
            } else {
                const auto untilNext =
                    std::chrono::duration_cast<std::chrono::milliseconds>(nextSend - Clock::now()).count();
                waitMs = static_cast<int>(std::max<long long>(0, std::min<long long>(untilNext, kMaxWaitMs)));
            }
        }
        vchat::MqttPacket packet;
        const vchat::IoStatus status = vchat::readPacket(conn, stream, packet, waitMs);
        if (status == vchat::IoStatus::Stopped) break;
        if (status == vchat::IoStatus::Closed || status == vchat::IoStatus::Error) return lost("read");
        // An oversized message has only its topic left: nothing to print as received.
        if (status == vchat::IoStatus::Ok && packet.type == vchat::kPacketPublish && !packet.oversized) {
            std::string topic;
            std::string payload;
            if (vchat::parsePublish(packet.body, topic, payload)) {
                std::string line = kReceivedPrefix + topic + ": " + payload + "\n";
                std::fwrite(line.data(), 1, line.size(), stdout);
                std::fflush(stdout);
            }
        }
        if (Clock::now() - lastPing >= kPingInterval) {
            if (!vchat::sendRaw(conn, vchat::buildPingreq())) {
                if (stop.raised()) break;
                return lost("ping");
            }
            lastPing = Clock::now();
        }
    }

    vchat::sendRaw(conn, vchat::buildDisconnect(), 0);
    vchat::closeConnection(conn);
    if (sentOut) std::fflush(sentOut.get());
    std::fprintf(stderr, "%s: stopped after %llu messages\n", program, static_cast<unsigned long long>(sent));
    return 0;
}
