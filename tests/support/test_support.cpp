#include "tests/support/test_support.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace vchat::testing {

TempDir::TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/vchat-test-XXXXXX";
    if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

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

bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        if (done()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return done();
}

void writeFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
    if (!out) throw std::runtime_error("cannot write " + path);
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

std::unique_ptr<Mosquitto> Mosquitto::start(const std::string& extraConfig) {
    std::unique_ptr<Mosquitto> m(new Mosquitto());
    // A port can be taken between the probe and the broker's bind: try a few.
    for (int attempt = 0; attempt < 5; ++attempt) {
        m->port_ = freeTcpPort();
        const std::string conf = m->dir_.file("mosquitto.conf");
        writeFile(conf, "per_listener_settings false\npersistence false\nlog_dest stderr\n"
                        "log_type all\nuser root\n"
                        "listener " + std::to_string(m->port_) + " 127.0.0.1\n" + extraConfig);
        if (!m->process_.start({{"mosquitto", "-c", conf}, "", {}, m->logPath()})) return nullptr;
        if (waitForPort(m->port_, std::chrono::seconds(5))) return m;
        m->kill();
    }
    return nullptr;
}

Mosquitto::~Mosquitto() { process_.stop(SIGTERM); }

bool Mosquitto::waitForLog(const std::string& text, int count, std::chrono::milliseconds timeout) const {
    return waitUntil(
        [&] {
            const std::string all = log();
            int seen = 0;
            for (std::size_t p = all.find(text); p != std::string::npos && seen < count; p = all.find(text, p + 1)) ++seen;
            return seen >= count;
        },
        timeout);
}

}  // namespace vchat::testing
