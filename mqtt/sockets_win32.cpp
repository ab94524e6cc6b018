#include "mqtt/sockets.h"

#include <windows.h>

#include <climits>
#include <mutex>

namespace vchat {

namespace {

// Descriptors stay ints across the code base. A SOCKET is a UINT_PTR, but Winsock hands out small
// kernel handle values that fit an int in practice; -1 maps to INVALID_SOCKET and back.
SOCKET toSocket(int fd) { return static_cast<SOCKET>(fd); }
int fromSocket(SOCKET s) { return s == INVALID_SOCKET ? -1 : static_cast<int>(s); }

int clampToInt(std::size_t size) { return static_cast<int>(size < INT_MAX ? size : INT_MAX); }

// A UDP socket on 127.0.0.1 sent to itself: the one loopback descriptor select can watch that a
// plain send can make readable, also from the console handler's thread.
int openSelfSocket() {
    const SOCKET s = ::WSASocketW(AF_INET, SOCK_DGRAM, IPPROTO_UDP, nullptr, 0,
                                  WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
    if (s == INVALID_SOCKET) return -1;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int len = sizeof addr;
    u_long nonBlocking = 1;
    if (::bind(s, reinterpret_cast<sockaddr*>(&addr), len) != 0 ||
        ::getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len) != 0 ||
        ::connect(s, reinterpret_cast<sockaddr*>(&addr), len) != 0 ||
        ::ioctlsocket(s, FIONBIO, &nonBlocking) != 0) {
        ::closesocket(s);
        return -1;
    }
    return fromSocket(s);
}

StopSignal* interruptTarget = nullptr;

BOOL WINAPI onConsoleEvent(DWORD event) {
    switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
    case CTRL_SHUTDOWN_EVENT:
        if (interruptTarget != nullptr) interruptTarget->raise();
        return TRUE;
    default:
        return FALSE;
    }
}

}  // namespace

StopSignal::StopSignal() {
    // A signal can be made before any connection: Winsock must be up for its socket.
    startSockets();
    readEnd_ = openSelfSocket();
    writeEnd_ = readEnd_;
}

StopSignal::~StopSignal() {
    if (readEnd_ >= 0) ::closesocket(toSocket(readEnd_));
}

void StopSignal::raise() {
    if (raised_.exchange(true)) return;
    const char byte = 1;
    // A byte already queued reads as raised as well; nothing else can go wrong worth reporting.
    ::send(toSocket(writeEnd_), &byte, 1, 0);
}

void StopSignal::reset() {
    char buf[16];
    while (::recv(toSocket(readEnd_), buf, sizeof buf, 0) > 0) {
    }
    raised_.store(false);
}

SocketError lastSocketError() {
    const int e = ::WSAGetLastError();
    if (e == WSAEWOULDBLOCK) return SocketError::WouldBlock;
    if (e == WSAEINPROGRESS) return SocketError::InProgress;
    if (e == WSAEINTR) return SocketError::Interrupted;
    return SocketError::Other;
}

int openStreamSocket(int family, int type, int protocol) {
    // Overlapped as socket() makes it; not inherited by child processes.
    return fromSocket(::WSASocketW(family, type, protocol, nullptr, 0,
                                   WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT));
}

bool setBlocking(int fd, bool blocking) {
    u_long nonBlocking = blocking ? 0 : 1;
    return ::ioctlsocket(toSocket(fd), FIONBIO, &nonBlocking) == 0;
}

void closeSocket(int fd) { ::closesocket(toSocket(fd)); }

bool setNoDelay(int fd) {
    const BOOL on = TRUE;
    return ::setsockopt(toSocket(fd), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on) == 0;
}

// Windows has no SIGPIPE: a send to a peer that has gone fails with WSAECONNRESET.
long sendSome(int fd, const char* data, std::size_t size) {
    return ::send(toSocket(fd), data, clampToInt(size), 0);
}

long receiveSome(int fd, char* data, std::size_t size) {
    return ::recv(toSocket(fd), data, clampToInt(size), 0);
}

int pendingConnectError(int fd) {
    int pending = 0;
    int len = sizeof pending;
    if (::getsockopt(toSocket(fd), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&pending), &len) != 0) {
        return ::WSAGetLastError();
    }
    return pending;
}

bool isIpLiteral(const std::string& host) {
    unsigned char addr[sizeof(in6_addr)];
    return ::inet_pton(AF_INET, host.c_str(), addr) == 1 || ::inet_pton(AF_INET6, host.c_str(), addr) == 1;
}

void nameThisThread(const char* name) {
    // SetThreadDescription exists from Windows 10 1607 on (and not in every wine): looked up, not linked.
    using SetDescription = HRESULT(WINAPI*)(HANDLE, PCWSTR);
    static const auto setDescription = reinterpret_cast<SetDescription>(reinterpret_cast<void*>(
        ::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "SetThreadDescription")));
    if (setDescription == nullptr) return;
    wchar_t wide[64];
    if (::MultiByteToWideChar(CP_UTF8, 0, name, -1, wide, static_cast<int>(std::size(wide))) == 0) return;
    setDescription(::GetCurrentThread(), wide);
}

void startSockets() {
    static std::once_flag once;
    // Never cleaned up: Windows releases Winsock with the process, and a worker may still be closing.
    std::call_once(once, [] {
        WSADATA data;
        ::WSAStartup(MAKEWORD(2, 2), &data);
    });
}

void stopOnInterrupt(StopSignal& stop) {
    interruptTarget = &stop;
    ::SetConsoleCtrlHandler(onConsoleEvent, TRUE);
}

WaitResult waitSocket(int fd, WaitFor direction, Deadline deadline, const StopSignal* stop,
                      const StopSignal* wake) {
    const SOCKET sock = toSocket(fd);
    const SOCKET stopSock = stop != nullptr ? toSocket(stop->waitHandle()) : INVALID_SOCKET;
    const SOCKET wakeSock = wake != nullptr ? toSocket(wake->waitHandle()) : INVALID_SOCKET;
    for (;;) {
        if (stop != nullptr && stop->raised()) return WaitResult::Stopped;
        // A raised wake still lets a socket that is ready now be reported as such.
        const bool woken = wake != nullptr && wake->raised();
        fd_set readSet;
        fd_set writeSet;
        fd_set exceptSet;
        FD_ZERO(&readSet);
        FD_ZERO(&writeSet);
        FD_ZERO(&exceptSet);
        FD_SET(sock, direction == WaitFor::Read ? &readSet : &writeSet);
        // A failed non-blocking connect shows in the except set, not as writable.
        FD_SET(sock, &exceptSet);
        if (stop != nullptr) FD_SET(stopSock, &readSet);
        if (wake != nullptr) FD_SET(wakeSock, &readSet);
        // Rounded up: a wait that ends before the deadline would be taken for readiness elsewhere.
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - SteadyClock::now()).count();
        const long timeout = woken || left <= 0 ? 0 : static_cast<long>(left < INT_MAX ? left : INT_MAX);
        timeval tv{timeout / 1000, (timeout % 1000) * 1000};
        const int n = ::select(0, &readSet, &writeSet, &exceptSet, &tv);
        if (n == SOCKET_ERROR) {
            if (::WSAGetLastError() == WSAEINTR) continue;
            return WaitResult::Failed;
        }
        if (stop != nullptr && (FD_ISSET(stopSock, &readSet) || stop->raised())) return WaitResult::Stopped;
        if (FD_ISSET(sock, &readSet) || FD_ISSET(sock, &writeSet) || FD_ISSET(sock, &exceptSet)) {
            return WaitResult::Ready;
        }
        if (woken || (wake != nullptr && FD_ISSET(wakeSock, &readSet))) return WaitResult::Woken;
        if (timeout == 0) return WaitResult::TimedOut;
        // Woken a little early: wait out the rest.
    }
}

}  // namespace vchat
