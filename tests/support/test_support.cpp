#include "tests/support/test_support.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <stdexcept>
#include <thread>

namespace vchat::testing {

int freeTcpPort() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return -1;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    socklen_t len = sizeof addr;
    int port = -1;
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0) {
        port = ntohs(addr.sin_port);
    }
    ::close(fd);
    return port;
}

LoopbackListener::LoopbackListener(int backlog) {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) return;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 && listen(fd_, backlog) == 0 &&
        getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len) == 0) {
        port_ = ntohs(addr.sin_port);
    }
}

LoopbackListener::~LoopbackListener() {
    if (fd_ >= 0) ::close(fd_);
}

bool waitForPort(int port, std::chrono::milliseconds timeout) {
    return waitUntil(
        [port] {
            int fd = socket(AF_INET, SOCK_STREAM, 0);
            if (fd < 0) return false;
            sockaddr_in addr{};
            addr.sin_family = AF_INET;
            addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            addr.sin_port = htons(static_cast<uint16_t>(port));
            bool ok = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
            ::close(fd);
            return ok;
        },
        timeout);
}

std::unique_ptr<Mosquitto> Mosquitto::start(const std::string& extraConfig) {
    std::unique_ptr<Mosquitto> m(new Mosquitto());
    // A port can be taken between the probe and the broker's bind: try a few.
    for (int attempt = 0; attempt < 5; ++attempt) {
        m->port_ = freeTcpPort();
        writeFile(m->dir_.file("mosquitto.conf"),
                  "per_listener_settings false\npersistence false\nlog_dest stderr\n"
                  "log_type all\nuser root\n"
                  "listener " + std::to_string(m->port_) + " 127.0.0.1\n" + extraConfig);
        if (m->launch()) return m;
        m->kill();
    }
    return nullptr;
}

bool Mosquitto::restart() {
    kill();
    return launch();
}

bool Mosquitto::launch() {
    const std::string conf = dir_.file("mosquitto.conf");
    const std::string log = logPath();
    const pid_t pid = fork();
    if (pid < 0) return false;
    if (pid == 0) {
        FILE* f = std::freopen(log.c_str(), "a", stderr);
        (void)f;
        execlp("mosquitto", "mosquitto", "-c", conf.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    pid_ = pid;
    return waitForPort(port_, std::chrono::seconds(5));
}

void Mosquitto::kill() {
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        int status = 0;
        waitpid(pid_, &status, 0);
        pid_ = -1;
    }
}

Mosquitto::~Mosquitto() {
    if (pid_ <= 0) return;
    // A broker still starting up can miss SIGTERM (it sets up its loop after the handler): after a
    // grace period it is killed outright rather than waited for forever.
    ::kill(pid_, SIGTERM);
    int status = 0;
    if (!waitUntil([&] { return waitpid(pid_, &status, WNOHANG) == pid_; }, std::chrono::seconds(5))) {
        kill();
    }
}

int runCommand(const std::string& command) {
    int status = std::system(command.c_str());
    if (status == -1 || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

}  // namespace vchat::testing
