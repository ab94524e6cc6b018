// Helpers shared by the tests: temporary directories, free loopback ports, waiting, files and a
// real mosquitto broker started on 127.0.0.1 with a config written to a temporary directory.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "tests/support/process.h"

namespace vchat::testing {

// A fresh directory under $TMPDIR (or /tmp), removed with everything in it when the object dies.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// A TCP port on 127.0.0.1 that was free a moment ago.
int freeTcpPort();

// A listening TCP socket on 127.0.0.1 at a port the kernel picks; closed when the object dies.
// Nothing accepts on it unless the test does.
class LoopbackListener {
public:
    explicit LoopbackListener(int backlog = 4);
    ~LoopbackListener();
    LoopbackListener(const LoopbackListener&) = delete;
    LoopbackListener& operator=(const LoopbackListener&) = delete;

    bool ok() const { return port_ > 0; }   // bound and listening
    int fd() const { return fd_; }
    int port() const { return port_; }
    std::string portText() const { return std::to_string(port_); }

private:
    int fd_ = -1;
    int port_ = 0;
};
// True once something accepts TCP connections on 127.0.0.1:port.
bool waitForPort(int port, std::chrono::milliseconds timeout);
// Polls `done` until it holds or the time-out passes; returns its last answer.
bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout);
void writeFile(const std::string& path, const std::string& bytes);
std::string readFile(const std::string& path);

// A mosquitto process on 127.0.0.1 and a free port. `extraConfig` is appended to the listener line,
// so it can carry allow_anonymous, password_file, cafile/certfile/keyfile, psk_hint and so on.
// Every broker line of output lands in logPath().
class Mosquitto {
public:
    static std::unique_ptr<Mosquitto> start(const std::string& extraConfig = "allow_anonymous true\n");
    ~Mosquitto();
    Mosquitto(const Mosquitto&) = delete;
    Mosquitto& operator=(const Mosquitto&) = delete;

    int port() const { return port_; }
    std::string portText() const { return std::to_string(port_); }
    const std::string& dir() const { return dir_.path(); }
    std::string logPath() const { return dir_.file("mosquitto.log"); }
    std::string log() const { return readFile(logPath()); }
    // Waits until `text` stands at least `count` times in the broker's log.
    bool waitForLog(const std::string& text, int count = 1,
                    std::chrono::milliseconds timeout = std::chrono::seconds(20)) const;
    // Kills the broker at once (SIGKILL), as a crash or a pulled cable would.
    void kill() { process_.stop(SIGKILL); }

private:
    Mosquitto() = default;
    TempDir dir_;
    int port_ = 0;
    Child process_;
};

// The broker lines of a listener that takes a pre-shared key from `pskFile` ("identity:hex" lines).
inline std::string pskListenerConfig(const std::string& pskFile, const std::string& hint = "vchat-broker") {
    return "allow_anonymous true\npsk_hint " + hint + "\npsk_file " + pskFile + "\n";
}

}  // namespace vchat::testing
