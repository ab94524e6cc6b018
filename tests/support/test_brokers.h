// The brokers of the worker's tests that are built for Linux and for Windows alike: on Linux each
// is a mosquitto this helper starts on 127.0.0.1; the Windows build, run under wine by
// scripts/test-windows, uses the mosquitto brokers that script started and named in the environment.
// One source file (test_brokers.cpp): the settings of each kind are the same on both platforms.
#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "mesh/mqtt_config.h"
#ifndef _WIN32
#include "tests/support/mosquitto.h"
#include "tests/support/test_certs.h"
#endif

namespace vchat::testing {

// In this order: scripts/test-windows names the brokers after the kinds (test_brokers.cpp).
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

    // Settings that log in to it: host, port, root topic "msh/EU", and what the kind asks for
    // (credentials, the CA file, the pre-shared key).
    const MqttConfig& config() const { return config_; }
    // Waits until `text` stands in the broker's log.
    bool waitForLog(const std::string& text, std::chrono::milliseconds timeout) const;
    // Killable only: the broker goes away at once, as a crash would; true once it no longer accepts.
    bool kill();

private:
    TestBroker() = default;
    MqttConfig config_;
#ifdef _WIN32
    std::string name_, dir_;   // the broker's name; the folder of the logs, the CA and the kill requests
#else
    TempDir dir_;
    std::unique_ptr<TestCerts> certs_;
    std::unique_ptr<Mosquitto> mosquitto_;
#endif
};

}  // namespace vchat::testing
