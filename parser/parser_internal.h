// The parser's internal state and helpers, shared by the expression and the
// statement productions (expressions.cpp, parser.cpp). Not part of the
// parser's interface: include parser.h for that.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/stack_guard.h"
#include "parser.h"

namespace calvex::parse_detail {


using TK = TokenKind;

// An expression and the height of its tree (a leaf is 1).
struct Parsed {
    ExprPtr expr;
    uint32_t height = 1;
};

// Inner parse functions report failure with this empty marker; the
// ParseError itself waits in Parser::error_. Keeping results small keeps the
// frames of the recursive descent small.
struct Failed {};

using ExprResult = Result<Parsed, Failed>;
using StmtResult = Result<Stmt, Failed>;
using ListResult = Result<StmtList, Failed>;
using HintResult = Result<TypeHint, Failed>;
using NameResult = Result<std::string, Failed>;
using UnitResult = Result<Unit, Failed>;

// Propagates the error of a Result-returning call, else binds its value.
#define TRY_AS(var, expr)                         \
    auto var##_result_ = (expr);                  \
    if (!var##_result_) return Err{Failed{}};     \
    auto var = std::move(var##_result_.value())

#define TRY(expr)                                 \
    do {                                          \
        if (!(expr)) return Err{Failed{}};        \
    } while (0)

// Everything parsed after DESCEND in the same scope sits one tree level lower.
#define DESCEND()                                                     \
    if (depth_ >= kMaxNesting || stack_.exhausted()) return too_deep(); \
    Level level_guard_(depth_)

class Level {
public:
    explicit Level(uint32_t& depth) : depth_(depth) { ++depth_; }
    ~Level() { --depth_; }
    Level(const Level&) = delete;
    Level& operator=(const Level&) = delete;

private:
    uint32_t& depth_;
};

// Binary operator table: precedence 0 means "ends the expression".
struct BinaryRule {
    int precedence;
    BinaryOperator op;
};

constexpr BinaryRule binary_rule(TK k) {
    switch (k) {
        case TK::Or: return {1, BinaryOperator::Or};
        case TK::Assign: return {1, BinaryOperator::Assign};
        case TK::And: return {2, BinaryOperator::And};
        case TK::Eq: return {3, BinaryOperator::Eq};
        case TK::Neq: return {3, BinaryOperator::Neq};
        case TK::Lt: return {4, BinaryOperator::Lt};
        case TK::Lte: return {4, BinaryOperator::Lte};
        case TK::Gt: return {4, BinaryOperator::Gt};
        case TK::Gte: return {4, BinaryOperator::Gte};
        case TK::BitwiseOr: return {5, BinaryOperator::BitwiseOr};
        case TK::BitwiseXor: return {6, BinaryOperator::BitwiseXor};
        case TK::BitwiseAnd: return {7, BinaryOperator::BitwiseAnd};
        case TK::LeftShift: return {8, BinaryOperator::LeftShift};
        case TK::RightShift: return {8, BinaryOperator::RightShift};
        case TK::Plus: return {9, BinaryOperator::Add};
        case TK::Minus: return {9, BinaryOperator::Sub};
        case TK::Star: return {10, BinaryOperator::Mul};
        case TK::Slash: return {10, BinaryOperator::Div};
        case TK::Percent: return {10, BinaryOperator::Mod};
        case TK::Power: return {11, BinaryOperator::Power};
        default: return {0, BinaryOperator::Add};
    }
}

// Tokens after `?` that make it a conditional rather than a propagation.
constexpr bool starts_ternary_branch(TK k) {
    switch (k) {
        case TK::Int: case TK::Float: case TK::String: case TK::Bool: case TK::Identifier:
        case TK::Nil: case TK::Not: case TK::Plus: case TK::Minus: case TK::LeftParen:
        case TK::LeftBracket:
            return true;
        default:
            return false;
    }
}

// Payload accessors that tolerate a token whose payload does not match its
// kind (token lists can be built by hand).
template <class T>
T payload_or(const Token& t, T fallback) {
    const T* p = std::get_if<T>(&t.payload);
    return p ? *p : fallback;
}

inline const std::string& text_of(const Token& t) {
    static const std::string empty;
    const std::string* p = std::get_if<std::string>(&t.payload);
    return p ? *p : empty;
}

class Parser {
public:
    // `depth` is the tree level of whatever the parser builds first.
    Parser(std::vector<Token> tokens, uint32_t depth) : tokens_(std::move(tokens)), depth_(depth) {}

    Result<Program, Failed> program();
    ExprResult expression();
    // The error behind the last Failed result.
    ParseError& error() { return error_; }

private:
    // ---- cursor ----
    const Token& cur() const { return pos_ < tokens_.size() ? tokens_[pos_] : kPastEnd; }
    // The token `n` after the current one, never past the first Eof.
    const Token& peek(size_t n) const {
        size_t p = pos_;
        for (size_t i = 0; i < n && p < tokens_.size() && tokens_[p].kind != TK::Eof; ++i) ++p;
        return p < tokens_.size() ? tokens_[p] : kPastEnd;
    }
    bool at(TK k) const { return cur().kind == k; }
    void advance() {
        if (!at(TK::Eof)) ++pos_;
    }
    void skip_semicolon() {
        if (at(TK::Semicolon)) advance();
    }

    // Records an error at the current token.
    [[gnu::cold, gnu::noinline]] Err<Failed> fail(std::string message) {
        const Token& t = cur();
        error_ = ParseError{std::move(message), {}, t.line, t.column};
        return Err{Failed{}};
    }
    [[gnu::cold, gnu::noinline]] Err<Failed> fail_at_origin(std::string message) {
        error_ = ParseError{std::move(message), {}, 0, 0};
        return Err{Failed{}};
    }
    [[gnu::cold, gnu::noinline]] Err<Failed> too_deep() { return fail("Nesting too deep"); }
    [[gnu::cold, gnu::noinline]] Err<Failed> unexpected() { return fail("Unexpected token: " + token_debug(cur())); }
    [[gnu::cold, gnu::noinline]] Err<Failed> expected(TK k) {
        return fail(std::string("Expected ") + token_kind_name(k) + ", found " + token_debug(cur()));
    }

    UnitResult expect(TK k) {
        if (!at(k)) return expected(k);
        advance();
        return Unit{};
    }
    NameResult expect_identifier() {
        if (!at(TK::Identifier)) return fail("Expected identifier");
        std::string name = text_of(cur());
        advance();
        return name;
    }

    // Skips a brace-balanced run; the opening brace is already consumed.
    void skip_braced() {
        uint64_t open = 1;
        while (open > 0 && !at(TK::Eof)) {
            if (at(TK::LeftBrace)) ++open;
            else if (at(TK::RightBrace)) --open;
            advance();
        }
    }

    // Whether wrapping a subtree of height `inner` in a node at the current
    // level stays inside the bound.
    bool fits(uint32_t inner) const { return uint64_t(depth_) + inner <= kMaxNesting && !stack_.exhausted(); }

    // ---- expressions ----
    ExprResult binary(int min_precedence);
    ExprResult prefix();
    ExprResult postfix();
    ExprResult primary();
    UnitResult comma_list(TK close, std::vector<ExprPtr>& out, uint32_t& height);
    [[gnu::noinline]] ExprResult lambda();
    [[gnu::noinline]] ExprResult object_literal();
    [[gnu::noinline]] ExprResult array_literal();
    [[gnu::noinline]] ExprResult fstring(const std::string& payload);
    Result<Param, Failed> param(uint32_t& height);
    Result<std::vector<Param>, Failed> param_list(uint32_t& height);
    HintResult type_annotation();

    // ---- statements ----
    // The productions stay out of line so that the dispatcher's frame, which
    // every nested statement pays for, stays small.
    StmtResult statement();
    ListResult block_body();
    ListResult braced_block();
    ListResult case_body();
    [[gnu::noinline]] StmtResult var_decl();
    [[gnu::noinline]] StmtResult function_decl();
    [[gnu::noinline]] StmtResult class_decl();
    [[gnu::noinline]] StmtResult enum_decl();
    [[gnu::noinline]] StmtResult if_stmt();
    [[gnu::noinline]] StmtResult while_stmt();
    [[gnu::noinline]] StmtResult for_stmt();
    [[gnu::noinline]] StmtResult return_stmt();
    [[gnu::noinline]] StmtResult throw_stmt();
    [[gnu::noinline]] StmtResult yield_stmt();
    [[gnu::noinline]] StmtResult switch_stmt();
    [[gnu::noinline]] StmtResult try_stmt();
    [[gnu::noinline]] StmtResult expression_stmt();
    Result<std::optional<Stmt>, Failed> class_member();

    static inline const Token kPastEnd{TK::Eof, {}, 0, 0};

    std::vector<Token> tokens_;
    size_t pos_ = 0;
    uint32_t depth_;
    StackGuard stack_;
    ParseError error_;
};


}  // namespace calvex::parse_detail
