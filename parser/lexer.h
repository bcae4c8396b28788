// Source text -> tokens.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "common/result.h"
#include "token.h"

namespace calvex {

// Tokenizes UTF-8 source text. On success the list ends with one Eof token;
// on failure the result is the lexer's error text.
Result<std::vector<Token>> tokenize(std::string_view source);

// Reads validated decimal text (digits, an optional point with a digit on at
// least one side, an optional exponent) as the nearest double; magnitudes
// beyond the double range give infinity.
double decimal_text_to_double(std::string_view text);

}  // namespace calvex
