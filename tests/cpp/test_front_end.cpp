// The front end's storage and its lexer on demand: what the Python tests
// cannot reach (malformed UTF-8 only arrives through the C++ interface, and
// f-string tokens never come back from a Python token list).
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "parser/ast.h"
#include "parser/lexer.h"
#include "parser/parser.h"

using namespace calvex;

namespace {

struct Seen {
    TokenKind kind;
    std::string text;
    uint64_t line, column;
    bool operator==(const Seen&) const = default;
};

std::vector<Seen> lexed(std::string_view source) {
    std::vector<Seen> out;
    auto tokens = tokenize(source);
    EXPECT_TRUE(tokens.ok()) << tokens.error();
    if (!tokens) return out;
    for (const Token& t : *tokens) {
        const auto* s = std::get_if<std::string>(&t.payload);
        out.push_back({t.kind, s ? *s : "", t.line, t.column});
    }
    return out;
}

// The outcome of reading `source` both ways, as one comparable text.
std::string staged(std::string_view source) {
    auto tokens = tokenize(source);
    if (!tokens) return "lex: " + tokens.error();
    auto program = parse_program(std::move(*tokens));
    if (!program) return "parse: " + program.error().render();
    return "ok: " + std::to_string(program->statements.size());
}

std::string one_pass(std::string_view source) {
    auto program = parse_source(source);
    if (!program) {
        const SourceError& e = program.error();
        return e.lexical ? "lex: " + e.lex_message : "parse: " + e.parse.render();
    }
    return "ok: " + std::to_string(program->statements.size());
}

}  // namespace

TEST(Arena, AlignsKeepsAndMoves) {
    Arena arena;
    std::vector<std::pair<char*, size_t>> pieces;
    for (size_t i = 1; i < 3000; i += 7) {
        auto* p = static_cast<char*>(arena.allocate(i, i % 2 ? 1 : 8));
        if (i % 2 == 0) {
            EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % 8, 0u);
        }
        std::memset(p, static_cast<int>(i & 0xFF), i);
        pieces.emplace_back(p, i);
    }
    // A request larger than any block gets one of its own.
    auto* big = static_cast<char*>(arena.allocate(3 << 20, 16));
    std::memset(big, 0x5A, 3 << 20);
    std::string_view text = arena.copy("after the big one");
    Arena moved = std::move(arena);
    std::string_view more = arena.copy("the emptied arena starts again");
    for (auto [p, n] : pieces)
        for (size_t k = 0; k < n; ++k) ASSERT_EQ(static_cast<unsigned char>(p[k]), n & 0xFF);
    EXPECT_EQ(big[(3 << 20) - 1], 0x5A);
    EXPECT_EQ(text, "after the big one");
    EXPECT_EQ(more, "the emptied arena starts again");
}

// Every malformed byte is one U+FFFD: skipped outside strings, kept as
// U+FFFD inside, one column either way.
TEST(Lexer, MalformedBytesAreOneReplacementCharacterEach) {
    const std::string fffd = "\xEF\xBF\xBD";
    EXPECT_EQ(lexed("\xFF\xC3 x"), (std::vector<Seen>{{TokenKind::Identifier, "x", 1, 4}, {TokenKind::Eof, "", 1, 5}}));
    EXPECT_EQ(lexed("'a\xFF\xE2\x82z' b"),
              (std::vector<Seen>{{TokenKind::String, "a" + fffd + fffd + fffd + "z", 1, 1},
                                 {TokenKind::Identifier, "b", 1, 9},
                                 {TokenKind::Eof, "", 1, 10}}));
    EXPECT_EQ(lexed("'\xC3\xA9\\t' r'\xF0' f'\xE0{x}'"),
              (std::vector<Seen>{{TokenKind::String, "\xC3\xA9\t", 1, 1},
                                 {TokenKind::String, fffd, 1, 7},
                                 {TokenKind::FString, fffd + "{x}", 1, 12},
                                 {TokenKind::Eof, "", 1, 19}}));
    auto unknown = tokenize("'\\\xFF'");
    ASSERT_FALSE(unknown.ok());
    EXPECT_EQ(unknown.error(), "Unknown escape sequence: \\" + fffd);
    auto late = tokenize("/* \xFF */ \xFF 'open");
    ASSERT_FALSE(late.ok());
    EXPECT_EQ(late.error(), "Lexer error at 1:16: Unterminated string literal");
}

TEST(Lexer, StaysFailedAndDrainsToTheFirstError) {
    Arena texts;
    Lexer lexer("a b 0x c 'open", texts);
    Lexeme t;
    ASSERT_TRUE(lexer.next(t));
    EXPECT_EQ(t.kind, TokenKind::Identifier);
    EXPECT_EQ(t.text, "a");
    EXPECT_FALSE(lexer.drain());
    EXPECT_EQ(lexer.error(), "Lexer error at 1:7: Expected hex digits after '0x'");
    EXPECT_FALSE(lexer.next(t));
    EXPECT_EQ(lexer.error(), "Lexer error at 1:7: Expected hex digits after '0x'");

    Lexer clean("x # to the end", texts);
    EXPECT_TRUE(clean.drain());
    ASSERT_TRUE(clean.next(t));
    EXPECT_EQ(t.kind, TokenKind::Eof);
    EXPECT_EQ(t.column, 15u);
}

// The tree keeps its texts when the source and the token list are gone.
TEST(Parser, TreeOwnsItsTexts) {
    std::string source = "let greeting = 'he\\tllo' + name; f'{who}!'";
    Result<Program, SourceError> from_source = parse_source(source);
    Result<Program, ParseError> from_tokens = parse_program(*tokenize(source));
    source.assign(source.size(), '#');
    for (Program* p : {&*from_source, &*from_tokens}) {
        Program program = std::move(*p);
        ASSERT_EQ(program.statements.size(), 2u);
        const auto& decl = program.statements[0].as<Stmt::VarDecl>();
        EXPECT_EQ(decl.name, "greeting");
        const auto& sum = decl.init->as<Expr::BinaryOp>();
        EXPECT_EQ(std::get<std::string_view>(sum.left->as<Expr::Literal>().value), "he\tllo");
        EXPECT_EQ(sum.right->as<Expr::Identifier>().name, "name");
        const auto& f = program.statements[1].as<Stmt::ExprStatement>().expression->as<Expr::StringInterpolation>();
        ASSERT_EQ(f.parts.size(), 2u);
        EXPECT_EQ(f.parts[0].expr().as<Expr::Identifier>().name, "who");
        EXPECT_EQ(f.parts[1].text(), "!");
    }
}

// Reading in one pass fails like lexing everything first and parsing the
// token list after: f-strings whose interpolations do not parse or lex,
// lexer errors behind parse errors, and random texts from the pieces of both.
TEST(Parser, OnePassFailsLikeTheTokenList) {
    for (std::string_view source :
         {"f'{x 'y}'", "f'{x + }'", "f'{(x}' f'{1 `}'", ") + f'{a'", "x = ]\ny = f'{1}\n",
          "let = 1\nz = f'{ {k: 1}\n}'", ") f'\\", "(\n f'{1 + 0x}'", "f'{f\"{`}\"}' )", "f'{{x}}' ]",
          "f'{\"\\q\"}'", "[f'{1}', f'{2 +}']", "let x = f'a' f'{'"})
        EXPECT_EQ(one_pass(source), staged(source)) << source;

    static constexpr std::string_view pieces[] = {
        "a", "b", "1", " ", "(", ")", "{", "}", "[", "]", ",", ".", ":", ";", "?", "=", "+", "-", "*", "/",
        "!", "<", ">", "&", "|", "\"", "'", "\\", "#", "\n", "`", "0x", "e", "_", "fn ", "if ", "else ",
        "let ", "class ", "match ", "case ", "try ", "catch ", "return ", "yield ", "/*", "*/", "'''", "r'",
        "f'", "f\"", "$'", "{{", "}}", "\xC3\xA9", "1.", "3e", "\\q", "\r\n"};
    std::mt19937 rng(20261209);
    std::uniform_int_distribution<size_t> length(0, 40), piece(0, std::size(pieces) - 1);
    std::string source;
    size_t parsed = 0, lexical = 0;
    for (int i = 0; i < 20000; ++i) {
        source.clear();
        for (size_t n = length(rng); n > 0; --n) source += pieces[piece(rng)];
        std::string expected = staged(source);
        ASSERT_EQ(one_pass(source), expected) << source;
        parsed += expected.starts_with("parse");
        lexical += expected.starts_with("lex");
    }
    // Both kinds of failure were exercised.
    EXPECT_GT(parsed, 1000u);
    EXPECT_GT(lexical, 1000u);
}
