// The operating system's sockets, behind one header with one source file per platform
// (sockets_posix.cpp, sockets_win32.cpp), and waiting on them, cut short on request.
//
// Descriptors are ints on every platform; -1 means none.
//
// Every wait of the mqtt folder goes through waitSocket, so one StopSignal ends whatever the worker
// is waiting for: a connect, a handshake, a CONNACK, a write the peer does not take, the read turn.
// The signal is a descriptor the wait watches beside the socket: raising it is a single write, safe
// from any thread and from a signal handler. A wait may watch a second signal that only wakes it
// (the worker's: something was queued to send), which the waiter lowers again itself.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <string>

// getaddrinfo and its addrinfo record.
#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <netdb.h>
#endif

namespace vchat {

using SteadyClock = std::chrono::steady_clock;
using Deadline = SteadyClock::time_point;

inline Deadline deadlineIn(int ms) { return SteadyClock::now() + std::chrono::milliseconds(ms); }

// A latch that waits can watch: raised, it stays raised (and its descriptor readable) until reset.
class StopSignal {
public:
    StopSignal();
    ~StopSignal();
    StopSignal(const StopSignal&) = delete;
    StopSignal& operator=(const StopSignal&) = delete;

    // Wakes every current and later wait that watches this signal. Async-signal-safe.
    void raise();
    // Lowers the signal again. Only while no other thread waits on it. A raise that overlaps a reset
    // may be swallowed, or leave the descriptor readable while raised() is false: a waiter that
    // uses the signal as a wake-up resets it after every wake, and only then looks at what the
    // raise announces.
    void reset();
    bool raised() const { return raised_.load(); }
    // A descriptor that is readable while the signal is raised.
    int waitHandle() const { return readEnd_; }

private:
    std::atomic<bool> raised_{false};
    int readEnd_ = -1;
    int writeEnd_ = -1;
};

enum class WaitFor { Read, Write };

enum class WaitResult {
    Ready,      // the socket is ready (errors and hang-ups count: the next call on it reports them)
    TimedOut,   // the deadline passed first
    Stopped,    // the stop signal was raised (it wins over everything else)
    Woken,      // the wake signal was raised and the socket is not ready
    Failed,     // the wait itself failed (a bad descriptor)
};

// Why the last socket call of this thread failed, as far as the callers care.
enum class SocketError { WouldBlock, InProgress, Interrupted, Other };
SocketError lastSocketError();

// A stream socket that child processes do not inherit; -1 on failure.
int openStreamSocket(int family, int type, int protocol);
// Switches non-blocking mode off (blocking = true) or on. False when that fails.
bool setBlocking(int fd, bool blocking);
void closeSocket(int fd);
// Sends small writes at once instead of holding them until the peer acknowledges the previous one
// (which a peer that delays its acknowledgements makes last tens of milliseconds). False on failure.
bool setNoDelay(int fd);
// One send or receive call: the byte count, 0 from a receive for an orderly close, -1 on failure
// (lastSocketError says why). Sends never raise SIGPIPE, whatever its disposition: every write of
// the transport, TLS included (tls.h), goes through sendSome.
long sendSome(int fd, const char* data, std::size_t size);
long receiveSome(int fd, char* data, std::size_t size);
// The connect result of a socket that became writable: 0 when it stands, else an error code.
int pendingConnectError(int fd);
// True when host is an IPv4 or IPv6 address literal rather than a name.
bool isIpLiteral(const std::string& host);
// Names the calling thread for debuggers and tools (cut to what the platform allows).
void nameThisThread(const char* name);

// Prepares the process for sockets, once (later calls return at once). Every entry point of the
// transport calls it. On POSIX systems it also ignores SIGPIPE, for the programs' other writes (a
// tool's output to a pipe whose reader has gone); the transport's own writes do not rely on that.
void startSockets();

// Raises `stop` when the user interrupts the program (SIGINT or SIGTERM on POSIX systems, Ctrl+C,
// Ctrl+Break or closing the console on Windows). One signal per process; the last call wins.
void stopOnInterrupt(StopSignal& stop);

// Waits until fd is ready in `direction`, the deadline passes, or `stop` or `wake` (either may be
// null) is raised. Interrupted waits resume with the time left. Neither signal is lowered here.
WaitResult waitSocket(int fd, WaitFor direction, Deadline deadline, const StopSignal* stop,
                      const StopSignal* wake = nullptr);

}  // namespace vchat
