// Lexical tokens.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace calvex {

enum class TokenKind : uint8_t {
#define TOKEN(name, host) name,
#include "token_kinds.def"
#undef TOKEN
};

inline constexpr int kTokenKindCount = 0
#define TOKEN(name, host) +1
#include "token_kinds.def"
#undef TOKEN
    ;
static_assert(kTokenKindCount == 122, "122 token kinds");

// Payload: Int -> int64_t, Float -> double, Bool -> bool,
// String / Identifier / FString -> std::string; every other kind none.
using TokenPayload = std::variant<std::monostate, int64_t, double, bool, std::string>;

struct Token {
    TokenKind kind = TokenKind::Eof;
    TokenPayload payload;
    uint64_t line = 0;
    uint64_t column = 0;

    const std::string& text() const { return std::get<std::string>(payload); }
};

// A token as the lexer hands it to the parser: the same kind, payload and
// position as a Token, with the text as a view instead of an owned string.
// `payload` is the index the payload would have in TokenPayload (a token
// list built by the host may carry a payload that does not match its kind).
// The text lies in the source, in the lexer's text store or in a Token;
// `stable` is true when it is in the store, which outlives the lexer.
struct Lexeme {
    TokenKind kind = TokenKind::Eof;
    uint8_t payload = 0;
    bool stable = false;
    uint64_t line = 0;
    uint64_t column = 0;
    union {
        int64_t i;
        double d;
        bool b;
    } value{0};
    std::string_view text;

    static Lexeme of(const Token& t);
    // Appends the Token this lexeme stands for.
    void append_to(std::vector<Token>& out) const;
};

// Enumeration name, e.g. "Identifier", "LeftParen".
const char* token_kind_name(TokenKind k);
// Name written by `lex` as token_type ("Ident" for Identifier, "Self" for SelfKw).
const char* token_host_name(TokenKind k);
// Debug text used in parser messages: `Semicolon`, `Int(42)`, `Identifier("x")`.
std::string token_debug(const Token& t);
std::string token_debug(const Lexeme& t);

}  // namespace calvex
