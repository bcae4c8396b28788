// Lexical tokens.
#pragma once

#include <cstdint>
#include <string>
#include <variant>

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

// Enumeration name, e.g. "Identifier", "LeftParen".
const char* token_kind_name(TokenKind k);
// Name written by `lex` as token_type ("Ident" for Identifier, "Self" for SelfKw).
const char* token_host_name(TokenKind k);
// Debug text used in parser messages: `Semicolon`, `Int(42)`, `Identifier("x")`.
std::string token_debug(const Token& t);

}  // namespace calvex
