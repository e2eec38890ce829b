#include "Platform/Crypto.h"

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace sorvel::platform::crypto
