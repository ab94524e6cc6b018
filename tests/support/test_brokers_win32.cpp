#include "tests/support/test_brokers.h"

#include <cstdio>
#include <cstdlib>

#include "mqtt/broker_connection.h"
#include "tests/support/test_support.h"

namespace vchat::testing {

namespace {

std::string env(const std::string& name) {
    const char* value = std::getenv(name.c_str());
    return value != nullptr ? value : "";
}

// The names scripts/test-windows gives each broker: VCHAT_WINE_<NAME>_PORT, its log <name>.log in
// VCHAT_WINE_BROKER_DIR.
const char* brokerName(BrokerKind kind) {
    switch (kind) {
    case BrokerKind::Plain: return "plain";
    case BrokerKind::Password: return "password";
    case BrokerKind::TlsCertificate: return "tls";
    case BrokerKind::TlsPsk: return "psk";
    case BrokerKind::Killable: return "loss";
    }
    return "";
}

std::string upper(std::string text) {
    for (char& c : text) c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
    return text;
}

}  // namespace

struct TestBroker::Parts {
    std::string name;
};

TestBroker::TestBroker(std::unique_ptr<Parts> parts, MqttConfig config)
    : parts_(std::move(parts)), config_(std::move(config)) {}

TestBroker::~TestBroker() = default;

std::unique_ptr<TestBroker> TestBroker::open(BrokerKind kind, std::string& why) {
    auto parts = std::make_unique<Parts>();
    parts->name = brokerName(kind);
    MqttConfig config;
    config.host = "127.0.0.1";
    config.rootTopic = "msh/EU";
    const std::string portVariable = "VCHAT_WINE_" + upper(parts->name) + "_PORT";
    config.port = env(portVariable);
    if (config.port.empty() || env("VCHAT_WINE_BROKER_DIR").empty()) {
        why = portVariable + " or VCHAT_WINE_BROKER_DIR is not set: run this through scripts/test-windows";
        return nullptr;
    }
    switch (kind) {
    case BrokerKind::Plain:
    case BrokerKind::Killable:
        break;
    case BrokerKind::Password:
        config.user = kBrokerUser;
        config.password = kBrokerPassword;
        break;
    case BrokerKind::TlsCertificate:
        config.useTls = true;
        config.caPath = env("VCHAT_WINE_BROKER_DIR") + "/ca.pem";
        break;
    case BrokerKind::TlsPsk:
        config.useTls = true;
        config.tlsPsk = true;
        config.pskIdentity = env("VCHAT_WINE_PSK_IDENTITY");
        config.pskKeyHex = env("VCHAT_WINE_PSK_KEY");
        break;
    }
    return std::unique_ptr<TestBroker>(new TestBroker(std::move(parts), std::move(config)));
}

bool TestBroker::waitForLog(const std::string& text, std::chrono::milliseconds timeout) const {
    return waitForText(env("VCHAT_WINE_BROKER_DIR") + "/" + parts_->name + ".log", text, 1, timeout);
}

bool TestBroker::kill() {
    // The script kills the broker when this file appears.
    std::FILE* request = std::fopen((env("VCHAT_WINE_BROKER_DIR") + "/kill-" + parts_->name).c_str(), "wb");
    if (request == nullptr) return false;
    std::fclose(request);
    return waitUntil([&] {
        const int fd = tcpConnect(config_.host, config_.port);
        if (fd >= 0) closeSocket(fd);
        return fd < 0;
    }, std::chrono::seconds(10));
}

}  // namespace vchat::testing
