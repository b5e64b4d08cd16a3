// HMAC-SHA1 against the RFC 2202 test vectors.
#include "support/hmac.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string hex(std::string_view bytes) {
    static const char* digits = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

TEST(HmacTest, Rfc2202Sha1Vectors) {
    std::string key4;
    for (int i = 1; i <= 25; ++i) key4 += char(i);
    struct Case {
        std::string key, data, digest;
    };
    const Case cases[] = {
        {std::string(20, '\x0b'), "Hi There", "b617318655057264e28bc0b6fb378c8ef146be00"},
        {"Jefe", "what do ya want for nothing?", "effcdf6ae5eb2fa2d27416d5f184df9c259a7c79"},
        {std::string(20, '\xaa'), std::string(50, '\xdd'),
         "125d7342b9ac11cd91a39af48aa17b4f63f175d3"},
        {key4, std::string(50, '\xcd'), "4c9007f4026250c6bc8414f9bf50c86c2d7235da"},
        {std::string(20, '\x0c'), "Test With Truncation",
         "4c1a03424b55e07fe7f27be1d58bb9324a9a5a04"},
        {std::string(80, '\xaa'), "Test Using Larger Than Block-Size Key - Hash Key First",
         "aa4ae5e15272d00e95705637ce8a3b55ed402112"},
        {std::string(80, '\xaa'),
         "Test Using Larger Than Block-Size Key and Larger Than One Block-Size Data",
         "e8e99d0f45237d786d6bbaa7965c7808bbff1a91"},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        const Case& c = cases[i];
        EXPECT_EQ(hex(support::GenerateHMAC(c.key, c.data)), c.digest) << "case " << i + 1;
        unsigned char out[support::kHmacSize + 4] = {};
        out[support::kHmacSize] = 0x5a;
        ASSERT_EQ(
            support::GenerateHMAC(c.key.data(), c.key.size(), c.data.data(), c.data.size(), out),
            support::kHmacSize);
        EXPECT_EQ(hex(std::string_view(reinterpret_cast<char*>(out), support::kHmacSize)),
                  c.digest);
        EXPECT_EQ(out[support::kHmacSize], 0x5a) << "wrote past the digest";
    }
}

TEST(HmacTest, EmptyAndInvalidArguments) {
    // HMAC-SHA1 of an empty message under an empty key.
    EXPECT_EQ(hex(support::GenerateHMAC("", "")), "fbdb1d1b18aa6c08324b7d64b71fb76370690e1d");
    unsigned char out[support::kHmacSize];
    EXPECT_EQ(support::GenerateHMAC(nullptr, 0, nullptr, 0, out), support::kHmacSize);
    EXPECT_EQ(hex(std::string_view(reinterpret_cast<char*>(out), sizeof out)),
              "fbdb1d1b18aa6c08324b7d64b71fb76370690e1d");
    EXPECT_EQ(support::GenerateHMAC(nullptr, 3, "x", 1, out), 0u);
    EXPECT_EQ(support::GenerateHMAC("k", 1, nullptr, 1, out), 0u);
    EXPECT_EQ(support::GenerateHMAC("k", 1, "x", 1, nullptr), 0u);
}

}  // namespace
