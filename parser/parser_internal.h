// The parser's internal state and helpers, shared by the expression and the
// statement productions (expressions.cpp, parser.cpp). Not part of the
// parser's interface: include parser.h for that.
#pragma once

#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/stack_guard.h"
#include "lexer.h"
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
using NameResult = Result<std::string_view, Failed>;
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
inline int64_t int_of(const Lexeme& t) { return t.payload == 1 ? t.value.i : 0; }
inline double float_of(const Lexeme& t) { return t.payload == 2 ? t.value.d : 0.0; }
inline bool bool_of(const Lexeme& t) { return t.payload == 3 && t.value.b; }
inline std::string_view text_of(const Lexeme& t) { return t.payload == 4 ? t.text : std::string_view(); }

// A stack of list elements under construction. A list pushes its elements
// above a mark and moves them into the arena when complete; lists nested in
// it are complete before its next element is pushed, so one stack per
// element type serves every list of a parse.
template <class T>
class Scratch {
public:
    size_t mark() const { return items_.size(); }
    void push(const T& v) { items_.push_back(v); }
    List<T> take(size_t mark, Arena& arena) {
        const size_t n = items_.size() - mark;
        List<T> list(arena.copy_array(items_.data() + mark, n), n);
        items_.resize(mark);
        return list;
    }

private:
    std::vector<T> items_;
};

// What a parser and the parsers of its f-string interpolations share: the
// tree's arena and the list stacks.
struct ParseContext {
    explicit ParseContext(Arena& a) : arena(a) {}
    Arena& arena;
    Scratch<Stmt> stmts;
    Scratch<ExprPtr> exprs;
    Scratch<Param> params;
    Scratch<ObjectProperty> properties;
    Scratch<InterpolationPart> parts;
    Scratch<SwitchCase> cases;
    Scratch<CatchClause> clauses;
};

class Parser {
public:
    // Reads `lexer` on demand, or the token list `tokens` (up to its first
    // Eof, or its end). When the lexer fails, the parser sees an Eof at
    // 0:0 in place of the failed token: what it makes of that does not
    // matter, because the caller reports the lexer's error instead.
    // `depth` is the tree level of whatever the parser builds first.
    Parser(ParseContext& ctx, Lexer* lexer, const std::vector<Token>* tokens, uint32_t depth)
        : ctx_(ctx), lexer_(lexer), tokens_(tokens), depth_(depth) {
        fetch(cur_);
    }

    Result<StmtList, Failed> program();
    ExprResult expression();
    // The error behind the last Failed result.
    ParseError& error() { return error_; }

private:
    // ---- cursor ----
    void fetch(Lexeme& into) {
        if (lexer_ != nullptr) {
            if (!lexer_->next(into)) into = Lexeme{};
        } else if (next_token_ < tokens_->size()) {
            into = Lexeme::of((*tokens_)[next_token_++]);
        } else {
            into = Lexeme{};
        }
    }
    const Lexeme& cur() const { return cur_; }
    // The token after the current one, never past the first Eof.
    const Lexeme& peek1() {
        if (cur_.kind == TK::Eof) return cur_;
        if (!has_ahead_) {
            fetch(ahead_);
            has_ahead_ = true;
        }
        return ahead_;
    }
    bool at(TK k) const { return cur_.kind == k; }
    void advance() {
        if (at(TK::Eof)) return;
        if (has_ahead_) {
            cur_ = ahead_;
            has_ahead_ = false;
        } else {
            fetch(cur_);
        }
    }
    void skip_semicolon() {
        if (at(TK::Semicolon)) advance();
    }

    // ---- tree building ----
    Arena& arena() { return ctx_.arena; }
    template <class T>
    ExprPtr node(T n) {
        Expr* e = arena().make<Expr>();
        e->node.template emplace<T>(std::move(n));
        return e;
    }
    // The token's text, in the arena.
    std::string_view keep(const Lexeme& t) {
        std::string_view s = text_of(t);
        return t.stable ? s : arena().copy(s);
    }
    // `a` followed by the non-empty `b`, in the arena.
    std::string_view concat(std::string_view a, std::string_view b) {
        char* p = static_cast<char*>(arena().allocate(a.size() + b.size(), 1));
        if (!a.empty()) std::memcpy(p, a.data(), a.size());
        std::memcpy(p + a.size(), b.data(), b.size());
        return {p, a.size() + b.size()};
    }

    // Records an error at the current token.
    [[gnu::cold, gnu::noinline]] Err<Failed> fail(std::string message) {
        error_ = ParseError{std::move(message), {}, cur_.line, cur_.column};
        return Err{Failed{}};
    }
    [[gnu::cold, gnu::noinline]] Err<Failed> fail_at_origin(std::string message) {
        error_ = ParseError{std::move(message), {}, 0, 0};
        return Err{Failed{}};
    }
    [[gnu::cold, gnu::noinline]] Err<Failed> too_deep() { return fail("Nesting too deep"); }
    [[gnu::cold, gnu::noinline]] Err<Failed> unexpected() { return fail("Unexpected token: " + token_debug(cur_)); }
    [[gnu::cold, gnu::noinline]] Err<Failed> expected(TK k) {
        return fail(std::string("Expected ") + token_kind_name(k) + ", found " + token_debug(cur_));
    }

    UnitResult expect(TK k) {
        if (!at(k)) return expected(k);
        advance();
        return Unit{};
    }
    NameResult expect_identifier() {
        if (!at(TK::Identifier)) return fail("Expected identifier");
        std::string_view name = keep(cur_);
        advance();
        return name;
    }
    // expect_identifier for names that are checked and then dropped.
    UnitResult skip_identifier() {
        if (!at(TK::Identifier)) return fail("Expected identifier");
        advance();
        return Unit{};
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
    UnitResult comma_list(TK close, uint32_t& height);
    [[gnu::noinline]] ExprResult lambda();
    [[gnu::noinline]] ExprResult object_literal();
    [[gnu::noinline]] ExprResult array_literal();
    [[gnu::noinline]] ExprResult fstring(std::string_view payload);
    UnitResult param(uint32_t& height);
    Result<List<Param>, Failed> param_list(uint32_t& height);
    HintResult type_annotation();
    const TypeHint* hint(TypeHint h) { return arena().make<TypeHint>(h); }

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

    ParseContext& ctx_;
    Lexer* lexer_;
    const std::vector<Token>* tokens_;
    size_t next_token_ = 0;
    Lexeme cur_;
    Lexeme ahead_;
    bool has_ahead_ = false;
    uint32_t depth_;
    StackGuard stack_;
    ParseError error_;
};

}  // namespace calvex::parse_detail
