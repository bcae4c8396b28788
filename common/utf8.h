// UTF-8 decoding and the Unicode character classes the system needs.
#pragma once

#include <cstddef>
#include <string_view>

namespace calvex {

// Decodes one UTF-8 sequence at s[i] (i < s.size()); returns its length, or 0
// when the bytes at s[i] do not form a well-formed sequence (overlong forms,
// surrogates and values above U+10FFFF are malformed).
size_t utf8_decode(std::string_view s, size_t i, char32_t& out);

// Unicode alphanumeric: the Alphabetic property or a Number category.
bool is_unicode_alnum(char32_t c);

}  // namespace calvex
