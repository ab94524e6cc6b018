// The brokers of test_brokers.h. On Linux each is a mosquitto started here; under wine they are the
// ones scripts/test-windows started and named in the environment. What logging in to each kind
// takes is the same on both.
#include "tests/support/test_brokers.h"

#ifdef _WIN32
#include <cstdio>
#include <cstdlib>

#include "mqtt/broker_connection.h"
#include "tests/support/test_support.h"
#else
#include "tests/support/mosquitto.h"
#include "tests/support/test_certs.h"
#endif

namespace vchat::testing {

namespace {

// Host, root topic, credentials and transport; each platform adds the port, the CA file and the key.
MqttConfig configFor(BrokerKind kind) {
    MqttConfig config;
    config.host = "127.0.0.1";
    config.rootTopic = "msh/EU";
    config.useTls = kind == BrokerKind::TlsCertificate || kind == BrokerKind::TlsPsk;
    config.tlsPsk = kind == BrokerKind::TlsPsk;
    if (kind == BrokerKind::Password) {
        config.user = kBrokerUser;
        config.password = kBrokerPassword;
    }
    return config;
}

#ifdef _WIN32
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
#else
constexpr char kPskIdentity[] = "vchat-node";
constexpr char kPskKeyHex[] = "00112233445566778899aabbccddeeff";
#endif

}  // namespace

#ifdef _WIN32
struct TestBroker::Parts {
    std::string name;
    std::string dir;   // the brokers' logs, the CA and the kill requests
};
#else
struct TestBroker::Parts {
    TempDir dir;
    std::unique_ptr<TestCerts> certs;
    std::unique_ptr<Mosquitto> mosquitto;
};
#endif

TestBroker::TestBroker(std::unique_ptr<Parts> parts, MqttConfig config)
    : parts_(std::move(parts)), config_(std::move(config)) {}

TestBroker::~TestBroker() = default;

#ifdef _WIN32
std::unique_ptr<TestBroker> TestBroker::open(BrokerKind kind, std::string& why) {
    auto parts = std::make_unique<Parts>();
    parts->name = brokerName(kind);
    parts->dir = env("VCHAT_WINE_BROKER_DIR");
    MqttConfig config = configFor(kind);
    const std::string portVariable = "VCHAT_WINE_" + upper(parts->name) + "_PORT";
    config.port = env(portVariable);
    if (config.port.empty() || parts->dir.empty()) {
        why = portVariable + " or VCHAT_WINE_BROKER_DIR is not set: run this through scripts/test-windows";
        return nullptr;
    }
    if (kind == BrokerKind::TlsCertificate) config.caPath = parts->dir + "/ca.pem";
    if (kind == BrokerKind::TlsPsk) {
        config.pskIdentity = env("VCHAT_WINE_PSK_IDENTITY");
        config.pskKeyHex = env("VCHAT_WINE_PSK_KEY");
    }
    return std::unique_ptr<TestBroker>(new TestBroker(std::move(parts), std::move(config)));
}

bool TestBroker::waitForLog(const std::string& text, std::chrono::milliseconds timeout) const {
    return waitForText(parts_->dir + "/" + parts_->name + ".log", text, 1, timeout);
}

bool TestBroker::kill() {
    // The script kills the broker when this file appears.
    std::FILE* request = std::fopen((parts_->dir + "/kill-" + parts_->name).c_str(), "wb");
    if (request == nullptr) return false;
    std::fclose(request);
    return waitUntil([&] {
        const int fd = tcpConnect(config_.host, config_.port);
        if (fd >= 0) closeSocket(fd);
        return fd < 0;
    }, std::chrono::seconds(10));
}
#else
std::unique_ptr<TestBroker> TestBroker::open(BrokerKind kind, std::string& why) {
    auto parts = std::make_unique<Parts>();
    MqttConfig config = configFor(kind);
    std::string listener = "allow_anonymous true\n";
    if (kind == BrokerKind::Password) {
        const std::string passwd = parts->dir.file("passwd");
        if (runCommand("mosquitto_passwd -c -b " + passwd + " " + kBrokerUser + " '" + kBrokerPassword + "'") != 0) {
            why = "mosquitto_passwd failed";
            return nullptr;
        }
        listener = "allow_anonymous false\npassword_file " + passwd + "\n";
    } else if (kind == BrokerKind::TlsCertificate) {
        parts->certs = std::make_unique<TestCerts>();
        if (!parts->certs->ok) {
            why = "the openssl command could not make the test certificates";
            return nullptr;
        }
        listener = tlsListenerConfig(parts->certs->pem("server"), parts->certs->key("server"), parts->certs->pem("ca"));
        config.caPath = parts->certs->pem("ca");
    } else if (kind == BrokerKind::TlsPsk) {
        writeFile(parts->dir.file("psk"), std::string(kPskIdentity) + ":" + kPskKeyHex + "\n");
        listener = pskListenerConfig(parts->dir.file("psk"));
        config.pskIdentity = kPskIdentity;
        config.pskKeyHex = kPskKeyHex;
    }
    parts->mosquitto = Mosquitto::start(listener);
    if (!parts->mosquitto) {
        why = "mosquitto did not start";
        return nullptr;
    }
    config.port = parts->mosquitto->portText();
    return std::unique_ptr<TestBroker>(new TestBroker(std::move(parts), std::move(config)));
}

bool TestBroker::waitForLog(const std::string& text, std::chrono::milliseconds timeout) const {
    return parts_->mosquitto->waitForLog(text, 1, timeout);
}

bool TestBroker::kill() {
    parts_->mosquitto->kill();
    return true;
}
#endif

}  // namespace vchat::testing
