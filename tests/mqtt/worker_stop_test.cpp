// stop is prompt whatever the worker waits for, and Send never waits for the worker's writes.
#include "mqtt/mqtt_worker.h"

#include <gtest/gtest.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <iostream>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "tests/support/fake_broker.h"
#include "tests/support/log_texts.h"
#include "tests/support/loopback.h"
#include "tests/support/test_support.h"

namespace vchat {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using testing::FakeBroker;
using testing::logTexts;
using testing::waitForLine;

const std::string kRefused("\x20\x02\x00\x05", 4);

// A name lookup that blocks until the test lets it go.
struct HeldLookup {
    std::mutex mutex;
    std::condition_variable changed;
    bool entered = false;
    bool released = false;

    void release() {
        std::lock_guard<std::mutex> lock(mutex);
        released = true;
        changed.notify_all();
    }
    bool waitEntered() {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, 5s, [&] { return entered; });
    }
};

AddressResolver heldResolver(const std::shared_ptr<HeldLookup>& held) {
    return [held](const char* host, const char* port, const addrinfo* hints, addrinfo** out) {
        std::unique_lock<std::mutex> lock(held->mutex);
        held->entered = true;
        held->changed.notify_all();
        held->changed.wait(lock, [&] { return held->released; });
        return ::getaddrinfo(host, port, hints, out);
    };
}

// A listener whose accept queue is full: a further connect waits for an answer that never comes.
struct FullListener {
    testing::LoopbackListener listener{0};
    std::vector<int> fillers;
    FullListener() {
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(static_cast<std::uint16_t>(listener.port()));
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        for (int i = 0; i < 3; ++i) {
            const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
            ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
            fillers.push_back(fd);
        }
        std::this_thread::sleep_for(100ms);
    }
    ~FullListener() {
        for (int fd : fillers) ::close(fd);
    }
};

struct Rig {
    FakeBroker broker;
    LogView log;
    MqttWorker worker;
    MqttConfig config;
    Rig() {
        config.host = "127.0.0.1";
        config.port = broker.port();
        config.user = "alice";
        config.password = "pw";
        config.rootTopic = "msh/EU";
    }
    // Answers CONNECTs with refusals (keeping the connection), then leaves attempt n unanswered.
    bool refuseThenSilent(int refusals) {
        if (!broker.accept()) return false;
        for (int i = 0; i < refusals; ++i) {
            if (broker.readPacket().empty() || !broker.send(kRefused)) return false;
        }
        return !broker.readPacket().empty();
    }
    bool logIn() {
        return broker.accept() && !broker.readPacket().empty() && broker.send(testing::kConnackAccepted) &&
               !broker.readPacket().empty() && waitForLine(log, "Subscribed: msh/EU/2/json/#", 10s);
    }
};

struct StopCase {
    const char* stage;
    std::function<bool(Rig&)> reach;   // starts the worker and brings it into the stage
    std::vector<std::string> log;      // the whole log after stop
    bool disconnectSent;               // DISCONNECT reached the broker
};

TEST(WorkerStop, ReturnsWithinHalfASecondInEveryStage) {
    auto held = std::make_shared<HeldLookup>();
    std::unique_ptr<FullListener> full;
    const std::vector<std::string> cutShort = {"Disconnected."};
    const std::vector<std::string> cutShortAfterTcp = {"TCP connected.", "Disconnected."};
    const std::vector<std::string> afterLogin = {"TCP connected.", "Connected to broker.",
                                                 "Subscribed: msh/EU/2/json/#", "Disconnected."};
    auto startThen = [](Rig& rig, const std::function<bool()>& then) {
        rig.worker.start(rig.config, &rig.log);
        return then();
    };
    const StopCase cases[] = {
        {"name lookup",
         [&](Rig& rig) {
             rig.worker.setResolver(heldResolver(held));
             return startThen(rig, [&] { return held->waitEntered(); });
         },
         cutShort, false},
        {"TCP connect",
         [&](Rig& rig) {
             full = std::make_unique<FullListener>();
             rig.config.port = full->listener.portText();
             return startThen(rig, [] { std::this_thread::sleep_for(300ms); return true; });
         },
         cutShort, false},
        {"TLS handshake with a silent peer",
         [&](Rig& rig) {
             rig.config.useTls = true;
             return startThen(rig, [&] { return rig.broker.accept() && rig.broker.read(1, 2s).size() == 1; });
         },
         cutShort, false},
        {"CONNACK wait 1", [&](Rig& rig) { return startThen(rig, [&] { return rig.refuseThenSilent(0); }); },
         cutShortAfterTcp, false},
        {"CONNACK wait 2", [&](Rig& rig) { return startThen(rig, [&] { return rig.refuseThenSilent(1); }); },
         cutShortAfterTcp, false},
        {"CONNACK wait 3", [&](Rig& rig) { return startThen(rig, [&] { return rig.refuseThenSilent(2); }); },
         cutShortAfterTcp, false},
        {"CONNACK wait 4", [&](Rig& rig) { return startThen(rig, [&] { return rig.refuseThenSilent(3); }); },
         cutShortAfterTcp, false},
        {"read turn",
         [&](Rig& rig) { return startThen(rig, [&] { return rig.logIn(); }); },
         afterLogin, true},
        {"PUBLISH write the broker does not take",
         [&](Rig& rig) {
             rig.worker.enqueuePublish("t/big", std::string(16 * 1024 * 1024, 'b'));
             return startThen(rig, [&] {
                 if (!rig.logIn()) return false;
                 std::this_thread::sleep_for(300ms);
                 return true;
             });
         },
         afterLogin, false},
        {"idle wait after a lost connection",
         [&](Rig& rig) {
             return startThen(rig, [&] {
                 if (!rig.logIn()) return false;
                 rig.broker.closeClient();
                 return waitForLine(rig.log, "error: connection lost", 10s);
             });
         },
         {"TCP connected.", "Connected to broker.", "Subscribed: msh/EU/2/json/#", "error: connection lost",
          "Disconnected."},
         false},
    };
    for (const StopCase& c : cases) {
        SCOPED_TRACE(c.stage);
        Rig rig;
        ASSERT_TRUE(c.reach(rig)) << "the worker did not reach the stage";
        const auto t0 = Clock::now();
        rig.worker.stop();
        const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0);
        std::cout << "stop latency, " << c.stage << ": " << took.count() << " ms\n";
        EXPECT_LT(took, 500ms);
        EXPECT_EQ(logTexts(rig.log), c.log);
        if (c.disconnectSent) {
            EXPECT_EQ(rig.broker.readPacket(2s), testing::kDisconnect);
        } else if (std::string(c.stage).find("CONNACK") != std::string::npos) {
            // Nothing after the unanswered CONNECT: no DISCONNECT before a login was accepted.
            EXPECT_EQ(rig.broker.read(1, 500ms), "");
            EXPECT_TRUE(rig.broker.waitClientClosed(2s));
        }
    }
    // The lookup that stop did not wait for ends later without touching the log or the queue.
    held->release();
}

TEST(WorkerStop, SendDoesNotWaitForABlockedWriteAndItemsFollowInOrder) {
    Rig rig;
    const std::string big(16 * 1024 * 1024, 'b');
    rig.worker.enqueuePublish("t/big", big);
    rig.worker.start(rig.config, &rig.log);
    ASSERT_TRUE(rig.logIn());
    std::this_thread::sleep_for(300ms);   // the worker is now inside the write of "t/big"

    OutgoingText text;
    text.text = "hello";
    text.gatewayHex = "0a1b2c3d";
    auto slowest = Clock::duration::zero();
    for (int i = 0; i < 3; ++i) {
        const auto t0 = Clock::now();
        if (i == 0) {
            rig.worker.queueText(text, rig.config);
        } else {
            rig.worker.enqueuePublish("t/" + std::to_string(i), "p" + std::to_string(i));
        }
        slowest = std::max(slowest, Clock::now() - t0);
    }
    std::cout << "Send while the worker is blocked in a write: "
              << std::chrono::duration_cast<std::chrono::microseconds>(slowest).count() << " us\n";
    EXPECT_LT(slowest, 50ms);
    EXPECT_EQ(rig.worker.queuedCount(), 4u);

    // The broker reads again: everything arrives once, in queue order.
    EXPECT_TRUE(rig.broker.readPacket(30s) == testing::publishBytes("t/big", big));
    const std::string textPacket = rig.broker.readPacket();
    EXPECT_NE(textPacket.find("msh/EU/2/json/mqtt/!0a1b2c3d"), std::string::npos);
    EXPECT_EQ(rig.broker.readPacket(), testing::publishBytes("t/1", "p1"));
    EXPECT_EQ(rig.broker.readPacket(), testing::publishBytes("t/2", "p2"));
    ASSERT_TRUE(waitForLine(rig.log, "sent -> t/2 :: p2", 10s));
    rig.worker.stop();
    std::vector<std::string> sent;
    for (const std::string& line : logTexts(rig.log)) {
        if (line.rfind("sent -> ", 0) == 0) sent.push_back(line.substr(0, line.find(" :: ")));
    }
    const std::vector<std::string> expected = {"sent -> t/big", "sent -> msh/EU/2/json/mqtt/!0a1b2c3d",
                                               "sent -> t/1", "sent -> t/2"};
    EXPECT_EQ(sent, expected);
    EXPECT_EQ(rig.worker.queuedCount(), 0u);
}

}  // namespace
}  // namespace vchat
