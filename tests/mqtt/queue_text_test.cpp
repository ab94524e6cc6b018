// queueText: what is queued, what is dropped, and the packet id it draws.
#include "mqtt/mqtt_worker.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <set>

#include "tests/support/fake_broker.h"
#include "tests/support/test_support.h"

namespace vchat {
namespace {

TEST(QueueText, QueuesOnlyNonEmptyTextForAnEightByteGateway) {
    struct Case {
        const char* what;
        std::string text;
        std::string gatewayHex;
        std::size_t queued;
    };
    const Case cases[] = {
        {"valid", "Hi", "433D7D0C", 1},
        {"empty text", "", "433D7D0C", 0},
        {"7-byte gateway", "Hi", "433D7D0", 0},
        {"9-byte gateway", "Hi", "433D7D0C1", 0},
    };
    for (const Case& c : cases) {
        MqttWorker worker;
        OutgoingText text = testing::textHi();
        text.text = c.text;
        text.gatewayHex = c.gatewayHex;
        worker.queueText(text, MqttConfig{});
        EXPECT_EQ(worker.queuedCount(), c.queued) << c.what;
    }
}

TEST(QueueText, EmptyTextDrawsNoRandomNumber) {
    MqttWorker worker;
    OutgoingText text = testing::textHi();
    text.text = "";
    std::srand(99);
    const int expected = std::rand();
    std::srand(99);
    worker.queueText(text, MqttConfig{});
    EXPECT_EQ(std::rand(), expected);
}

TEST(WorkerQueueText, PacketIdsKeepBitsFifteenAndThirtyOneClear) {
    testing::FakeBroker broker;
    LogView log;
    MqttWorker worker;
    MqttConfig config;
    config.host = "127.0.0.1";
    config.port = broker.port();
    config.rootTopic = "r";
    std::srand(4242);
    constexpr int kMessages = 40;
    for (int i = 0; i < kMessages; ++i) worker.queueText(testing::textHi(), config);
    worker.start(config, &log);
    ASSERT_TRUE(broker.accept());
    ASSERT_FALSE(broker.readPacket().empty());   // CONNECT
    broker.send(testing::kConnackAccepted);
    ASSERT_FALSE(broker.readPacket().empty());   // SUBSCRIBE
    std::set<std::uint32_t> ids;
    for (int i = 0; i < kMessages; ++i) {
        const std::string publish = broker.readPacket();
        const std::size_t at = publish.find(",\"id\":");
        ASSERT_NE(at, std::string::npos) << publish;
        const auto id = static_cast<std::uint32_t>(std::stoul(publish.substr(at + 6)));
        EXPECT_EQ(id & 0x80008000u, 0u) << id;
        ids.insert(id);
        EXPECT_NE(publish.find("r/2/json/mqtt/!433d7d0c"), std::string::npos);
    }
    EXPECT_GT(ids.size(), kMessages / 2u);   // drawn anew for every message
    worker.stop();
}

}  // namespace
}  // namespace vchat
