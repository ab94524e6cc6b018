// A scripted broker on 127.0.0.1 that takes one client over plain TCP or TLS (a certificate, or a
// pre-shared key) and expects and sends exact bytes; MQTT bytes written out independently of the
// code under test; a CPU probe for the worker thread.
#pragma once

#include <openssl/ssl.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "tests/support/test_support.h"

namespace vchat::testing {

std::string u16(std::size_t n);   // big-endian two bytes
std::string remainingLength(std::size_t n);
// CONNECT as the broker expects it for one login attempt (level 4 is 3.1.1, 3 is 3.1).
std::string expectedConnect(int level, const std::string& clientId, const std::string& user,
                            const std::string& password);
std::string publishBytes(const std::string& topic, const std::string& payload);
// "korvane-" and 20 lowercase hexadecimal digits.
bool isClientId(const std::string& id);

inline const std::string kConnackAccepted("\x20\x02\x00\x00", 4);
inline const std::string kPingreq("\xC0\x00", 2);
inline const std::string kPingresp("\xD0\x00", 2);
inline const std::string kDisconnect("\xE0\x00", 2);

class FakeBroker {
public:
    enum class Tls { None, Certificate, PreSharedKey };
    // Certificate mode serves certPem/keyPem; pre-shared-key mode takes any identity with kTestPskKey.
    explicit FakeBroker(Tls tls = Tls::None, const std::string& certPem = "", const std::string& keyPem = "");
    ~FakeBroker();
    FakeBroker(const FakeBroker&) = delete;
    FakeBroker& operator=(const FakeBroker&) = delete;

    bool listening() const { return listener_.ok() && (tls_ == Tls::None || ctx_ != nullptr); }
    std::string port() const { return listener_.portText(); }

    // Takes the client and, over TLS, completes the handshake.
    bool accept(std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // Up to n bytes, fewer when the time-out passes or the client closes first.
    std::string read(std::size_t n, std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // One whole packet as sent (fixed header included), or "" on time-out or close.
    std::string readPacket(std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // True once the client has closed its end (reads until EOF, dropping what arrives).
    bool waitClientClosed(std::chrono::milliseconds timeout = std::chrono::seconds(10));
    bool send(const std::string& bytes);
    void closeClient();

    // For a client that blocks in its handshake on the test's thread: accepts and runs `script` on
    // a thread of its own, then closes the connection. The destructor waits for the script; one
    // that should stay connected and quiet calls stayQuiet.
    void serve(std::function<void(FakeBroker&)> script);
    void stayQuiet();
    bool handshakeDone() const { return handshakeDone_; }
    bool scriptDone() const { return scriptDone_; }
    // The server name and PSK identity the client sent; empty when none.
    std::string serverName() const;
    std::string pskIdentity() const;

    static constexpr unsigned char kTestPskKey[] = {0xde, 0xad, 0xbe, 0xef, 0x01, 0x02};

private:
    static unsigned int pskCallback(SSL* ssl, const char* identity, unsigned char* psk, unsigned int maxPsk);

    Tls tls_;
    LoopbackListener listener_;
    SSL_CTX* ctx_ = nullptr;
    SSL* ssl_ = nullptr;
    int client_ = -1;
    bool clientClosed_ = false;
    mutable std::mutex mutex_;
    std::string serverName_;
    std::string pskIdentity_;
    std::atomic<bool> stopping_{false};
    std::atomic<bool> handshakeDone_{false};
    std::atomic<bool> scriptDone_{false};
    std::thread thread_;
};

// CPU time (user + system) used so far by the thread of this process named `name`, or -1.
double threadCpuSeconds(const std::string& name);

}  // namespace vchat::testing
