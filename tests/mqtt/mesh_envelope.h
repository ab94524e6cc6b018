// An encrypted gateway envelope written out by hand (protobuf fields and AES-CTR straight from
// OpenSSL), for feeding real brokers in tests and the ingest benchmark.
#pragma once

#include <openssl/evp.h>
#include <openssl/sha.h>

#include <cstdint>
#include <string>

namespace vchat::testing {

inline std::string varint(std::uint64_t v) {
    std::string out;
    while (v >= 0x80) {
        out.push_back(static_cast<char>((v & 0x7F) | 0x80));
        v >>= 7;
    }
    out.push_back(static_cast<char>(v));
    return out;
}

inline std::string lengthField(std::uint8_t tag, const std::string& bytes) {
    return std::string(1, static_cast<char>(tag)) + varint(bytes.size()) + bytes;
}

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
    const std::string packet = std::string(1, '\x08') + varint(first) + std::string(1, '\x30') + varint(second) +
                               lengthField(0x2A, ciphertext);
    return lengthField(0x12, label) + lengthField(0x0A, packet);
}

}  // namespace vchat::testing
