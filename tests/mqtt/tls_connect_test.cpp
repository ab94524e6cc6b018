// tlsConnect against a real mosquitto (certificate and pre-shared-key listeners) and against small
// peers inside the test: verification, host names, PSK keys, error texts, the handshake bound,
// writes to a vanished peer, and data the TLS library holds before the socket shows it.
#include <gtest/gtest.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <chrono>
#include <csignal>
#include <iostream>
#include <thread>
#include <string>
#include <vector>

#include "mqtt/broker_connection.h"
#include "mqtt/tls.h"
#include "tests/support/fake_broker.h"
#include "tests/support/test_certs.h"
#include "tests/support/mosquitto.h"
#include "tests/support/loopback.h"
#include "tests/support/test_support.h"

namespace vchat {
namespace {

using testing::FakeBroker;
using testing::Mosquitto;
using testing::startsWith;
using Clock = std::chrono::steady_clock;
constexpr int kWaitMs = 200;   // one loop turn of the worker

// The broker's "connection accepted": 20 02 00 00.
const std::string kConnackAccepted("\x20\x02\x00\x00", 4);
// MQTT 3.1.1 CONNECT, clean session, keep-alive 20, client id "tls-test", written out by hand.
const std::string kConnect311("\x10\x14\x00\x04MQTT\x04\x02\x00\x14\x00\x08tls-test", 22);

// The client's side of the connection, read and written here without the transport under test.
// Also makes the socket blocking: the transport leaves its sockets non-blocking.
void setReceiveTimeout(int fd, int seconds) {
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL, 0) & ~O_NONBLOCK);
    timeval tv{};
    tv.tv_sec = seconds;
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
}

// Logs in with hand-written bytes; true when the broker accepts.
bool mqttLoginWorks(BrokerConnection& conn) {
    setReceiveTimeout(conn.sock.get(), 10);
    bool ok = SSL_write(conn.ssl.get(), kConnect311.data(), static_cast<int>(kConnect311.size())) ==
              static_cast<int>(kConnect311.size());
    std::string connack(4, '\0');
    for (std::size_t got = 0; ok && got < connack.size();) {
        const int r = SSL_read(conn.ssl.get(), connack.data() + got, static_cast<int>(connack.size() - got));
        ok = r > 0;
        got += ok ? static_cast<std::size_t>(r) : 0;
    }
    return ok && connack == kConnackAccepted;
}

// Descriptors this process has open: a failed connect must leave none behind.
int openFdCount() {
    DIR* dir = opendir("/proc/self/fd");
    if (dir == nullptr) return -1;
    int n = 0;
    while (readdir(dir) != nullptr) ++n;
    closedir(dir);
    return n;
}

class TlsConnectTest : public testing::TestCertsSuite {
protected:
    static std::unique_ptr<Mosquitto> startTlsBroker(const std::string& cert, const std::string& key) {
        auto broker = Mosquitto::start(testing::tlsListenerConfig(cert, key, certs_->pem("ca")));
        EXPECT_TRUE(broker) << "mosquitto did not start";
        return broker;
    }
};

struct Outcome {
    bool ok = false;
    std::string error;
    BrokerConnection conn;
};

Outcome connectTls(const std::string& host, const std::string& port, bool verify,
                   const std::string& caPath, bool psk = false, const std::string& identity = "",
                   const std::string& keyHex = "") {
    Outcome out;
    out.ok = tlsConnect(out.conn, host, port, verify, caPath, psk, identity, keyHex, out.error);
    return out;
}

// ---- Certificate mode --------------------------------------------------------------------------

TEST_F(TlsConnectTest, VerifiedConnectionCarriesMqtt) {
    auto broker = startTlsBroker(certs_->pem("server"), certs_->key("server"));
    ASSERT_TRUE(broker);
    // The certificate names both; "localhost" may resolve to ::1 first, where nothing listens.
    for (const char* host : {"127.0.0.1", "localhost"}) {
        Outcome out = connectTls(host, broker->portText(), true, certs_->pem("ca"));
        ASSERT_TRUE(out.ok) << host << ": " << out.error;
        EXPECT_TRUE(out.error.empty()) << "the error text is left as it was";
        EXPECT_TRUE(out.conn.tls);
        ASSERT_TRUE(out.conn.ssl);
        EXPECT_TRUE(out.conn.sslCtx);
        EXPECT_TRUE(out.conn.sock.valid());
        EXPECT_EQ(SSL_get_fd(out.conn.ssl.get()), out.conn.sock.get());
        EXPECT_EQ(SSL_get_verify_result(out.conn.ssl.get()), X509_V_OK);
        EXPECT_TRUE(mqttLoginWorks(out.conn)) << host;
        closeConnection(out.conn);
    }
}

TEST_F(TlsConnectTest, VerificationFailuresNameTheReason) {
    struct Case {
        const char* name;
        std::string cert;
        std::string key;
        std::string host;
        std::string caPath;
        int verifyError;
        std::string peerSubject;
    };
    // The broker sends its CA along with its own certificate, so an unknown CA shows as a
    // self-signed certificate in the chain.
    const std::vector<Case> cases = {
        {"CA that did not sign the broker", certs_->pem("server"), certs_->key("server"), "127.0.0.1",
         certs_->pem("other"), X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN, "/CN=vchat test broker"},
        {"system trust store without the broker's CA", certs_->pem("server"), certs_->key("server"),
         "127.0.0.1", "", X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN, "/CN=vchat test broker"},
        {"IP literal not in the certificate", certs_->pem("nameonly"), certs_->key("nameonly"), "127.0.0.1",
         certs_->pem("ca"), X509_V_ERR_IP_ADDRESS_MISMATCH, "/CN=named broker"},
        {"host name not in the certificate", certs_->pem("iponly"), certs_->key("iponly"), "localhost",
         certs_->pem("ca"), X509_V_ERR_HOSTNAME_MISMATCH, "/CN=numbered broker"},
    };
    for (const Case& c : cases) {
        auto broker = startTlsBroker(c.cert, c.key);
        ASSERT_TRUE(broker) << c.name;
        const int fdsBefore = openFdCount();
        Outcome out = connectTls(c.host, broker->portText(), true, c.caPath);
        EXPECT_EQ(openFdCount(), fdsBefore) << c.name << ": the socket is closed";
        EXPECT_FALSE(out.ok) << c.name;
        EXPECT_TRUE(startsWith(out.error, "SSL_connect failed: ")) << c.name << ": " << out.error;
        EXPECT_EQ(out.error.find("no_error"), std::string::npos) << c.name << ": " << out.error;
        const std::string verifyText =
            std::string(" verify_result=") + X509_verify_cert_error_string(c.verifyError);
        EXPECT_NE(out.error.find(verifyText), std::string::npos) << c.name << ": " << out.error;
        EXPECT_NE(out.error.find(" peer_subject=" + c.peerSubject + " issuer=/CN=vchat test CA"),
                  std::string::npos)
            << c.name << ": " << out.error;
        EXPECT_FALSE(out.conn.sock.valid()) << c.name << ": the connection is left untouched";
        EXPECT_FALSE(out.conn.ssl);
        EXPECT_FALSE(out.conn.tls);
    }
}

TEST_F(TlsConnectTest, WithoutVerificationAnyCertificatePasses) {
    struct Case {
        const char* name;
        std::string cert;
        std::string key;
    };
    const std::vector<Case> cases = {
        {"self-signed", certs_->pem("self"), certs_->key("self")},
        {"names another host", certs_->pem("nameonly"), certs_->key("nameonly")},
    };
    for (const Case& c : cases) {
        auto broker = startTlsBroker(c.cert, c.key);
        ASSERT_TRUE(broker) << c.name;
        Outcome out = connectTls("127.0.0.1", broker->portText(), false, certs_->pem("other"));
        ASSERT_TRUE(out.ok) << c.name << ": " << out.error;
        EXPECT_TRUE(mqttLoginWorks(out.conn)) << c.name;
        closeConnection(out.conn);
    }
}

TEST_F(TlsConnectTest, MissingCaFileFailsBeforeTheHandshake) {
    auto broker = startTlsBroker(certs_->pem("server"), certs_->key("server"));
    ASSERT_TRUE(broker);
    for (bool verify : {true, false}) {
        Outcome out = connectTls("127.0.0.1", broker->portText(), verify,
                                 certs_->dir.file("no-such-ca.pem"));
        EXPECT_FALSE(out.ok);
        EXPECT_TRUE(startsWith(out.error, "load CA failed: error:")) << out.error;
        EXPECT_NE(out.error.find("No such file"), std::string::npos) << out.error;
        EXPECT_FALSE(out.conn.sock.valid());
    }
    // Nothing of the failed attempt lingers on this thread's error queue.
    EXPECT_EQ(ERR_peek_error(), 0ul);
}

TEST_F(TlsConnectTest, PskFieldsAreIgnoredInCertificateMode) {
    auto broker = startTlsBroker(certs_->pem("server"), certs_->key("server"));
    ASSERT_TRUE(broker);
    Outcome out = connectTls("127.0.0.1", broker->portText(), true, certs_->pem("ca"), false, "someone",
                             "not hex at all");
    ASSERT_TRUE(out.ok) << out.error;
    EXPECT_EQ(SSL_get_ex_data(out.conn.ssl.get(), kPskExDataIndex), nullptr);
    EXPECT_TRUE(mqttLoginWorks(out.conn));
    closeConnection(out.conn);
}

TEST_F(TlsConnectTest, TcpFailureIsNamed) {
    Outcome out = connectTls("127.0.0.1", std::to_string(testing::freeTcpPort()), true, certs_->pem("ca"));
    EXPECT_FALSE(out.ok);
    EXPECT_EQ(out.error, "tcp_connect_failed");
    Outcome badPort = connectTls("127.0.0.1", "not-a-port", true, certs_->pem("ca"));
    EXPECT_EQ(badPort.error, "tcp_connect_failed");
}

// ---- Pre-shared-key mode -------------------------------------------------------------------------

const std::string kPskIdentity = "vchat-node";
const std::string kPskKey = "00112233445566778899aabbccddeeff";

// 256 bytes as 512 hex digits.
std::string longPskKey() {
    std::string hex;
    for (int i = 0; i < 512; ++i) hex += "fedcba9876543210"[(i * 7) % 16];
    return hex;
}

std::unique_ptr<Mosquitto> startPskBroker(const testing::TempDir& dir, const std::string& extraConfig = "",
                                          const std::vector<std::string>& env = {}) {
    const std::string pskFile = dir.file("psk.txt");
    testing::writeFile(pskFile, kPskIdentity + ":" + kPskKey + "\nlong-key:" + longPskKey() + "\n");
    return Mosquitto::start(testing::pskListenerConfig(pskFile) + extraConfig, "all", env);
}

TEST(TlsPskConnect, NegotiatesWithMosquittoAndCarriesMqtt) {
    testing::TempDir dir;
    // tls_version is only a floor for mosquitto: the TLS 1.2 broker is capped by its library's
    // configuration.
    const std::string capAt12 = dir.file("tls12.cnf");
    testing::writeFile(capAt12, "openssl_conf = a\n[a]\nssl_conf = b\n[b]\nsystem_default = c\n[c]\nMaxProtocol = TLSv1.2\n");
    for (const std::string version : {"TLSv1.3", "TLSv1.2"}) {
        auto broker = version == "TLSv1.3" ? startPskBroker(dir, "tls_version tlsv1.3\n")
                                           : startPskBroker(dir, "tls_version tlsv1.2\n", {"OPENSSL_CONF=" + capAt12});
        ASSERT_TRUE(broker) << version;
        Outcome out = connectTls("127.0.0.1", broker->portText(), false, "", true, kPskIdentity, kPskKey);
        ASSERT_TRUE(out.ok) << version << ": " << out.error << "\nbroker log:\n" << broker->log();
        EXPECT_EQ(SSL_get_version(out.conn.ssl.get()), version);
        const std::string cipher = SSL_get_cipher_name(out.conn.ssl.get());
        std::cout << "TLS-PSK with mosquitto negotiated " << version << " " << cipher << "\n";
        ::testing::Test::RecordProperty("psk_cipher_" + version, cipher);
        EXPECT_EQ(SSL_get1_peer_certificate(out.conn.ssl.get()), nullptr) << "no certificate in PSK mode";
        EXPECT_TRUE(mqttLoginWorks(out.conn)) << version;
        closeConnection(out.conn);
    }
}

TEST(TlsPskConnect, KeyTextTable) {
    testing::TempDir dir;
    auto broker = startPskBroker(dir);
    ASSERT_TRUE(broker);
    struct Case {
        const char* name;
        std::string identity;
        std::string keyHex;
        bool verify;
        std::string caPath;
        bool connects;
    };
    const std::string longKey = longPskKey();
    const std::vector<Case> cases = {
        {"right key", kPskIdentity, kPskKey, false, "", true},
        {"upper-case digits", kPskIdentity, "00112233445566778899AABBCCDDEEFF", false, "", true},
        {"odd length: the last character is ignored", kPskIdentity, kPskKey + "7", false, "", true},
        {"600 digits: the first 256 bytes are used", "long-key", longKey + std::string(88, 'a'),
         false, "", true},
        {"verify flag and CA path are not used", kPskIdentity, kPskKey, true,
         dir.file("missing-ca.pem"), true},
        {"wrong key", kPskIdentity, "00112233445566778899aabbccddeefe", false, "", false},
        {"key one byte short", kPskIdentity, kPskKey.substr(0, 30), false, "", false},
        {"non-hexadecimal character", kPskIdentity, "0011223344556677889xaabbccddeeff", false, "",
         false},
        {"unknown identity", "stranger", kPskKey, false, "", false},
        {"identity too long for the library", std::string(300, 'i'), kPskKey, false, "", false},
    };
    const int fdsBefore = openFdCount();
    for (const Case& c : cases) {
        auto start = Clock::now();
        Outcome out = connectTls("127.0.0.1", broker->portText(), c.verify, c.caPath, true, c.identity,
                                 c.keyHex);
        auto elapsed = Clock::now() - start;
        EXPECT_EQ(out.ok, c.connects) << c.name << ": " << out.error;
        if (c.connects) {
            EXPECT_TRUE(mqttLoginWorks(out.conn)) << c.name;
            closeConnection(out.conn);
        } else {
            EXPECT_TRUE(startsWith(out.error, "SSL_connect failed: ")) << c.name << ": " << out.error;
            EXPECT_FALSE(out.conn.sock.valid()) << c.name;
            EXPECT_LT(elapsed, std::chrono::seconds(5)) << c.name << ": a refusal is prompt";
        }
    }
    EXPECT_EQ(openFdCount(), fdsBefore) << "every attempt released its socket";
}

TEST(TlsPskConnect, ServerNameIsSentInBothModes) {
    auto certs = std::make_unique<testing::TestCerts>();
    ASSERT_TRUE(certs->ok);
    for (bool psk : {false, true}) {
        FakeBroker server(psk ? FakeBroker::Tls::PreSharedKey : FakeBroker::Tls::Certificate, certs->pem("server"),
                          certs->key("server"));
        server.serve([](FakeBroker&) {});
        ASSERT_TRUE(server.listening());
        Outcome out = connectTls("localhost", server.port(), true, certs->pem("ca"), psk, "node-9",
                                 "deadbeef0102");
        ASSERT_TRUE(out.ok) << (psk ? "psk: " : "certificate: ") << out.error;
        ASSERT_TRUE(testing::waitUntil([&] { return server.handshakeDone(); }, std::chrono::seconds(10)));
        EXPECT_EQ(server.serverName(), "localhost");
        EXPECT_EQ(server.pskIdentity(), psk ? "node-9" : "");
        closeConnection(out.conn);
    }
}

// A server with a certificate and no key: TLS 1.3 lets it complete a handshake the key had no part
// in, which must not stand; a TLS 1.2-only one has no PSK suite in common with the client.
TEST(TlsPskConnect, BrokerWithoutTheKeyIsRefused) {
    auto certs = std::make_unique<testing::TestCerts>();
    ASSERT_TRUE(certs->ok);
    for (const int maxVersion : {TLS1_3_VERSION, TLS1_2_VERSION}) {
        FakeBroker server(FakeBroker::Tls::Certificate, certs->pem("server"), certs->key("server"));
        ASSERT_TRUE(server.limitVersions(TLS1_2_VERSION, maxVersion));
        server.serve([](FakeBroker&) {});
        Outcome out = connectTls("127.0.0.1", server.port(), false, "", true, kPskIdentity, kPskKey);
        EXPECT_TRUE(startsWith(out.error, maxVersion == TLS1_3_VERSION
                                              ? "SSL_connect failed: broker did not use the pre-shared key verify_result="
                                              : "SSL_connect failed: error:"))
            << out.error;
        EXPECT_FALSE(out.ok || out.conn.sock.valid() || out.conn.ssl) << out.error;
    }
}

// ---- The handshake bound -------------------------------------------------------------------------

TEST(TlsHandshake, SilentPeerFailsWithinTheBound) {
    // A listener that never accepts: the kernel completes the TCP handshake, nobody speaks TLS.
    const testing::LoopbackListener listener;
    ASSERT_TRUE(listener.ok());

    auto start = Clock::now();
    Outcome out = connectTls("127.0.0.1", listener.portText(), false, "");
    auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);

    EXPECT_FALSE(out.ok);
    EXPECT_EQ(out.error, "SSL_connect failed: handshake_timeout");
    EXPECT_FALSE(out.conn.sock.valid());
    std::cout << "silent peer: tlsConnect gave up after " << elapsed.count() << " ms\n";
    EXPECT_GE(elapsed.count(), kTlsHandshakeTimeoutMs - 100);
    EXPECT_LT(elapsed.count(), kTlsHandshakeTimeoutMs + 5000) << "the handshake must not hang";
}

TEST_F(TlsConnectTest, PeerDroppingDuringHandshakeFailsPromptly) {
    // A listener that accepts and closes at once.
    const testing::LoopbackListener listener;
    ASSERT_TRUE(listener.ok());
    std::thread closer([fd = listener.fd()] {
        int client = accept(fd, nullptr, nullptr);
        if (client >= 0) close(client);
    });
    auto start = Clock::now();
    Outcome out = connectTls("127.0.0.1", listener.portText(), true, certs_->pem("ca"));
    auto elapsed = Clock::now() - start;
    closer.join();
    EXPECT_FALSE(out.ok);
    EXPECT_TRUE(startsWith(out.error, "SSL_connect failed: ")) << out.error;
    EXPECT_EQ(out.error.find("handshake_timeout"), std::string::npos) << out.error;
    EXPECT_LT(elapsed, std::chrono::seconds(5));
}

// ---- Writes to a vanished peer -------------------------------------------------------------------

// SIGPIPE at its default disposition while it lives, the previous one back afterwards, so no other
// test of this process sees the change. startSockets, which ignores it once, runs first.
struct DefaultSigpipe {
    struct sigaction previous {};
    bool ok = false;
    DefaultSigpipe() {
        startSockets();
        ok = sigaction(SIGPIPE, nullptr, &previous) == 0 && std::signal(SIGPIPE, SIG_DFL) != SIG_ERR;
    }
    ~DefaultSigpipe() {
        if (ok) sigaction(SIGPIPE, &previous, nullptr);
    }
};

TEST_F(TlsConnectTest, WritesToAClosedPeerFailWithoutSigpipe) {
    const DefaultSigpipe defaultDisposition;   // a SIGPIPE would end this test process
    ASSERT_TRUE(defaultDisposition.ok);
    for (const std::string way : {"SSL_write", "sendRaw over TLS", "sendRaw over TCP"}) {
        const bool tls = way != "sendRaw over TCP";
        // The peer completes the handshake and closes the socket without a word.
        FakeBroker server(tls ? FakeBroker::Tls::Certificate : FakeBroker::Tls::None, certs_->pem("server"),
                          certs_->key("server"));
        server.serve([](FakeBroker&) {});
        Outcome out;
        if (tls) out = connectTls("127.0.0.1", server.port(), true, certs_->pem("ca"));
        if (!tls) out.conn.sock.reset(tcpConnect("127.0.0.1", server.port()));
        ASSERT_TRUE(out.conn.sock.valid()) << way << ": " << out.error;
        ASSERT_TRUE(testing::waitUntil([&] { return server.scriptDone(); }, std::chrono::seconds(10)));
        ASSERT_EQ(std::signal(SIGPIPE, SIG_DFL), SIG_DFL) << way << ": connecting changed the disposition";

        const std::string chunk(1024, 'x');
        bool failed = false;
        for (int i = 0; i < 100 && !failed; ++i) {
            if (way == "SSL_write") {
                ERR_clear_error();
                failed = SSL_write(out.conn.ssl.get(), chunk.data(), static_cast<int>(chunk.size())) <= 0;
            } else {
                failed = !sendRaw(out.conn, chunk);
            }
            // Let the peer's reset arrive.
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        EXPECT_TRUE(failed) << way << " reported success to a closed peer";
        // The library's own close_notify goes through the same path.
        if (tls) SSL_shutdown(out.conn.ssl.get());
        closeConnection(out.conn);
        ERR_clear_error();
    }
}

// ---- Data held by the TLS library ----------------------------------------------------------------

TEST_F(TlsConnectTest, BurstHeldByTheTlsLibraryIsReadWithoutWaiting) {
    constexpr int kPackets = 500;
    std::string burst;
    for (int i = 0; i < kPackets; ++i)
        burst += testing::publishBytes("msh/2/json/x", "{\"n\":" + std::to_string(i) + "}");
    // One write: the burst arrives as one or two records, then the peer goes quiet.
    FakeBroker server(FakeBroker::Tls::Certificate, certs_->pem("server"), certs_->key("server"));
    server.serve([&](FakeBroker& b) {
        b.send(burst);
        b.stayQuiet();
    });
    ASSERT_TRUE(server.listening());
    Outcome out = connectTls("127.0.0.1", server.port(), true, certs_->pem("ca"));
    ASSERT_TRUE(out.ok) << out.error;

    auto readExact = [&](std::size_t n) {
        std::string bytes(n, '\0');
        std::size_t got = 0;
        while (got < n) {
            IoResult r = recvSome(out.conn, bytes.data() + got, n - got);
            // The socket is non-blocking: a record still on its way (or a session ticket) is a wait.
            if (r.status == IoStatus::NotReady && waitReadable(out.conn, kWaitMs).status == IoStatus::Ok) continue;
            if (r.status != IoStatus::Ok || r.bytes == 0) return std::string();
            got += r.bytes;
        }
        return bytes;
    };
    // Read packet by packet, as the MQTT framing does: header byte, length byte, body.
    int packets = 0;
    int quietWaitsAfterFirst = 0;
    bool heldOnlyByTls = false;   // proves the case arose: bytes waiting, socket empty
    auto deadline = Clock::now() + std::chrono::seconds(20);
    while (packets < kPackets && Clock::now() < deadline && quietWaitsAfterFirst <= 5) {
        IoResult ready = waitReadable(out.conn, kWaitMs);
        if (ready.status == IoStatus::NotReady) {
            if (packets > 0) ++quietWaitsAfterFirst;
            continue;
        }
        ASSERT_EQ(ready.status, IoStatus::Ok);
        pollfd p{out.conn.sock.get(), POLLIN, 0};
        if (poll(&p, 1, 0) == 0 && SSL_has_pending(out.conn.ssl.get())) heldOnlyByTls = true;
        std::string header = readExact(2);
        ASSERT_EQ(header.size(), 2u);
        ASSERT_EQ(static_cast<unsigned char>(header[0]), 0x30);
        std::string body = readExact(static_cast<unsigned char>(header[1]));
        ASSERT_EQ(body.size(), static_cast<unsigned char>(header[1]));
        ++packets;
    }
    EXPECT_EQ(packets, kPackets);
    EXPECT_LE(quietWaitsAfterFirst, 1) << "bytes held by the TLS library must satisfy the wait";
    EXPECT_TRUE(heldOnlyByTls);
    closeConnection(out.conn);
}

}  // namespace
}  // namespace vchat
