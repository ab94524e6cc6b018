// TLS layer.
//
// Sections: error texts; the socket BIO that never raises SIGPIPE; small helpers (hex, waits,
// error texts); the PSK callback; tlsConnect.
#include "mqtt/tls.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/bio.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <new>

#include "mesh/hex.h"

namespace vchat {

namespace {

constexpr std::string_view kTcpConnectFailedText = "tcp_connect_failed";
constexpr std::string_view kCtxNewFailedText = "SSL_CTX_new: ";
constexpr std::string_view kLoadCaFailedText = "load CA failed: ";
constexpr std::string_view kSslNewFailedText = "SSL_new: ";
constexpr std::string_view kConnectFailedText = "SSL_connect failed: ";
constexpr std::string_view kNoErrorText = "no_error";
constexpr std::string_view kHandshakeTimeoutText = "handshake_timeout";
constexpr std::string_view kErrorJoinText = " | ";
constexpr std::string_view kVerifyResultText = " verify_result=";
constexpr std::string_view kPeerSubjectText = " peer_subject=";
constexpr std::string_view kIssuerText = " issuer=";
constexpr std::string_view kOutOfMemoryText = "out of memory";

// ---- Socket BIO with MSG_NOSIGNAL writes ----------------------------------------------------------
// OpenSSL's own socket BIO writes with write(), so a peer that has gone makes every SSL_write and
// SSL_shutdown raise SIGPIPE. This BIO does the same job with send(MSG_NOSIGNAL).

struct SocketBioState {
    int fd = -1;
    bool eof = false;
};

SocketBioState* bioState(BIO* bio) { return static_cast<SocketBioState*>(BIO_get_data(bio)); }

int socketBioCreate(BIO* bio) {
    auto* state = new (std::nothrow) SocketBioState();
    if (state == nullptr) return 0;
    BIO_set_data(bio, state);
    BIO_set_init(bio, 0);
    BIO_set_shutdown(bio, BIO_NOCLOSE);
    return 1;
}

int socketBioDestroy(BIO* bio) {
    if (bio == nullptr) return 0;
    SocketBioState* state = bioState(bio);
    if (state != nullptr && BIO_get_init(bio) && BIO_get_shutdown(bio) == BIO_CLOSE && state->fd >= 0)
        ::close(state->fd);
    delete state;
    BIO_set_data(bio, nullptr);
    BIO_set_init(bio, 0);
    return 1;
}

int socketBioWrite(BIO* bio, const char* data, int len) {
    BIO_clear_retry_flags(bio);
    if (len <= 0) return 0;
    ssize_t n = ::send(bioState(bio)->fd, data, static_cast<std::size_t>(len), MSG_NOSIGNAL);
    if (n < 0 && BIO_sock_non_fatal_error(errno)) BIO_set_retry_write(bio);
    return static_cast<int>(n);
}

int socketBioRead(BIO* bio, char* data, int len) {
    BIO_clear_retry_flags(bio);
    if (data == nullptr || len <= 0) return 0;
    SocketBioState* state = bioState(bio);
    ssize_t n = ::recv(state->fd, data, static_cast<std::size_t>(len), 0);
    if (n == 0) state->eof = true;
    if (n < 0 && BIO_sock_non_fatal_error(errno)) BIO_set_retry_read(bio);
    return static_cast<int>(n);
}

int socketBioPuts(BIO* bio, const char* text) {
    return socketBioWrite(bio, text, static_cast<int>(std::strlen(text)));
}

long socketBioCtrl(BIO* bio, int cmd, long num, void* ptr) {
    SocketBioState* state = bioState(bio);
    switch (cmd) {
    case BIO_C_SET_FD:
        state->fd = *static_cast<int*>(ptr);
        state->eof = false;
        BIO_set_shutdown(bio, static_cast<int>(num));
        BIO_set_init(bio, 1);
        return 1;
    case BIO_C_GET_FD:
        if (!BIO_get_init(bio)) return -1;
        if (ptr != nullptr) *static_cast<int*>(ptr) = state->fd;
        return state->fd;
    case BIO_CTRL_GET_CLOSE:
        return BIO_get_shutdown(bio);
    case BIO_CTRL_SET_CLOSE:
        BIO_set_shutdown(bio, static_cast<int>(num));
        return 1;
    case BIO_CTRL_EOF:
        // Lets the TLS library tell an unexpected end of stream from a failed read.
        return state->eof ? 1 : 0;
    case BIO_CTRL_DUP:
    case BIO_CTRL_FLUSH:
        return 1;
    default:
        return 0;
    }
}

// Built once, then only read; never freed, as OpenSSL's own methods are not.
const BIO_METHOD* noSignalSocketMethod() {
    static const BIO_METHOD* method = [] {
        int type = BIO_get_new_index();
        if (type == -1) return static_cast<BIO_METHOD*>(nullptr);
        // The descriptor bit lets SSL_get_fd find the socket through this BIO.
        BIO_METHOD* m = BIO_meth_new(type | BIO_TYPE_SOURCE_SINK | BIO_TYPE_DESCRIPTOR,
                                     "socket without SIGPIPE");
        if (m == nullptr) return m;
        if (!BIO_meth_set_write(m, socketBioWrite) || !BIO_meth_set_read(m, socketBioRead) ||
            !BIO_meth_set_puts(m, socketBioPuts) || !BIO_meth_set_ctrl(m, socketBioCtrl) ||
            !BIO_meth_set_create(m, socketBioCreate) || !BIO_meth_set_destroy(m, socketBioDestroy)) {
            BIO_meth_free(m);
            return static_cast<BIO_METHOD*>(nullptr);
        }
        return m;
    }();
    return method;
}

// ---- Small helpers ---------------------------------------------------------------------------------

std::string errorCodeText(unsigned long code) {
    char buf[256];
    ERR_error_string_n(code, buf, sizeof buf);
    return buf;
}

std::string nameText(const X509_NAME* name) {
    char buf[256];
    if (X509_NAME_oneline(name, buf, sizeof buf) == nullptr) return {};
    return buf;
}

bool isIpLiteral(const std::string& host) {
    unsigned char addr[sizeof(in6_addr)];
    return inet_pton(AF_INET, host.c_str(), addr) == 1 || inet_pton(AF_INET6, host.c_str(), addr) == 1;
}

// Asks the handshake to check the certificate's names against the host we dialled.
bool requireHostMatch(SSL* ssl, const std::string& host) {
    if (isIpLiteral(host)) return X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), host.c_str()) == 1;
    SSL_set_hostflags(ssl, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
    return SSL_set1_host(ssl, host.c_str()) == 1;
}

// "SSL_connect failed: " + queued errors (or "no_error") + verify result + peer names. Drains the
// thread's error queue.
std::string handshakeFailureText(SSL* ssl, bool timedOut) {
    std::string pieces;
    if (timedOut) pieces = kHandshakeTimeoutText;
    while (unsigned long code = ERR_get_error()) {
        if (!pieces.empty()) pieces += kErrorJoinText;
        pieces += errorCodeText(code);
    }
    std::string text(kConnectFailedText);
    text += pieces.empty() ? std::string(kNoErrorText) : pieces;
    long verify = SSL_get_verify_result(ssl);
    if (verify != X509_V_OK) {
        text += kVerifyResultText;
        text += X509_verify_cert_error_string(verify);
    }
    // A certificate that failed verification is not kept as the session's peer certificate, but
    // it is still the first one of the chain the broker presented.
    X509* peer = SSL_get1_peer_certificate(ssl);
    if (peer == nullptr) {
        STACK_OF(X509)* chain = SSL_get_peer_cert_chain(ssl);
        if (chain != nullptr && sk_X509_num(chain) > 0) {
            peer = sk_X509_value(chain, 0);
            X509_up_ref(peer);
        }
    }
    if (peer != nullptr) {
        text += kPeerSubjectText;
        text += nameText(X509_get_subject_name(peer));
        text += kIssuerText;
        text += nameText(X509_get_issuer_name(peer));
        X509_free(peer);
    }
    return text;
}

// Error text for a failure before the handshake: prefix + the oldest queued error; the rest of the
// queue is dropped so it cannot leak into a later SSL_get_error.
std::string setupFailureText(std::string_view prefix) {
    std::string text(prefix);
    text += sslErrorText();
    ERR_clear_error();
    return text;
}

}  // namespace

// ---- Public helpers --------------------------------------------------------------------------------

void SslDeleter::operator()(SSL* ssl) const {
    if (ssl == nullptr) return;
    auto* creds = static_cast<PskCredentials*>(SSL_get_ex_data(ssl, kPskExDataIndex));
    SSL_set_ex_data(ssl, kPskExDataIndex, nullptr);
    if (creds != nullptr) {
        OPENSSL_cleanse(creds->keyHex.data(), creds->keyHex.size());
        delete creds;
    }
    SSL_free(ssl);
}

int hexToBytes(std::string_view hex, std::array<std::uint8_t, kMaxPskKeyBytes>& out) {
    std::size_t written = 0;
    for (std::size_t i = 0; i + 1 < hex.size() && written < out.size(); i += 2) {
        int high = hexDigitValue(hex[i]);
        int low = hexDigitValue(hex[i + 1]);
        if (high < 0 || low < 0) return -1;
        out[written++] = static_cast<std::uint8_t>(high << 4 | low);
    }
    return static_cast<int>(written);
}

bool waitSocket(int fd, SocketWait direction, int timeoutMs) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
    pollfd p{};
    p.fd = fd;
    p.events = direction == SocketWait::Read ? POLLIN : POLLOUT;
    for (;;) {
        // Rounded up: a wait that ends before the deadline would be taken for something else.
        auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        int rc = ::poll(&p, 1, left.count() > 0 ? static_cast<int>(left.count()) : 0);
        if (rc > 0) return true;
        if (rc == 0) return false;
        if (errno != EINTR) return false;
    }
}

std::string sslErrorText() { return errorCodeText(ERR_get_error()); }

unsigned int pskClientCallback(SSL* ssl, const char* /*hint*/, char* identity,
                               unsigned int maxIdentityLen, unsigned char* psk,
                               unsigned int maxPskLen) {
    const auto* creds = static_cast<const PskCredentials*>(SSL_get_ex_data(ssl, kPskExDataIndex));
    if (creds == nullptr) return 0;
    // The library reads the identity up to its zero byte: one inside would cut it silently.
    if (creds->identity.size() + 1 > maxIdentityLen ||
        creds->identity.find('\0') != std::string::npos)
        return 0;
    std::memcpy(identity, creds->identity.c_str(), creds->identity.size() + 1);

    std::array<std::uint8_t, kMaxPskKeyBytes> key{};
    int keyLen = hexToBytes(creds->keyHex, key);
    unsigned int result = 0;
    if (keyLen > 0 && static_cast<unsigned int>(keyLen) <= maxPskLen) {
        std::memcpy(psk, key.data(), static_cast<std::size_t>(keyLen));
        result = static_cast<unsigned int>(keyLen);
    }
    OPENSSL_cleanse(key.data(), key.size());
    return result;
}

// ---- tlsConnect ------------------------------------------------------------------------------------

bool tlsConnect(BrokerConnection& conn, const std::string& host, const std::string& port,
                bool verifyServer, const std::string& caPath, bool tlsPsk,
                const std::string& pskIdentity, const std::string& pskKeyHex, std::string& error) {
    using Clock = std::chrono::steady_clock;
    // Idempotent and thread-safe; loads the error strings the texts below are made of.
    OPENSSL_init_ssl(OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS, nullptr);
    // Errors left by earlier calls on this thread must not show up in this attempt's texts.
    ERR_clear_error();

    SocketFd sock(tcpConnect(host, port));
    if (!sock.valid()) {
        error = kTcpConnectFailedText;
        return false;
    }
    // The socket stays non-blocking through the handshake so that every wait is bounded by the
    // handshake deadline; it becomes blocking once the handshake is done.
    if (!setBlocking(sock.get(), false)) {
        error = std::string(kConnectFailedText) + std::strerror(errno);
        return false;
    }

    SslCtxPtr ctx(SSL_CTX_new(TLS_client_method()));
    if (!ctx) {
        error = setupFailureText(kCtxNewFailedText);
        return false;
    }
    if (tlsPsk) {
        SSL_CTX_set_psk_client_callback(ctx.get(), pskClientCallback);
        SSL_CTX_set_cipher_list(ctx.get(), "PSK");
        SSL_CTX_set_verify(ctx.get(), SSL_VERIFY_NONE, nullptr);
    } else {
        if (!caPath.empty()) {
            if (SSL_CTX_load_verify_locations(ctx.get(), caPath.c_str(), nullptr) != 1) {
                error = setupFailureText(kLoadCaFailedText);
                return false;
            }
        } else {
            SSL_CTX_set_default_verify_paths(ctx.get());
        }
        SSL_CTX_set_verify(ctx.get(), verifyServer ? SSL_VERIFY_PEER : SSL_VERIFY_NONE, nullptr);
    }
    // Lets a caller retry an interrupted SSL_write from a buffer that has moved.
    SSL_CTX_set_mode(ctx.get(), SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    // Loading the defaults may queue complaints about missing system paths; they are not failures.
    ERR_clear_error();

    SslPtr ssl(SSL_new(ctx.get()));
    if (!ssl) {
        error = setupFailureText(kSslNewFailedText);
        return false;
    }
    BIO* bio = nullptr;
    if (const BIO_METHOD* method = noSignalSocketMethod()) bio = BIO_new(method);
    if (bio == nullptr) {
        error = setupFailureText(kSslNewFailedText);
        return false;
    }
    BIO_set_fd(bio, sock.get(), BIO_NOCLOSE);
    SSL_set_bio(ssl.get(), bio, bio);   // the SSL object owns the BIO from here

    if (tlsPsk) {
        auto* creds = new (std::nothrow) PskCredentials{pskIdentity, pskKeyHex};
        if (creds == nullptr) {
            error = std::string(kSslNewFailedText) + std::string(kOutOfMemoryText);
            return false;
        }
        SSL_set_ex_data(ssl.get(), kPskExDataIndex, creds);   // freed by SslDeleter
    }
    SSL_set_tlsext_host_name(ssl.get(), host.c_str());
    if (!tlsPsk && verifyServer && !requireHostMatch(ssl.get(), host)) {
        error = handshakeFailureText(ssl.get(), false);
        return false;
    }

    const auto deadline = Clock::now() + std::chrono::milliseconds(kTlsHandshakeTimeoutMs);
    for (;;) {
        ERR_clear_error();
        int rc = SSL_connect(ssl.get());
        if (rc == 1) break;
        int reason = SSL_get_error(ssl.get(), rc);
        if (reason != SSL_ERROR_WANT_READ && reason != SSL_ERROR_WANT_WRITE) {
            error = handshakeFailureText(ssl.get(), false);
            return false;
        }
        // Rounded up, so a wait that times out has really reached the deadline.
        auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0 ||
            !waitSocket(sock.get(), reason == SSL_ERROR_WANT_READ ? SocketWait::Read : SocketWait::Write,
                        static_cast<int>(left.count()))) {
            error = handshakeFailureText(ssl.get(), Clock::now() >= deadline);
            return false;
        }
    }
    if (!setBlocking(sock.get(), true)) {
        error = std::string(kConnectFailedText) + std::strerror(errno);
        return false;
    }
    ERR_clear_error();

    conn.sock = std::move(sock);
    conn.ssl = std::move(ssl);
    conn.sslCtx = std::move(ctx);
    conn.tls = true;
    return true;
}

}  // namespace vchat
