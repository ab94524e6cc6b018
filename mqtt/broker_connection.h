// One open broker connection, plain TCP or TLS, and the byte operations on it.
//
// Sockets stay non-blocking for their whole life; every wait goes through waitSocket, so the
// connection's StopSignal ends any of them at once. Error convention of this layer: bool for "did it
// all happen", an IoResult for reads (and waitReadable) and a WaitResult for waitToRead, so that
// "nothing yet" is never confused with a closed or broken connection. Nothing here writes to the log.
#pragma once

#include <openssl/ssl.h>

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "mqtt/sockets.h"

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
    const StopSignal* stop = nullptr;   // cuts every wait on this connection short; may be null
    bool outOfStep = false;   // a write stopped half-way: the peer holds part of a packet
};

// Name lookup with getaddrinfo's contract (the list is freed with freeaddrinfo). Tests replace it.
using AddressResolver =
    std::function<int(const char* host, const char* port, const addrinfo* hints, addrinfo** result)>;

// How a connect may be cut short, and who looks names up.
struct ConnectControl {
    const StopSignal* stop = nullptr;   // raised: the connect gives up at once
    AddressResolver resolve;            // empty: getaddrinfo
};

enum class IoStatus {
    Ok,         // bytes arrived / the wait was satisfied
    NotReady,   // nothing within the time given; the connection may still be fine
    Closed,     // orderly close by the peer
    Error,      // the connection is broken
    Stopped,    // the connection's StopSignal was raised
};

struct IoResult {
    IoStatus status = IoStatus::Error;
    std::size_t bytes = 0;   // with Ok from a read: how many bytes were read
    // With NotReady from a read: what the socket must become before the read is tried again (TLS
    // may need to write first).
    WaitFor retryWhen = WaitFor::Read;
};

// Resolves host and port (the port as a service name), tries each address with a
// kConnectTimeoutSec non-blocking connect. Returns the connected socket, non-blocking and sending
// small writes at once (setNoDelay), or -1.
// With a stop signal the lookup runs on a thread of its own that the caller does not wait for once
// the signal is raised; its late result is dropped.
int tcpConnect(const std::string& host, const std::string& port, const ConnectControl& control = {});

// Writes every byte of `bytes`, waiting while the peer takes nothing for at most stallTimeoutMs
// (0: never waits). True only when all bytes went out. A write that ends part-way (time-out,
// stop, error) marks the connection outOfStep, and later writes are refused.
bool sendRaw(BrokerConnection& conn, std::string_view bytes, int stallTimeoutMs = kSendStallTimeoutMs);
// The same for one packet given in two parts (head, then body), as if they were one buffer.
bool sendRaw(BrokerConnection& conn, std::string_view head, std::string_view body,
             int stallTimeoutMs = kSendStallTimeoutMs);
// One read of at most n bytes; NotReady when nothing can be handed out yet: the socket is empty,
// or over TLS no whole record has arrived (its first part is kept by the TLS library, off the
// socket). Never waits on the non-blocking sockets of this layer.
IoResult recvSome(BrokerConnection& conn, char* dst, std::size_t n);
// The wait before a read: Ready at once while TLS holds decrypted bytes (the socket no longer shows
// them), else a wait on the socket for `direction` (Read, or what the last read's retryWhen asked
// for) until the deadline, conn.stop or `wake` (may be null). The start of a TLS record that is
// still arriving is no such byte: the wait is then for the rest of it on the socket.
WaitResult waitToRead(const BrokerConnection& conn, WaitFor direction, Deadline deadline,
                      const StopSignal* wake = nullptr);
// waitToRead for reading, as an IoResult: Ok, NotReady on time-out, Stopped, Error. The packet
// reader calls waitToRead itself; this form is for callers that only want to know whether to read.
IoResult waitReadable(BrokerConnection& conn, int timeoutMs);
// Shuts TLS down (without waiting for the peer) and closes the socket. Safe to call twice.
void closeConnection(BrokerConnection& conn);

}  // namespace vchat
