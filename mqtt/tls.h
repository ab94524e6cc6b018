// TLS layer: opens the broker connection over TLS, in certificate mode or pre-shared-key mode.
//
// Error convention: tlsConnect returns bool with a one-line error text as out-parameter; hexToBytes
// returns a byte count or -1. Nothing here writes to the log and no exception leaves this header's
// functions.
//
// What the byte operations (sendRaw, recvSome, waitToRead, closeConnection) may rely on for a
// connection filled by tlsConnect:
//  - the socket stays non-blocking and the SSL object reads and writes it through a socket BIO
//    whose writes go through sendSome: a write to a peer that has gone fails and never raises
//    SIGPIPE, whatever the process's disposition of it;
//  - SSL_MODE_ENABLE_PARTIAL_WRITE is off, so SSL_write returns either the whole length or <= 0;
//    SSL_ERROR_WANT_READ / SSL_ERROR_WANT_WRITE mean "wait, then call SSL_write / SSL_read again
//    with the same arguments"; SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER is on;
//  - SSL_get_error reads the thread's error queue too: call ERR_clear_error() before each SSL_read /
//    SSL_write whose failure is examined;
//  - decrypted bytes the library holds are visible through SSL_pending only (the socket no longer
//    shows them): a read comes before a wait, or a wait checks SSL_pending first. SSL_has_pending
//    also counts the start of a record that is still arriving, which SSL_read cannot hand out yet:
//    SSL_read then fails with SSL_ERROR_WANT_READ, and the wait is on the socket;
//  - SslDeleter frees the PskCredentials attached at application data index 0, then the SSL object.
//    It neither shuts TLS down nor closes the socket (the BIO does not own the descriptor).
#pragma once

#include <openssl/ssl.h>

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "mqtt/broker_connection.h"

namespace vchat {

// The whole handshake, all waits included, ends within this time.
inline constexpr int kTlsHandshakeTimeoutMs = 10000;
// Longest pre-shared key taken from the key text; longer text is cut there.
inline constexpr std::size_t kMaxPskKeyBytes = 256;
// Application data index of the SSL object that holds the PskCredentials.
inline constexpr int kPskExDataIndex = 0;

// Attached to the SSL object in pre-shared-key mode; read by pskClientCallback.
struct PskCredentials {
    std::string identity;
    std::string keyHex;
};

// Connects to host:port over TCP (tcpConnect) and performs the TLS handshake, bounded to
// kTlsHandshakeTimeoutMs in total; a raised control.stop ends it at once (the result is then false).
//  - tlsPsk true: cipher list "PSK", credentials from pskIdentity / pskKeyHex (hex text, see
//    hexToBytes); no certificate checks; verifyServer and caPath are not used. The connection
//    stands only when the key was used (TLS 1.3: the broker accepted it; TLS 1.2 and older: a
//    PSK key exchange). A broker that completes a handshake without it, as a TLS 1.3 server with a
//    certificate can, gets no byte of application data: that is a failed handshake.
//  - tlsPsk false: trust store from caPath (a PEM bundle file) or, when empty, the system defaults;
//    with verifyServer the chain is verified and host (a name or an IP literal) must match the
//    certificate; without it any certificate is accepted.
// The host is sent as server name in both modes.
// True: whatever conn held is closed (closeConnection), then conn holds sock, ssl, sslCtx, tls = true
// and stop = control.stop; error is untouched. False: everything opened here is released, conn is
// untouched, and error holds one line (the worker logs it after its own prefix):
//   "tcp_connect_failed"                       no address accepted the TCP connection
//   "SSL_CTX_new: " / "SSL_new: " + reason     the library could not set up
//   "SSL_CTX_set_cipher_list: " + reason       the library refused the PSK cipher list
//   "load CA failed: " + reason                caPath could not be loaded
//   "SSL_connect failed: " + the queued library errors joined by " | " ("no_error" when none;
//     "handshake_timeout" first when the time bound ran out; "broker did not use the pre-shared
//     key" first when the PSK check above failed), then " verify_result=" + reason when
//     certificate verification failed (in PSK mode too, where it is not enforced), then
//     " peer_subject=" + subject + " issuer=" + issuer when the broker presented a certificate.
bool tlsConnect(BrokerConnection& conn, const std::string& host, const std::string& port,
                bool verifyServer, const std::string& caPath, bool tlsPsk,
                const std::string& pskIdentity, const std::string& pskKeyHex, std::string& error,
                const ConnectControl& control = {});

// OpenSSL's PSK client callback. Copies the identity (refused when it does not fit with its
// terminating zero, or holds a zero byte) and the decoded key (refused when empty, not
// hexadecimal, or larger than maxPskLen). Returns the key length, or 0 to refuse. The server's
// hint is ignored.
unsigned int pskClientCallback(SSL* ssl, const char* hint, char* identity,
                               unsigned int maxIdentityLen, unsigned char* psk,
                               unsigned int maxPskLen);

// Decodes hexadecimal text two characters at a time (0-9, a-f, A-F; the first is the high half).
// A trailing odd character is ignored; decoding stops after kMaxPskKeyBytes bytes. Returns the
// number of bytes written, or -1 when a character that would be decoded is not a hex digit (out may
// then hold some bytes).
int hexToBytes(std::string_view hex, std::array<std::uint8_t, kMaxPskKeyBytes>& out);

// Takes the oldest code off this thread's OpenSSL error queue and returns its text.
std::string sslErrorText();

}  // namespace vchat
