// The brokers of test_brokers.h. On Linux each is a mosquitto started here; under wine they are the
// ones scripts/test-windows started and named in the environment. What logging in to each kind
// takes is the same on both.
#include "tests/support/test_brokers.h"

#ifdef _WIN32
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>

#include "tests/support/loopback.h"
#include "tests/support/test_support.h"
#endif

namespace vchat::testing {

std::unique_ptr<TestBroker> TestBroker::open(BrokerKind kind, std::string& why) {
    std::unique_ptr<TestBroker> b(new TestBroker());
    MqttConfig& config = b->config_;
    config.host = "127.0.0.1";
    config.rootTopic = "msh/EU";
    config.useTls = kind == BrokerKind::TlsCertificate || kind == BrokerKind::TlsPsk;
    config.tlsPsk = kind == BrokerKind::TlsPsk;
    if (kind == BrokerKind::Password) {
        config.user = kBrokerUser;
        config.password = kBrokerPassword;
    }
#ifdef _WIN32
    const auto env = [](const std::string& name) {
        const char* value = std::getenv(name.c_str());
        return std::string(value != nullptr ? value : "");
    };
    // scripts/test-windows gives each broker VCHAT_WINE_<NAME>_PORT and its log <name>.log in
    // VCHAT_WINE_BROKER_DIR.
    static constexpr const char* kNames[] = {"plain", "password", "tls", "psk", "loss"};
    b->name_ = kNames[static_cast<int>(kind)];
    b->dir_ = env("VCHAT_WINE_BROKER_DIR");
    std::string portVariable = b->name_;
    std::transform(portVariable.begin(), portVariable.end(), portVariable.begin(), [](unsigned char c) { return std::toupper(c); });
    portVariable = "VCHAT_WINE_" + portVariable + "_PORT";
    config.port = env(portVariable);
    if (config.port.empty() || b->dir_.empty()) {
        why = portVariable + " or VCHAT_WINE_BROKER_DIR is not set: run this through scripts/test-windows";
        return nullptr;
    }
    if (kind == BrokerKind::TlsCertificate) config.caPath = b->dir_ + "/ca.pem";
    if (kind == BrokerKind::TlsPsk) {
        config.pskIdentity = env("VCHAT_WINE_PSK_IDENTITY");
        config.pskKeyHex = env("VCHAT_WINE_PSK_KEY");
    }
#else
    std::string listener = "allow_anonymous true\n";
    if (kind == BrokerKind::Password) {
        const std::string passwd = b->dir_.file("passwd");
        if (runCommand("mosquitto_passwd -c -b " + passwd + " " + kBrokerUser + " '" + kBrokerPassword + "'") != 0) {
            why = "mosquitto_passwd failed";
            return nullptr;
        }
        listener = "allow_anonymous false\npassword_file " + passwd + "\n";
    } else if (kind == BrokerKind::TlsCertificate) {
        b->certs_ = std::make_unique<TestCerts>();
        if (!b->certs_->ok) {
            why = "the openssl command could not make the test certificates";
            return nullptr;
        }
        listener = tlsListenerConfig(b->certs_->pem("server"), b->certs_->key("server"), b->certs_->pem("ca"));
        config.caPath = b->certs_->pem("ca");
    } else if (kind == BrokerKind::TlsPsk) {
        config.pskIdentity = "vchat-node";
        config.pskKeyHex = "00112233445566778899aabbccddeeff";
        writeFile(b->dir_.file("psk"), config.pskIdentity + ":" + config.pskKeyHex + "\n");
        listener = pskListenerConfig(b->dir_.file("psk"));
    }
    b->mosquitto_ = Mosquitto::start(listener);
    if (!b->mosquitto_) {
        why = "mosquitto did not start";
        return nullptr;
    }
    config.port = b->mosquitto_->portText();
#endif
    return b;
}

#ifdef _WIN32
bool TestBroker::waitForLog(const std::string& text, std::chrono::milliseconds timeout) const {
    return waitForText(dir_ + "/" + name_ + ".log", text, 1, timeout);
}

bool TestBroker::kill() {
    // The script kills the broker when this file appears.
    std::FILE* request = std::fopen((dir_ + "/kill-" + name_).c_str(), "wb");
    if (request == nullptr) return false;
    std::fclose(request);
    return waitUntil([&] { return !accepts(config_.host, config_.port); }, std::chrono::seconds(10));
}
#else
bool TestBroker::waitForLog(const std::string& text, std::chrono::milliseconds timeout) const {
    return mosquitto_->waitForLog(text, 1, timeout);
}

bool TestBroker::kill() {
    mosquitto_->kill();
    return true;
}
#endif

}  // namespace vchat::testing
