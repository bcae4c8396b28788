// Expression productions of the recursive-descent parser (see parser.cpp for
// how nesting is bounded).
#include "parser_internal.h"

#include <algorithm>

#include "lexer.h"

namespace calvex::parse_detail {

// ---- expressions ----------------------------------------------------------

// expr -> binary(1) [ '?' expr ':' expr | '?' ]
ExprResult Parser::expression() {
    TRY_AS(head, binary(1));
    if (!at(TK::Question)) return head;
    if (!fits(head.height)) return too_deep();
    if (starts_ternary_branch(peek1().kind)) {
        advance();
        DESCEND();
        TRY_AS(then_e, expression());
        TRY(expect(TK::Colon));
        TRY_AS(else_e, expression());
        uint32_t h = 1 + std::max({head.height, then_e.height, else_e.height});
        return Parsed{node(Expr::Ternary{head.expr, then_e.expr, else_e.expr}), h};
    }
    advance();
    return Parsed{node(Expr::Propagate{head.expr}), head.height + 1};
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
        left = Parsed{node(Expr::BinaryOp{left.expr, rule.op, right.expr}), h};
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
    return Parsed{node(Expr::UnaryOp{op, operand.expr}), operand.height + 1};
}

// Parses `expr {',' expr} [',']` up to `close` or Eof (not consuming it) onto
// the expression stack; raises `height` to the tallest element.
UnitResult Parser::comma_list(TK close, uint32_t& height) {
    while (!at(close) && !at(TK::Eof)) {
        TRY_AS(item, expression());
        height = std::max(height, item.height);
        ctx_.exprs.push(item.expr);
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
                uint32_t h = e.height;
                const size_t mark = ctx_.exprs.mark();
                {
                    Level level(depth_);
                    TRY(comma_list(TK::RightParen, h));
                }
                List<ExprPtr> args = ctx_.exprs.take(mark, arena());
                TRY(expect(TK::RightParen));
                e = Parsed{node(Expr::Call{e.expr, args}), h + 1};
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
                    index = i.expr;
                }
                TRY(expect(TK::RightBracket));
                e = Parsed{node(Expr::Index{e.expr, index}), h + 1};
                break;
            }
            case TK::Dot: {
                if (!fits(e.height)) return too_deep();
                advance();
                TRY_AS(name, expect_identifier());
                e = Parsed{node(Expr::Member{e.expr, name}), e.height + 1};
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
    const Lexeme& t = cur();
    switch (t.kind) {
        case TK::Int: {
            ExprPtr e = node(Expr::Literal{LiteralValue(std::in_place_type<int64_t>, int_of(t))});
            advance();
            return Parsed{e};
        }
        case TK::Float: {
            ExprPtr e = node(Expr::Literal{LiteralValue(std::in_place_type<double>, float_of(t))});
            advance();
            return Parsed{e};
        }
        case TK::String: {
            ExprPtr e = node(Expr::Literal{LiteralValue(std::in_place_type<std::string_view>, keep(t))});
            advance();
            return Parsed{e};
        }
        case TK::Bool: {
            ExprPtr e = node(Expr::Literal{LiteralValue(std::in_place_type<bool>, bool_of(t))});
            advance();
            return Parsed{e};
        }
        case TK::Nil:
            advance();
            return Parsed{node(Expr::Literal{LiteralValue()})};
        case TK::Identifier: {
            ExprPtr e = node(Expr::Identifier{keep(t)});
            advance();
            return Parsed{e};
        }
        // The built-ins `int` and `float` lex as type keywords; as values they
        // are plain names so that they can be called.
        case TK::IntType:
            advance();
            return Parsed{node(Expr::Identifier{"int"})};
        case TK::FloatType:
            advance();
            return Parsed{node(Expr::Identifier{"float"})};
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
            // The payload stays where it is (source, text store or token
            // list) while the cursor moves on.
            std::string_view payload = text_of(t);
            advance();
            return fstring(payload);
        }
        default:
            return unexpected();
    }
}

// param -> name [':' type] ['=' expr], onto the parameter stack; raises
// `height` to the Param's height.
UnitResult Parser::param(uint32_t& height) {
    TRY_AS(name, expect_identifier());
    Param p{name, nullptr, nullptr};
    uint32_t h = 1;
    DESCEND();
    if (at(TK::Colon)) {
        advance();
        TRY_AS(th, type_annotation());
        p.type_hint = hint(th);
        h = 2;
    }
    if (at(TK::Assign)) {
        advance();
        TRY_AS(def, expression());
        p.default_value = def.expr;
        h = std::max(h, def.height + 1);
    }
    height = std::max(height, h);
    ctx_.params.push(p);
    return Unit{};
}

// params -> [param {',' param} [',']] ')'   (the '(' is already consumed)
Result<List<Param>, Failed> Parser::param_list(uint32_t& height) {
    const size_t mark = ctx_.params.mark();
    while (!at(TK::RightParen) && !at(TK::Eof)) {
        TRY(param(height));
        if (!at(TK::Comma)) break;
        advance();
    }
    List<Param> params = ctx_.params.take(mark, arena());
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
        body = b.expr;
        h = std::max(h, b.height);
    } else {
        TRY_AS(b, expression());
        body = b.expr;
        h = std::max(h, b.height);
    }
    return Parsed{node(Expr::Lambda{params, nullptr, body}), h + 1};
}

// object -> '{' [name ':' expr {',' name ':' expr} [',']] '}'
ExprResult Parser::object_literal() {
    DESCEND();
    advance();
    uint32_t h = 0;
    const size_t mark = ctx_.properties.mark();
    while (!at(TK::RightBrace) && !at(TK::Eof)) {
        TRY_AS(key, expect_identifier());
        TRY(expect(TK::Colon));
        TRY_AS(value, expression());
        h = std::max(h, value.height);
        ctx_.properties.push(ObjectProperty{key, value.expr});
        if (!at(TK::Comma)) break;
        advance();
    }
    List<ObjectProperty> properties = ctx_.properties.take(mark, arena());
    TRY(expect(TK::RightBrace));
    return Parsed{node(Expr::Object{properties}), h + 1};
}

// array -> '[' [expr {',' expr} [',']] ']'
ExprResult Parser::array_literal() {
    DESCEND();
    advance();
    uint32_t h = 0;
    const size_t mark = ctx_.exprs.mark();
    TRY(comma_list(TK::RightBracket, h));
    List<ExprPtr> elements = ctx_.exprs.take(mark, arena());
    TRY(expect(TK::RightBracket));
    return Parsed{node(Expr::Array{elements}), h + 1};
}

// Splits an f-string payload into text and interpolations. U+0000 marks the
// doubled braces the lexer saw: "\0{" is a literal '{', "}\0" a literal '}'.
// The delimiters are ASCII, so walking UTF-8 bytes is walking code points.
// The caller has checked that two more levels fit.
//
// Each interpolation is lexed on demand by its own lexer; as with a whole
// source, a lexer error anywhere in the interpolation (also after the
// expression, where the tokens are otherwise ignored) is its error.
ExprResult Parser::fstring(std::string_view payload) {
    const size_t mark = ctx_.parts.mark();
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
                ctx_.parts.push(InterpolationPart{arena().copy(text)});
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
            std::string_view inner = payload.substr(start, i - start);
            if (i < n) ++i;
            if (inner.empty()) continue;
            Lexer lexer(inner, arena());
            Parser sub(ctx_, &lexer, nullptr, depth_ + 2);
            auto e = sub.expression();
            if (lexer.failed() || !lexer.drain()) return fail_at_origin("In f-string: " + lexer.error());
            if (!e) return fail_at_origin("In f-string: " + sub.error().render());
            h = std::max(h, e.value().height + 1);
            ctx_.parts.push(InterpolationPart{e.value().expr});
        } else {
            text += c;
            ++i;
        }
    }
    if (!text.empty()) ctx_.parts.push(InterpolationPart{arena().copy(text)});
    List<InterpolationPart> parts = ctx_.parts.take(mark, arena());
    if (parts.size() == 1 && !parts[0].is_expr()) {
        return Parsed{node(Expr::Literal{LiteralValue(std::in_place_type<std::string_view>, parts[0].text())})};
    }
    return Parsed{node(Expr::StringInterpolation{parts}), std::max<uint32_t>(h, 1) + 1};
}

// type -> '[' type ']' | name ['[' ']']
HintResult Parser::type_annotation() {
    if (at(TK::LeftBracket)) {
        DESCEND();
        advance();
        TRY_AS(inner, type_annotation());
        TRY(expect(TK::RightBracket));
        return TypeHint{concat(inner.name, "[]"), false, {}};
    }
    TRY_AS(name, expect_identifier());
    if (at(TK::LeftBracket) && peek1().kind == TK::RightBracket) {
        advance();
        advance();
        name = concat(name, "[]");
    }
    return TypeHint{name, false, {}};
}

}  // namespace calvex::parse_detail
