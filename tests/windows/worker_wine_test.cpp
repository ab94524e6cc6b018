// The worker of the Windows build against the build machine's mosquitto on 127.0.0.1, run under
// wine by scripts/test-windows, which starts the brokers and names their ports and files in the
// environment. The log lines must read exactly as on Linux.
// windows.h and wincrypt.h before OpenSSL's headers, which undo the names they clash on.
#include <windows.h>
#include <wincrypt.h>

#include <gtest/gtest.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "mqtt/mqtt_worker.h"
#include "mqtt/system_roots.h"

namespace vchat {
namespace {

using namespace std::chrono_literals;
using Strings = std::vector<std::string>;

// Every stored line starts "dd.mm.yyyy, hh:mm:ss" and two spaces.
constexpr std::size_t kStampedPrefix = 22;

std::string env(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

Strings texts(const LogView& log) {
    std::lock_guard<std::mutex> lock(log.mutex);
    Strings out;
    for (const LogLine& line : log.lines) out.push_back(line.text.substr(kStampedPrefix));
    return out;
}

bool waitForLine(const LogView& log, const std::string& text, std::chrono::milliseconds timeout = 15s) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    do {
        for (const std::string& t : texts(log)) {
            if (t == text) return true;
        }
        std::this_thread::sleep_for(20ms);
    } while (std::chrono::steady_clock::now() < end);
    return false;
}

MqttConfig brokerConfig(const char* portVariable) {
    MqttConfig config;
    config.host = "127.0.0.1";
    config.port = env(portVariable);
    config.rootTopic = "msh/EU";
    return config;
}

// One connection, one subscription and a clean stop: what every accepted login logs.
struct LoginCase {
    const char* name;
    const char* portVariable;
    void (*adjust)(MqttConfig&);
    const char* connectedLine;
};

class WorkerWineLogin : public ::testing::TestWithParam<LoginCase> {};

TEST_P(WorkerWineLogin, LogsTheSameLinesAsOnLinux) {
    const LoginCase& c = GetParam();
    MqttConfig config = brokerConfig(c.portVariable);
    ASSERT_FALSE(config.port.empty()) << c.portVariable << " is not set: run this through scripts/test-windows";
    c.adjust(config);
    LogView log;
    MqttWorker worker;
    worker.start(config, &log);
    EXPECT_TRUE(waitForLine(log, "Subscribed: msh/EU/2/json/#"));
    worker.stop();
    const Strings expected = {c.connectedLine, "Connected to broker.", "Subscribed: msh/EU/2/json/#", "Disconnected."};
    EXPECT_EQ(texts(log), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Brokers, WorkerWineLogin,
    ::testing::Values(
        LoginCase{"Password", "VCHAT_WINE_PASSWORD_PORT",
                  [](MqttConfig& c) {
                      c.user = "alice";
                      c.password = "s3cret pw";
                  },
                  "TCP connected."},
        LoginCase{"TlsWithCa", "VCHAT_WINE_TLS_PORT",
                  [](MqttConfig& c) {
                      c.useTls = true;
                      c.caPath = env("VCHAT_WINE_CA");
                  },
                  "TCP/TLS connected."},
        LoginCase{"TlsPsk", "VCHAT_WINE_PSK_PORT",
                  [](MqttConfig& c) {
                      c.useTls = true;
                      c.tlsPsk = true;
                      c.pskIdentity = env("VCHAT_WINE_PSK_IDENTITY");
                      c.pskKeyHex = env("VCHAT_WINE_PSK_KEY");
                  },
                  "TCP/TLS connected."}),
    [](const ::testing::TestParamInfo<LoginCase>& info) { return std::string(info.param.name); });

// The log of one TLS login without a CA path, once the worker has ended or subscribed.
Strings tlsLoginWithSystemRoots() {
    MqttConfig config = brokerConfig("VCHAT_WINE_TLS_PORT");
    config.useTls = true;
    LogView log;
    MqttWorker worker;
    worker.start(config, &log);
    const auto end = std::chrono::steady_clock::now() + 15s;
    while (worker.phase() != WorkerPhase::Ended && std::chrono::steady_clock::now() < end &&
           !waitForLine(log, "Subscribed: msh/EU/2/json/#", 20ms)) {
    }
    worker.stop();
    return texts(log);
}

// The test CA in DER form, read from the PEM file scripts/test-windows names.
std::vector<unsigned char> testCaDer() {
    std::vector<unsigned char> der;
    std::FILE* file = std::fopen(env("VCHAT_WINE_CA").c_str(), "rb");
    if (file == nullptr) return der;
    X509* ca = PEM_read_X509(file, nullptr, nullptr, nullptr);
    std::fclose(file);
    unsigned char* bytes = nullptr;
    const int length = ca != nullptr ? i2d_X509(ca, &bytes) : -1;
    if (length > 0) der.assign(bytes, bytes + length);
    OPENSSL_free(bytes);
    X509_free(ca);
    return der;
}

// Puts the certificate into, or takes it out of, the user's "ROOT" store. The store is closed each
// time: the registry sees a change only then, and the worker opens a store of its own.
bool changeRoots(const std::vector<unsigned char>& der, bool add) {
    HCERTSTORE roots = CertOpenSystemStoreW(0, L"ROOT");
    if (roots == nullptr) return false;
    const BYTE* bytes = der.data();
    const DWORD size = static_cast<DWORD>(der.size());
    bool done = false;
    if (add) {
        done = CertAddEncodedCertificateToStore(roots, X509_ASN_ENCODING, bytes, size,
                                                CERT_STORE_ADD_REPLACE_EXISTING, nullptr) != FALSE;
    } else if (PCCERT_CONTEXT cert = CertCreateCertificateContext(X509_ASN_ENCODING, bytes, size)) {
        PCCERT_CONTEXT found =
            CertFindCertificateInStore(roots, X509_ASN_ENCODING, 0, CERT_FIND_EXISTING, cert, nullptr);
        done = found == nullptr || CertDeleteCertificateFromStore(found) != FALSE;
        CertFreeCertificateContext(cert);
    }
    CertCloseStore(roots, 0);
    return done;
}

int systemRootsLoaded() {
    SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
    const int n = useSystemRoots(ctx);
    SSL_CTX_free(ctx);
    return n;
}

// Without a CA path the server is checked against the system's trusted roots: refused while the
// test CA is not among them, accepted once it is in the user's "ROOT" store. One test, so that no
// other test runs while the store holds the CA; it leaves the store without it.
TEST(WorkerWine, TlsWithoutACaPathTrustsTheSystemRoots) {
    const std::vector<unsigned char> der = testCaDer();
    ASSERT_FALSE(der.empty()) << "VCHAT_WINE_CA unreadable: run this through scripts/test-windows";
    // A run that died half-way may have left the CA in the store.
    ASSERT_TRUE(changeRoots(der, false));

    const Strings refused = tlsLoginWithSystemRoots();
    ASSERT_EQ(refused.size(), 1u);
    EXPECT_EQ(refused[0].rfind("TLS connect failed: SSL_connect failed: ", 0), 0u) << refused[0];
    EXPECT_NE(refused[0].find("certificate verify failed"), std::string::npos) << refused[0];

    const int before = systemRootsLoaded();
    ASSERT_TRUE(changeRoots(der, true));
    EXPECT_EQ(systemRootsLoaded(), before + 1);
    const Strings accepted = tlsLoginWithSystemRoots();
    EXPECT_TRUE(changeRoots(der, false));
    const Strings expected = {"TCP/TLS connected.", "Connected to broker.", "Subscribed: msh/EU/2/json/#",
                              "Disconnected."};
    EXPECT_EQ(accepted, expected);
}

TEST(WorkerWine, PlainTrafficBothWays) {
    MqttConfig config = brokerConfig("VCHAT_WINE_PLAIN_PORT");
    ASSERT_FALSE(config.port.empty());
    LogView log;
    MqttWorker receiver;
    receiver.start(config, &log);
    ASSERT_TRUE(waitForLine(log, "Subscribed: msh/EU/2/json/#"));
    // The subscription went out before the sender even connects, so the broker holds it in time.
    // The sender listens under another root, so it does not hear itself.
    MqttConfig senderConfig = config;
    senderConfig.rootTopic = "msh/US";
    LogView senderLog;
    MqttWorker sender;
    sender.enqueuePublish("msh/EU/2/json/x", "{\"n\":1}");
    sender.start(senderConfig, &senderLog);
    EXPECT_TRUE(waitForLine(log, "msg msh/EU/2/json/x\n{\"n\":1}"));
    sender.stop();
    receiver.stop();
    const Strings expected = {"TCP connected.", "Connected to broker.", "Subscribed: msh/EU/2/json/#",
                              "msg msh/EU/2/json/x\n{\"n\":1}", "Disconnected."};
    EXPECT_EQ(texts(log), expected);
    const Strings sent = {"TCP connected.", "Connected to broker.", "Subscribed: msh/US/2/json/#",
                          "sent -> msh/EU/2/json/x :: {\"n\":1}", "Disconnected."};
    EXPECT_EQ(texts(senderLog), sent);
}

TEST(WorkerWine, BrokerGoneIsReportedOnce) {
    MqttConfig config = brokerConfig("VCHAT_WINE_LOSS_PORT");
    const std::string request = env("VCHAT_WINE_KILL_REQUEST");
    ASSERT_FALSE(config.port.empty() || request.empty());
    LogView log;
    MqttWorker worker;
    worker.start(config, &log);
    ASSERT_TRUE(waitForLine(log, "Subscribed: msh/EU/2/json/#"));
    // The script kills this broker when the file appears.
    std::FILE* f = std::fopen(request.c_str(), "wb");
    ASSERT_NE(f, nullptr) << request;
    std::fclose(f);
    EXPECT_TRUE(waitForLine(log, "error: connection lost", 20s));
    EXPECT_EQ(worker.phase(), WorkerPhase::Lost);
    worker.stop();
    const Strings expected = {"TCP connected.", "Connected to broker.", "Subscribed: msh/EU/2/json/#",
                              "error: connection lost", "Disconnected."};
    EXPECT_EQ(texts(log), expected);
}

TEST(WorkerWine, StopDuringASilentLoginIsPrompt) {
    // A listener that accepts (through its backlog) and never answers the CONNECT.
    const SOCKET listener = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    ASSERT_NE(listener, INVALID_SOCKET);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int len = sizeof addr;
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&addr), len), 0);
    ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len), 0);
    ASSERT_EQ(::listen(listener, 4), 0);

    MqttConfig config = brokerConfig("VCHAT_WINE_PLAIN_PORT");
    config.port = std::to_string(ntohs(addr.sin_port));
    LogView log;
    MqttWorker worker;
    worker.start(config, &log);
    ASSERT_TRUE(waitForLine(log, "TCP connected."));
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(worker.phase(), WorkerPhase::Connecting);
    const auto before = std::chrono::steady_clock::now();
    worker.stop();
    const auto took = std::chrono::steady_clock::now() - before;
    ::closesocket(listener);
    EXPECT_LT(took, 500ms) << std::chrono::duration_cast<std::chrono::milliseconds>(took).count() << " ms";
    const Strings expected = {"TCP connected.", "Disconnected."};
    EXPECT_EQ(texts(log), expected);
}

}  // namespace
}  // namespace vchat
