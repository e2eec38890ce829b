#include "Platform/Crypto.h"

#include <gtest/gtest.h>

#include <regex>
#include <set>

namespace sorvel::platform::crypto {
namespace {

TEST(CryptoTest, DigestsAndHmacMatchPublishedVectors) {
    // FIPS 180-2 and RFC 1321 examples.
    EXPECT_EQ(toHexLower(sha256("abc")),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(toHexLower(sha256("")),
              "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(toHexUpper(md5("")), "D41D8CD98F00B204E9800998ECF8427E");
    EXPECT_EQ(toHexLower(md5("message digest")), "f96b697d7cb7938d525a2f31aaf161d0");
    // RFC 4231 test case 2.
    EXPECT_EQ(toHexLower(hmacSha256("Jefe", "what do ya want for nothing?")),
              "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843");
    // An empty key is legal and differs from no HMAC at all.
    EXPECT_EQ(hmacSha256("", "x").size(), 32u);
}

TEST(CryptoTest, Base64RoundTripsAndRejectsGarbage) {
    const std::pair<std::string, std::string> vectors[] = {
        {"", ""},
        {"f", "Zg=="},
        {"fo", "Zm8="},
        {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="},
        {"fooba", "Zm9vYmE="},
        {"foobar", "Zm9vYmFy"},
    };
    for (const auto& [plain, encoded] : vectors) {
        EXPECT_EQ(base64Encode(plain), encoded);
        auto decoded = base64Decode(encoded);
        ASSERT_TRUE(decoded.has_value()) << encoded;
        EXPECT_EQ(std::string(decoded->begin(), decoded->end()), plain);
    }
    // Long input has no line breaks.
    std::string big(5000, 'x');
    EXPECT_EQ(base64Encode(big).find('\n'), std::string::npos);
    Bytes binary{0, 255, 10, 13};
    auto back = base64Decode(base64Encode(binary));
    ASSERT_TRUE(back);
    EXPECT_EQ(*back, binary);

    EXPECT_FALSE(base64Decode("abc").has_value());
    EXPECT_FALSE(base64Decode("ab!=").has_value());
    EXPECT_FALSE(base64Decode("Zm9v\nYmFy").has_value());
    // Padding only at the end, one or two characters.
    for (const char* bad : {"A===", "====", "AB=C", "=AAA", "Zg==Zg==", "Zm9v===="}) {
        EXPECT_FALSE(base64Decode(bad).has_value()) << bad;
    }
}

TEST(CryptoTest, UuidsAreUpperCaseVersion4AndUnique) {
    std::regex shape("^[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}$");
    std::set<std::string> seen;
    for (int i = 0; i < 1000; ++i) {
        auto u = uuidString();
        ASSERT_TRUE(std::regex_match(u, shape)) << u;
        seen.insert(u);
    }
    EXPECT_EQ(seen.size(), 1000u);
}

}  // namespace
}  // namespace sorvel::platform::crypto
