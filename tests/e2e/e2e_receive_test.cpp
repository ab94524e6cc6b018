// The real program under Xvfb against a real mosquitto and the gateway simulator: what it shows for
// received traffic, the preset channel rule, the Hide boxes, and Send.

#include <set>

#include "tests/e2e/e2e_fixture.h"

namespace vchat::e2e {
namespace {

const std::vector<std::string> kConnectLines = connectLines(false, true);

class E2eReceive : public E2eTest {
protected:
    void SetUp() override {
        E2eTest::SetUp();
        if (HasFatalFailure()) return;
        broker_ = Mosquitto::start();
        ASSERT_TRUE(broker_) << "mosquitto did not start";
        startClient(broker_->port());
    }

    // Runs the simulator to the end of `count` messages and returns what it sent.
    std::vector<SentRecord> simulate(Simulator& sim, std::size_t count, std::vector<std::string> args) {
        args.insert(args.end(), {"--count", std::to_string(count)});
        sim.start(broker_->port(), args);
        EXPECT_TRUE(sim.waitSent(count, 60s)) << sim.output();
        std::vector<SentRecord> sent = sim.sent();
        EXPECT_EQ(sent.size(), count);
        return sent;
    }

    std::unique_ptr<Mosquitto> broker_;
};

TEST_F(E2eReceive, DefaultsWithHostPortAndDecodeRawShowEveryMessageExactly) {
    ASSERT_TRUE(connect(*broker_, true, 2));

    Simulator sim;
    const std::vector<SentRecord> sent = simulate(sim, 60, {"--rate", "150", "--seed", "11"});
    ASSERT_FALSE(sent.empty());
    std::set<std::string> kinds;
    std::vector<std::string> want = kConnectLines;
    for (const SentRecord& r : sent) {
        kinds.insert((r.envelope ? "env " : "json ") + r.kind);
        want.push_back(r.expected);
    }
    // Both formats and all five kinds took part.
    EXPECT_GE(kinds.size(), 8u);

    const std::vector<std::string> shown = withoutSaveReports(logAfter(want.back()));
    EXPECT_EQ(shown, want);
}

TEST_F(E2eReceive, PresetChannelWithEmptyPskDecodesUnderTheOneByteKey) {
    client_->setField(centreOf(kChannel), 20, "LongFast");
    client_->setField(centreOf(kChannelPsk), 50, "");
    ASSERT_TRUE(connect(*broker_, true, 2));

    Simulator sim;
    const std::vector<SentRecord> sent =
        simulate(sim, 30, {"--rate", "150", "--seed", "5", "--key", "Ag==", "--envelopes", "80"});
    std::vector<std::string> want = {"Preset channel detected (LongFast), using default PSK Ag=="};
    want.insert(want.end(), kConnectLines.begin(), kConnectLines.end());
    bool decodedText = false;
    for (const SentRecord& r : sent) {
        want.push_back(r.expected);
        decodedText = decodedText || (r.envelope && r.kind == "text");
    }
    EXPECT_TRUE(decodedText);

    const std::vector<std::string> shown = withoutSaveReports(logAfter(want.back()));
    EXPECT_EQ(shown, want);
}

TEST_F(E2eReceive, EachHideBoxHidesItsKindAndNothingElse) {
    struct Case {
        Point box;
        const char* kind;
    };
    const Case cases[] = {{centreOf(kHideNodeinfo), "nodeinfo"},
                          {centreOf(kHidePosition), "position"},
                          {centreOf(kHideTelemetry), "telemetry"},
                          {centreOf(kHideTraceroute), "traceroute"}};
    ClientWindow& c = *client_;
    c.click(centreOf(kDecodeRaw));
    int subscriptions = 0;
    std::uint32_t seed = 21;
    for (const Case& k : cases) {
        SCOPED_TRACE(k.kind);
        c.click(k.box);
        c.key("ctrl+l");
        subscriptions += 2;
        ASSERT_TRUE(connect(*broker_, false, subscriptions));

        Simulator sim;
        const std::vector<SentRecord> sent = simulate(
            sim, 40, {"--rate", "200", "--seed", std::to_string(seed++), "--envelopes", "30"});
        std::vector<std::string> want = kConnectLines;
        int hidden = 0;
        int shownJsonOfOtherKinds = 0;
        for (const SentRecord& r : sent) {
            if (!r.envelope && r.kind == k.kind) {
                ++hidden;
                continue;
            }
            shownJsonOfOtherKinds += r.envelope ? 0 : 1;
            want.push_back(r.expected);
        }
        ASSERT_GT(hidden, 0) << "the simulator sent no JSON " << k.kind << " message";
        ASSERT_GT(shownJsonOfOtherKinds, 0);

        const std::vector<std::string> shown = withoutSaveReports(logAfter(want.back()));
        EXPECT_EQ(shown, want);

        c.click(centreOf(kDisconnect));
        c.click(k.box);   // unticked again for the next case
    }
}

TEST_F(E2eReceive, SendPublishesTheExactJsonOnTheGatewayTopic) {
    ClientWindow& c = *client_;
    c.setField(centreOf(kFromId), 14, "1128103180");
    c.setField(centreOf(kGatewayHex), 12, "433D7D0C");
    ASSERT_TRUE(connect(*broker_, false, 1));

    Simulator sim;
    sim.start(broker_->port(), {"--count", "1"});
    ASSERT_TRUE(sim.waitSent(1, 20s)) << sim.output();
    ASSERT_TRUE(broker_->waitForLog("Sending SUBACK to gwsim-"));

    const std::string topic = "msh/EU_868/2/json/mqtt/!433d7d0c";
    const std::string head =
        R"({"from":1128103180,"type":"sendtext","channel":0,"id":)";
    const std::string tail1 =
        R"(,"to":4294967295,"shortName":"zk52","longName":"MeshZK-52","payload":"Hello \"mesh\" \\ 73"})";
    const std::string tail2 =
        R"(,"to":4294967295,"shortName":"zk52","longName":"MeshZK-52","payload":"second, by the button"})";

    c.click(centreOf(kMessageLine));
    c.type(R"(Hello "mesh" \ 73)");
    c.key("Return");
    ASSERT_TRUE(sim.waitForOutput("\"payload\":\"Hello", 20s)) << sim.output();
    c.type("second, by the button");
    c.click(centreOf(kSend));
    ASSERT_TRUE(sim.waitForOutput("by the button\"}", 20s)) << sim.output();

    // What the gateway received, one line per message, exactly as built for the form's values.
    std::vector<std::string> received;
    const std::string out = sim.output();
    const std::string prefix = "client -> " + topic + ": ";
    for (std::size_t p = 0; (p = out.find(prefix, p)) != std::string::npos;) {
        const std::size_t nl = out.find('\n', p);
        received.push_back(out.substr(p + prefix.size(), nl - p - prefix.size()));
        p = nl;
    }
    ASSERT_EQ(received.size(), 2u) << out;
    for (std::size_t i = 0; i < 2; ++i) {
        const std::string& json = received[i];
        const std::string& tail = i == 0 ? tail1 : tail2;
        ASSERT_TRUE(testing::startsWith(json, head)) << json;
        ASSERT_GT(json.size(), head.size() + tail.size()) << json;
        EXPECT_EQ(json.substr(json.size() - tail.size()), tail);
        EXPECT_TRUE(testing::allDigits(json.substr(head.size(), json.size() - head.size() - tail.size())))
            << json;
    }

    // The log reports each of them as sent, with the very bytes the gateway got.
    const std::vector<std::string> lines = c.saveLog();
    for (const std::string& json : received) {
        EXPECT_TRUE(contains(lines, "sent -> " + topic + " :: " + json)) << json;
    }
}

}  // namespace
}  // namespace vchat::e2e
