#include "mqtt/secure_random.h"

#include <openssl/err.h>
#include <openssl/rand.h>

#include <algorithm>
#include <climits>

namespace vchat {

bool secureRandomBytes(std::uint8_t* out, std::size_t size) {
    while (size > 0) {
        const int chunk = static_cast<int>(std::min<std::size_t>(size, INT_MAX));
        if (RAND_bytes(out, chunk) != 1) {
            // What the generator queued must not show up in a later TLS error text.
            ERR_clear_error();
            return false;
        }
        out += chunk;
        size -= static_cast<std::size_t>(chunk);
    }
    return true;
}

}  // namespace vchat
