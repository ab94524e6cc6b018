// TLS layer: tlsConnect and what it needs.
//
// Sections: small helpers (error texts, the host check, the socket BIO, the check that a handshake
// was keyed by the pre-shared key); public helpers (SslDeleter, hexToBytes, sslErrorText, the PSK
// callback); tlsConnect. In PSK mode that check runs once the handshake is done and before any
// application byte, since TLS 1.3 lets a broker without the key finish with a certificate.
#include "mqtt/tls.h"

#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <new>

#include "mesh/ascii.h"
#include "mqtt/system_roots.h"

namespace vchat {

namespace {

constexpr std::string_view kTcpConnectFailedText = "tcp_connect_failed";
constexpr std::string_view kCtxNewFailedText = "SSL_CTX_new: ";
constexpr std::string_view kLoadCaFailedText = "load CA failed: ";
constexpr std::string_view kSslNewFailedText = "SSL_new: ";
constexpr std::string_view kCipherListFailedText = "SSL_CTX_set_cipher_list: ";
constexpr std::string_view kOutOfMemoryText = "out of memory";

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

// Asks the handshake to check the certificate's names against the host we dialled.
bool requireHostMatch(SSL* ssl, const std::string& host) {
    if (isIpLiteral(host)) return X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), host.c_str()) == 1;
    SSL_set_hostflags(ssl, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
    return SSL_set1_host(ssl, host.c_str()) == 1;
}

constexpr std::string_view kConnectFailedText = "SSL_connect failed: ";
constexpr std::string_view kNoErrorText = "no_error";
constexpr std::string_view kHandshakeTimeoutText = "handshake_timeout";
constexpr std::string_view kPskNotUsedText = "broker did not use the pre-shared key";
constexpr std::string_view kErrorJoinText = " | ";
constexpr std::string_view kVerifyResultText = " verify_result=";
constexpr std::string_view kPeerSubjectText = " peer_subject=";
constexpr std::string_view kIssuerText = " issuer=";

// "SSL_connect failed: " + `reason` (when not empty) and the queued errors (or "no_error") + verify
// result + peer names. Drains the thread's error queue.
std::string handshakeFailureText(SSL* ssl, std::string_view reason) {
    std::string pieces(reason);
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

constexpr char kSocketBioName[] = "socket, no SIGPIPE";

// The socket BIO's write, made with sendSome: a peer that has gone makes it fail instead of raising
// SIGPIPE, whatever the process's disposition of that signal. Otherwise as the library's own.
int sendWithoutSignal(BIO* bio, const char* data, int size) {
    BIO_clear_retry_flags(bio);
    const int fd = static_cast<int>(BIO_get_fd(bio, nullptr));
    const long n = size > 0 ? sendSome(fd, data, static_cast<std::size_t>(size)) : 0;
    if (n <= 0 && BIO_sock_should_retry(static_cast<int>(n))) BIO_set_retry_write(bio);
    return static_cast<int>(n);
}

// The library's socket BIO with sendWithoutSignal as its write. It keeps the descriptor type, so
// SSL_get_fd still finds the socket. Null when the library cannot make it.
BIO_METHOD* newSocketMethod() {
    const BIO_METHOD* socket = BIO_s_socket();
    const int index = BIO_get_new_index();
    if (index == -1) return nullptr;
    BIO_METHOD* method = BIO_meth_new(index | BIO_TYPE_SOURCE_SINK | BIO_TYPE_DESCRIPTOR, kSocketBioName);
    if (method == nullptr) return nullptr;
    if (BIO_meth_set_write(method, sendWithoutSignal) != 1 ||
        BIO_meth_set_read(method, BIO_meth_get_read(socket)) != 1 ||
        BIO_meth_set_ctrl(method, BIO_meth_get_ctrl(socket)) != 1 ||
        BIO_meth_set_create(method, BIO_meth_get_create(socket)) != 1 ||
        BIO_meth_set_destroy(method, BIO_meth_get_destroy(socket)) != 1) {
        BIO_meth_free(method);
        return nullptr;
    }
    return method;
}

// Made once for the process and never freed: every SSL object uses it until it is freed itself.
const BIO_METHOD* socketMethod() {
    static BIO_METHOD* const method = newSocketMethod();
    return method;
}

// Hands the socket to the SSL object for reading and writing; the BIO does not close it.
bool attachSocket(SSL* ssl, int fd) {
    const BIO_METHOD* method = socketMethod();
    BIO* bio = method != nullptr ? BIO_new(method) : nullptr;
    if (bio == nullptr) return false;
    BIO_set_fd(bio, fd, BIO_NOCLOSE);
    SSL_set_bio(ssl, bio, bio);   // one reference for both directions, owned by the SSL object
    return true;
}

// Whether the handshake was keyed by the pre-shared key. Under TLS 1.3 the cipher list does not
// bind the handshake to it: a server that does not know the key can answer with a certificate
// instead, which nothing checks in this mode. An accepted external key reads as a reused session.
bool usedPreSharedKey(const SSL* ssl) {
    if (SSL_version(ssl) >= TLS1_3_VERSION) return SSL_session_reused(ssl) == 1;
    const SSL_CIPHER* cipher = SSL_get_current_cipher(ssl);
    if (cipher == nullptr) return false;
    switch (SSL_CIPHER_get_kx_nid(cipher)) {
    case NID_kx_psk:
    case NID_kx_ecdhe_psk:
    case NID_kx_dhe_psk:
    case NID_kx_rsa_psk:
        return true;
    default:
        return false;
    }
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
                const std::string& pskIdentity, const std::string& pskKeyHex, std::string& error,
                const ConnectControl& control) {
    // Idempotent and thread-safe; loads the error strings the texts below are made of.
    OPENSSL_init_ssl(OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS, nullptr);
    // Errors left by earlier calls on this thread must not show up in this attempt's texts.
    ERR_clear_error();

    SocketFd sock(tcpConnect(host, port, control));
    if (!sock.valid()) {
        error = kTcpConnectFailedText;
        return false;
    }

    SslCtxPtr ctx(SSL_CTX_new(TLS_client_method()));
    if (!ctx) {
        error = setupFailureText(kCtxNewFailedText);
        return false;
    }
    if (tlsPsk) {
        SSL_CTX_set_psk_client_callback(ctx.get(), pskClientCallback);
        // Governs TLS 1.2 and older only; a TLS 1.3 handshake is checked once it is done.
        if (SSL_CTX_set_cipher_list(ctx.get(), "PSK") != 1) {
            error = setupFailureText(kCipherListFailedText);
            return false;
        }
        SSL_CTX_set_verify(ctx.get(), SSL_VERIFY_NONE, nullptr);
    } else {
        if (!caPath.empty()) {
            if (SSL_CTX_load_verify_locations(ctx.get(), caPath.c_str(), nullptr) != 1) {
                error = setupFailureText(kLoadCaFailedText);
                return false;
            }
        } else {
            useSystemRoots(ctx.get());
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
    // The BIO does not close the descriptor: the connection's SocketFd does.
    if (!attachSocket(ssl.get(), sock.get())) {
        error = setupFailureText(kSslNewFailedText);
        return false;
    }

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
        error = handshakeFailureText(ssl.get(), {});
        return false;
    }

    const Deadline deadline = deadlineIn(kTlsHandshakeTimeoutMs);
    for (;;) {
        ERR_clear_error();
        int rc = SSL_connect(ssl.get());
        if (rc == 1) break;
        int reason = SSL_get_error(ssl.get(), rc);
        if (reason != SSL_ERROR_WANT_READ && reason != SSL_ERROR_WANT_WRITE) {
            error = handshakeFailureText(ssl.get(), {});
            return false;
        }
        const WaitResult waited = waitSocket(
            sock.get(), reason == SSL_ERROR_WANT_READ ? WaitFor::Read : WaitFor::Write, deadline, control.stop);
        if (waited != WaitResult::Ready) {
            error = handshakeFailureText(ssl.get(),
                                         waited == WaitResult::TimedOut ? kHandshakeTimeoutText : std::string_view());
            return false;
        }
    }
    // Dropped without a close_notify: nothing more goes to a broker that does not hold the key.
    if (tlsPsk && !usedPreSharedKey(ssl.get())) {
        error = handshakeFailureText(ssl.get(), kPskNotUsedText);
        return false;
    }
    ERR_clear_error();

    closeConnection(conn);
    conn.sock = std::move(sock);
    conn.ssl = std::move(ssl);
    conn.sslCtx = std::move(ctx);
    conn.tls = true;
    conn.stop = control.stop;
    return true;
}

}  // namespace vchat
