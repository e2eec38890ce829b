#include "Platform/Crypto.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>

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

TEST(CryptoTest, KeptContextsGiveTheSameResultsWhateverCameBefore) {
    // RFC 4231 test cases 1 and 2, and the empty key and message, in turns:
    // each thread keeps its last key, which must never leak into the next.
    const std::string key1(20, '\x0b');
    const char* const case1 = "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7";
    const char* const case2 = "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843";
    const char* const empty = "b613679a0814d9ec772f95d778c35fc5ff1697c493715653c6c712144292c5ad";
    auto check = [&] {
        for (int round = 0; round < 2; ++round) {
            EXPECT_EQ(text::toHex(hmacSha256(key1, "Hi There")), case1);
            EXPECT_EQ(text::toHex(hmacSha256(key1, "Hi There")), case1);
            Sha256Digest d{};
            ASSERT_TRUE(hmacSha256Into("Jefe", "what do ya want for nothing?", d));
            EXPECT_EQ(text::toHex(d), case2);
            EXPECT_EQ(text::toHex(hmacSha256("", "")), empty);
            EXPECT_EQ(text::toHex(hmacSha256("Jefe", "what do ya want for nothing?")), case2);
            // MD5 and SHA-256 in turns on the same thread.
            Md5Digest m{};
            ASSERT_TRUE(md5Into("", m));
            EXPECT_EQ(text::toHex(m), "d41d8cd98f00b204e9800998ecf8427e");
            EXPECT_EQ(text::toHex(sha256("")),
                      "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
            EXPECT_EQ(text::toHex(md5("message digest")), "f96b697d7cb7938d525a2f31aaf161d0");
        }
    };
    check();
    // Another thread starts with contexts of its own.
    std::thread other(check);
    other.join();
    check();
}

}  // namespace
}  // namespace sorvel::platform::crypto
