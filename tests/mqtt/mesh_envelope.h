// An encrypted gateway envelope built independently of the client (the shared protobuf writer and
// AES-CTR straight from OpenSSL), for feeding real brokers in tests and the ingest benchmark.
#pragma once

#include <openssl/evp.h>
#include <openssl/sha.h>

#include <cstdint>
#include <string>

#include "tools/gateway-sim/proto_writer.h"

namespace vchat::testing {

// AES-128-CTR under the first 16 bytes of SHA-256(psk), counter block first|second|0*8.
// For a psk of any length but 16 or 32 bytes, which is what the tests use.
inline std::string encryptForChannel(const std::string& psk, std::uint32_t first, std::uint32_t second,
                                     const std::string& plaintext) {
    unsigned char digest[SHA256_DIGEST_LENGTH];
    SHA256(reinterpret_cast<const unsigned char*>(psk.data()), psk.size(), digest);
    unsigned char iv[16] = {static_cast<unsigned char>(first >> 24),  static_cast<unsigned char>(first >> 16),
                            static_cast<unsigned char>(first >> 8),   static_cast<unsigned char>(first),
                            static_cast<unsigned char>(second >> 24), static_cast<unsigned char>(second >> 16),
                            static_cast<unsigned char>(second >> 8),  static_cast<unsigned char>(second)};
    std::string out(plaintext.size(), '\0');
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    int len = 0;
    EVP_EncryptInit_ex(ctx, EVP_aes_128_ctr(), nullptr, digest, iv);
    EVP_EncryptUpdate(ctx, reinterpret_cast<unsigned char*>(out.data()), &len,
                      reinterpret_cast<const unsigned char*>(plaintext.data()), static_cast<int>(plaintext.size()));
    EVP_CIPHER_CTX_free(ctx);
    return out;
}

// Envelope: the printable channel label first, then the packet (from, id, encrypted payload).
inline std::string meshEnvelope(const std::string& label, std::uint32_t first, std::uint32_t second,
                                const std::string& ciphertext) {
    const std::string packet =
        sim::ProtoWriter{}.varint(1, first).varint(6, second).lengthDelimited(5, ciphertext).bytes;
    return sim::ProtoWriter{}.lengthDelimited(2, label).lengthDelimited(1, packet).bytes;
}

}  // namespace vchat::testing
