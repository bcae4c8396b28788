// UTF-8: the one decoder (each caller picks how malformed bytes are taken),
// the encoder, and the Unicode character classes the system needs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace calvex {

// How utf8_next treats bytes that do not form a well-formed sequence
// (well-formed: no overlong form, no surrogate, nothing above U+10FFFF).
enum class Utf8Policy : uint8_t {
    // Malformed: one byte, reported as such. For texts whose every byte
    // must be accounted for (source text, token texts, names).
    ByteWise,
    // Malformed: the longest prefix of a well-formed sequence (at least one
    // byte), reported as such: the Unicode practice for replacing ill-formed
    // subsequences by one U+FFFD each.
    MaximalSubpart,
    // No checks: the lead byte gives the length (cut at the end of the
    // text), for text already known to be well formed. `ok` is always true
    // and `cp` is only meaningful for well-formed input.
    Trusted,
};

struct Utf8Char {
    char32_t cp = 0;  // the scalar value, when ok
    size_t len = 1;   // bytes taken, >= 1
    bool ok = true;
};

// The character at s[i] (i < s.size()).
inline Utf8Char utf8_next(std::string_view s, size_t i, Utf8Policy policy) {
    const auto b0 = static_cast<unsigned char>(s[i]);
    if (b0 < 0x80) return {b0, 1, true};
    const size_t left = s.size() - i;
    if (policy == Utf8Policy::Trusted) {
        size_t len = (b0 >> 5) == 0x6 ? 2 : (b0 >> 4) == 0xE ? 3 : (b0 >> 3) == 0x1E ? 4 : 1;
        if (len > left) len = left;
        char32_t cp = len == 1 ? b0 : b0 & (0x7F >> len);
        for (size_t k = 1; k < len; ++k) cp = (cp << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
        return {cp, len, true};
    }
    // Continuation bytes are 0x80..0xBF, except that the second byte's range
    // is narrowed where the lead byte alone would allow an overlong form, a
    // surrogate or a value above U+10FFFF.
    size_t need;
    unsigned char lo = 0x80, hi = 0xBF;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        need = 1;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        need = 2;
        if (b0 == 0xE0) lo = 0xA0;
        if (b0 == 0xED) hi = 0x9F;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        need = 3;
        if (b0 == 0xF0) lo = 0x90;
        if (b0 == 0xF4) hi = 0x8F;
    } else {
        return {0, 1, false};
    }
    char32_t cp = b0 & (0x3F >> need);
    size_t len = 1;
    for (; len <= need; ++len) {
        if (len >= left) break;
        const auto b = static_cast<unsigned char>(s[i + len]);
        if (b < lo || b > hi) break;
        lo = 0x80;
        hi = 0xBF;
        cp = (cp << 6) | (b & 0x3F);
    }
    if (len == need + 1) return {cp, len, true};
    return {0, policy == Utf8Policy::MaximalSubpart ? len : 1, false};
}

// True when every sequence of `s` is well formed.
bool utf8_valid(std::string_view s);

// Appends the UTF-8 form of the scalar value `c`.
void utf8_append(std::string& out, char32_t c);

// Unicode alphanumeric: the Alphabetic property or a Number category.
bool is_unicode_alnum(char32_t c);

}  // namespace calvex
