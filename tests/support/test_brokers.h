// The brokers of the worker's tests that are built for Linux and for Windows alike: on Linux each
// is a mosquitto this helper starts on 127.0.0.1; the Windows build, run under wine by
// scripts/test-windows, uses the mosquitto brokers that script started and named in the environment.
// One source file (test_brokers.cpp): the settings of each kind are the same on both platforms.
#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "mesh/mqtt_config.h"

namespace vchat::testing {

enum class BrokerKind {
    Plain,            // anonymous, plain TCP
    Password,         // plain TCP; only kBrokerUser with kBrokerPassword
    TlsCertificate,   // TLS with a certificate for 127.0.0.1 from a test CA
    TlsPsk,           // TLS with a pre-shared key
    Killable,         // anonymous, plain TCP, and gone once kill is called
};

inline constexpr char kBrokerUser[] = "alice";
inline constexpr char kBrokerPassword[] = "s3cret pw";

class TestBroker {
public:
    // The broker of that kind, or null with the reason in `why`.
    static std::unique_ptr<TestBroker> open(BrokerKind kind, std::string& why);
    ~TestBroker();
    TestBroker(const TestBroker&) = delete;
    TestBroker& operator=(const TestBroker&) = delete;

    // Settings that log in to it: host, port, root topic "msh/EU", and what the kind asks for
    // (credentials, the CA file, the pre-shared key).
    const MqttConfig& config() const { return config_; }
    // Waits until `text` stands in the broker's log.
    bool waitForLog(const std::string& text, std::chrono::milliseconds timeout) const;
    // Killable only: the broker goes away at once, as a crash would; true once it no longer accepts.
    bool kill();

    struct Parts;   // what each platform keeps

private:
    TestBroker(std::unique_ptr<Parts> parts, MqttConfig config);
    std::unique_ptr<Parts> parts_;
    MqttConfig config_;
};

}  // namespace vchat::testing
