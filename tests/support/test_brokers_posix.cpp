#include "tests/support/test_brokers.h"

#include "tests/support/mosquitto.h"
#include "tests/support/test_certs.h"

namespace vchat::testing {

namespace {
constexpr char kPskIdentity[] = "vchat-node";
constexpr char kPskKeyHex[] = "00112233445566778899aabbccddeeff";
}  // namespace

struct TestBroker::Parts {
    TempDir dir;
    std::unique_ptr<TestCerts> certs;
    std::unique_ptr<Mosquitto> mosquitto;
};

TestBroker::TestBroker(std::unique_ptr<Parts> parts, MqttConfig config)
    : parts_(std::move(parts)), config_(std::move(config)) {}

TestBroker::~TestBroker() = default;

std::unique_ptr<TestBroker> TestBroker::open(BrokerKind kind, std::string& why) {
    auto parts = std::make_unique<Parts>();
    MqttConfig config;
    config.host = "127.0.0.1";
    config.rootTopic = "msh/EU";
    std::string listener = "allow_anonymous true\n";
    switch (kind) {
    case BrokerKind::Plain:
    case BrokerKind::Killable:
        break;
    case BrokerKind::Password: {
        const std::string passwd = parts->dir.file("passwd");
        if (runCommand("mosquitto_passwd -c -b " + passwd + " " + kBrokerUser + " '" + kBrokerPassword + "'") != 0) {
            why = "mosquitto_passwd failed";
            return nullptr;
        }
        listener = "allow_anonymous false\npassword_file " + passwd + "\n";
        config.user = kBrokerUser;
        config.password = kBrokerPassword;
        break;
    }
    case BrokerKind::TlsCertificate:
        parts->certs = std::make_unique<TestCerts>();
        if (!parts->certs->ok) {
            why = "the openssl command could not make the test certificates";
            return nullptr;
        }
        listener = tlsListenerConfig(parts->certs->pem("server"), parts->certs->key("server"), parts->certs->pem("ca"));
        config.useTls = true;
        config.caPath = parts->certs->pem("ca");
        break;
    case BrokerKind::TlsPsk:
        writeFile(parts->dir.file("psk"), std::string(kPskIdentity) + ":" + kPskKeyHex + "\n");
        listener = pskListenerConfig(parts->dir.file("psk"));
        config.useTls = true;
        config.tlsPsk = true;
        config.pskIdentity = kPskIdentity;
        config.pskKeyHex = kPskKeyHex;
        break;
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

}  // namespace vchat::testing
