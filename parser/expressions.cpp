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

}  // namespace calvex::parse_detail
