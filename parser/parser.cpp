// Recursive-descent parser: tokens -> Program.
//
// Nesting. Every construct that puts children one tree level below itself
// enters that level with DESCEND, which fails with "Nesting too deep" at the
// current token once the level would pass kMaxNesting. Loops that wrap the
// expression built so far (binary operators, postfix chains, `?`) push that
// whole subtree one level down without recursing, so expression parsers also
// return the height of what they built and the wrap is checked against it.
// Together this bounds both the parser's own recursion and the height of the
// returned tree, which the host conversion, the destructors and the compiler
// rely on. The same checks also fail once the thread's stack runs low
// (StackGuard), so a small host thread stack gives the same error earlier
// instead of an overflow.
#include "parser.h"

#include <algorithm>
#include <optional>
#include <string_view>
#include <utility>

#include "common/stack_guard.h"
#include "lexer.h"

namespace calvex {

std::string ParseError::render() const {
    std::string out = "ParseError at " + std::to_string(line) + ":" + std::to_string(column) + ": " + message;
    if (!context.empty()) {
        out += "\n  Context: ";
        out += context;
    }
    return out;
}

namespace {

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

const std::string& text_of(const Token& t) {
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

// ---- expressions ----------------------------------------------------------

// expr -> binary(1) [ '?' expr ':' expr | '?' ]
ExprResult Parser::expression() {
    TRY_AS(head, binary(1));
    if (!at(TK::Question)) return head;
    if (!fits(head.height)) return too_deep();
    if (starts_ternary_branch(peek(1).kind)) {
        advance();
        DESCEND();
        TRY_AS(then_e, expression());
        TRY(expect(TK::Colon));
        TRY_AS(else_e, expression());
        uint32_t h = 1 + std::max({head.height, then_e.height, else_e.height});
        return Parsed{make_expr(Expr::Ternary{std::move(head.expr), std::move(then_e.expr), std::move(else_e.expr)}), h};
    }
    advance();
    return Parsed{make_expr(Expr::Propagate{std::move(head.expr)}), head.height + 1};
}

// binary(m) -> prefix { op(prec >= m) binary(prec + 1) }
ExprResult Parser::binary(int min_precedence) {
    TRY_AS(left, prefix());
    for (;;) {
        BinaryRule rule = binary_rule(cur().kind);
        if (rule.precedence == 0 || rule.precedence < min_precedence) return left;
        if (!fits(left.height)) return too_deep();
        advance();
        Level level(depth_);  // fits() above left room for one level
        TRY_AS(right, binary(rule.precedence + 1));
        uint32_t h = 1 + std::max(left.height, right.height);
        left = Parsed{make_expr(Expr::BinaryOp{std::move(left.expr), rule.op, std::move(right.expr)}), h};
    }
}

// prefix -> ('-' | 'not') prefix | postfix
ExprResult Parser::prefix() {
    UnaryOperator op;
    if (at(TK::Minus)) op = UnaryOperator::Neg;
    else if (at(TK::Not)) op = UnaryOperator::Not;
    else return postfix();
    DESCEND();
    advance();
    TRY_AS(operand, prefix());
    return Parsed{make_expr(Expr::UnaryOp{op, std::move(operand.expr)}), operand.height + 1};
}

// Parses `expr {',' expr} [',']` up to `close` or Eof (not consuming it);
// raises `height` to the tallest element.
UnitResult Parser::comma_list(TK close, std::vector<ExprPtr>& out, uint32_t& height) {
    while (!at(close) && !at(TK::Eof)) {
        TRY_AS(item, expression());
        height = std::max(height, item.height);
        out.push_back(std::move(item.expr));
        if (!at(TK::Comma)) break;
        advance();
    }
    return Unit{};
}

// postfix -> primary { '(' args ')' | '[' expr ']' | '.' name | comptime-block }
ExprResult Parser::postfix() {
    TRY_AS(e, primary());
    for (;;) {
        switch (cur().kind) {
            case TK::LeftParen: {
                if (!fits(e.height)) return too_deep();
                advance();
                std::vector<ExprPtr> args;
                uint32_t h = e.height;
                {
                    Level level(depth_);
                    TRY(comma_list(TK::RightParen, args, h));
                }
                TRY(expect(TK::RightParen));
                e = Parsed{make_expr(Expr::Call{std::move(e.expr), std::move(args)}), h + 1};
                break;
            }
            case TK::LeftBracket: {
                if (!fits(e.height)) return too_deep();
                advance();
                uint32_t h = e.height;
                ExprPtr index;
                {
                    Level level(depth_);
                    TRY_AS(i, expression());
                    h = std::max(h, i.height);
                    index = std::move(i.expr);
                }
                TRY(expect(TK::RightBracket));
                e = Parsed{make_expr(Expr::Index{std::move(e.expr), std::move(index)}), h + 1};
                break;
            }
            case TK::Dot: {
                if (!fits(e.height)) return too_deep();
                advance();
                TRY_AS(name, expect_identifier());
                e = Parsed{make_expr(Expr::Member{std::move(e.expr), std::move(name)}), e.height + 1};
                break;
            }
            case TK::LeftBrace: {
                if (e.expr->kind() != ExprKind::Identifier || e.expr->as<Expr::Identifier>().name != "comptime") {
                    return e;
                }
                advance();
                skip_braced();
                break;
            }
            default:
                return e;
        }
    }
}

ExprResult Parser::primary() {
    const Token& t = cur();
    switch (t.kind) {
        case TK::Int: {
            LiteralValue v(std::in_place_type<int64_t>, payload_or<int64_t>(t, 0));
            advance();
            return Parsed{make_expr(Expr::Literal{std::move(v)})};
        }
        case TK::Float: {
            LiteralValue v(std::in_place_type<double>, payload_or<double>(t, 0.0));
            advance();
            return Parsed{make_expr(Expr::Literal{std::move(v)})};
        }
        case TK::String: {
            LiteralValue v(std::in_place_type<std::string>, text_of(t));
            advance();
            return Parsed{make_expr(Expr::Literal{std::move(v)})};
        }
        case TK::Bool: {
            LiteralValue v(std::in_place_type<bool>, payload_or<bool>(t, false));
            advance();
            return Parsed{make_expr(Expr::Literal{std::move(v)})};
        }
        case TK::Nil:
            advance();
            return Parsed{make_expr(Expr::Literal{LiteralValue()})};
        case TK::Identifier: {
            std::string name = text_of(t);
            advance();
            return Parsed{make_expr(Expr::Identifier{std::move(name)})};
        }
        // The built-ins `int` and `float` lex as type keywords; as values they
        // are plain names so that they can be called.
        case TK::IntType:
            advance();
            return Parsed{make_expr(Expr::Identifier{"int"})};
        case TK::FloatType:
            advance();
            return Parsed{make_expr(Expr::Identifier{"float"})};
        case TK::Fn:
            return lambda();
        case TK::LeftParen: {
            DESCEND();
            advance();
            TRY_AS(inner, expression());
            TRY(expect(TK::RightParen));
            return inner;
        }
        case TK::LeftBrace:
            return object_literal();
        case TK::LeftBracket:
            return array_literal();
        case TK::FString: {
            // StringInterpolation -> ExprPart -> expression: two levels down.
            if (!fits(2)) return too_deep();
            std::string payload = text_of(t);
            advance();
            return fstring(payload);
        }
        default:
            return unexpected();
    }
}

// param -> name [':' type] ['=' expr]; raises `height` to the Param's height.
Result<Param, Failed> Parser::param(uint32_t& height) {
    TRY_AS(name, expect_identifier());
    Param p{std::move(name), std::nullopt, nullptr};
    uint32_t h = 1;
    DESCEND();
    if (at(TK::Colon)) {
        advance();
        TRY_AS(hint, type_annotation());
        p.type_hint = std::move(hint);
        h = 2;
    }
    if (at(TK::Assign)) {
        advance();
        TRY_AS(def, expression());
        p.default_value = std::move(def.expr);
        h = std::max(h, def.height + 1);
    }
    height = std::max(height, h);
    return p;
}

// params -> [param {',' param} [',']] ')'   (the '(' is already consumed)
Result<std::vector<Param>, Failed> Parser::param_list(uint32_t& height) {
    std::vector<Param> params;
    while (!at(TK::RightParen) && !at(TK::Eof)) {
        TRY_AS(p, param(height));
        params.push_back(std::move(p));
        if (!at(TK::Comma)) break;
        advance();
    }
    TRY(expect(TK::RightParen));
    return params;
}

// lambda -> 'fn' '(' params ')' ( '{' expr '}' | expr )
ExprResult Parser::lambda() {
    DESCEND();
    advance();
    TRY(expect(TK::LeftParen));
    uint32_t h = 0;
    TRY_AS(params, param_list(h));
    ExprPtr body;
    if (at(TK::LeftBrace)) {
        advance();
        TRY_AS(b, expression());
        TRY(expect(TK::RightBrace));
        body = std::move(b.expr);
        h = std::max(h, b.height);
    } else {
        TRY_AS(b, expression());
        body = std::move(b.expr);
        h = std::max(h, b.height);
    }
    return Parsed{make_expr(Expr::Lambda{std::move(params), std::nullopt, std::move(body)}), h + 1};
}

// object -> '{' [name ':' expr {',' name ':' expr} [',']] '}'
ExprResult Parser::object_literal() {
    DESCEND();
    advance();
    Expr::Object obj;
    uint32_t h = 0;
    while (!at(TK::RightBrace) && !at(TK::Eof)) {
        TRY_AS(key, expect_identifier());
        TRY(expect(TK::Colon));
        TRY_AS(value, expression());
        h = std::max(h, value.height);
        obj.properties.emplace_back(std::move(key), std::move(value.expr));
        if (!at(TK::Comma)) break;
        advance();
    }
    TRY(expect(TK::RightBrace));
    return Parsed{make_expr(std::move(obj)), h + 1};
}

// array -> '[' [expr {',' expr} [',']] ']'
ExprResult Parser::array_literal() {
    DESCEND();
    advance();
    std::vector<ExprPtr> elements;
    uint32_t h = 0;
    TRY(comma_list(TK::RightBracket, elements, h));
    TRY(expect(TK::RightBracket));
    return Parsed{make_expr(Expr::Array{std::move(elements)}), h + 1};
}

// Splits an f-string payload into text and interpolations. U+0000 marks the
// doubled braces the lexer saw: "\0{" is a literal '{', "}\0" a literal '}'.
// The delimiters are ASCII, so walking UTF-8 bytes is walking code points.
// The caller has checked that two more levels fit.
ExprResult Parser::fstring(const std::string& payload) {
    std::vector<InterpolationPart> parts;
    std::string text;
    uint32_t h = 0;
    const size_t n = payload.size();
    size_t i = 0;
    while (i < n) {
        char c = payload[i];
        if (c == '\0') {
            if (i + 1 < n && payload[i + 1] == '{') {
                text += '{';
                i += 2;
            } else {
                ++i;
            }
        } else if (c == '}') {
            text += '}';
            ++i;
            if (i < n && payload[i] == '\0') ++i;
        } else if (c == '{') {
            if (!text.empty()) {
                parts.push_back(InterpolationPart{std::move(text)});
                text.clear();
            }
            size_t start = ++i;
            uint64_t open = 1;
            for (; i < n; ++i) {
                if (payload[i] == '{') {
                    ++open;
                } else if (payload[i] == '}' && --open == 0) {
                    break;
                }
            }
            std::string_view inner(payload.data() + start, i - start);
            if (i < n) ++i;
            if (inner.empty()) continue;
            auto tokens = tokenize(inner);
            if (!tokens) return fail_at_origin("In f-string: " + tokens.error());
            Parser sub(std::move(tokens.value()), depth_ + 2);
            auto e = sub.expression();
            if (!e) return fail_at_origin("In f-string: " + sub.error().render());
            h = std::max(h, e.value().height + 1);
            parts.push_back(InterpolationPart{std::move(e.value().expr)});
        } else {
            text += c;
            ++i;
        }
    }
    if (!text.empty()) parts.push_back(InterpolationPart{std::move(text)});
    if (parts.size() == 1 && !parts[0].is_expr()) {
        return Parsed{make_expr(Expr::Literal{LiteralValue(std::move(std::get<0>(parts[0].part)))})};
    }
    return Parsed{make_expr(Expr::StringInterpolation{std::move(parts)}), std::max<uint32_t>(h, 1) + 1};
}

// type -> '[' type ']' | name ['[' ']']
HintResult Parser::type_annotation() {
    if (at(TK::LeftBracket)) {
        DESCEND();
        advance();
        TRY_AS(inner, type_annotation());
        TRY(expect(TK::RightBracket));
        return TypeHint{inner.name + "[]", false, {}};
    }
    TRY_AS(name, expect_identifier());
    if (at(TK::LeftBracket) && peek(1).kind == TK::RightBracket) {
        advance();
        advance();
        name += "[]";
    }
    return TypeHint{std::move(name), false, {}};
}

// ---- statements -----------------------------------------------------------

Result<Program, Failed> Parser::program() {
    Program prog;
    while (!at(TK::Eof)) {
        DESCEND();
        auto s = statement();
        if (!s) return Err{Failed{}};
        prog.statements.push_back(std::move(s.value()));
    }
    return prog;
}

// Called at the level of the statement it builds.
StmtResult Parser::statement() {
    switch (cur().kind) {
        case TK::Let: case TK::Const: return var_decl();
        case TK::Fn: return function_decl();
        case TK::Struct: case TK::Class: return class_decl();
        case TK::Enum: return enum_decl();
        case TK::If: return if_stmt();
        case TK::While: return while_stmt();
        case TK::For: return for_stmt();
        case TK::Return: return return_stmt();
        case TK::Break: case TK::Continue: {
            uint64_t line = cur().line;
            bool is_break = at(TK::Break);
            advance();
            skip_semicolon();
            return is_break ? Stmt{Stmt::Break{}, line} : Stmt{Stmt::Continue{}, line};
        }
        case TK::Switch: return switch_stmt();
        case TK::Try: return try_stmt();
        case TK::Throw: return throw_stmt();
        case TK::Yield: return yield_stmt();
        default: return expression_stmt();
    }
}

// Statements up to '}' or Eof. Called inside the owner's DESCEND: the
// statements are its children.
ListResult Parser::block_body() {
    StmtList body;
    while (!at(TK::RightBrace) && !at(TK::Eof)) {
        auto s = statement();
        if (!s) return Err{Failed{}};
        body.push_back(std::move(s.value()));
    }
    return body;
}

// '{' block '}'
ListResult Parser::braced_block() {
    TRY(expect(TK::LeftBrace));
    TRY_AS(body, block_body());
    TRY(expect(TK::RightBrace));
    return body;
}

// Statements up to 'case', 'default', '}' or Eof.
ListResult Parser::case_body() {
    StmtList body;
    while (!at(TK::Case) && !at(TK::Default) && !at(TK::RightBrace) && !at(TK::Eof)) {
        auto s = statement();
        if (!s) return Err{Failed{}};
        body.push_back(std::move(s.value()));
    }
    return body;
}

StmtResult Parser::expression_stmt() {
    uint64_t line = cur().line;
    DESCEND();
    TRY_AS(e, expression());
    skip_semicolon();
    return Stmt{Stmt::ExprStatement{std::move(e.expr)}, line};
}

// var -> ('let'|'const') ( '[' names ']' ['=' expr] | name [':' type] ['=' expr] ) [';']
StmtResult Parser::var_decl() {
    uint64_t line = cur().line;
    bool is_mutable = at(TK::Let);
    DESCEND();
    advance();
    Stmt::VarDecl decl;
    decl.is_mutable = is_mutable;
    if (at(TK::LeftBracket)) {
        // Array patterns are checked for syntax and then dropped.
        advance();
        while (!at(TK::RightBracket) && !at(TK::Eof)) {
            TRY(expect_identifier());
            if (!at(TK::Comma)) break;
            advance();
        }
        TRY(expect(TK::RightBracket));
        if (at(TK::Assign)) {
            advance();
            TRY(expression());
        }
        skip_semicolon();
        return Stmt{std::move(decl), line};
    }
    TRY_AS(name, expect_identifier());
    decl.name = std::move(name);
    if (at(TK::Colon)) {
        advance();
        TRY_AS(hint, type_annotation());
        decl.type_hint = std::move(hint);
    }
    if (at(TK::Assign)) {
        advance();
        TRY_AS(init, expression());
        decl.init = std::move(init.expr);
    }
    skip_semicolon();
    return Stmt{std::move(decl), line};
}

// fn -> 'fn' ['*'] name '(' params ')' ['->' type] '{' block '}'
StmtResult Parser::function_decl() {
    uint64_t line = cur().line;
    DESCEND();
    advance();
    if (at(TK::Star)) advance();
    Stmt::FunctionDef def;
    TRY_AS(name, expect_identifier());
    def.name = std::move(name);
    TRY(expect(TK::LeftParen));
    uint32_t unused_height = 0;  // statements are bounded by DESCEND alone
    TRY_AS(params, param_list(unused_height));
    def.params = std::move(params);
    if (at(TK::Arrow)) {
        advance();
        TRY_AS(hint, type_annotation());
        def.return_type = std::move(hint);
    }
    TRY_AS(body, braced_block());
    def.body = std::move(body);
    return Stmt{std::move(def), line};
}

// One class member, already one level below the class; nothing for a method
// written without `fn` (those are skipped).
Result<std::optional<Stmt>, Failed> Parser::class_member() {
    if (at(TK::Fn)) {
        TRY_AS(s, function_decl());
        return std::optional<Stmt>(std::move(s));
    }
    if (at(TK::Let) || at(TK::Const)) {
        TRY_AS(s, var_decl());
        return std::optional<Stmt>(std::move(s));
    }
    uint64_t line = cur().line;
    DESCEND();
    TRY_AS(name, expect_identifier());
    if (at(TK::LeftParen) || at(TK::LeftBrace)) {
        if (at(TK::LeftParen)) {
            advance();
            while (!at(TK::RightParen) && !at(TK::Eof)) advance();
            TRY(expect(TK::RightParen));
        }
        if (at(TK::Arrow)) {
            advance();
            TRY(type_annotation());
        }
        if (at(TK::LeftBrace)) {
            advance();
            skip_braced();
        }
        return std::optional<Stmt>();
    }
    Stmt::VarDecl field{std::move(name), true, std::nullopt, nullptr};
    if (at(TK::Colon)) {
        advance();
        TRY_AS(hint, type_annotation());
        field.type_hint = std::move(hint);
    }
    if (at(TK::Assign)) {
        // Field initialisers are checked for syntax and then dropped.
        advance();
        TRY(expression());
    }
    return std::optional<Stmt>(Stmt{std::move(field), line});
}

// class -> ('class'|'struct') name ['<' ... '>'] ['extends' name] '{' members '}'
StmtResult Parser::class_decl() {
    uint64_t line = cur().line;
    DESCEND();
    advance();
    Stmt::ClassDef def;
    TRY_AS(name, expect_identifier());
    def.name = std::move(name);
    if (at(TK::Lt)) {
        advance();
        uint64_t open = 1;
        while (open > 0 && !at(TK::Eof)) {
            if (at(TK::Lt)) ++open;
            else if (at(TK::Gt)) --open;
            advance();
        }
    }
    if (at(TK::Identifier) && text_of(cur()) == "extends") {
        advance();
        TRY_AS(parent, expect_identifier());
        def.extends = std::move(parent);
    }
    TRY(expect(TK::LeftBrace));
    while (!at(TK::RightBrace) && !at(TK::Eof)) {
        TRY_AS(member, class_member());
        if (member) def.body.push_back(std::move(*member));
    }
    TRY(expect(TK::RightBrace));
    return Stmt{std::move(def), line};
}

// enum -> 'enum' name '{' { name ['(' fields ')'] } '}'
StmtResult Parser::enum_decl() {
    uint64_t line = cur().line;
    DESCEND();
    advance();
    Stmt::ClassDef def;
    TRY_AS(name, expect_identifier());
    def.name = std::move(name);
    TRY(expect(TK::LeftBrace));
    while (!at(TK::RightBrace) && !at(TK::Eof)) {
        uint64_t vline = cur().line;
        TRY_AS(variant, expect_identifier());
        if (at(TK::LeftParen)) {
            // Variant fields are checked for syntax and then dropped.
            DESCEND();
            advance();
            while (!at(TK::RightParen) && !at(TK::Eof)) {
                TRY(expect_identifier());
                if (at(TK::Colon)) {
                    advance();
                    TRY(type_annotation());
                }
                if (!at(TK::Comma)) break;
                advance();
            }
            TRY(expect(TK::RightParen));
        }
        def.body.push_back(Stmt{Stmt::VarDecl{std::move(variant), false, std::nullopt, nullptr}, vline});
    }
    TRY(expect(TK::RightBrace));
    return Stmt{std::move(def), line};
}

// if -> 'if' expr '{' block '}' ['else' (if | '{' block '}')]
StmtResult Parser::if_stmt() {
    uint64_t line = cur().line;
    DESCEND();
    advance();
    TRY_AS(cond, expression());
    TRY_AS(then_body, braced_block());
    Stmt::If node{std::move(cond.expr), std::move(then_body), std::nullopt};
    if (at(TK::Else)) {
        advance();
        if (at(TK::If)) {
            auto nested = if_stmt();
            if (!nested) return Err{Failed{}};
            node.else_body.emplace().push_back(std::move(nested.value()));
        } else {
            TRY_AS(else_body, braced_block());
            node.else_body = std::move(else_body);
        }
    }
    return Stmt{std::move(node), line};
}

StmtResult Parser::while_stmt() {
    uint64_t line = cur().line;
    DESCEND();
    advance();
    TRY_AS(cond, expression());
    TRY_AS(body, braced_block());
    return Stmt{Stmt::While{std::move(cond.expr), std::move(body)}, line};
}

// for -> 'for' name 'in' expr '{' block '}'
StmtResult Parser::for_stmt() {
    uint64_t line = cur().line;
    DESCEND();
    advance();
    TRY_AS(target, expect_identifier());
    TRY(expect(TK::In));
    TRY_AS(iter, expression());
    TRY_AS(body, braced_block());
    return Stmt{Stmt::For{std::move(target), std::move(iter.expr), std::move(body)}, line};
}

StmtResult Parser::return_stmt() {
    uint64_t line = cur().line;
    DESCEND();
    advance();
    Stmt::Return node;
    if (!at(TK::RightBrace) && !at(TK::Semicolon)) {
        TRY_AS(value, expression());
        node.value = std::move(value.expr);
    }
    skip_semicolon();
    return Stmt{std::move(node), line};
}

StmtResult Parser::throw_stmt() {
    uint64_t line = cur().line;
    DESCEND();
    advance();
    TRY_AS(value, expression());
    skip_semicolon();
    return Stmt{Stmt::Throw{std::move(value.expr)}, line};
}

// yield -> 'yield' [expr] [';'], as an expression statement holding Yield.
StmtResult Parser::yield_stmt() {
    uint64_t line = cur().line;
    DESCEND();
    advance();
    Expr::Yield node;
    if (!at(TK::RightBrace) && !at(TK::Semicolon)) {
        DESCEND();
        TRY_AS(value, expression());
        node.value = std::move(value.expr);
    }
    skip_semicolon();
    return Stmt{Stmt::ExprStatement{make_expr(std::move(node))}, line};
}

// match -> 'match' expr '{' { 'case' expr skip (':' case-body | '{' block '}' | ) | 'default' ':' case-body } '}'
StmtResult Parser::switch_stmt() {
    uint64_t line = cur().line;
    DESCEND();
    advance();
    TRY_AS(subject, expression());
    TRY(expect(TK::LeftBrace));
    std::vector<SwitchCase> cases;
    for (;;) {
        if (at(TK::Case)) {
            DESCEND();
            advance();
            SwitchCase arm;
            TRY_AS(value, expression());
            arm.value = std::move(value.expr);
            while (!at(TK::LeftBrace) && !at(TK::RightBrace) && !at(TK::Colon) && !at(TK::Eof)) advance();
            if (at(TK::Colon)) {
                advance();
                TRY_AS(body, case_body());
                arm.body = std::move(body);
            } else if (at(TK::LeftBrace)) {
                advance();
                TRY_AS(body, block_body());
                TRY(expect(TK::RightBrace));
                arm.body = std::move(body);
            }
            cases.push_back(std::move(arm));
        } else if (at(TK::Default)) {
            DESCEND();
            advance();
            TRY(expect(TK::Colon));
            TRY_AS(body, case_body());
            cases.push_back(SwitchCase{nullptr, std::move(body)});
        } else {
            break;
        }
    }
    TRY(expect(TK::RightBrace));
    return Stmt{Stmt::Switch{std::move(subject.expr), std::move(cases)}, line};
}

// try -> 'try' '{' block '}' { 'catch' ('(' name ')' | name) '{' block '}' } ['finally' '{' block '}']
StmtResult Parser::try_stmt() {
    uint64_t line = cur().line;
    DESCEND();
    advance();
    Stmt::Try node;
    TRY_AS(body, braced_block());
    node.body = std::move(body);
    while (at(TK::Catch)) {
        DESCEND();
        advance();
        std::string name;
        if (at(TK::LeftParen)) {
            advance();
            TRY_AS(n, expect_identifier());
            name = std::move(n);
            TRY(expect(TK::RightParen));
        } else {
            TRY_AS(n, expect_identifier());
            name = std::move(n);
        }
        TRY_AS(clause_body, braced_block());
        node.catch_clauses.push_back(CatchClause{std::move(name), std::move(clause_body)});
    }
    if (at(TK::Finally)) {
        advance();
        TRY_AS(fin, braced_block());
        node.finally_body = std::move(fin);
    }
    return Stmt{std::move(node), line};
}

}  // namespace

Result<Program, ParseError> parse_program(std::vector<Token> tokens) {
    Parser parser(std::move(tokens), 0);
    auto program = parser.program();
    if (!program) return Err{std::move(parser.error())};
    return std::move(program.value());
}

}  // namespace calvex
