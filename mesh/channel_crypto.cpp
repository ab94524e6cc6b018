#include "mesh/channel_crypto.h"

#include <openssl/evp.h>

#include <climits>
#include <memory>

namespace vchat {

namespace {

constexpr std::uint8_t kInvalid = 0xFF;
constexpr char kBase64Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// 256 entries so any byte indexes it directly; everything outside the alphabet is kInvalid.
constexpr std::array<std::uint8_t, 256> makeBase64Table() {
    std::array<std::uint8_t, 256> table{};
    for (auto& entry : table) entry = kInvalid;
    for (std::uint8_t i = 0; i < 64; ++i) table[static_cast<unsigned char>(kBase64Alphabet[i])] = i;
    return table;
}

constexpr std::array<std::uint8_t, 256> kBase64Table = makeBase64Table();

struct CipherCtxFree {
    void operator()(EVP_CIPHER_CTX* ctx) const { EVP_CIPHER_CTX_free(ctx); }
};
using CipherCtxPtr = std::unique_ptr<EVP_CIPHER_CTX, CipherCtxFree>;

const unsigned char* bytesOf(std::string_view s) {
    return reinterpret_cast<const unsigned char*>(s.data());
}

}  // namespace

std::string decodeBase64(std::string_view text) {
    std::string out;
    out.reserve(text.size() * 3 / 4);
    std::uint32_t accumulator = 0;
    int bits = -8;
    for (char c : text) {
        const std::uint8_t value = kBase64Table[static_cast<unsigned char>(c)];
        // "=", CR, LF, space and tab are outside the alphabet too, so one test skips them all.
        if (value == kInvalid) continue;
        // Only the low 14 bits can still reach the output; masking keeps the value bounded.
        accumulator = ((accumulator << 6) | value) & 0x3FFF;
        bits += 6;
        if (bits >= 0) {
            out.push_back(static_cast<char>((accumulator >> bits) & 0xFF));
            bits -= 8;
        }
    }
    return out;
}

std::string encodeBase64(std::string_view bytes) {
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    std::size_t i = 0;
    for (; i + 2 < bytes.size(); i += 3) {
        const unsigned v = static_cast<unsigned char>(bytes[i]) << 16 | static_cast<unsigned char>(bytes[i + 1]) << 8 |
                           static_cast<unsigned char>(bytes[i + 2]);
        out += kBase64Alphabet[v >> 18];
        out += kBase64Alphabet[(v >> 12) & 63];
        out += kBase64Alphabet[(v >> 6) & 63];
        out += kBase64Alphabet[v & 63];
    }
    if (i < bytes.size()) {
        const bool two = i + 1 < bytes.size();
        const unsigned v = static_cast<unsigned char>(bytes[i]) << 16 |
                           (two ? static_cast<unsigned char>(bytes[i + 1]) << 8 : 0u);
        out += kBase64Alphabet[v >> 18];
        out += kBase64Alphabet[(v >> 12) & 63];
        out += two ? kBase64Alphabet[(v >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

std::string deriveChannelKey(std::string_view psk) {
    if (psk.size() == kAes128KeyBytes || psk.size() == kAes256KeyBytes) return std::string(psk);
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int digestLength = 0;
    // SHA-256 over an in-memory buffer only fails if the library itself is broken; a zero key is
    // then still a well-formed AES-128 key and decryption merely yields garbage.
    if (EVP_Digest(psk.data(), psk.size(), digest, &digestLength, EVP_sha256(), nullptr) != 1 ||
        digestLength < kAes128KeyBytes) {
        return std::string(kAes128KeyBytes, '\0');
    }
    return std::string(reinterpret_cast<const char*>(digest), kAes128KeyBytes);
}

CtrBlock makeCtrNonce(std::uint32_t first, std::uint32_t second) {
    CtrBlock block{};
    for (int i = 0; i < 4; ++i) {
        block[i] = static_cast<unsigned char>(first >> (24 - 8 * i));
        block[4 + i] = static_cast<unsigned char>(second >> (24 - 8 * i));
    }
    return block;
}

bool decryptChannelPayload(std::string_view key, const CtrBlock& counter, std::string_view ciphertext,
                           std::string& plaintext) {
    plaintext.clear();
    const EVP_CIPHER* cipher = nullptr;
    if (key.size() == kAes128KeyBytes) {
        cipher = EVP_aes_128_ctr();
    } else if (key.size() == kAes256KeyBytes) {
        cipher = EVP_aes_256_ctr();
    }
    // Any other length would make OpenSSL read past the key.
    if (cipher == nullptr) return false;
    // One update call takes an int length.
    if (ciphertext.size() > static_cast<std::size_t>(INT_MAX) - kCtrBlockBytes) return false;

    CipherCtxPtr ctx(EVP_CIPHER_CTX_new());
    if (!ctx) return false;
    if (EVP_DecryptInit_ex2(ctx.get(), cipher, bytesOf(key), counter.data(), nullptr) != 1) {
        return false;
    }
    // Counter mode never grows the output, but the block size is the documented bound.
    std::string out(ciphertext.size() + kCtrBlockBytes, '\0');
    auto* outBytes = reinterpret_cast<unsigned char*>(out.data());
    int updateLength = 0;
    if (EVP_DecryptUpdate(ctx.get(), outBytes, &updateLength, bytesOf(ciphertext),
                          static_cast<int>(ciphertext.size())) != 1) {
        return false;
    }
    int finalLength = 0;
    if (EVP_DecryptFinal_ex(ctx.get(), outBytes + updateLength, &finalLength) != 1) return false;
    out.resize(static_cast<std::size_t>(updateLength) + static_cast<std::size_t>(finalLength));
    plaintext = std::move(out);
    return true;
}

}  // namespace vchat
