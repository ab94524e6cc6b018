#include "mqtt/mqtt_worker.h"

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <random>

#include "mesh/channel_crypto.h"
#include "mesh/outgoing.h"
#include "mesh/receive.h"
#include "mqtt/broker_connection.h"
#include "mqtt/packet_codec.h"
#include "mqtt/packet_stream.h"
#include "mqtt/session.h"

namespace vchat {

namespace {

constexpr char kTlsConnectFailedLine[] = "TLS connect failed: ";
constexpr char kTlsConnectedText[] = "TCP/TLS connected.";
constexpr char kTcpConnectFailedLine[] = "error: TCP connect failed";
constexpr char kTcpConnectedText[] = "TCP connected.";
constexpr char kLoginFailedText[] = "error: MQTT handshake/login failed";
constexpr char kConnectedToBrokerText[] = "Connected to broker.";
constexpr char kSubscribedText[] = "Subscribed: ";
constexpr char kSentText[] = "sent -> ";
constexpr char kSentSeparatorText[] = " :: ";
constexpr char kDisconnectedText[] = "Disconnected.";
constexpr char kConnectionLostText[] = "error: connection lost";
// "dropped message on <topic>: <size> bytes, over the <limit>-byte limit"
constexpr char kDroppedText[] = "dropped message on ";
constexpr char kDroppedSizeText[] = ": ";
constexpr char kDroppedLimitText[] = " bytes, over the ";
constexpr char kDroppedLimitEndText[] = "-byte limit";

constexpr char kJsonFilterSuffix[] = "/2/json/#";
constexpr char kEnvelopeFilterSuffix[] = "/2/e/#";
constexpr char kWorkerThreadName[] = "mqtt-worker";

// For SUBSCRIBE packet identifiers, which need not be unpredictable; client identifiers do, and come
// from the cryptographic generator (makeClientId).
std::mt19937 seededGenerator() {
    std::seed_seq seed{static_cast<unsigned>(std::chrono::steady_clock::now().time_since_epoch().count()),
                       static_cast<unsigned>(std::time(nullptr)),
                       static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(&seed))};
    std::mt19937 rng(seed);
    try {
        std::random_device device;
        rng.seed(device() ^ rng());
    } catch (...) {
        // No entropy device: the clock-based seed above serves.
    }
    return rng;
}

// The topic is the part before the first line feed; an item without one is both topic and payload.
void splitQueueItem(std::string_view item, std::string_view& topic, std::string_view& payload) {
    const std::size_t lf = item.find('\n');
    if (lf == std::string_view::npos) {
        topic = item;
        payload = item;
        return;
    }
    topic = item.substr(0, lf);
    payload = item.substr(lf + 1);
}

std::string droppedLine(const std::string& topic, std::uint32_t size, std::uint32_t limit) {
    std::string line = kDroppedText;
    line.append(topic).append(kDroppedSizeText).append(std::to_string(size));
    line.append(kDroppedLimitText).append(std::to_string(limit)).append(kDroppedLimitEndText);
    return line;
}

}  // namespace

MqttWorker::~MqttWorker() {
    stop();
}

void MqttWorker::start(const MqttConfig& config, LogView* log) {
    if (running_.exchange(true)) return;
    // Only stop clears running, and stop joins; this covers a thread that was never joined anyway.
    if (thread_.joinable()) thread_.join();
    phase_.store(WorkerPhase::Connecting);
    thread_ = std::thread(&MqttWorker::run, this, config, log);
}

void MqttWorker::stop() {
    running_.exchange(false);
    stopSignal_.raise();
    if (thread_.joinable()) thread_.join();
    stopSignal_.reset();
    phase_.store(WorkerPhase::Idle);
}

void MqttWorker::enqueuePublish(const std::string& topic, const std::string& payload) {
    std::string item = topic + "\n" + payload;
    {
        std::lock_guard<std::mutex> lock(queueMutex_);
        outQueue_.push_back(std::move(item));
    }
    // After the push: the thread lowers the signal before it looks at the queue, so it either sees
    // this item now or is woken for it.
    queueSignal_.raise();
}

void MqttWorker::queueText(const OutgoingText& text, const MqttConfig& config) {
    if (text.text.empty()) return;
    // rand() is not thread-safe: this runs on the main thread only. Each draw is kept to 15 bits.
    const auto r1 = static_cast<std::uint32_t>(std::rand()) & 0x7FFFu;
    const auto r2 = static_cast<std::uint32_t>(std::rand()) & 0x7FFFu;
    const std::uint32_t packetId = (r1 << 16) ^ r2;
    const std::string json = buildTextMessageJson(text, packetId);
    std::string topic;
    if (!buildTextTopic(config.rootTopic, text.gatewayHex, topic)) return;
    enqueuePublish(topic, json);
}

std::size_t MqttWorker::queuedCount() const {
    std::lock_guard<std::mutex> lock(queueMutex_);
    return outQueue_.size();
}

void MqttWorker::say(LogView* log, const std::string& text, LineKind kind, std::string_view topic) {
    if (sink_) {
        sink_(WorkerLine{kind, std::string(topic), text});
    } else {
        log->append(text);
    }
}

std::int64_t MqttWorker::nowMs() const {
    if (clock_) return clock_();
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

bool MqttWorker::stopping() const {
    return !running_.load() || stopSignal_.raised();
}

void MqttWorker::run(MqttConfig config, LogView* log) {
    nameThisThread(kWorkerThreadName);
    if (!config.channelPsk.empty()) config.channelKey = decodeBase64(config.channelPsk);

    const ConnectControl control{&stopSignal_, resolver_};
    const TransportSettings transport = transportOf(config);
    BrokerConnection conn;
    // A stop cuts the connect or the login short: that is what the user asked for, not a failure.
    auto endConnecting = [&](const std::string& failureLine) {
        closeConnection(conn);
        say(log, stopping() ? kDisconnectedText : failureLine);
        phase_.store(WorkerPhase::Ended);
    };

    std::string error;
    if (!openTransport(transport, conn, control, error)) {
        endConnecting(config.useTls ? kTlsConnectFailedLine + error : std::string(kTcpConnectFailedLine));
        return;
    }
    say(log, config.useTls ? kTlsConnectedText : kTcpConnectedText);

    std::mt19937 rng = seededGenerator();
    PacketStream stream;
    stream.frame.bodyLimit = maxMessageSize_;
    LoginRequest request;
    request.user = config.user;
    request.password = config.password;
    request.keepAliveSec = static_cast<std::uint16_t>(kKeepAliveSec);
    request.attempts = kFallbackLoginAttempts;
    request.attemptCount = std::size(kFallbackLoginAttempts);
    if (logIn(conn, stream, transport, control, request) != LoginOutcome::Accepted) {
        endConnecting(kLoginFailedText);
        return;
    }
    say(log, kConnectedToBrokerText);
    phase_.store(WorkerPhase::Connected);

    bool connected = true;
    auto connectionLost = [&] {
        if (stopping()) return;   // the loop's stop test says goodbye
        say(log, kConnectionLostText);
        closeConnection(conn);
        connected = false;
        phase_.store(WorkerPhase::Lost);
    };

    std::vector<std::string> filters{config.rootTopic + kJsonFilterSuffix};
    if (config.decodeRaw) filters.push_back(config.rootTopic + kEnvelopeFilterSuffix);
    for (const std::string& filter : filters) {
        if (!subscribe(conn, filter, rng)) {
            connectionLost();
            break;
        }
        say(log, kSubscribedText + filter);
    }

    const std::int64_t keepAliveMs = std::int64_t{kKeepAliveSec} * 1000;
    const std::int64_t pingAnswerMs = std::int64_t{kPingAnswerTimeoutSec} * 1000;
    std::int64_t lastPingMs = nowMs();
    bool pingUnanswered = false;
    std::int64_t unansweredPingMs = 0;

    // The queue signal can be raised, or its descriptor readable, only after a turn that read no
    // packet (the wait was woken) or when raised() says so; lowering it costs a system call.
    bool mayBeWoken = true;
    for (;;) {
        if (stopping()) {
            // DISCONNECT only when the socket takes it at once: quitting never waits on the broker.
            if (connected) sendRaw(conn, buildDisconnect(), 0);
            closeConnection(conn);
            say(log, kDisconnectedText);
            return;
        }
        if (!connected) {
            // Nothing to do without a connection but wait for stop; the queue keeps what arrives.
            waitSocket(stopSignal_.waitHandle(), WaitFor::Read, deadlineIn(kPollTimeoutMs), nullptr);
            continue;
        }

        if (mayBeWoken || queueSignal_.raised()) queueSignal_.reset();
        if (!publishQueued(conn, log)) {
            connectionLost();
            continue;
        }

        MqttPacket packet;
        const IoStatus status =
            readPacket(conn, stream, packet, kPollTimeoutMs, kPacketCompletionTimeoutMs, &queueSignal_);
        mayBeWoken = status != IoStatus::Ok;
        if (status == IoStatus::Stopped) continue;
        if (status == IoStatus::Closed || status == IoStatus::Error) {
            connectionLost();
            continue;
        }
        if (status == IoStatus::Ok) {
            pingUnanswered = false;
            std::string topic;
            std::string payload;
            if (packet.type == kPacketPublish && parsePublish(packet.body, topic, payload)) {
                if (packet.oversized) {
                    // Read through and dropped by the frame reader: only its topic and size are known.
                    say(log, droppedLine(topic, packet.length, maxMessageSize_), LineKind::Status, topic);
                } else {
                    std::string line;
                    LineKind kind = LineKind::Json;
                    if (publishLine(topic, payload, config, line, kind)) say(log, line, kind, topic);
                    publishesHandled_.fetch_add(1);
                }
            }
        }

        const std::int64_t now = nowMs();
        if (pingUnanswered && now - unansweredPingMs >= pingAnswerMs) {
            connectionLost();
            continue;
        }
        if (now - lastPingMs >= keepAliveMs) {
            if (!sendRaw(conn, buildPingreq())) {
                connectionLost();
                continue;
            }
            lastPingMs = now;
            if (!pingUnanswered) {
                pingUnanswered = true;
                unansweredPingMs = now;
            }
        }
    }
}

bool MqttWorker::publishQueued(BrokerConnection& conn, LogView* log) {
    // The lock guards the queue only: a write that waits on the broker never holds up Send.
    for (;;) {
        const std::string* item = nullptr;
        {
            std::lock_guard<std::mutex> lock(queueMutex_);
            if (outQueue_.empty()) return true;
            // Only this thread removes items, and adding at the back of a deque leaves the others
            // where they are: the front item stays put, unlocked, until this thread pops it. So even
            // a large item goes out without a copy that a stop would have to wait for.
            item = &outQueue_.front();
        }
        std::string_view topic;
        std::string_view payload;
        splitQueueItem(*item, topic, payload);
        // An item whose write failed stays at the front for the next connection.
        if (!sendRaw(conn, buildPublishHead(topic, payload.size()), payload)) return false;
        std::string line;
        line.append(kSentText).append(topic).append(kSentSeparatorText).append(payload);
        {
            std::lock_guard<std::mutex> lock(queueMutex_);
            outQueue_.pop_front();
        }
        say(log, line);
    }
}

}  // namespace vchat
