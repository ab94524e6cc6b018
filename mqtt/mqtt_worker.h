// The one broker connection, run on a thread of its own.
//
// The thread connects, logs in, subscribes and loops until stop. stop returns promptly in every
// state: each wait of the thread watches a stop signal, and a name lookup runs where stop need not
// wait for it. It never reconnects: a failed
// connect or login ends the thread (running stays set until stop); a connection lost while looping
// is reported once in the log and closed, and the thread then only waits for stop. Queued items
// survive all of this and go out with the next connection, in order.
//
// A received message whose topic and payload together pass the size limit (setMaxMessageSize) is
// read through without being kept and logged as one "dropped message" line; the ones after it are
// handled as usual.
//
// Queueing wakes the thread: whatever it waits for in its read turn, an item goes out at once, in
// queue order. queueMutex guards the outgoing queue only: the worker holds it to look at or remove
// the front item, never across a socket write or a log append, so the thread never holds it
// together with the LogView's mutex. Should anything hold both, queueMutex comes first.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

#include "log/log_view.h"
#include "mesh/mqtt_config.h"
#include "mesh/outgoing_text.h"
#include "mesh/receive.h"
#include "mqtt/broker_connection.h"
#include "mqtt/packet_codec.h"
#include "mqtt/sockets.h"

namespace vchat {

inline constexpr int kPollTimeoutMs = 200;
inline constexpr int kKeepAliveSec = 20;
// Nothing at all from the broker this long after a PINGREQ means the connection is gone.
inline constexpr int kPingAnswerTimeoutSec = 30;

// One line the worker says: its own status lines and the lines shown for received traffic. The text
// is whole (the LogView's cut is the LogView's); topic is empty for status lines.
struct WorkerLine {
    LineKind kind = LineKind::Status;
    std::string topic;
    std::string text;
};
// Receives every line in the order the worker says them, on the worker thread.
using WorkerSink = std::function<void(const WorkerLine&)>;

// Where the worker is, as seen from outside.
enum class WorkerPhase {
    Idle,         // no thread (construction, after stop)
    Connecting,   // connecting and logging in
    Connected,    // logged in and looping
    Lost,         // the connection was lost while looping; waiting for stop
    Ended,        // connect or login failed; the thread has ended, waiting for stop
};

// Milliseconds of a monotonic clock.
using MonotonicMsClock = std::function<std::int64_t()>;

class MqttWorker {
public:
    MqttWorker() = default;
    ~MqttWorker();   // stops a running thread
    MqttWorker(const MqttWorker&) = delete;
    MqttWorker& operator=(const MqttWorker&) = delete;

    // Does nothing while running is set (also after the thread ended on its own, until stop).
    // Otherwise starts the thread on its own copy of `config`. `log` must outlive the thread.
    void start(const MqttConfig& config, LogView* log);
    // Clears running, wakes the thread out of any wait and joins it. Returns when it has ended.
    void stop();
    // Appends topic + "\n" + payload to the outgoing queue and wakes the thread to send it.
    void enqueuePublish(const std::string& topic, const std::string& payload);
    // Builds the JSON text message for `text` (rootTopic read from `config`) and queues it.
    // Draws the packet id with rand(): call on the main thread only.
    void queueText(const OutgoingText& text, const MqttConfig& config);

    // Replaces the clock behind the keep-alive ping and the wait for its answer, so tests can drive
    // time. Call only while no thread runs (before start or after stop).
    void setClock(MonotonicMsClock clock) { clock_ = std::move(clock); }
    // Sends every line to `sink` instead of the LogView (start's log may then be null). Call only
    // while no thread runs.
    void setSink(WorkerSink sink) { sink_ = std::move(sink); }
    // Replaces the name lookup (tests hold it to show that stop need not wait for it). Call only
    // while no thread runs.
    void setResolver(AddressResolver resolver) { resolver_ = std::move(resolver); }
    // A received message whose PUBLISH body (topic and payload) is larger than `bytes` is dropped
    // with one status line that names its topic and size; the default is kMaxMessageSize. Call
    // only while no thread runs.
    void setMaxMessageSize(std::uint32_t bytes) { maxMessageSize_ = bytes; }

    WorkerPhase phase() const { return phase_.load(); }

    bool running() const { return running_.load(); }
    // Items waiting in the outgoing queue (tests, diagnostics).
    std::size_t queuedCount() const;
    // PUBLISH packets handed to publishLine since construction (dropped oversized ones not counted).
    std::uint64_t publishesHandled() const { return publishesHandled_.load(); }

private:
    void run(MqttConfig config, LogView* log);
    bool stopping() const;
    // Publishes the queued items in order; false when a write failed (that item stays queued).
    bool publishQueued(BrokerConnection& conn, LogView* log);
    std::int64_t nowMs() const;
    void say(LogView* log, const std::string& text, LineKind kind = LineKind::Status,
             std::string_view topic = {});

    std::atomic<bool> running_{false};
    std::thread thread_;
    mutable std::mutex queueMutex_;
    std::deque<std::string> outQueue_;
    std::atomic<std::uint64_t> publishesHandled_{0};
    MonotonicMsClock clock_;   // empty: the steady clock
    WorkerSink sink_;          // empty: lines go to the LogView
    AddressResolver resolver_;   // empty: getaddrinfo
    std::uint32_t maxMessageSize_ = kMaxMessageSize;
    StopSignal stopSignal_;      // raised by stop: ends every wait of the thread at once
    StopSignal queueSignal_;     // raised by enqueuePublish: ends the read turn's wait
    std::atomic<WorkerPhase> phase_{WorkerPhase::Idle};
};

}  // namespace vchat
