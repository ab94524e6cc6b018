// The real program under Xvfb: TLS with a test CA, TLS-PSK, Disconnect and quit, and a broker that
// dies while connected.

#include "tests/e2e/e2e_support.h"

namespace vchat::e2e {
namespace {

using vchat::testing::Mosquitto;
using vchat::testing::runCommand;

class E2eSession : public ::testing::Test {
protected:
    void SetUp() override {
        requireTools();
        if (HasFatalFailure()) return;
        ASSERT_TRUE(x_.start()) << "Xvfb did not start";
    }

    void startClient() {
        client_ = std::make_unique<Client>(x_);
        client_->start();
    }

    // Sends `count` messages through the broker and waits until the client shows the last one.
    std::vector<std::string> exchange(int port, std::size_t count, std::vector<std::string> args,
                                      std::vector<std::string>& want) {
        args.insert(args.end(), {"--count", std::to_string(count), "--rate", "100"});
        sim_.start(port, args);
        EXPECT_TRUE(sim_.waitSent(count, 60s)) << sim_.output();
        for (const SentRecord& r : sim_.sent()) want.push_back(expectedLine(r));
        return client_->saveUntil(
            [&](const std::vector<std::string>& l) { return contains(l, want.back()); }, 30s);
    }

    Xvfb x_;
    std::unique_ptr<Client> client_;
    Simulator sim_;
};

TEST_F(E2eSession, TlsWithTestCaConnectsAndReceives) {
    TempDir certs;
    const std::string d = certs.path();
    const std::string ec = "-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes";
    ASSERT_EQ(runCommand("cd " + d + " && printf 'subjectAltName=IP:127.0.0.1\\n' > ext.cnf && "
                         "openssl req -x509 " + ec + " -keyout ca.key -out ca.pem -days 2 "
                         "-subj '/CN=Veldra e2e test CA' 2>/dev/null && "
                         "openssl req " + ec + " -keyout server.key -out server.csr -subj '/CN=127.0.0.1' "
                         "2>/dev/null && openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key "
                         "-CAcreateserial -out server.pem -days 2 -extfile ext.cnf 2>/dev/null"),
              0);
    auto broker = Mosquitto::start("allow_anonymous true\ncafile " + certs.file("ca.pem") + "\ncertfile " +
                                   certs.file("server.pem") + "\nkeyfile " + certs.file("server.key") + "\n");
    ASSERT_TRUE(broker);
    startClient();
    Client& c = *client_;
    c.setBroker(broker->port());
    c.click(at::kUseTls);   // Verify Server is ticked from the start
    c.setField(at::kCaPath, 14, certs.file("ca.pem"));
    c.click(at::kDecodeRaw);
    c.click(at::kConnect);
    ASSERT_TRUE(waitForClientSubscriptions(*broker, 2, 30s)) << vchat::testing::readFile(broker->logPath());

    std::vector<std::string> want = {"Connecting...", "TCP/TLS connected.", "Connected to broker.",
                                     "Subscribed: msh/EU_868/2/json/#", "Subscribed: msh/EU_868/2/e/#"};
    const std::vector<std::string> lines =
        exchange(broker->port(), 20, {"--cafile", certs.file("ca.pem"), "--seed", "31"}, want);
    EXPECT_EQ(withoutSaveReports(lines), want);
}

TEST_F(E2eSession, TlsPskConnectsAndReceives) {
    TempDir keys;
    const std::string clientKey = "5f3a9c0e11d24b7786a1f0c3d9e2b4a6";
    const std::string simKey = "0011223344556677889900aabbccddeeff";
    vchat::testing::writeFile(keys.file("psk"), "veldra-e2e:" + clientKey + "\ngwsim-e2e:" + simKey + "\n");
    auto broker = Mosquitto::start("allow_anonymous true\npsk_hint e2e\npsk_file " + keys.file("psk") + "\n");
    ASSERT_TRUE(broker);
    startClient();
    Client& c = *client_;
    c.setBroker(broker->port());
    c.click(at::kUseTls);
    c.click(at::kTlsPskMode);
    c.setField(at::kPskIdentity, 0, "veldra-e2e");
    c.setField(at::kPskKey, 0, clientKey);
    c.click(at::kDecodeRaw);
    c.click(at::kConnect);
    ASSERT_TRUE(waitForClientSubscriptions(*broker, 2, 30s)) << vchat::testing::readFile(broker->logPath());

    std::vector<std::string> want = {"Connecting...", "TCP/TLS connected.", "Connected to broker.",
                                     "Subscribed: msh/EU_868/2/json/#", "Subscribed: msh/EU_868/2/e/#"};
    const std::vector<std::string> lines = exchange(
        broker->port(), 20, {"--psk-identity", "gwsim-e2e", "--psk-key", simKey, "--seed", "32"}, want);
    EXPECT_EQ(withoutSaveReports(lines), want);
}

TEST_F(E2eSession, DisconnectThenQuitEndsWithStatusZero) {
    auto broker = Mosquitto::start();
    ASSERT_TRUE(broker);
    startClient();
    Client& c = *client_;
    c.setBroker(broker->port());
    c.click(at::kConnect);
    ASSERT_TRUE(waitForClientSubscriptions(*broker, 1, 20s));
    std::vector<std::string> want = {"Connecting...", "TCP connected.", "Connected to broker.",
                                     "Subscribed: msh/EU_868/2/json/#"};
    // Without Decode RAW only the JSON messages show.
    exchange(broker->port(), 10, {"--envelopes", "0", "--seed", "41"}, want);

    c.click(at::kDisconnect);
    want.push_back("Disconnected.");
    const std::vector<std::string> lines = c.saveUntil(
        [](const std::vector<std::string>& l) { return contains(l, "Disconnected."); }, 20s);
    EXPECT_EQ(withoutSaveReports(lines), want);

    const std::optional<int> status = c.quit();
    ASSERT_TRUE(status.has_value()) << "the client did not end";
    EXPECT_EQ(*status, 0) << vchat::testing::readFile(c.dir() + "/client.out");
}

TEST_F(E2eSession, BrokerKilledWhileConnectedIsReportedAndTheWindowStaysResponsive) {
    auto broker = Mosquitto::start();
    ASSERT_TRUE(broker);
    startClient();
    Client& c = *client_;
    c.setBroker(broker->port());
    c.click(at::kDecodeRaw);
    c.click(at::kConnect);
    ASSERT_TRUE(waitForClientSubscriptions(*broker, 2, 20s));
    std::vector<std::string> want = {"Connecting...", "TCP connected.", "Connected to broker.",
                                     "Subscribed: msh/EU_868/2/json/#", "Subscribed: msh/EU_868/2/e/#"};
    exchange(broker->port(), 10, {"--seed", "51"}, want);

    broker->kill();
    want.push_back("error: connection lost");
    std::vector<std::string> lines = c.saveUntil(
        [](const std::vector<std::string>& l) { return contains(l, "error: connection lost"); }, 30s);
    EXPECT_EQ(withoutSaveReports(lines), want);

    // Still answering: a later save is written, and holds the report of the one before it.
    std::this_thread::sleep_for(1500ms);
    std::chrono::milliseconds latency{};
    const std::vector<std::string> later = c.saveLog(&latency);
    EXPECT_LT(latency, 5s);
    ASSERT_FALSE(later.empty());
    EXPECT_TRUE(isSaveReport(later.back()));
    EXPECT_EQ(withoutSaveReports(later), want);   // reported once, nothing else since

    c.click(at::kDisconnect);
    want.push_back("Disconnected.");
    lines = c.saveUntil([](const std::vector<std::string>& l) { return contains(l, "Disconnected."); }, 20s);
    EXPECT_EQ(withoutSaveReports(lines), want);

    const std::optional<int> status = c.quit();
    ASSERT_TRUE(status.has_value()) << "the client did not end";
    EXPECT_EQ(*status, 0);
}

}  // namespace
}  // namespace vchat::e2e
