#include "mqtt/broker_connection.h"

#include <openssl/err.h>

#include <climits>
#include <mutex>
#include <system_error>
#include <thread>

namespace vchat {

namespace {

// One name lookup on a thread of its own. Whoever finishes last (the lookup or the waiter that gave
// up) frees the address list.
struct LookupJob {
    std::string host;
    std::string port;
    AddressResolver resolve;
    StopSignal done;
    std::mutex mutex;
    bool finished = false;
    bool abandoned = false;
    int rc = EAI_FAIL;
    addrinfo* list = nullptr;
};

int callResolver(const AddressResolver& resolve, const std::string& host, const std::string& port,
                 addrinfo** list) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    if (resolve) return resolve(host.c_str(), port.c_str(), &hints, list);
    return ::getaddrinfo(host.c_str(), port.c_str(), &hints, list);
}

// The address list for host and port, or null. A raised stop returns null at once.
addrinfo* lookUp(const std::string& host, const std::string& port, const ConnectControl& control) {
    addrinfo* list = nullptr;
    if (control.stop == nullptr) {
        return callResolver(control.resolve, host, port, &list) == 0 ? list : nullptr;
    }
    auto job = std::make_shared<LookupJob>();
    job->host = host;
    job->port = port;
    job->resolve = control.resolve;
    try {
        std::thread([job] {
            addrinfo* found = nullptr;
            const int rc = callResolver(job->resolve, job->host, job->port, &found);
            std::lock_guard<std::mutex> lock(job->mutex);
            if (job->abandoned) {
                if (found != nullptr) ::freeaddrinfo(found);
            } else {
                job->rc = rc;
                job->list = found;
            }
            job->finished = true;
            job->done.raise();
        }).detach();
    } catch (const std::system_error&) {
        return callResolver(control.resolve, host, port, &list) == 0 ? list : nullptr;
    }
    const Deadline never = SteadyClock::time_point::max();
    const WaitResult waited = waitSocket(job->done.waitHandle(), WaitFor::Read, never, control.stop);
    std::lock_guard<std::mutex> lock(job->mutex);
    if (waited != WaitResult::Ready || !job->finished) {
        if (job->finished && job->list != nullptr) ::freeaddrinfo(job->list);
        job->list = nullptr;
        job->abandoned = true;
        return nullptr;
    }
    return job->rc == 0 ? job->list : nullptr;
}

bool connectOne(int fd, const addrinfo* ai, const StopSignal* stop) {
    if (::connect(fd, ai->ai_addr, static_cast<int>(ai->ai_addrlen)) == 0) return true;
    const SocketError why = lastSocketError();
    // A non-blocking connect under way reads as "in progress" on POSIX and "would block" on Windows.
    if (why == SocketError::Other) return false;
    if (waitSocket(fd, WaitFor::Write, deadlineIn(kConnectTimeoutSec * 1000), stop) != WaitResult::Ready) {
        return false;
    }
    return pendingConnectError(fd) == 0;
}

// Waits for the socket to take or give bytes again while a write is under way.
bool waitDuringWrite(const BrokerConnection& conn, WaitFor direction, Deadline deadline) {
    return waitSocket(conn.sock.get(), direction, deadline, conn.stop) == WaitResult::Ready;
}

// Sends bytes; `sent` counts what went out, also on failure.
bool sendPlain(const BrokerConnection& conn, const char* data, std::size_t size, int stallMs,
               std::size_t& sent) {
    Deadline deadline = deadlineIn(stallMs);
    while (sent < size) {
        const long n = sendSome(conn.sock.get(), data + sent, size - sent);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
            deadline = deadlineIn(stallMs);
            continue;
        }
        const SocketError why = n < 0 ? lastSocketError() : SocketError::Other;
        if (why == SocketError::Interrupted) continue;
        if (why == SocketError::WouldBlock) {
            if (!waitDuringWrite(conn, WaitFor::Write, deadline)) return false;
            continue;
        }
        return false;
    }
    return true;
}

bool sendTls(BrokerConnection& conn, const char* data, std::size_t size, int stallMs, std::size_t& sent) {
    Deadline deadline = deadlineIn(stallMs);
    while (sent < size) {
        const int chunk = static_cast<int>(std::min<std::size_t>(size - sent, INT_MAX));
        ERR_clear_error();
        const int n = SSL_write(conn.ssl.get(), data + sent, chunk);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
            deadline = deadlineIn(stallMs);
            continue;
        }
        // The same bytes are offered again after a retry, as the TLS library requires. A retry
        // that never comes leaves part of a record with the library: the connection is then out
        // of step, which the caller learns from the false result.
        const int err = SSL_get_error(conn.ssl.get(), n);
        if (err == SSL_ERROR_SYSCALL && lastSocketError() == SocketError::Interrupted) continue;
        if (err != SSL_ERROR_WANT_WRITE && err != SSL_ERROR_WANT_READ) return false;
        if (!waitDuringWrite(conn, err == SSL_ERROR_WANT_READ ? WaitFor::Read : WaitFor::Write, deadline)) {
            conn.outOfStep = true;   // the library holds part of a record
            return false;
        }
    }
    return true;
}

}  // namespace

SocketFd& SocketFd::operator=(SocketFd&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
}

void SocketFd::reset(int fd) {
    if (fd_ >= 0 && fd_ != fd) closeSocket(fd_);
    fd_ = fd;
}

int tcpConnect(const std::string& host, const std::string& port, const ConnectControl& control) {
    startSockets();
    addrinfo* list = lookUp(host, port, control);
    if (list == nullptr) return -1;

    int result = -1;
    for (const addrinfo* ai = list; ai != nullptr && result < 0; ai = ai->ai_next) {
        if (control.stop != nullptr && control.stop->raised()) break;
        SocketFd fd(openStreamSocket(ai->ai_family, ai->ai_socktype, ai->ai_protocol));
        if (!fd.valid() || !setBlocking(fd.get(), false)) continue;
        if (!connectOne(fd.get(), ai, control.stop)) continue;
        // A PUBLISH goes out as two writes (head, then the payload from the queue): without this
        // the payload would wait for the broker's delayed acknowledgement of the head.
        setNoDelay(fd.get());
        result = fd.release();
    }
    ::freeaddrinfo(list);
    return result;
}

bool sendRaw(BrokerConnection& conn, std::string_view bytes, int stallTimeoutMs) {
    return sendRaw(conn, bytes, {}, stallTimeoutMs);
}

bool sendRaw(BrokerConnection& conn, std::string_view head, std::string_view body, int stallTimeoutMs) {
    startSockets();
    if (!conn.sock.valid() || conn.outOfStep) return false;
    if (conn.tls && conn.ssl == nullptr) return false;
    bool wroteAny = false;
    for (std::string_view part : {head, body}) {
        if (part.empty()) continue;
        std::size_t sent = 0;
        const bool ok = conn.tls ? sendTls(conn, part.data(), part.size(), stallTimeoutMs, sent)
                                 : sendPlain(conn, part.data(), part.size(), stallTimeoutMs, sent);
        wroteAny = wroteAny || sent > 0;
        if (!ok) {
            // Part of a packet with the peer: nothing more may follow on this connection.
            if (wroteAny) conn.outOfStep = true;
            return false;
        }
    }
    return true;
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
            if (err == SSL_ERROR_WANT_READ) return {IoStatus::NotReady, 0, WaitFor::Read};
            if (err == SSL_ERROR_WANT_WRITE) return {IoStatus::NotReady, 0, WaitFor::Write};
            if (err == SSL_ERROR_ZERO_RETURN) return {IoStatus::Closed, 0};
            if (err == SSL_ERROR_SYSCALL && lastSocketError() == SocketError::Interrupted) continue;
            return {IoStatus::Error, 0};
        }
    }
    for (;;) {
        const long got = receiveSome(conn.sock.get(), dst, n);
        if (got > 0) return {IoStatus::Ok, static_cast<std::size_t>(got)};
        if (got == 0) return {IoStatus::Closed, 0};
        const SocketError why = lastSocketError();
        if (why == SocketError::Interrupted) continue;
        if (why == SocketError::WouldBlock) return {IoStatus::NotReady, 0};
        return {IoStatus::Error, 0};
    }
}

WaitResult waitToRead(const BrokerConnection& conn, WaitFor direction, Deadline deadline,
                      const StopSignal* wake) {
    if (!conn.sock.valid()) return WaitResult::Failed;
    if (conn.stop != nullptr && conn.stop->raised()) return WaitResult::Stopped;
    // SSL_has_pending would also count the start of a record that is still arriving, and a wait
    // that returned at once for it would have the reader spin until the record is whole.
    if (conn.tls && conn.ssl && SSL_pending(conn.ssl.get()) > 0) return WaitResult::Ready;
    // Hang-up and error also count as ready: the read that follows tells closed from broken.
    return waitSocket(conn.sock.get(), direction, deadline, conn.stop, wake);
}

IoResult waitReadable(BrokerConnection& conn, int timeoutMs) {
    switch (waitToRead(conn, WaitFor::Read, deadlineIn(timeoutMs))) {
    case WaitResult::Ready:
        return {IoStatus::Ok, 0};
    case WaitResult::TimedOut:
        return {IoStatus::NotReady, 0};
    case WaitResult::Stopped:
        return {IoStatus::Stopped, 0};
    case WaitResult::Woken:   // no wake signal is given
    case WaitResult::Failed:
        break;
    }
    return {IoStatus::Error, 0};
}

void closeConnection(BrokerConnection& conn) {
    if (conn.ssl) {
        // One close_notify, without waiting for the broker's; a dead peer only makes it fail. A
        // record cut off half-way must not be followed by another.
        if (SSL_is_init_finished(conn.ssl.get()) && !conn.outOfStep) SSL_shutdown(conn.ssl.get());
        ERR_clear_error();
        conn.ssl.reset();
    }
    conn.sslCtx.reset();
    conn.sock.reset();
    conn.tls = false;
    conn.outOfStep = false;
}

}  // namespace vchat
