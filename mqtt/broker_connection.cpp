#include "mqtt/broker_connection.h"

#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <openssl/err.h>

#include <cerrno>
#include <chrono>
#include <climits>

namespace vchat {

namespace {

using Clock = std::chrono::steady_clock;

int msLeft(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(std::min<long long>(left, INT_MAX)) : 0;
}

// poll on one descriptor until `events` or the deadline; retries after signals.
// Returns the revents, 0 on time-out, -1 on error.
int pollUntil(int fd, short events, Clock::time_point deadline) {
    for (;;) {
        pollfd p{fd, events, 0};
        const int n = ::poll(&p, 1, msLeft(deadline));
        if (n > 0) return p.revents;
        if (n == 0) return 0;
        if (errno != EINTR) return -1;
    }
}

bool connectOne(int fd, const addrinfo* ai) {
    if (::connect(fd, ai->ai_addr, ai->ai_addrlen) == 0) return true;
    if (errno != EINPROGRESS && errno != EINTR) return false;
    const int revents = pollUntil(fd, POLLOUT, Clock::now() + std::chrono::seconds(kConnectTimeoutSec));
    if (revents <= 0) return false;
    int pending = 0;
    socklen_t len = sizeof pending;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &pending, &len) != 0) return false;
    return pending == 0;
}

bool sendPlain(int fd, const char* data, std::size_t size) {
    auto deadline = Clock::now() + std::chrono::milliseconds(kSendStallTimeoutMs);
    while (size > 0) {
        const ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
        if (n > 0) {
            data += n;
            size -= static_cast<std::size_t>(n);
            deadline = Clock::now() + std::chrono::milliseconds(kSendStallTimeoutMs);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            const int revents = pollUntil(fd, POLLOUT, deadline);
            if (revents <= 0 || (revents & (POLLERR | POLLNVAL))) return false;
            continue;
        }
        return false;
    }
    return true;
}

bool sendTls(BrokerConnection& conn, const char* data, std::size_t size) {
    auto deadline = Clock::now() + std::chrono::milliseconds(kSendStallTimeoutMs);
    while (size > 0) {
        const int chunk = static_cast<int>(std::min<std::size_t>(size, INT_MAX));
        ERR_clear_error();
        const int n = SSL_write(conn.ssl.get(), data, chunk);
        if (n > 0) {
            data += n;
            size -= static_cast<std::size_t>(n);
            deadline = Clock::now() + std::chrono::milliseconds(kSendStallTimeoutMs);
            continue;
        }
        // The same buffer is offered again after a retry, as the TLS library requires.
        const int err = SSL_get_error(conn.ssl.get(), n);
        short events = 0;
        if (err == SSL_ERROR_WANT_WRITE) events = POLLOUT;
        else if (err == SSL_ERROR_WANT_READ) events = POLLIN;
        else if (err == SSL_ERROR_SYSCALL && errno == EINTR) continue;
        else return false;
        const int revents = pollUntil(conn.sock.get(), events, deadline);
        if (revents <= 0 || (revents & POLLNVAL)) return false;
    }
    return true;
}

}  // namespace

SocketFd& SocketFd::operator=(SocketFd&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
}

void SocketFd::reset(int fd) {
    if (fd_ >= 0 && fd_ != fd) ::close(fd_);
    fd_ = fd;
}

int tcpConnect(const std::string& host, const std::string& port) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    if (::getaddrinfo(host.c_str(), port.c_str(), &hints, &list) != 0 || list == nullptr) return -1;

    int result = -1;
    for (const addrinfo* ai = list; ai != nullptr && result < 0; ai = ai->ai_next) {
        SocketFd fd(::socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC, ai->ai_protocol));
        if (!fd.valid() || !setBlocking(fd.get(), false)) continue;
        if (connectOne(fd.get(), ai)) result = fd.release();
    }
    ::freeaddrinfo(list);
    return result;
}

bool setBlocking(int fd, bool blocking) {
    const int flags = ::fcntl(fd, F_GETFL, 0);
    if (flags < 0) return false;
    const int wanted = blocking ? (flags & ~O_NONBLOCK) : (flags | O_NONBLOCK);
    return wanted == flags || ::fcntl(fd, F_SETFL, wanted) == 0;
}

bool setIoTimeouts(int fd, int timeoutMs) {
    timeval tv{};
    tv.tv_sec = timeoutMs / 1000;
    tv.tv_usec = (timeoutMs % 1000) * 1000;
    return ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) == 0 &&
           ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv) == 0;
}

bool sendRaw(BrokerConnection& conn, const std::string& bytes) {
    if (!conn.sock.valid()) return false;
    if (conn.tls) return conn.ssl != nullptr && sendTls(conn, bytes.data(), bytes.size());
    return sendPlain(conn.sock.get(), bytes.data(), bytes.size());
}

IoResult recvSome(BrokerConnection& conn, char* dst, std::size_t n) {
    if (!conn.sock.valid()) return {IoStatus::Error, 0};
    if (conn.tls) {
        if (!conn.ssl) return {IoStatus::Error, 0};
        for (;;) {
            ERR_clear_error();
            const int got = SSL_read(conn.ssl.get(), dst, static_cast<int>(std::min<std::size_t>(n, INT_MAX)));
            if (got > 0) return {IoStatus::Ok, static_cast<std::size_t>(got)};
            const int err = SSL_get_error(conn.ssl.get(), got);
            if (err == SSL_ERROR_WANT_READ || err == SSL_ERROR_WANT_WRITE) return {IoStatus::Timeout, 0};
            if (err == SSL_ERROR_ZERO_RETURN) return {IoStatus::Closed, 0};
            if (err == SSL_ERROR_SYSCALL && errno == EINTR) continue;
            return {IoStatus::Error, 0};
        }
    }
    for (;;) {
        const ssize_t got = ::recv(conn.sock.get(), dst, n, 0);
        if (got > 0) return {IoStatus::Ok, static_cast<std::size_t>(got)};
        if (got == 0) return {IoStatus::Closed, 0};
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return {IoStatus::Timeout, 0};
        return {IoStatus::Error, 0};
    }
}

IoResult waitReadable(BrokerConnection& conn, int timeoutMs) {
    if (!conn.sock.valid()) return {IoStatus::Error, 0};
    // Bytes the TLS library already took off the socket never make the socket readable again.
    if (conn.tls && conn.ssl && SSL_has_pending(conn.ssl.get())) return {IoStatus::Ok, 0};
    const int revents =
        pollUntil(conn.sock.get(), POLLIN, Clock::now() + std::chrono::milliseconds(timeoutMs));
    if (revents == 0) return {IoStatus::Timeout, 0};
    if (revents < 0 || (revents & POLLNVAL)) return {IoStatus::Error, 0};
    // Hang-up and error also count as ready: the read that follows tells closed from broken.
    return {IoStatus::Ok, 0};
}

void closeConnection(BrokerConnection& conn) {
    if (conn.ssl) {
        // One close_notify, without waiting for the broker's; a dead peer only makes it fail.
        if (SSL_is_init_finished(conn.ssl.get())) SSL_shutdown(conn.ssl.get());
        ERR_clear_error();
        conn.ssl.reset();
    }
    conn.sslCtx.reset();
    conn.sock.reset();
    conn.tls = false;
}

}  // namespace vchat
