// Pre-shared-key pieces that need no network: hex decoding and the PSK client callback.
#include <gtest/gtest.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "mqtt/tls.h"

namespace vchat {
namespace {

using Bytes = std::vector<std::uint8_t>;

TEST(TlsHexToBytes, DecodesTable) {
    struct Case {
        const char* name;
        std::string hex;
        int result;
        Bytes bytes;
    };
    const std::vector<Case> cases = {
        {"empty", "", 0, {}},
        {"one character", "a", 0, {}},
        {"one character, not hex", "z", 0, {}},
        {"lower case", "0a1b2c", 3, {0x0a, 0x1b, 0x2c}},
        {"upper case", "FFEE", 2, {0xff, 0xee}},
        {"mixed case, high half first", "aB0f", 2, {0xab, 0x0f}},
        {"odd length drops the last character", "12345", 2, {0x12, 0x34}},
        {"odd length, last character not hex", "1234g", 2, {0x12, 0x34}},
        {"not hex in the first pair", "g0", -1, {}},
        {"not hex in the second half", "0g", -1, {}},
        {"not hex later on", "0011zz", -1, {}},
        {"space", "00 11", -1, {}},
        {"sign", "-1", -1, {}},
        {"zero byte inside", std::string("0\0", 2), -1, {}},
        {"high bit byte", "\xff" "0", -1, {}},
    };
    for (const Case& c : cases) {
        std::array<std::uint8_t, kMaxPskKeyBytes> out{};
        int n = hexToBytes(c.hex, out);
        EXPECT_EQ(n, c.result) << c.name;
        if (n > 0) {
            EXPECT_EQ(Bytes(out.begin(), out.begin() + n), c.bytes) << c.name;
        }
    }
}

TEST(TlsHexToBytes, LongTextIsCutAt256Bytes) {
    std::string hex;
    for (int i = 0; i < 300; ++i) {
        static const char digits[] = "0123456789abcdef";
        hex += digits[(i >> 4) & 15];
        hex += digits[i & 15];
    }
    ASSERT_EQ(hex.size(), 600u);
    std::array<std::uint8_t, kMaxPskKeyBytes> out{};
    ASSERT_EQ(hexToBytes(hex, out), 256);
    for (int i = 0; i < 256; ++i) ASSERT_EQ(out[i], static_cast<std::uint8_t>(i)) << i;
    // A bad character past the cut is never looked at.
    EXPECT_EQ(hexToBytes(hex.substr(0, 512) + "zz", out), 256);
    EXPECT_EQ(hexToBytes(hex.substr(0, 510) + "zz", out), -1);
}

// An SSL object to hang credentials on; the callback never touches the network.
struct CallbackFixture {
    SslCtxPtr ctx{SSL_CTX_new(TLS_client_method())};
    SslPtr ssl{ctx ? SSL_new(ctx.get()) : nullptr};

    void attach(const std::string& identity, const std::string& keyHex) {
        SSL_set_ex_data(ssl.get(), kPskExDataIndex, new PskCredentials{identity, keyHex});
    }
};

TEST(TlsPskCallback, CopiesIdentityAndDecodedKey) {
    CallbackFixture f;
    ASSERT_TRUE(f.ssl);
    f.attach("node-7", "00112233aabbccddeeff");
    char identity[257];
    std::memset(identity, 'x', sizeof identity);
    unsigned char psk[512];
    std::memset(psk, 0x5a, sizeof psk);
    unsigned int n = pskClientCallback(f.ssl.get(), "hint ignored", identity, 256, psk, sizeof psk);
    ASSERT_EQ(n, 10u);
    EXPECT_STREQ(identity, "node-7");
    EXPECT_EQ(Bytes(psk, psk + 10),
              (Bytes{0x00, 0x11, 0x22, 0x33, 0xaa, 0xbb, 0xcc, 0xdd, 0xee, 0xff}));
    EXPECT_EQ(psk[10], 0x5a) << "nothing written past the key";
}

TEST(TlsPskCallback, RefusesTable) {
    struct Case {
        const char* name;
        bool attach;
        std::string identity;
        std::string keyHex;
        unsigned int maxIdentity;
        unsigned int maxPsk;
    };
    const std::vector<Case> cases = {
        {"no credentials attached", false, "", "", 256, 512},
        {"non-hex character in the key", true, "id", "0011x2", 256, 512},
        {"empty key", true, "id", "", 256, 512},
        {"one-character key", true, "id", "a", 256, 512},
        {"identity without room for its zero byte", true, std::string(256, 'i'), "0011", 256, 512},
        {"identity with a zero byte inside", true, std::string("ab\0cd", 5), "0011", 256, 512},
        {"key larger than the library's buffer", true, "id", "00112233", 256, 3},
    };
    for (const Case& c : cases) {
        CallbackFixture f;
        ASSERT_TRUE(f.ssl);
        if (c.attach) f.attach(c.identity, c.keyHex);
        char identity[600] = {};
        unsigned char psk[600] = {};
        EXPECT_EQ(pskClientCallback(f.ssl.get(), nullptr, identity, c.maxIdentity, psk, c.maxPsk), 0u)
            << c.name;
    }
}

TEST(TlsPskCallback, IdentityAtTheLimitAndLongKeyFit) {
    CallbackFixture f;
    ASSERT_TRUE(f.ssl);
    std::string hex;
    for (int i = 0; i < 600; ++i) hex += "0123456789abcdef"[i % 16];
    f.attach(std::string(255, 'i'), hex + "1");
    char identity[256];
    unsigned char psk[512];
    ASSERT_EQ(pskClientCallback(f.ssl.get(), nullptr, identity, 256, psk, sizeof psk), 256u);
    EXPECT_EQ(std::string(identity), std::string(255, 'i'));
    EXPECT_EQ(psk[0], 0x01);
    EXPECT_EQ(psk[255], 0xef);
}

TEST(TlsErrorText, TakesOldestQueuedError) {
    ERR_clear_error();
    SslCtxPtr ctx(SSL_CTX_new(TLS_client_method()));
    ASSERT_TRUE(ctx);
    ASSERT_NE(SSL_CTX_load_verify_locations(ctx.get(), "/nonexistent/vchat-ca.pem", nullptr), 1);
    std::string text = sslErrorText();
    EXPECT_EQ(text.rfind("error:", 0), 0u) << text;
    EXPECT_NE(text.find("No such file"), std::string::npos) << text;
    ERR_clear_error();
}

}  // namespace
}  // namespace vchat
