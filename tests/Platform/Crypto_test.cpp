#include "Platform/Crypto.h"

#include <gtest/gtest.h>

#include <regex>
#include <set>

#include "Base/Hex.h"

namespace sorvel::platform::crypto {
namespace {

TEST(CryptoTest, DigestsAndHmacMatchPublishedVectors) {
    // FIPS 180-2 and RFC 1321 examples.
    EXPECT_EQ(text::toHex(sha256("abc")),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(text::toHex(md5("message digest")), "f96b697d7cb7938d525a2f31aaf161d0");
    // RFC 4231 test case 2: the key and the message are not swapped.
    EXPECT_EQ(text::toHex(hmacSha256("Jefe", "what do ya want for nothing?")),
              "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843");
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
