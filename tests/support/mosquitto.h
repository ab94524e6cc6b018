// A real mosquitto broker for the tests, on 127.0.0.1 and a free port, with its configuration and
// log in a temporary directory.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "mqtt/broker_connection.h"
#include "mqtt/sockets.h"
#include "tests/support/loopback.h"
#include "tests/support/process.h"
#include "tests/support/test_support.h"

namespace vchat::testing {

class Mosquitto {
public:
    // `extraConfig` is appended to the listener line, so it can carry allow_anonymous,
    // password_file, cafile/certfile/keyfile, psk_hint and so on. `logTypes` is what the broker logs
    // (a benchmark's flood logged message by message would slow the broker down). `env` holds
    // "NAME=value" entries for the broker's environment (OPENSSL_CONF, say).
    static std::unique_ptr<Mosquitto> start(const std::string& extraConfig = "allow_anonymous true\n",
                                            const std::string& logTypes = "all",
                                            const std::vector<std::string>& env = {}) {
        std::unique_ptr<Mosquitto> m(new Mosquitto());
        m->env_ = env;
        // A port can be taken between the probe and the broker's bind: try a few.
        for (int attempt = 0; attempt < 5; ++attempt) {
            m->port_ = freeTcpPort();
            writeFile(m->dir_.file("mosquitto.conf"),
                      "per_listener_settings false\npersistence false\nlog_dest stderr\nlog_type " + logTypes +
                      "\nuser root\nlistener " + std::to_string(m->port_) + " 127.0.0.1\n" + extraConfig);
            if (m->restart()) return m;
        }
        return nullptr;
    }
    // After kill: the same broker again, on the same port. False when it does not come up. The log
    // goes on in the same file.
    bool restart() {
        kill();
        return process_.start({"mosquitto", "-c", dir_.file("mosquitto.conf")}, "", env_, dir_.file("mosquitto.log"), -1, true) &&
               waitUntil([&] { return accepts("127.0.0.1", portText()); }, std::chrono::seconds(5));
    }
    // A broker still starting up can miss SIGTERM (it sets up its loop after the handler): after a
    // grace period it is killed outright rather than waited for forever.
    ~Mosquitto() { process_.stop(SIGTERM, std::chrono::seconds(5)); }

    int port() const { return port_; }
    std::string portText() const { return std::to_string(port_); }
    // Every line the broker logs.
    std::string log() const { return readFile(dir_.file("mosquitto.log")); }
    // Waits until `text` stands at least `count` times in the broker's log.
    bool waitForLog(const std::string& text, int count = 1,
                    std::chrono::milliseconds timeout = std::chrono::seconds(20)) const {
        return waitForText(dir_.file("mosquitto.log"), text, count, timeout);
    }
    // Kills the broker at once (SIGKILL), as a crash or a pulled cable would.
    void kill() { process_.stop(SIGKILL); }

private:
    Mosquitto() = default;
    TempDir dir_;
    int port_ = 0;
    std::vector<std::string> env_;
    Child process_;
};

// The broker lines of a listener that takes a pre-shared key from `pskFile` ("identity:hex" lines).
inline std::string pskListenerConfig(const std::string& pskFile, const std::string& hint = "vchat-broker") {
    return "allow_anonymous true\npsk_hint " + hint + "\npsk_file " + pskFile + "\n";
}

}  // namespace vchat::testing
