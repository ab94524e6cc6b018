// Loopback TCP for the tests: listeners on 127.0.0.1, free ports, waiting for a port to accept.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <string>

#include "tests/support/test_support.h"

namespace vchat::testing {

inline sockaddr_in loopback(int port) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<std::uint16_t>(port));
    return addr;
}

// A listening TCP socket on 127.0.0.1 at a port the kernel picks; closed when the object dies.
// Nothing accepts on it unless the test does.
class LoopbackListener {
public:
    explicit LoopbackListener(int backlog = 4) {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr = loopback(0);
        socklen_t len = sizeof addr;
        if (fd_ >= 0 && bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 && listen(fd_, backlog) == 0 &&
            getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len) == 0) {
            port_ = ntohs(addr.sin_port);
        }
    }
    ~LoopbackListener() {
        if (fd_ >= 0) ::close(fd_);
    }
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

// A TCP port on 127.0.0.1 that was free a moment ago.
inline int freeTcpPort() {
    const LoopbackListener probe(1);
    return probe.ok() ? probe.port() : -1;
}

// True once something accepts TCP connections on 127.0.0.1:port.
inline bool waitForPort(int port, std::chrono::milliseconds timeout) {
    return waitUntil(
        [port] {
            const int fd = socket(AF_INET, SOCK_STREAM, 0);
            const sockaddr_in addr = loopback(port);
            const bool ok = fd >= 0 && connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0;
            if (fd >= 0) ::close(fd);
            return ok;
        },
        timeout);
}

}  // namespace vchat::testing
