// Source text -> tokens.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "common/result.h"
#include "ast.h"
#include "token.h"

namespace calvex {

// Lexes on demand: each call of next() reads one more token from the UTF-8
// source, which is read in place (columns count code points). Identifier
// texts and strings without escapes are views into the source; texts that
// differ from their source spelling are written to `texts`, which must
// outlive every Lexeme that points into it. The source must outlive the
// lexer and the views it hands out.
class Lexer {
public:
    Lexer(std::string_view source, Arena& texts) : src_(source), texts_(&texts) {}

    // The next token into `out`; once the source is used up, Eof (at the
    // position just after the last character) on every call. False once the
    // lexer has failed; error() then holds the message.
    bool next(Lexeme& out);
    bool failed() const { return failed_; }
    const std::string& error() const { return error_; }

    // Reads the rest of the source only to find out whether it lexes; true
    // when it does. A failure in the rest is what tokenize would report.
    bool drain();

private:
    bool scan(Lexeme& out);
    bool fail(std::string message);
    bool fail_here(std::string_view message);
    char32_t peek() const;
    bool next_is(size_t ahead, char c) const {
        return pos_ + ahead < src_.size() && src_[pos_ + ahead] == c;
    }
    void advance();
    void skip_line();
    bool block_comment(uint64_t line, uint64_t col);
    void identifier(Lexeme& out);
    bool number(char first, Lexeme& out);
    bool prefixed_integer(int base, Lexeme& out);
    bool quoted_string(char q, Lexeme& out);
    bool escaped_string(char q, size_t start, Lexeme& out);
    bool triple_string(char q, Lexeme& out);
    bool raw_string(char q, Lexeme& out);
    bool fstring(char q, Lexeme& out);
    bool operator_token(char c, Lexeme& out);
    void text_token(Lexeme& out, TokenKind kind, std::string_view view);
    void stored_text_token(Lexeme& out, TokenKind kind);

    std::string_view src_;
    Arena* texts_;
    size_t pos_ = 0;
    uint64_t line_ = 1;
    uint64_t col_ = 1;
    bool failed_ = false;
    std::string error_;
    std::string buf_;  // text being built when it differs from the source
};

// Tokenizes UTF-8 source text. On success the list ends with one Eof token;
// on failure the result is the lexer's error text.
Result<std::vector<Token>> tokenize(std::string_view source);

// Reads validated decimal text (digits, an optional point with a digit on at
// least one side, an optional exponent) as the nearest double; magnitudes
// beyond the double range give infinity.
double decimal_text_to_double(std::string_view text);

}  // namespace calvex
