// Test peers for the worker: a scripted broker on 127.0.0.1 (port 0) that expects and sends exact
// bytes, MQTT bytes written out independently of the code under test, a CPU probe.
#pragma once

#include <dirent.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/test_support.h"

namespace vchat::testing {

inline std::string u16(std::size_t n) {
    return std::string{static_cast<char>((n >> 8) & 0xFF), static_cast<char>(n & 0xFF)};
}

// Remaining length written out by hand for the sizes the tests use.
inline std::string remainingLength(std::size_t n) {
    std::string out;
    do {
        char byte = static_cast<char>(n % 128);
        n /= 128;
        if (n > 0) byte = static_cast<char>(byte | 0x80);
        out.push_back(byte);
    } while (n > 0);
    return out;
}

// CONNECT as the broker expects it for one login attempt.
inline std::string expectedConnect(int level, const std::string& clientId, const std::string& user,
                                   const std::string& password) {
    const std::string name = level == 4 ? "MQTT" : "MQIsdp";
    char flags = 0x02;
    if (!user.empty()) flags = static_cast<char>(flags | 0x80);
    if (!user.empty() && !password.empty()) flags = static_cast<char>(flags | 0x40);
    std::string rest = u16(name.size()) + name + static_cast<char>(level) + flags + std::string("\x00\x14", 2) +
                       u16(clientId.size()) + clientId;
    if (!user.empty()) rest += u16(user.size()) + user;
    if (!user.empty() && !password.empty()) rest += u16(password.size()) + password;
    return "\x10" + remainingLength(rest.size()) + rest;
}

inline std::string publishBytes(const std::string& topic, const std::string& payload) {
    const std::string rest = u16(topic.size()) + topic + payload;
    return "\x30" + remainingLength(rest.size()) + rest;
}

// "korvane-" and 20 lowercase hexadecimal digits.
inline bool isClientId(const std::string& id) {
    if (id.size() != 28 || id.compare(0, 8, "korvane-") != 0) return false;
    for (std::size_t i = 8; i < id.size(); ++i) {
        const char c = id[i];
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    }
    return true;
}

inline const std::string kConnackAccepted("\x20\x02\x00\x00", 4);
inline const std::string kPingreq("\xC0\x00", 2);
inline const std::string kPingresp("\xD0\x00", 2);
inline const std::string kDisconnect("\xE0\x00", 2);

class FakeBroker {
public:
    FakeBroker() = default;
    ~FakeBroker() { closeClient(); }
    FakeBroker(const FakeBroker&) = delete;
    FakeBroker& operator=(const FakeBroker&) = delete;

    std::string port() const { return listener_.portText(); }

    bool accept(std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        pollfd p{listener_.fd(), POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(timeout.count())) <= 0) return false;
        client_ = ::accept4(listener_.fd(), nullptr, nullptr, SOCK_CLOEXEC);
        return client_ >= 0;
    }

    // Up to n bytes, fewer when the time-out passes or the client closes first.
    std::string read(std::size_t n, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        std::string out;
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (out.size() < n) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) break;
            pollfd p{client_, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
            std::string buf(std::min<std::size_t>(n - out.size(), 1 << 16), '\0');
            const ssize_t got = ::recv(client_, buf.data(), buf.size(), 0);
            if (got <= 0) {
                clientClosed_ = true;
                break;
            }
            out.append(buf.data(), static_cast<std::size_t>(got));
        }
        return out;
    }

    // One whole packet as sent (fixed header included), or "" on time-out or close.
    std::string readPacket(std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        std::string packet = read(1, timeout);
        if (packet.empty()) return "";
        std::size_t length = 0;
        std::size_t multiplier = 1;
        for (int i = 0; i < 4; ++i) {
            const std::string b = read(1, timeout);
            if (b.empty()) return "";
            packet += b;
            length += (static_cast<std::uint8_t>(b[0]) & 0x7F) * multiplier;
            multiplier *= 128;
            if ((static_cast<std::uint8_t>(b[0]) & 0x80) == 0) break;
        }
        const std::string body = read(length, timeout);
        if (body.size() != length) return "";
        return packet + body;
    }

    // True once the client has closed its end (reads until EOF, dropping what arrives).
    bool waitClientClosed(std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (!clientClosed_ && std::chrono::steady_clock::now() < deadline) read(1 << 16, std::chrono::milliseconds(100));
        return clientClosed_;
    }

    bool send(const std::string& bytes) {
        return ::send(client_, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
    }

    void closeClient() {
        if (client_ >= 0) ::close(client_);
        client_ = -1;
    }

private:
    LoopbackListener listener_;
    int client_ = -1;
    bool clientClosed_ = false;
};

// CPU time (user + system) used so far by the thread of this process named `name`, or -1.
inline double threadCpuSeconds(const std::string& name) {
    DIR* dir = ::opendir("/proc/self/task");
    if (dir == nullptr) return -1;
    double result = -1;
    while (dirent* entry = ::readdir(dir)) {
        const std::string tid = entry->d_name;
        if (tid == "." || tid == "..") continue;
        std::ifstream comm("/proc/self/task/" + tid + "/comm");
        std::string threadName;
        std::getline(comm, threadName);
        if (threadName != name) continue;
        std::ifstream statFile("/proc/self/task/" + tid + "/stat");
        std::string stat((std::istreambuf_iterator<char>(statFile)), std::istreambuf_iterator<char>());
        // Fields after the command name in parentheses; utime and stime are fields 14 and 15.
        std::istringstream rest(stat.substr(stat.rfind(')') + 2));
        std::string field;
        std::vector<std::string> fields;
        while (rest >> field) fields.push_back(field);
        if (fields.size() > 12) {
            result = (std::stod(fields[11]) + std::stod(fields[12])) / static_cast<double>(sysconf(_SC_CLK_TCK));
        }
    }
    ::closedir(dir);
    return result;
}

}  // namespace vchat::testing
