// The real program under Xvfb: TLS with a test CA, TLS-PSK, Disconnect and quit, and a broker that
// dies while connected.

#include "tests/e2e/e2e_fixture.h"
#include "tests/support/test_certs.h"

namespace vchat::e2e {
namespace {

class E2eSession : public E2eTest {
protected:
    // Sends `count` messages through the broker and waits until the client shows the last one.
    std::vector<std::string> exchange(int port, std::size_t count, std::vector<std::string> args,
                                      std::vector<std::string>& want) {
        args.insert(args.end(), {"--count", std::to_string(count), "--rate", "100"});
        sim_.start(port, args);
        EXPECT_TRUE(sim_.waitSent(count, 60s)) << sim_.output();
        for (const SentRecord& r : sim_.sent()) want.push_back(r.expected);
        return logAfter(want.back());
    }

    Simulator sim_;
};

TEST_F(E2eSession, TlsWithTestCaConnectsAndReceives) {
    const std::unique_ptr<testing::TestCerts> certs = std::make_unique<testing::TestCerts>();
    ASSERT_TRUE(certs->ok);
    auto broker = Mosquitto::start(testing::tlsListenerConfig(certs->pem("server"), certs->key("server"), certs->pem("ca")));
    ASSERT_TRUE(broker);
    ClientWindow& c = startClient(broker->port());
    c.click(centreOf(kUseTls));   // Verify Server is ticked from the start
    c.setField(centreOf(kCaPath), 14, certs->pem("ca"));
    ASSERT_TRUE(connect(*broker, true, 2, 30s)) << broker->log();

    std::vector<std::string> want = connectLines(true, true);
    const std::vector<std::string> lines =
        exchange(broker->port(), 20, {"--cafile", certs->pem("ca"), "--seed", "31"}, want);
    EXPECT_EQ(withoutSaveReports(lines), want);
}

TEST_F(E2eSession, TlsPskConnectsAndReceives) {
    testing::TempDir keys;
    const std::string clientKey = "5f3a9c0e11d24b7786a1f0c3d9e2b4a6";
    const std::string simKey = "0011223344556677889900aabbccddeeff";
    testing::writeFile(keys.file("psk"), "veldra-e2e:" + clientKey + "\ngwsim-e2e:" + simKey + "\n");
    auto broker = Mosquitto::start(testing::pskListenerConfig(keys.file("psk"), "e2e"));
    ASSERT_TRUE(broker);
    ClientWindow& c = startClient(broker->port());
    c.click(centreOf(kUseTls));
    c.click(centreOf(kTlsPskMode));
    c.setField(centreOf(kPskIdentity), 0, "veldra-e2e");
    c.setField(centreOf(kPskKey), 0, clientKey);
    ASSERT_TRUE(connect(*broker, true, 2, 30s)) << broker->log();

    std::vector<std::string> want = connectLines(true, true);
    const std::vector<std::string> lines = exchange(
        broker->port(), 20, {"--psk-identity", "gwsim-e2e", "--psk-key", simKey, "--seed", "32"}, want);
    EXPECT_EQ(withoutSaveReports(lines), want);
}

TEST_F(E2eSession, DisconnectThenQuitEndsWithStatusZero) {
    auto broker = Mosquitto::start();
    ASSERT_TRUE(broker);
    ClientWindow& c = startClient(broker->port());
    ASSERT_TRUE(connect(*broker, false, 1));
    std::vector<std::string> want = connectLines(false, false);
    // Without Decode RAW only the JSON messages show.
    exchange(broker->port(), 10, {"--envelopes", "0", "--seed", "41"}, want);

    c.click(centreOf(kDisconnect));
    want.push_back("Disconnected.");
    EXPECT_EQ(withoutSaveReports(logAfter("Disconnected.", 20s)), want);

    const std::optional<int> status = c.quit();
    ASSERT_TRUE(status.has_value()) << "the client did not end";
    EXPECT_EQ(*status, 0) << c.output();
}

TEST_F(E2eSession, BrokerKilledWhileConnectedIsReportedAndTheWindowStaysResponsive) {
    auto broker = Mosquitto::start();
    ASSERT_TRUE(broker);
    ClientWindow& c = startClient(broker->port());
    ASSERT_TRUE(connect(*broker, true, 2));
    std::vector<std::string> want = connectLines(false, true);
    exchange(broker->port(), 10, {"--seed", "51"}, want);

    broker->kill();
    want.push_back("error: connection lost");
    EXPECT_EQ(withoutSaveReports(logAfter("error: connection lost")), want);

    // Still answering: a later save is written, and holds the report of the one before it.
    std::this_thread::sleep_for(1500ms);
    std::chrono::milliseconds latency{};
    const std::vector<std::string> later = c.saveLog(&latency);
    EXPECT_LT(latency, 5s);
    ASSERT_FALSE(later.empty());
    EXPECT_TRUE(testing::isSaveReport(later.back()));
    EXPECT_EQ(withoutSaveReports(later), want);   // reported once, nothing else since

    c.click(centreOf(kDisconnect));
    want.push_back("Disconnected.");
    EXPECT_EQ(withoutSaveReports(logAfter("Disconnected.", 20s)), want);

    const std::optional<int> status = c.quit();
    ASSERT_TRUE(status.has_value()) << "the client did not end";
    EXPECT_EQ(*status, 0);
}

}  // namespace
}  // namespace vchat::e2e
