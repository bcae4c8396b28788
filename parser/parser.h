// Tokens -> syntax tree.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/result.h"
#include "ast.h"
#include "token.h"

namespace calvex {

// The parser's only error. `line`/`column` are those of the token where the
// error was found (0/0 past the end of a token list without Eof).
struct ParseError {
    std::string message;
    std::string context;
    uint64_t line = 0, column = 0;

    // "ParseError at {line}:{column}: {message}", plus "\n  Context: {context}"
    // when the context is not empty.
    std::string render() const;
};

// Parses a whole token list. Reads up to the first Eof (or the end of the
// vector); stops at the first error. The returned tree's height is bounded by
// kMaxNesting.
Result<Program, ParseError> parse_program(std::vector<Token> tokens);

// The first failure of reading a source text: a lexer error (the lexer's
// message, `lexical` true) or a parse error.
struct SourceError {
    bool lexical = false;
    std::string lex_message;
    ParseError parse;
};

// Lexes and parses a source text in one pass, the parser pulling tokens
// from the lexer as it goes, with the outcome of tokenize followed by
// parse_program: a lexer error anywhere in the text is the error, also when
// the parser would have failed before reaching it.
Result<Program, SourceError> parse_source(std::string_view source);

}  // namespace calvex
