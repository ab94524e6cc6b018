// A scripted broker on 127.0.0.1 that takes one client over plain TCP or TLS (a certificate, or a
// pre-shared key) and expects and sends exact bytes, and MQTT bytes written out independently of
// the code under test.
#pragma once

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "mqtt/broker_connection.h"
#include "mqtt/sockets.h"
#include "tests/support/loopback.h"
#include "tests/support/test_support.h"

namespace vchat::testing {

inline std::string u16(std::size_t n) { return {static_cast<char>((n >> 8) & 0xFF), static_cast<char>(n & 0xFF)}; }

inline std::string remainingLength(std::size_t n) {
    std::string out;
    for (; n >= 128; n /= 128) out.push_back(static_cast<char>(n % 128 | 0x80));
    return out + static_cast<char>(n);
}

inline std::string publishBytes(const std::string& topic, const std::string& payload) {
    const std::string rest = u16(topic.size()) + topic + payload;
    return "\x30" + remainingLength(rest.size()) + rest;
}

// Broker addresses that cannot be reached, each for another reason.
struct Unreachable {
    const char* what;
    std::string host, port;
};
inline std::vector<Unreachable> unreachableBrokers() {
    return {{"connection refused", "127.0.0.1", std::to_string(freeTcpPort())},
            {"name that does not resolve", "broker.invalid", "1883"},
            {"port text that is no number", "127.0.0.1", "18x3"},
            {"empty port", "127.0.0.1", ""}};
}

inline const std::string kConnackAccepted("\x20\x02\x00\x00", 4);
inline const std::string kDisconnect("\xE0\x00", 2);

class FakeBroker {
public:
    enum class Tls { None, Certificate, PreSharedKey };
    // Certificate mode serves certPem/keyPem; pre-shared-key mode takes any identity with the key
    // deadbeef0102.
    explicit FakeBroker(Tls tls = Tls::None, const std::string& certPem = "", const std::string& keyPem = "")
        : tls_(tls) {
        if (tls == Tls::None || !listener_.ok()) return;
        ctx_.reset(SSL_CTX_new(TLS_server_method()));
        if (ctx_ && tls == Tls::PreSharedKey) {
            SSL_CTX_set_psk_server_callback(ctx_.get(), pskCallback);
            SSL_CTX_set_cipher_list(ctx_.get(), "PSK");
        } else if (ctx_ && (SSL_CTX_use_certificate_chain_file(ctx_.get(), certPem.c_str()) != 1 ||
                            SSL_CTX_use_PrivateKey_file(ctx_.get(), keyPem.c_str(), SSL_FILETYPE_PEM) != 1)) {
            ctx_.reset();
        }
    }
    ~FakeBroker() {
        stopping_ = true;
        if (thread_.joinable()) thread_.join();
        closeClient();
    }

    bool listening() const { return listener_.ok() && (tls_ == Tls::None || ctx_ != nullptr); }
    // Over TLS: the protocol versions it accepts (TLS1_2_VERSION and so on). Before serve or accept.
    bool limitVersions(int minVersion, int maxVersion) {
        return ctx_ != nullptr && SSL_CTX_set_min_proto_version(ctx_.get(), minVersion) == 1 &&
               SSL_CTX_set_max_proto_version(ctx_.get(), maxVersion) == 1;
    }
    std::string port() const { return listener_.portText(); }

    // Takes the client and, over TLS, completes the handshake.
    bool accept(std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        if (waitSocket(listener_.fd(), WaitFor::Read, SteadyClock::now() + timeout, nullptr) != WaitResult::Ready) return false;
        client_.reset(::accept4(listener_.fd(), nullptr, nullptr, SOCK_CLOEXEC));
        if (!client_.valid() || tls_ == Tls::None) return client_.valid();
        // Blocking, with a bound on every read: the handshake and each read below wait at most that.
        timeval tv{30, 0};
        setsockopt(client_.get(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        ssl_ = SSL_new(ctx_.get());
        SSL_set_fd(ssl_, client_.get());
        SSL_set_app_data(ssl_, this);
        if (SSL_accept(ssl_) != 1) return false;
        const char* name = SSL_get_servername(ssl_, TLSEXT_NAMETYPE_host_name);
        serverName_ = name != nullptr ? name : "";
        handshakeDone_ = true;   // publishes serverName_ and pskIdentity_ to the test's thread
        return true;
    }

    // Up to n bytes, fewer when the time-out passes or the client closes first.
    std::string read(std::size_t n, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        std::string out;
        const Deadline deadline = SteadyClock::now() + timeout;
        while (out.size() < n && client_.valid()) {
            const bool held = ssl_ != nullptr && SSL_pending(ssl_) > 0;   // decrypted already, not in the socket
            if (!held && waitSocket(client_.get(), WaitFor::Read, deadline, nullptr) != WaitResult::Ready) break;
            std::string buf(std::min<std::size_t>(n - out.size(), 1 << 16), '\0');
            const long got = ssl_ != nullptr ? SSL_read(ssl_, buf.data(), static_cast<int>(buf.size()))
                                             : ::recv(client_.get(), buf.data(), buf.size(), 0);
            clientClosed_ = got <= 0;
            if (clientClosed_) break;
            out.append(buf.data(), static_cast<std::size_t>(got));
        }
        return out;
    }

    // One whole packet as sent (fixed header included), or "" on time-out or close.
    std::string readPacket(std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        std::string packet = read(1, timeout);
        std::size_t length = 0;
        for (std::size_t multiplier = 1; !packet.empty() && packet.size() < 5; multiplier *= 128) {
            const std::string b = read(1, timeout);
            if (b.empty()) return "";
            packet += b;
            length += (static_cast<std::uint8_t>(b[0]) & 0x7F) * multiplier;
            if ((static_cast<std::uint8_t>(b[0]) & 0x80) == 0) break;
        }
        const std::string body = packet.empty() ? "" : read(length, timeout);
        return !packet.empty() && body.size() == length ? packet + body : "";
    }

    // True once the client has closed its end (reads until EOF, dropping what arrives).
    bool waitClientClosed(std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (!clientClosed_ && std::chrono::steady_clock::now() < deadline) read(1 << 16, std::chrono::milliseconds(100));
        return clientClosed_;
    }

    bool send(const std::string& bytes) {
        const long n = static_cast<long>(bytes.size());
        if (ssl_ != nullptr) return SSL_write(ssl_, bytes.data(), static_cast<int>(n)) == n;
        return ::send(client_.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL) == n;
    }

    // Sends `bytes` in one write (over TLS one record, up to 16 KiB) that reaches the client in
    // `pieces` parts, `gap` apart, as over a slow link.
    bool sendInPieces(const std::string& bytes, std::size_t pieces, std::chrono::milliseconds gap) {
        std::string wire = bytes;
        if (ssl_ != nullptr) {
            // The record is written into memory, then sent on the socket by hand.
            BIO* socketBio = SSL_get_wbio(ssl_);
            BIO* memory = BIO_new(BIO_s_mem());
            if (memory == nullptr || BIO_up_ref(socketBio) != 1) return false;
            SSL_set0_wbio(ssl_, memory);
            const bool written = SSL_write(ssl_, bytes.data(), static_cast<int>(bytes.size())) ==
                                 static_cast<int>(bytes.size());
            char* data = nullptr;
            const long size = BIO_get_mem_data(memory, &data);
            wire.assign(data, static_cast<std::size_t>(size > 0 ? size : 0));
            SSL_set0_wbio(ssl_, socketBio);   // frees the memory BIO
            if (!written) return false;
        }
        const std::size_t step = (wire.size() + pieces - 1) / pieces;
        for (std::size_t at = 0; at < wire.size(); at += step) {
            if (at > 0) std::this_thread::sleep_for(gap);
            const std::size_t n = std::min(step, wire.size() - at);
            if (::send(client_.get(), wire.data() + at, n, MSG_NOSIGNAL) != static_cast<long>(n)) return false;
        }
        return true;
    }

    void closeClient() {
        if (ssl_ != nullptr) SSL_free(ssl_);
        ssl_ = nullptr;
        client_.reset();
        ERR_clear_error();
    }

    // For a client that blocks in its handshake on the test's thread: accepts and runs `script` on
    // a thread of its own, then closes the connection. The destructor waits for the script; one
    // that should stay connected and quiet calls stayQuiet.
    void serve(std::function<void(FakeBroker&)> script) {
        thread_ = std::thread([this, script = std::move(script)] {
            // Only on this thread: a write to a vanished client must not end the test process, while
            // the test's own thread keeps the default disposition.
            sigset_t pipe;
            sigemptyset(&pipe);
            sigaddset(&pipe, SIGPIPE);
            pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
            bool accepted = false;
            while (!stopping_ && !client_.valid()) accepted = accept(std::chrono::milliseconds(50));
            if (accepted) script(*this);
            scriptDone_ = true;
            closeClient();
        });
    }
    void stayQuiet() {
        waitUntil([&] { return stopping_.load(); }, std::chrono::minutes(1));
    }
    bool handshakeDone() const { return handshakeDone_; }
    bool scriptDone() const { return scriptDone_; }
    // The server name and PSK identity the client sent (empty when none); read once handshakeDone.
    const std::string& serverName() const { return serverName_; }
    const std::string& pskIdentity() const { return pskIdentity_; }

private:
    static unsigned int pskCallback(SSL* ssl, const char* identity, unsigned char* psk, unsigned int maxPsk) {
        static constexpr unsigned char kKey[] = {0xde, 0xad, 0xbe, 0xef, 0x01, 0x02};
        static_cast<FakeBroker*>(SSL_get_app_data(ssl))->pskIdentity_ = identity != nullptr ? identity : "";
        if (maxPsk < sizeof kKey) return 0;
        std::memcpy(psk, kKey, sizeof kKey);
        return sizeof kKey;
    }

    Tls tls_;
    LoopbackListener listener_;
    SslCtxPtr ctx_;
    SSL* ssl_ = nullptr;   // not SslPtr: its deleter takes the app data slot for PSK credentials
    SocketFd client_;
    bool clientClosed_ = false;
    std::string serverName_, pskIdentity_;
    std::atomic<bool> stopping_{false};
    std::atomic<bool> handshakeDone_{false};
    std::atomic<bool> scriptDone_{false};
    std::thread thread_;
};

}  // namespace vchat::testing
