// Loopback TCP for the tests: listeners on 127.0.0.1 and free ports, on every platform.
#pragma once

#ifndef _WIN32
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#endif

#include <string>

#include "mqtt/broker_connection.h"
#include "mqtt/sockets.h"

namespace vchat::testing {

// A listening TCP socket on 127.0.0.1 at a port the kernel picks; closed when the object dies.
// Nothing accepts on it unless the test does.
class LoopbackListener {
public:
    explicit LoopbackListener(int backlog = 4) {
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        if (bind(fd(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 && listen(fd(), backlog) == 0 &&
            getsockname(fd(), reinterpret_cast<sockaddr*>(&addr), &len) == 0) {
            port_ = ntohs(addr.sin_port);
        }
    }
    bool ok() const { return port_ > 0; }   // bound and listening
    int fd() const { return fd_.get(); }
    int port() const { return port_; }
    std::string portText() const { return std::to_string(port_); }

private:
    SocketFd fd_{(startSockets(), openStreamSocket(AF_INET, SOCK_STREAM, 0))};
    int port_ = 0;
};

// A TCP port on 127.0.0.1 that was free a moment ago.
inline int freeTcpPort() {
    const LoopbackListener probe(1);
    return probe.ok() ? probe.port() : -1;
}

// True when a TCP connection to host:port is taken (a broker up, or still up).
inline bool accepts(const std::string& host, const std::string& port) {
    const int fd = tcpConnect(host, port);
    if (fd >= 0) closeSocket(fd);
    return fd >= 0;
}

}  // namespace vchat::testing
