#include "mesh/channel_crypto.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include "tests/support/test_support.h"

namespace vchat {
namespace {

using testing::fromHex;

// NIST SP 800-38A, F.5.1 (CTR-AES128) and F.5.5 (CTR-AES256): same counter block and plaintext.
constexpr const char* kNistCounter = "f0f1f2f3f4f5f6f7f8f9fafbfcfdfeff";
constexpr const char* kNistPlaintext =
    "6bc1bee22e409f96e93d7e117393172a"
    "ae2d8a571e03ac9c9eb76fac45af8e51"
    "30c81c46a35ce411e5fbc1191a0a52ef"
    "f69f2445df4f9b17ad2b417be66c3710";

CtrBlock blockFromHex(const char* hex) {
    const std::string bytes = fromHex(hex);
    CtrBlock block{};
    std::copy(bytes.begin(), bytes.end(), block.begin());
    return block;
}

TEST(DecryptChannelPayloadTest, NistCtrVectors) {
    struct Case {
        const char* name;
        const char* key;
        const char* ciphertext;
    };
    const Case cases[] = {
        {"F.5.1 AES-128", "2b7e151628aed2a6abf7158809cf4f3c",
         "874d6191b620e3261bef6864990db6ce"
         "9806f66b7970fdff8617187bb9fffdff"
         "5ae4df3edbd5d35e5b4f09020db03eab"
         "1e031dda2fbe03d1792170a0f3009cee"},
        {"F.5.5 AES-256", "603deb1015ca71be2b73aef0857d77811f352c073b6108d72d9810a30914dff4",
         "601ec313775789a5b7a7f504bbf3d228"
         "f443e3ca4d62b59aca84e990cacaf5c5"
         "2b0930daa23de94ce87017ba2d84988d"
         "dfc9c58db67aada613c2dd08457941a6"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        // Counter mode is its own inverse: decrypting the vector's ciphertext gives its plaintext.
        std::string plaintext;
        ASSERT_TRUE(decryptChannelPayload(fromHex(c.key), blockFromHex(kNistCounter),
                                          fromHex(c.ciphertext), plaintext));
        EXPECT_EQ(plaintext, fromHex(kNistPlaintext));
        // And a cut in the middle of a block keeps exactly the bytes given.
        ASSERT_TRUE(decryptChannelPayload(fromHex(c.key), blockFromHex(kNistCounter),
                                          fromHex(c.ciphertext).substr(0, 37), plaintext));
        EXPECT_EQ(plaintext, fromHex(kNistPlaintext).substr(0, 37));
    }
}

// AES-128-ECB of one block, to compute a counter mode keystream independently.
std::string ecbBlock(const std::string& key, const std::string& block) {
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    unsigned char out[32];
    int outLength = 0;
    EVP_EncryptInit_ex2(ctx, EVP_aes_128_ecb(), reinterpret_cast<const unsigned char*>(key.data()),
                        nullptr, nullptr);
    EVP_CIPHER_CTX_set_padding(ctx, 0);
    EVP_EncryptUpdate(ctx, out, &outLength, reinterpret_cast<const unsigned char*>(block.data()), 16);
    EVP_CIPHER_CTX_free(ctx);
    return std::string(reinterpret_cast<char*>(out), 16);
}

TEST(DecryptChannelPayloadTest, CounterCarriesAcrossAllSixteenBytes) {
    // The counter block of packet numbers ffffffff/ffffffff: the low half is already zero, so make one
    // whose low 64 bits are all ones and check the second block used the carry into byte 7.
    const std::string key = fromHex("000102030405060708090a0b0c0d0e0f");
    const char* counterHex = "0000000100000000ffffffffffffffff";
    const std::string zeros(32, '\0');
    std::string keystream;
    ASSERT_TRUE(decryptChannelPayload(key, blockFromHex(counterHex), zeros, keystream));
    EXPECT_EQ(keystream.substr(0, 16), ecbBlock(key, fromHex(counterHex)));
    EXPECT_EQ(keystream.substr(16), ecbBlock(key, fromHex("00000001000000010000000000000000")));
}

TEST(DecryptChannelPayloadTest, RoundTripKeepsLength) {
    const std::string key = fromHex("2b7e151628aed2a6abf7158809cf4f3c");
    const CtrBlock counter = makeCtrNonce(0x01020304, 0xA0B0C0D0);
    std::string plaintext;
    ASSERT_TRUE(decryptChannelPayload(key, counter, "hello", plaintext));
    EXPECT_EQ(plaintext.size(), 5u);
    std::string back;
    ASSERT_TRUE(decryptChannelPayload(key, counter, plaintext, back));
    EXPECT_EQ(back, "hello");
    ASSERT_TRUE(decryptChannelPayload(key, counter, "", plaintext));
    EXPECT_EQ(plaintext, "");
}

TEST(DecryptChannelPayloadTest, RefusesKeysOfOtherLengths) {
    for (std::size_t length : {0u, 1u, 15u, 17u, 24u, 31u, 33u}) {
        SCOPED_TRACE(length);
        std::string plaintext = "junk";
        EXPECT_FALSE(decryptChannelPayload(std::string(length, 'k'), makeCtrNonce(1, 2), "abc",
                                           plaintext));
        EXPECT_EQ(plaintext, "");
    }
}

TEST(MakeCtrNonceTest, BigEndianNumbersThenZeros) {
    EXPECT_EQ(makeCtrNonce(0x01020304, 0xA0B0C0D0), blockFromHex("01020304a0b0c0d00000000000000000"));
    EXPECT_EQ(makeCtrNonce(0xFFFFFFFF, 0), blockFromHex("ffffffff000000000000000000000000"));
}

TEST(DeriveChannelKeyTest, LengthsSixteenAndThirtyTwoAreUsedAsIsOthersAreHashed) {
    auto counting = [](std::size_t n) {
        std::string s;
        for (std::size_t i = 0; i < n; ++i) s.push_back(static_cast<char>(i));
        return s;
    };
    // Digests computed with `openssl dgst -sha256` over the same bytes; the key is their first half.
    struct Case {
        const char* name;
        std::string psk;
        std::string key;
    };
    const Case cases[] = {
        {"one byte (the preset key)", fromHex("02"), fromHex("dbc1b4c900ffe48d575b5da5c6380401")},
        {"16 bytes", counting(16), counting(16)},
        {"17 bytes", counting(17), fromHex("3e5718fea51a8f3f5baca61c77afab47")},
        {"32 bytes", counting(32), counting(32)},
        {"33 bytes", counting(33), fromHex("5d8fcfefa9aeeb711fb8ed1e4b7d5c8a")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(deriveChannelKey(c.psk), c.key);
    }
}

TEST(DecodeBase64Test, Rfc4648Vectors) {
    const std::pair<const char*, const char*> cases[] = {
        {"", ""},         {"Zg==", "f"},         {"Zm8=", "fo"},         {"Zm9v", "foo"},
        {"Zm9vYg==", "foob"}, {"Zm9vYmE=", "fooba"}, {"Zm9vYmFy", "foobar"},
    };
    for (const auto& [text, bytes] : cases) {
        SCOPED_TRACE(text);
        EXPECT_EQ(decodeBase64(text), bytes);
    }
}

TEST(DecodeBase64Test, WholeAlphabetAndHighBytes) {
    EXPECT_EQ(decodeBase64("+/+/"), fromHex("fbffbf"));
    EXPECT_EQ(decodeBase64("AAECA/7/"), fromHex("000102" "03feff"));
}

TEST(DecodeBase64Test, LenientInput) {
    const std::pair<std::string, std::string> cases[] = {
        {"Zm9v==", "foo"},
        {"Zm 9v", "foo"},
        {"Zm9v\n", "foo"},
        {"Z\r\nm\t9v", "foo"},
        {"Zm-9v", "foo"},
        {"Z_m9v", "foo"},
        {"=Z=m=9=v=", "foo"},
        {std::string("Zm\0" "9v", 5), "foo"},
        {"Zm\x80\xff" "9v", "foo"},
        {"Zm9", "fo"},       // two leftover bits dropped
        {"Z", ""},
        {"====", ""},
        {"-_.!", ""},
    };
    for (const auto& [text, bytes] : cases) {
        SCOPED_TRACE(text);
        EXPECT_EQ(decodeBase64(text), bytes);
    }
}

TEST(DecodeBase64Test, FormLengthKeysGiveAes256AndAes128KeysUnchanged) {
    // 43 characters and "=" give 32 bytes; 22 characters and "==" give 16 bytes.
    const std::string key32 = decodeBase64("AQIDBAUGBwgJCgsMDQ4PEBESExQVFhcYGRobHB0eHyA=");
    ASSERT_EQ(key32.size(), 32u);
    EXPECT_EQ(key32.front(), '\x01');
    EXPECT_EQ(key32.back(), '\x20');
    EXPECT_EQ(deriveChannelKey(key32), key32);
    const std::string key16 = decodeBase64("AQIDBAUGBwgJCgsMDQ4PEA==");
    ASSERT_EQ(key16.size(), 16u);
    EXPECT_EQ(deriveChannelKey(key16), key16);
    EXPECT_EQ(decodeBase64("Ag=="), fromHex("02"));
}

}  // namespace
}  // namespace vchat
