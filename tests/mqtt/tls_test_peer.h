// Shared by the TLS tests: certificates made at run time with the openssl command, a one-connection
// TLS server on 127.0.0.1, and MQTT packet reads and writes on a raw SSL object.
#pragma once

#include <fcntl.h>

#include <gtest/gtest.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <dirent.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "tests/support/test_support.h"

namespace vchat::testing {

// Every file lives in one temporary directory; `ok` is false when the openssl command failed.
struct TestCerts {
    TempDir dir;
    bool ok = false;
    std::string caPem;            // the CA that signed the server certificates below
    std::string otherCaPem;       // an unrelated CA
    std::string serverPem;        // subjectAltName IP:127.0.0.1, DNS:localhost
    std::string serverKey;
    std::string nameOnlyPem;      // subjectAltName DNS:broker.example only
    std::string nameOnlyKey;
    std::string ipOnlyPem;        // subjectAltName IP:127.0.0.1 only
    std::string ipOnlyKey;
    std::string selfSignedPem;    // self-signed, subjectAltName IP:127.0.0.1
    std::string selfSignedKey;
};

inline std::unique_ptr<TestCerts> makeTestCerts() {
    auto certs = std::make_unique<TestCerts>();
    const std::string d = certs->dir.path();
    const std::string ec = " -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes ";
    auto ca = [&](const std::string& name, const std::string& cn) {
        return "openssl req -x509" + ec + "-keyout " + d + "/" + name + ".key -out " + d + "/" + name +
               ".pem -days 2 -subj '/CN=" + cn + "' 2>/dev/null";
    };
    auto leaf = [&](const std::string& name, const std::string& cn, const std::string& san) {
        writeFile(d + "/" + name + ".ext", "subjectAltName=" + san + "\n");
        return "openssl req -new" + ec + "-keyout " + d + "/" + name + ".key -out " + d + "/" + name +
               ".csr -subj '/CN=" + cn + "' 2>/dev/null && openssl x509 -req -in " + d + "/" + name +
               ".csr -CA " + d + "/ca.pem -CAkey " + d + "/ca.key -set_serial " +
               std::to_string(name.size() * 7 + name[0]) + " -days 2 -extfile " + d + "/" + name +
               ".ext -out " + d + "/" + name + ".pem 2>/dev/null";
    };
    certs->ok =
        runCommand(ca("ca", "vchat test CA")) == 0 && runCommand(ca("other", "unrelated CA")) == 0 &&
        runCommand(leaf("server", "vchat test broker", "IP:127.0.0.1,DNS:localhost")) == 0 &&
        runCommand(leaf("nameonly", "named broker", "DNS:broker.example")) == 0 &&
        runCommand(leaf("iponly", "numbered broker", "IP:127.0.0.1")) == 0 &&
        runCommand("openssl req -x509" + ec + "-keyout " + d + "/self.key -out " + d +
                   "/self.pem -days 2 -subj '/CN=self signed broker' -addext "
                   "'subjectAltName=IP:127.0.0.1' 2>/dev/null") == 0;
    certs->caPem = d + "/ca.pem";
    certs->otherCaPem = d + "/other.pem";
    certs->serverPem = d + "/server.pem";
    certs->serverKey = d + "/server.key";
    certs->nameOnlyPem = d + "/nameonly.pem";
    certs->nameOnlyKey = d + "/nameonly.key";
    certs->ipOnlyPem = d + "/iponly.pem";
    certs->ipOnlyKey = d + "/iponly.key";
    certs->selfSignedPem = d + "/self.pem";
    certs->selfSignedKey = d + "/self.key";
    return certs;
}

// Mosquitto listener lines for a certificate listener.
// A suite whose tests share one set of certificates, made once for the suite (openssl is slow).
class TestCertsSuite : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        certs_ = makeTestCerts().release();
        ASSERT_TRUE(certs_->ok) << "the openssl command could not make the test certificates";
    }
    static void TearDownTestSuite() {
        delete certs_;
        certs_ = nullptr;
    }
    static inline TestCerts* certs_ = nullptr;
};

inline std::string tlsListenerConfig(const std::string& cert, const std::string& key,
                                     const std::string& ca) {
    return "allow_anonymous true\ncafile " + ca + "\ncertfile " + cert + "\nkeyfile " + key + "\n";
}

// Reads exactly n bytes; false on failure. The socket under ssl carries a receive time-out.
inline bool sslReadExact(SSL* ssl, std::string& out, std::size_t n) {
    out.resize(n);
    std::size_t got = 0;
    while (got < n) {
        int r = SSL_read(ssl, out.data() + got, static_cast<int>(n - got));
        if (r <= 0) return false;
        got += static_cast<std::size_t>(r);
    }
    return true;
}

// One MQTT packet: fixed header byte, remaining length, body. Nullopt on failure.
struct RawPacket {
    unsigned char type = 0;
    std::string body;
};
inline std::optional<RawPacket> sslReadPacket(SSL* ssl) {
    std::string byte;
    if (!sslReadExact(ssl, byte, 1)) return std::nullopt;
    RawPacket packet;
    packet.type = static_cast<unsigned char>(byte[0]);
    std::size_t length = 0;
    for (int shift = 0; shift < 28; shift += 7) {
        if (!sslReadExact(ssl, byte, 1)) return std::nullopt;
        length |= static_cast<std::size_t>(byte[0] & 0x7f) << shift;
        if ((byte[0] & 0x80) == 0) break;
    }
    if (!sslReadExact(ssl, packet.body, length)) return std::nullopt;
    return packet;
}

inline bool sslWriteAll(SSL* ssl, const std::string& bytes) {
    return SSL_write(ssl, bytes.data(), static_cast<int>(bytes.size())) == static_cast<int>(bytes.size());
}

// A QoS 0 PUBLISH, written out by hand (topic and payload each shorter than 100 bytes).
inline std::string publishPacket(const std::string& topic, const std::string& payload) {
    std::string p;
    p += '\x30';
    p += static_cast<char>(2 + topic.size() + payload.size());
    p += '\0';
    p += static_cast<char>(topic.size());
    return p + topic + payload;
}

// Also makes the socket blocking: the transport leaves its sockets non-blocking.
inline void setReceiveTimeout(int fd, int seconds) {
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL, 0) & ~O_NONBLOCK);
    timeval tv{};
    tv.tv_sec = seconds;
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
}

// Accepts one TLS connection on 127.0.0.1 and runs `script` on it on its own thread, then closes it.
// The script gets the handshaken SSL object, its socket and a flag that is set when the test is
// done with the server (a script that should stay quiet waits for it). SIGPIPE is blocked on this
// thread only, so the server's own writes to a vanished client never kill the test process while
// the test's thread keeps the default disposition.
class TlsTestServer {
public:
    using Script = std::function<void(SSL* ssl, int fd, const std::atomic<bool>& stopping)>;

    // certPem empty: a pre-shared-key server that accepts any identity with kTestPskKey.
    TlsTestServer(const std::string& certPem, const std::string& keyPem, Script script)
        : script_(std::move(script)) {
        if (!listener_.ok()) return;
        ctx_ = SSL_CTX_new(TLS_server_method());
        if (ctx_ == nullptr) return;
        if (certPem.empty()) {
            SSL_CTX_set_psk_server_callback(ctx_, pskServerCallback);
            SSL_CTX_set_cipher_list(ctx_, "PSK");
        } else if (SSL_CTX_use_certificate_chain_file(ctx_, certPem.c_str()) != 1 ||
                   SSL_CTX_use_PrivateKey_file(ctx_, keyPem.c_str(), SSL_FILETYPE_PEM) != 1) {
            return;
        }
        thread_ = std::thread([this] { serve(); });
    }
    ~TlsTestServer() {
        stopping_ = true;
        if (thread_.joinable()) thread_.join();
        if (ctx_ != nullptr) SSL_CTX_free(ctx_);
    }
    TlsTestServer(const TlsTestServer&) = delete;
    TlsTestServer& operator=(const TlsTestServer&) = delete;

    bool listening() const { return thread_.joinable(); }
    std::string portText() const { return listener_.portText(); }
    bool handshakeDone() const { return handshakeDone_; }
    bool scriptDone() const { return scriptDone_; }
    // The server name the client sent, once the handshake is done; empty when none.
    std::string serverName() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return serverName_;
    }
    std::string pskIdentity() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return pskIdentity_;
    }

    static constexpr unsigned char kTestPskKey[] = {0xde, 0xad, 0xbe, 0xef, 0x01, 0x02};

private:
    void serve() {
        sigset_t pipe;
        sigemptyset(&pipe);
        sigaddset(&pipe, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
        int fd = -1;
        while (!stopping_ && fd < 0) {
            pollfd p{listener_.fd(), POLLIN, 0};
            if (poll(&p, 1, 50) > 0) fd = accept(listener_.fd(), nullptr, nullptr);
        }
        if (fd < 0) return;
        setReceiveTimeout(fd, 30);
        SSL* ssl = SSL_new(ctx_);
        SSL_set_fd(ssl, fd);
        SSL_set_app_data(ssl, this);
        if (SSL_accept(ssl) == 1) {
            {
                std::lock_guard<std::mutex> lock(mutex_);
                const char* name = SSL_get_servername(ssl, TLSEXT_NAMETYPE_host_name);
                serverName_ = name != nullptr ? name : "";
            }
            handshakeDone_ = true;
            script_(ssl, fd, stopping_);
        }
        scriptDone_ = true;
        SSL_free(ssl);
        ::close(fd);
        ERR_clear_error();
    }

    static unsigned int pskServerCallback(SSL* ssl, const char* identity, unsigned char* psk,
                                          unsigned int maxPsk) {
        if (auto* self = static_cast<TlsTestServer*>(SSL_get_app_data(ssl))) {
            std::lock_guard<std::mutex> lock(self->mutex_);
            self->pskIdentity_ = identity != nullptr ? identity : "";
        }
        if (maxPsk < sizeof kTestPskKey) return 0;
        std::memcpy(psk, kTestPskKey, sizeof kTestPskKey);
        return sizeof kTestPskKey;
    }

    Script script_;
    mutable std::mutex mutex_;
    std::string serverName_;
    std::string pskIdentity_;
    LoopbackListener listener_;
    SSL_CTX* ctx_ = nullptr;
    std::atomic<bool> stopping_{false};
    std::atomic<bool> handshakeDone_{false};
    std::atomic<bool> scriptDone_{false};
    std::thread thread_;
};

// Descriptors this process has open: a failed connect must leave none behind.
inline int openFdCount() {
    DIR* dir = opendir("/proc/self/fd");
    if (dir == nullptr) return -1;
    int n = 0;
    while (readdir(dir) != nullptr) ++n;
    closedir(dir);
    return n;
}

// Waits until `stopping` is set (or a minute passed): a peer that stays connected and quiet.
inline void stayQuiet(const std::atomic<bool>& stopping) {
    waitUntil([&] { return stopping.load(); }, std::chrono::minutes(1));
}

}  // namespace vchat::testing
