// Lenient Base64 decoding of arbitrary text: never fails, and yields exactly six bits per alphabet
// character, whole bytes only.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "mesh/channel_crypto.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::size_t valid = 0;
    for (char c : text) {
        if (c != '\0' && std::strchr(kAlphabet, c) != nullptr) ++valid;
    }
    const std::string bytes = vchat::decodeBase64(text);
    if (bytes.size() != valid * 6 / 8) std::abort();
    return 0;
}
