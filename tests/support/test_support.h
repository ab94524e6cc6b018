// Helpers shared by the tests: temporary directories, free loopback ports and a real mosquitto
// broker started on 127.0.0.1 with a config written to a temporary directory.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>

namespace vchat::testing {

// A fresh directory under the temporary folder ($TMPDIR or /tmp on POSIX), removed with everything in it when the object dies.
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
    // Kills the broker at once (SIGKILL), as a crash or a pulled cable would.
    void kill();
    // After kill: the same broker again, on the same port. False when it does not come up.
    bool restart();

private:
    Mosquitto() = default;
    bool launch();
    TempDir dir_;
    int port_ = 0;
    pid_t pid_ = -1;
};

// Runs a shell command, returns its exit status (or -1).
int runCommand(const std::string& command);

}  // namespace vchat::testing
