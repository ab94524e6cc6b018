// One open broker connection, plain TCP or TLS, and the byte operations on it.
//
// Error convention of this layer: bool for "did it all happen", an IoResult for reads and waits so
// that a time-out is never confused with a closed or broken connection. Nothing here writes to the log.
#pragma once

#include <openssl/ssl.h>

#include <cstddef>
#include <memory>
#include <string>

namespace vchat {

inline constexpr int kConnectTimeoutSec = 5;
// sendRaw gives up when the peer has taken no byte for this long.
inline constexpr int kSendStallTimeoutMs = 10000;

struct SslDeleter {
    void operator()(SSL* ssl) const;          // also frees PSK credentials attached to it
};
struct SslCtxDeleter {
    void operator()(SSL_CTX* ctx) const { SSL_CTX_free(ctx); }
};
using SslPtr = std::unique_ptr<SSL, SslDeleter>;
using SslCtxPtr = std::unique_ptr<SSL_CTX, SslCtxDeleter>;

// Owns a socket descriptor; closes it when destroyed.
class SocketFd {
public:
    SocketFd() = default;
    explicit SocketFd(int fd) : fd_(fd) {}
    SocketFd(SocketFd&& other) noexcept : fd_(other.release()) {}
    SocketFd& operator=(SocketFd&& other) noexcept;
    SocketFd(const SocketFd&) = delete;
    SocketFd& operator=(const SocketFd&) = delete;
    ~SocketFd() { reset(); }

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    int release() { int fd = fd_; fd_ = -1; return fd; }
    void reset(int fd = -1);

private:
    int fd_ = -1;
};

struct BrokerConnection {
    SocketFd sock;
    SslPtr ssl;          // set by the TLS layer; null for plain TCP
    SslCtxPtr sslCtx;    // set together with ssl
    bool tls = false;    // all traffic goes through ssl
};

enum class IoStatus {
    Ok,        // bytes arrived / the wait was satisfied
    Timeout,   // nothing within the time-out; the connection may still be fine
    Closed,    // orderly close by the peer
    Error,     // the connection is broken
};

struct IoResult {
    IoStatus status = IoStatus::Error;
    std::size_t bytes = 0;   // with Ok from a read: how many bytes were read
};

// Resolves host and port (the port as a service name), tries each address with a
// kConnectTimeoutSec non-blocking connect. Returns the connected socket, still non-blocking, or -1.
int tcpConnect(const std::string& host, const std::string& port);
// Switches O_NONBLOCK off (blocking = true) or on. False when fcntl fails.
bool setBlocking(int fd, bool blocking);

// Bounds every blocking read and write on fd (SO_RCVTIMEO, SO_SNDTIMEO); a read that times out
// reports IoStatus::Timeout. False when the options cannot be set.
bool setIoTimeouts(int fd, int timeoutMs);

// Writes every byte of `bytes` (loops over partial writes and EINTR). Never raises SIGPIPE.
// True only when all bytes went out.
bool sendRaw(BrokerConnection& conn, const std::string& bytes);
// One read of at most n bytes. Blocking unless the socket is non-blocking.
IoResult recvSome(BrokerConnection& conn, char* dst, std::size_t n);
// Waits until something can be read: socket readable, or TLS holding pending bytes (checked first).
IoResult waitReadable(BrokerConnection& conn, int timeoutMs);
// Shuts TLS down (without waiting for the peer) and closes the socket. Safe to call twice.
void closeConnection(BrokerConnection& conn);

}  // namespace vchat
