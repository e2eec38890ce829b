#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "Base/Base64.h"
#include "Base/Hex.h"
#include "Base/TextUnits.h"
#include "Base/Url.h"

namespace sorvel::text {
namespace {

using Bytes = std::vector<std::uint8_t>;

TEST(Utf8Test, DecodesWellFormedAndRepairsEachIllFormedRunAsOneCharacter) {
    struct Case {
        std::string bytes;
        char32_t codePoint;
        std::size_t length;
        bool wellFormed;
    };
    const std::vector<Case> cases = {
        {"A", 'A', 1, true},
        {"\x7F", 0x7F, 1, true},
        {"\xC2\x80", 0x80, 2, true},
        {"\xDF\xBF", 0x7FF, 2, true},
        {"\xE0\xA0\x80", 0x800, 3, true},
        {"\xED\x9F\xBF", 0xD7FF, 3, true},
        {"\xEF\xBF\xBF", 0xFFFF, 3, true},
        {"\xF0\x90\x80\x80", 0x10000, 4, true},
        {"\xF4\x8F\xBF\xBF", 0x10FFFF, 4, true},
        // Bytes that never start a sequence.
        {"\x80", kReplacementCharacter, 1, false},
        {"\xC0\x80", kReplacementCharacter, 1, false},  // overlong NUL
        {"\xF5\x80\x80\x80", kReplacementCharacter, 1, false},
        // A lead byte whose next byte is out of range: only the lead is taken.
        {"\xE0\x80\x80", kReplacementCharacter, 1, false},      // overlong
        {"\xF0\x8F\xBF\xBF", kReplacementCharacter, 1, false},  // overlong
        {"\xED\xA0\x80", kReplacementCharacter, 1, false},      // surrogate
        {"\xF4\x90\x80\x80", kReplacementCharacter, 1, false},  // beyond U+10FFFF
        {"\xC3"
         "A",
         kReplacementCharacter, 1, false},
        // A good start cut short, by the end or by a byte that does not
        // continue it: the whole start is one character.
        {"\xE2\x82", kReplacementCharacter, 2, false},
        {"\xF0\x9F\x98"
         "A",
         kReplacementCharacter, 3, false},
        {"\xE2\x82\xC2\x80", kReplacementCharacter, 2, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(toHex(
            std::span(reinterpret_cast<const std::uint8_t*>(c.bytes.data()), c.bytes.size())));
        const Utf8Char got = decodeAt(c.bytes, 0);
        EXPECT_EQ(got.codePoint, c.codePoint);
        EXPECT_EQ(got.length, c.length);
        EXPECT_EQ(got.wellFormed, c.wellFormed);
        EXPECT_EQ(isValidUtf8(c.bytes), c.wellFormed && c.length == c.bytes.size());
    }

    // Counting and cutting follow the same runs: "a", 3 repaired runs, "b",
    // one repaired run per stray byte, "가".
    const std::string mixed =
        "a\xF0\x9F\x98\xC0\xE0\x80"
        "b\x80\x80\xEA\xB0\x80";
    EXPECT_EQ(codePointCount(mixed), 9u);
    EXPECT_EQ(codePointOffset(mixed, 1), 1u);
    EXPECT_EQ(codePointOffset(mixed, 2), 4u);
    EXPECT_EQ(codePointOffset(mixed, 4), 6u);
    EXPECT_EQ(codePointOffset(mixed, 8), 10u);
    EXPECT_EQ(codePointOffset(mixed, 9), mixed.size());
    EXPECT_EQ(codePointOffset(mixed, 100), mixed.size());
    EXPECT_TRUE(isValidUtf8(""));
    EXPECT_TRUE(isValidUtf8("plain \xEA\xB0\x80 \xF0\x9F\x98\x80"));
    EXPECT_FALSE(isValidUtf8("ok\xE2\x82"));
}

TEST(Utf8Test, GraphemeClusters) {
    const std::vector<std::pair<std::string, std::size_t>> cases = {
        {"", 0},
        {"abc", 3},
        {"e\xCC\x81", 1},  // e + combining acute
        {"\r\n", 1},
        {"\n\r", 2},
        {"\xED\x95\x9C\xEA\xB5\xAD\xEC\x96\xB4", 3},                              // 한국어
        {"\xE1\x84\x92\xE1\x85\xA1\xE1\x86\xAB", 1},                              // decomposed 한
        {"\xF0\x9F\x87\xB0\xF0\x9F\x87\xB7\xF0\x9F\x87\xAF\xF0\x9F\x87\xB5", 2},  // two flags
        {"\xF0\x9F\x87\xB0\xF0\x9F\x87\xB7\xF0\x9F\x87\xAF", 2},  // a flag and a lone half
        {"\xF0\x9F\x91\xA8\xE2\x80\x8D\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x91\xA7", 1},  // family
        {"\xF0\x9F\x91\x8D\xF0\x9F\x8F\xBD", 1},  // thumbs up, skin tone
        {"\xE2\x9D\xA4\xEF\xB8\x8F", 1},          // heart + variation selector
        {"a\xE2\x80\x8D"
         "b",
         2},  // ZWJ joins only pictographs
        {"\xff\xff", 2},
        {"\xE0\xA4\x95\xE0\xA5\x8D", 1},  // Devanagari ka + virama
        // What a label shows as one character is one: a prepended sign joins
        // what follows it, and marks of every script join what precedes them.
        {"\xD8\x80"
         "1",
         1},                                      // Arabic number sign + digit
        {"a\xF0\x9D\x86\x85", 1},                 // a + combining musical mark (U+1D185)
        {"\xF0\x91\x84\x83\xF0\x91\x84\xA7", 1},  // Chakma letter + vowel sign (U+11127)
        {"\xE1\xAC\x85\xE1\xAD\x84", 1},          // Balinese letter + adeg adeg (U+1B44)
    };
    for (const auto& [s, n] : cases) {
        EXPECT_EQ(graphemeCount(s), n) << s;
    }
    const std::string family = "\xF0\x9F\x91\xA8\xE2\x80\x8D\xF0\x9F\x91\xA9";
    EXPECT_EQ(graphemePrefix("ab" + family + "cd", 3), "ab" + family);
    EXPECT_EQ(graphemePrefix("abc", 0), "");
    EXPECT_EQ(graphemePrefix("abc", 10), "abc");

    // Long ASCII is cut at the byte, unless the byte after the cut or a CR
    // before it joins two bytes into one character.
    const std::string as(1024, 'a');
    EXPECT_EQ(graphemePrefix(as + "bcd", 1024), as);
    EXPECT_EQ(graphemePrefix(as + "\xCC\x81" + "b", 1024), as + "\xCC\x81");
    EXPECT_EQ(graphemePrefix(as + "\xE2\x80\x8D" + family, 1024), as + "\xE2\x80\x8D");
    const std::string crlf = std::string(1023, 'a') + "\r\nb";
    EXPECT_EQ(graphemePrefix(crlf, 1024), crlf.substr(0, 1025));
    EXPECT_EQ(graphemePrefix("x\ry\r\nz", 4), "x\ry\r\n");
    for (const std::string& s : {as + "bcd", as + "\xCC\x81", crlf}) {
        EXPECT_EQ(graphemeCount(graphemePrefix(s, 1024)), 1024u);
    }
}

TEST(HexTest, EncodesBothCasesAndReadsDigits) {
    const Bytes bytes{0x00, 0x0f, 0xa0, 0xff, 0x5c};
    EXPECT_EQ(toHex(bytes), "000fa0ff5c");
    EXPECT_EQ(toHex(bytes, HexCase::Upper), "000FA0FF5C");
    EXPECT_EQ(toHex(Bytes{}), "");
    std::string out = "x=";
    appendHex(out, bytes);
    EXPECT_EQ(out, "x=000fa0ff5c");

    for (int c = 0; c < 256; ++c) {
        const char ch = static_cast<char>(c);
        int want = -1;
        if (ch >= '0' && ch <= '9') {
            want = ch - '0';
        } else if (ch >= 'a' && ch <= 'f') {
            want = ch - 'a' + 10;
        } else if (ch >= 'A' && ch <= 'F') {
            want = ch - 'A' + 10;
        }
        EXPECT_EQ(hexDigitValue(ch), want) << c;
    }
}

TEST(Base64Test, RoundTripsAndRejectsAnythingButWholeBase64) {
    const std::pair<std::string, std::string> vectors[] = {
        {"", ""},
        {"f", "Zg=="},
        {"fo", "Zm8="},
        {"foo", "Zm9v"},
    };
    for (const auto& [plain, encoded] : vectors) {
        EXPECT_EQ(base64Encode(plain), encoded);
        auto decoded = base64Decode(encoded);
        ASSERT_TRUE(decoded.has_value()) << encoded;
        EXPECT_EQ(std::string(decoded->begin(), decoded->end()), plain);
    }
    EXPECT_EQ(base64Encode(Bytes{0xfb, 0xff, 0xbf}), "+/+/");

    // Every length around the block size, every byte value, no line breaks.
    std::mt19937 rng(7);
    for (std::size_t n = 0; n < 300; ++n) {
        Bytes data(n);
        for (auto& b : data) {
            b = static_cast<std::uint8_t>(rng());
        }
        const std::string encoded = base64Encode(data);
        ASSERT_EQ(encoded.size(), 4 * ((n + 2) / 3));
        ASSERT_EQ(encoded.find('\n'), std::string::npos);
        ASSERT_EQ(base64Decode(encoded), data) << n;
    }

    for (const char* bad : {"abc", "ab!=", "Zm9v\nYmFy", "Zm9v YmFy", "A===", "====", "AB=C",
                            "=AAA", "Zg==Zg==", "Zm9v===="}) {
        EXPECT_FALSE(base64Decode(bad).has_value()) << bad;
    }
}

TEST(UrlTest, SplitsUrlsAsWrittenAndRefusesWhatIsNoUrl) {
    auto parts = parseUrl("myapp://host:80/p/a%20b?x=1&y=?#frag");
    ASSERT_TRUE(parts.has_value());
    EXPECT_EQ(parts->scheme, "myapp");
    EXPECT_EQ(parts->authority, "host:80");
    EXPECT_EQ(parts->path, "/p/a%20b");
    EXPECT_EQ(parts->query, "x=1&y=?");
    EXPECT_EQ(parts->fragment, "frag");

    parts = parseUrl("plain");  // relative: a path only
    ASSERT_TRUE(parts.has_value());
    EXPECT_EQ(parts->scheme, "");
    EXPECT_EQ(parts->authority, "");
    EXPECT_EQ(parts->path, "plain");
    EXPECT_FALSE(parts->query.has_value());
    EXPECT_FALSE(parts->fragment.has_value());

    parts = parseUrl("1ab:x");  // not a scheme: it must start with a letter
    ASSERT_TRUE(parts.has_value());
    EXPECT_EQ(parts->scheme, "");
    EXPECT_EQ(parts->path, "1ab:x");

    for (const char* bad : {"", "my app://x", "https://h/\xED\x95\x9C", "https://h/?q=%zz",
                            "https://h/%4", "https://h/a#b#c", "https://h/\"q\"", "https://h/<x>",
                            "https://h/a|b", "https://h/\\", "https://h/\x7F"}) {
        EXPECT_FALSE(parseUrl(bad).has_value()) << bad;
    }
    EXPECT_FALSE(parseUrl(std::string_view("https://h/\0x", 12)).has_value());

    EXPECT_EQ(percentDecode("a%20b%2Bc%2b%zz%4"), "a b+c+%zz%4");
}

TEST(UrlTest, HttpUrlsNeedAHostAndResolveDotSegments) {
    struct Case {
        const char* url;
        const char* scheme;
        const char* host;
        std::optional<int> port;
        const char* pathAndQuery;
    };
    const std::vector<Case> good = {
        {"https://a.example/p?x=1#f", "https", "a.example", std::nullopt, "/p?x=1"},
        {"HTTP://Host:8080", "http", "Host", 8080, "/"},
        {"http://h:/p", "http", "h", std::nullopt, "/p"},
        {"http://u:p@h/x", "http", "h", std::nullopt, "/x"},
        {"http://[::1]:65535/x", "http", "[::1]", 65535, "/x"},
        {"http://h?", "http", "h", std::nullopt, "/?"},
        {"http://h/a/./b/../c/", "http", "h", std::nullopt, "/a/c/"},
        {"http://h/../../x?a=/../b", "http", "h", std::nullopt, "/x?a=/../b"},
        {"http://h/a/..", "http", "h", std::nullopt, "/"},
        {"http://h/a/.b/..c", "http", "h", std::nullopt, "/a/.b/..c"},
    };
    for (const auto& c : good) {
        auto u = parseHttpUrl(c.url);
        ASSERT_TRUE(u.has_value()) << c.url;
        EXPECT_EQ(u->scheme, c.scheme) << c.url;
        EXPECT_EQ(u->host, c.host) << c.url;
        EXPECT_EQ(u->port, c.port) << c.url;
        EXPECT_EQ(u->pathAndQuery, c.pathAndQuery) << c.url;
    }
    for (const char* bad :
         {"ftp://h/", "//h/x", "h/x", "http:h", "http:/h/x", "http:///x", "http://:80/",
          "http://h:99999/", "http://h:abc/", "http://h:80:90/", "http://ho!st/", "http://%41/",
          "http://[::1/x", "http://[]/", "http://[g::1]/", "http://h/a b"}) {
        EXPECT_FALSE(parseHttpUrl(bad).has_value()) << bad;
    }
}

}  // namespace
}  // namespace sorvel::text
