// Source text -> tokens.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "../vm_engine/result.h"
#include "token.h"

namespace calvex {

// Tokenizes UTF-8 source text. On success the list ends with one Eof token;
// on failure the result is the lexer's error text.
Result<std::vector<Token>> tokenize(std::string_view source);

}  // namespace calvex
