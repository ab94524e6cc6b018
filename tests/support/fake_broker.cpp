#include "tests/support/fake_broker.h"

#include <dirent.h>
#include <fcntl.h>
#include <openssl/err.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstring>

#include "tests/support/process.h"

namespace vchat::testing {

std::string u16(std::size_t n) { return std::string{static_cast<char>((n >> 8) & 0xFF), static_cast<char>(n & 0xFF)}; }

std::string remainingLength(std::size_t n) {
    std::string out;
    do {
        char byte = static_cast<char>(n % 128);
        n /= 128;
        if (n > 0) byte = static_cast<char>(byte | 0x80);
        out.push_back(byte);
    } while (n > 0);
    return out;
}

std::string expectedConnect(int level, const std::string& clientId, const std::string& user,
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

std::string publishBytes(const std::string& topic, const std::string& payload) {
    const std::string rest = u16(topic.size()) + topic + payload;
    return "\x30" + remainingLength(rest.size()) + rest;
}

bool isClientId(const std::string& id) {
    if (id.size() != 28 || id.compare(0, 8, "korvane-") != 0) return false;
    return id.find_first_not_of("0123456789abcdef", 8) == std::string::npos;
}

FakeBroker::FakeBroker(Tls tls, const std::string& certPem, const std::string& keyPem) : tls_(tls) {
    if (tls == Tls::None || !listener_.ok()) return;
    ctx_ = SSL_CTX_new(TLS_server_method());
    if (ctx_ != nullptr && tls == Tls::PreSharedKey) {
        SSL_CTX_set_psk_server_callback(ctx_, pskCallback);
        SSL_CTX_set_cipher_list(ctx_, "PSK");
    } else if (ctx_ != nullptr && (SSL_CTX_use_certificate_chain_file(ctx_, certPem.c_str()) != 1 ||
                                   SSL_CTX_use_PrivateKey_file(ctx_, keyPem.c_str(), SSL_FILETYPE_PEM) != 1)) {
        SSL_CTX_free(ctx_);
        ctx_ = nullptr;
    }
}

FakeBroker::~FakeBroker() {
    stopping_ = true;
    if (thread_.joinable()) thread_.join();
    closeClient();
    if (ctx_ != nullptr) SSL_CTX_free(ctx_);
}

bool FakeBroker::accept(std::chrono::milliseconds timeout) {
    pollfd p{listener_.fd(), POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(timeout.count())) <= 0) return false;
    client_ = ::accept4(listener_.fd(), nullptr, nullptr, SOCK_CLOEXEC);
    if (client_ < 0 || tls_ == Tls::None) return client_ >= 0;
    // Blocking, with a bound on every read: the handshake and the reads below wait at most that long.
    timeval tv{30, 0};
    setsockopt(client_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    ssl_ = SSL_new(ctx_);
    SSL_set_fd(ssl_, client_);
    SSL_set_app_data(ssl_, this);
    if (SSL_accept(ssl_) != 1) return false;
    const char* name = SSL_get_servername(ssl_, TLSEXT_NAMETYPE_host_name);
    std::lock_guard<std::mutex> lock(mutex_);
    serverName_ = name != nullptr ? name : "";
    handshakeDone_ = true;
    return true;
}

std::string FakeBroker::read(std::size_t n, std::chrono::milliseconds timeout) {
    std::string out;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (out.size() < n && client_ >= 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd p{client_, POLLIN, 0};
        const bool held = ssl_ != nullptr && SSL_pending(ssl_) > 0;   // already decrypted, the socket is empty
        if (left.count() <= 0 || (!held && ::poll(&p, 1, static_cast<int>(left.count())) <= 0)) break;
        std::string buf(std::min<std::size_t>(n - out.size(), 1 << 16), '\0');
        const long got = ssl_ != nullptr ? SSL_read(ssl_, buf.data(), static_cast<int>(buf.size()))
                                         : ::recv(client_, buf.data(), buf.size(), 0);
        if (got <= 0) {
            clientClosed_ = true;
            break;
        }
        out.append(buf.data(), static_cast<std::size_t>(got));
    }
    return out;
}

std::string FakeBroker::readPacket(std::chrono::milliseconds timeout) {
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
    return body.size() == length ? packet + body : "";
}

bool FakeBroker::waitClientClosed(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!clientClosed_ && std::chrono::steady_clock::now() < deadline) read(1 << 16, std::chrono::milliseconds(100));
    return clientClosed_;
}

bool FakeBroker::send(const std::string& bytes) {
    const long n = static_cast<long>(bytes.size());
    if (ssl_ != nullptr) return SSL_write(ssl_, bytes.data(), static_cast<int>(n)) == n;
    return ::send(client_, bytes.data(), bytes.size(), MSG_NOSIGNAL) == n;
}

void FakeBroker::closeClient() {
    if (ssl_ != nullptr) SSL_free(ssl_);
    if (client_ >= 0) ::close(client_);
    ssl_ = nullptr;
    client_ = -1;
    ERR_clear_error();
}

void FakeBroker::serve(std::function<void(FakeBroker&)> script) {
    thread_ = std::thread([this, script = std::move(script)] {
        // Only on this thread: a write to a vanished client must not end the test process, while
        // the test's own thread keeps the default disposition.
        sigset_t pipe;
        sigemptyset(&pipe);
        sigaddset(&pipe, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
        bool accepted = false;
        while (!stopping_ && client_ < 0) accepted = accept(std::chrono::milliseconds(50));
        if (accepted) script(*this);
        scriptDone_ = true;
        closeClient();
    });
}

void FakeBroker::stayQuiet() {
    waitUntil([&] { return stopping_.load(); }, std::chrono::minutes(1));
}

std::string FakeBroker::serverName() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return serverName_;
}

std::string FakeBroker::pskIdentity() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return pskIdentity_;
}

unsigned int FakeBroker::pskCallback(SSL* ssl, const char* identity, unsigned char* psk, unsigned int maxPsk) {
    auto* self = static_cast<FakeBroker*>(SSL_get_app_data(ssl));
    std::lock_guard<std::mutex> lock(self->mutex_);
    self->pskIdentity_ = identity != nullptr ? identity : "";
    if (maxPsk < sizeof kTestPskKey) return 0;
    std::memcpy(psk, kTestPskKey, sizeof kTestPskKey);
    return sizeof kTestPskKey;
}

double threadCpuSeconds(const std::string& name) {
    DIR* dir = ::opendir("/proc/self/task");
    if (dir == nullptr) return -1;
    double result = -1;
    while (dirent* entry = ::readdir(dir)) {
        const std::string task = std::string("/proc/self/task/") + entry->d_name;
        if (entry->d_name[0] != '.' && readFile(task + "/comm") == name + "\n") result = cpuSecondsFromStat(task + "/stat");
    }
    ::closedir(dir);
    return result;
}

}  // namespace vchat::testing
