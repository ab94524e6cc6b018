#include "mqtt/sockets.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <mutex>
#include <utility>

namespace vchat {

StopSignal::StopSignal() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) == 0) {
        readEnd_ = fds[0];
        writeEnd_ = fds[1];
    }
}

StopSignal::~StopSignal() {
    if (readEnd_ >= 0) ::close(readEnd_);
    if (writeEnd_ >= 0) ::close(writeEnd_);
}

void StopSignal::raise() {
    if (raised_.exchange(true)) return;
    const char byte = 1;
    // A full pipe already reads as raised; nothing else can go wrong worth reporting here.
    [[maybe_unused]] const ssize_t n = ::write(writeEnd_, &byte, 1);
}

void StopSignal::reset() {
    char buf[16];
    while (::read(readEnd_, buf, sizeof buf) > 0) {
    }
    raised_.store(false);
}

SocketError lastSocketError() {
    const int e = errno;
    if (e == EAGAIN || e == EWOULDBLOCK) return SocketError::WouldBlock;
    if (e == EINPROGRESS) return SocketError::InProgress;
    if (e == EINTR) return SocketError::Interrupted;
    return SocketError::Other;
}

int openStreamSocket(int family, int type, int protocol) {
    return ::socket(family, type | SOCK_CLOEXEC, protocol);
}

bool setBlocking(int fd, bool blocking) {
    const int flags = ::fcntl(fd, F_GETFL, 0);
    if (flags < 0) return false;
    const int wanted = blocking ? (flags & ~O_NONBLOCK) : (flags | O_NONBLOCK);
    return wanted == flags || ::fcntl(fd, F_SETFL, wanted) == 0;
}

void closeSocket(int fd) { ::close(fd); }

bool setNoDelay(int fd) {
    const int on = 1;
    return ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) == 0;
}

// MSG_NOSIGNAL: a peer that has gone fails the send (EPIPE) whatever SIGPIPE's disposition, which
// a host program or another thread may have set back to the default.
long sendSome(int fd, const char* data, std::size_t size) { return ::send(fd, data, size, MSG_NOSIGNAL); }

long receiveSome(int fd, char* data, std::size_t size) { return ::recv(fd, data, size, 0); }

int pendingConnectError(int fd) {
    int pending = 0;
    socklen_t len = sizeof pending;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &pending, &len) != 0) return errno;
    return pending;
}

bool isIpLiteral(const std::string& host) {
    unsigned char addr[sizeof(in6_addr)];
    return ::inet_pton(AF_INET, host.c_str(), addr) == 1 || ::inet_pton(AF_INET6, host.c_str(), addr) == 1;
}

void nameThisThread(const char* name) { ::pthread_setname_np(::pthread_self(), name); }

void startSockets() {
    static std::once_flag once;
    std::call_once(once, [] { std::signal(SIGPIPE, SIG_IGN); });
}

namespace {
StopSignal* interruptTarget = nullptr;
void onInterrupt(int) {
    if (interruptTarget != nullptr) interruptTarget->raise();
}
}  // namespace

void stopOnInterrupt(StopSignal& stop) {
    interruptTarget = &stop;
    struct sigaction action {};
    action.sa_handler = onInterrupt;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

WaitResult waitSocket(int fd, WaitFor direction, Deadline deadline, const StopSignal* stop,
                      const StopSignal* wake) {
    // The socket first, then whichever signals are given.
    pollfd fds[3]{};
    fds[0].fd = fd;
    fds[0].events = direction == WaitFor::Read ? POLLIN : POLLOUT;
    nfds_t count = 1;
    pollfd* stopFd = nullptr;
    pollfd* wakeFd = nullptr;
    for (auto [signal, slot] : {std::pair{stop, &stopFd}, std::pair{wake, &wakeFd}}) {
        if (signal == nullptr) continue;
        fds[count].fd = signal->waitHandle();
        fds[count].events = POLLIN;
        *slot = &fds[count++];
    }
    auto raised = [](const StopSignal* signal, const pollfd* p) {
        return signal != nullptr && (signal->raised() || (p != nullptr && p->revents != 0));
    };
    for (;;) {
        if (raised(stop, nullptr)) return WaitResult::Stopped;
        // A raised wake still lets a socket that is ready now be reported as such.
        const bool woken = raised(wake, nullptr);
        // Rounded up: a wait that ends before the deadline would be taken for readiness elsewhere.
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - SteadyClock::now()).count();
        const int timeout = woken || left <= 0 ? 0 : static_cast<int>(left < INT_MAX ? left : INT_MAX);
        const int n = ::poll(fds, count, timeout);
        if (n < 0) {
            if (errno == EINTR) continue;
            return WaitResult::Failed;
        }
        if (raised(stop, stopFd)) return WaitResult::Stopped;
        if (fds[0].revents & POLLNVAL) return WaitResult::Failed;
        if (fds[0].revents != 0) return WaitResult::Ready;
        if (woken || raised(wake, wakeFd)) return WaitResult::Woken;
        if (timeout == 0) return WaitResult::TimedOut;
        // Woken a little early: wait out the rest.
    }
}

}  // namespace vchat
