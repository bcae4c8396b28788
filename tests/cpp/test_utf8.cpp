// The one UTF-8 decoder under each of its policies.
#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "common/utf8.h"

using namespace calvex;

namespace {

// The text split as the policy takes it: each piece as "U+XXXX" when well
// formed, "bad/N" for N malformed bytes taken together.
std::string pieces(std::string_view s, Utf8Policy p) {
    std::string out;
    char buf[32];
    for (size_t i = 0; i < s.size();) {
        const Utf8Char c = utf8_next(s, i, p);
        if (c.ok) snprintf(buf, sizeof buf, "U+%04X", static_cast<unsigned>(c.cp));
        else snprintf(buf, sizeof buf, "bad/%zu", c.len);
        if (!out.empty()) out += ' ';
        out += buf;
        i += c.len;
    }
    return out;
}

struct Case {
    const char* bytes;
    const char* byte_wise;
    const char* maximal_subpart;
};

TEST(Utf8, PoliciesSplitMalformedTextDifferently) {
    const Case cases[] = {
        {"a\xC3\xA9z", "U+0061 U+00E9 U+007A", "U+0061 U+00E9 U+007A"},
        {"\xF0\x9F\x98\x80", "U+1F600", "U+1F600"},
        {"\xF4\x8F\xBF\xBF", "U+10FFFF", "U+10FFFF"},
        // A truncated sequence: one replacement for the prefix, or one per byte.
        {"\xE2\x82", "bad/1 bad/1", "bad/2"},
        {"\xE2\x82" "A", "bad/1 bad/1 U+0041", "bad/2 U+0041"},
        {"\xF0\x9F\x98", "bad/1 bad/1 bad/1", "bad/3"},
        // Overlong forms, surrogates and values past U+10FFFF fail at the
        // second byte, so the lead byte stands alone under both policies.
        {"\xC0\xAF", "bad/1 bad/1", "bad/1 bad/1"},
        {"\xE0\x80\xAF", "bad/1 bad/1 bad/1", "bad/1 bad/1 bad/1"},
        {"\xED\xA0\x80", "bad/1 bad/1 bad/1", "bad/1 bad/1 bad/1"},
        {"\xF4\x90\x80\x80", "bad/1 bad/1 bad/1 bad/1", "bad/1 bad/1 bad/1 bad/1"},
        {"\xF5\x80", "bad/1 bad/1", "bad/1 bad/1"},
        {"\x80z", "bad/1 U+007A", "bad/1 U+007A"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(pieces(c.bytes, Utf8Policy::ByteWise), c.byte_wise) << c.bytes;
        EXPECT_EQ(pieces(c.bytes, Utf8Policy::MaximalSubpart), c.maximal_subpart) << c.bytes;
        EXPECT_EQ(utf8_valid(c.bytes), std::string(c.byte_wise).find("bad") == std::string::npos) << c.bytes;
    }
}

TEST(Utf8, TrustedTakesTheLeadBytesLength) {
    EXPECT_EQ(pieces("a\xC3\xA9\xE2\x82\xAC", Utf8Policy::Trusted), "U+0061 U+00E9 U+20AC");
    // No checks: a lead byte takes its length even over non-continuation
    // bytes, cut at the end of the text.
    const std::string s = "\xE2" "ab\xF0" "c";
    size_t i = 0;
    EXPECT_EQ(utf8_next(s, i, Utf8Policy::Trusted).len, 3u);
    EXPECT_EQ(utf8_next(s, 3, Utf8Policy::Trusted).len, 2u);
}

TEST(Utf8, AppendIsTheInverseOfDecoding) {
    for (char32_t c : {U'\0', U'A', U'\u00E9', U'\u07FF', U'\u0800', U'\uFFFD', U'\U00010000', U'\U0010FFFF'}) {
        std::string s;
        utf8_append(s, c);
        const Utf8Char d = utf8_next(s, 0, Utf8Policy::ByteWise);
        EXPECT_TRUE(d.ok);
        EXPECT_EQ(d.cp, c);
        EXPECT_EQ(d.len, s.size());
    }
}

TEST(Utf8, UnicodeAlphanumerics) {
    for (char32_t c : {U'a', U'Z', U'7', U'\u00E9', U'\u0416', U'\u4E2D', U'\u0663', U'\u2160'})
        EXPECT_TRUE(is_unicode_alnum(c)) << static_cast<unsigned>(c);
    for (char32_t c : {U' ', U'-', U'_', U'\u00D7', U'\u2014', U'\U0001F600'})
        EXPECT_FALSE(is_unicode_alnum(c)) << static_cast<unsigned>(c);
}

}  // namespace
