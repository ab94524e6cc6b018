// The channel key and the decryption of channel payloads (AES in counter mode, OpenSSL EVP).
//
// Error convention: functions that can fail return bool and hand their result back through an
// out-parameter, which stays empty on failure. The others cannot fail.
// Everything here is safe to call from any thread: the Base64 table is constant and every OpenSSL
// context is local to one call.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace vchat {

inline constexpr std::size_t kAes128KeyBytes = 16;
inline constexpr std::size_t kAes256KeyBytes = 32;
inline constexpr std::size_t kCtrBlockBytes = 16;

using CtrBlock = std::array<unsigned char, kCtrBlockBytes>;

// Standard Base64 alphabet, decoded leniently: "=", CR, LF, space, tab and every byte outside the
// alphabet (the URL-safe "-" and "_" included) are skipped; bits left over at the end are dropped.
// Never fails; text without alphabet characters gives empty bytes.
std::string decodeBase64(std::string_view text);
// Standard Base64 with "=" padding.
std::string encodeBase64(std::string_view bytes);

// A 16- or 32-byte PSK is the key itself; any other length gives the first 16 bytes of its SHA-256
// digest. Always returns 16 or 32 bytes.
std::string deriveChannelKey(std::string_view psk);

// `first` then `second`, each big-endian, then eight zero bytes.
CtrBlock makeCtrNonce(std::uint32_t first, std::uint32_t second);

// AES-128-CTR for a 16-byte key, AES-256-CTR for a 32-byte key, counter incremented as one 128-bit
// big-endian number per block. The plaintext has exactly the ciphertext's length. False (plaintext
// left empty) for any other key length or when OpenSSL reports a failure.
bool decryptChannelPayload(std::string_view key, const CtrBlock& counter, std::string_view ciphertext,
                           std::string& plaintext);

}  // namespace vchat
