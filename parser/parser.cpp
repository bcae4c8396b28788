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

#include "lexer.h"
#include "parser_internal.h"

namespace calvex {

std::string ParseError::render() const {
    std::string out = "ParseError at " + std::to_string(line) + ":" + std::to_string(column) + ": " + message;
    if (!context.empty()) {
        out += "\n  Context: ";
        out += context;
    }
    return out;
}


namespace parse_detail {

// ---- statements -----------------------------------------------------------

Result<StmtList, Failed> Parser::program() {
    const size_t mark = ctx_.stmts.mark();
    while (!at(TK::Eof)) {
        DESCEND();
        auto s = statement();
        if (!s) return Err{Failed{}};
        ctx_.stmts.push(s.value());
    }
    return ctx_.stmts.take(mark, arena());
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
    const size_t mark = ctx_.stmts.mark();
    while (!at(TK::RightBrace) && !at(TK::Eof)) {
        auto s = statement();
        if (!s) return Err{Failed{}};
        ctx_.stmts.push(s.value());
    }
    return ctx_.stmts.take(mark, arena());
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
    const size_t mark = ctx_.stmts.mark();
    while (!at(TK::Case) && !at(TK::Default) && !at(TK::RightBrace) && !at(TK::Eof)) {
        auto s = statement();
        if (!s) return Err{Failed{}};
        ctx_.stmts.push(s.value());
    }
    return ctx_.stmts.take(mark, arena());
}

StmtResult Parser::expression_stmt() {
    uint64_t line = cur().line;
    DESCEND();
    TRY_AS(e, expression());
    skip_semicolon();
    return Stmt{Stmt::ExprStatement{e.expr}, line};
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
            TRY(skip_identifier());
            if (!at(TK::Comma)) break;
            advance();
        }
        TRY(expect(TK::RightBracket));
        if (at(TK::Assign)) {
            advance();
            TRY(expression());
        }
        skip_semicolon();
        return Stmt{decl, line};
    }
    TRY_AS(name, expect_identifier());
    decl.name = name;
    if (at(TK::Colon)) {
        advance();
        TRY_AS(h, type_annotation());
        decl.type_hint = hint(h);
    }
    if (at(TK::Assign)) {
        advance();
        TRY_AS(init, expression());
        decl.init = init.expr;
    }
    skip_semicolon();
    return Stmt{decl, line};
}

// fn -> 'fn' ['*'] name '(' params ')' ['->' type] '{' block '}'
StmtResult Parser::function_decl() {
    uint64_t line = cur().line;
    DESCEND();
    advance();
    if (at(TK::Star)) advance();
    Stmt::FunctionDef def;
    TRY_AS(name, expect_identifier());
    def.name = name;
    TRY(expect(TK::LeftParen));
    uint32_t unused_height = 0;  // statements are bounded by DESCEND alone
    TRY_AS(params, param_list(unused_height));
    def.params = params;
    if (at(TK::Arrow)) {
        advance();
        TRY_AS(h, type_annotation());
        def.return_type = hint(h);
    }
    TRY_AS(body, braced_block());
    def.body = body;
    return Stmt{def, line};
}

// One class member, already one level below the class; nothing for a method
// written without `fn` (those are skipped).
Result<std::optional<Stmt>, Failed> Parser::class_member() {
    if (at(TK::Fn)) {
        TRY_AS(s, function_decl());
        return std::optional<Stmt>(s);
    }
    if (at(TK::Let) || at(TK::Const)) {
        TRY_AS(s, var_decl());
        return std::optional<Stmt>(s);
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
    Stmt::VarDecl field{name, true, nullptr, nullptr};
    if (at(TK::Colon)) {
        advance();
        TRY_AS(h, type_annotation());
        field.type_hint = hint(h);
    }
    if (at(TK::Assign)) {
        // Field initialisers are checked for syntax and then dropped.
        advance();
        TRY(expression());
    }
    return std::optional<Stmt>(Stmt{field, line});
}

// class -> ('class'|'struct') name ['<' ... '>'] ['extends' name] '{' members '}'
StmtResult Parser::class_decl() {
    uint64_t line = cur().line;
    DESCEND();
    advance();
    Stmt::ClassDef def;
    TRY_AS(name, expect_identifier());
    def.name = name;
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
        def.extends = parent;
    }
    TRY(expect(TK::LeftBrace));
    const size_t mark = ctx_.stmts.mark();
    while (!at(TK::RightBrace) && !at(TK::Eof)) {
        TRY_AS(member, class_member());
        if (member) ctx_.stmts.push(*member);
    }
    def.body = ctx_.stmts.take(mark, arena());
    TRY(expect(TK::RightBrace));
    return Stmt{def, line};
}

// enum -> 'enum' name '{' { name ['(' fields ')'] } '}'
StmtResult Parser::enum_decl() {
    uint64_t line = cur().line;
    DESCEND();
    advance();
    Stmt::ClassDef def;
    TRY_AS(name, expect_identifier());
    def.name = name;
    TRY(expect(TK::LeftBrace));
    const size_t mark = ctx_.stmts.mark();
    while (!at(TK::RightBrace) && !at(TK::Eof)) {
        uint64_t vline = cur().line;
        TRY_AS(variant, expect_identifier());
        if (at(TK::LeftParen)) {
            // Variant fields are checked for syntax and then dropped.
            DESCEND();
            advance();
            while (!at(TK::RightParen) && !at(TK::Eof)) {
                TRY(skip_identifier());
                if (at(TK::Colon)) {
                    advance();
                    TRY(type_annotation());
                }
                if (!at(TK::Comma)) break;
                advance();
            }
            TRY(expect(TK::RightParen));
        }
        ctx_.stmts.push(Stmt{Stmt::VarDecl{variant, false, nullptr, nullptr}, vline});
    }
    def.body = ctx_.stmts.take(mark, arena());
    TRY(expect(TK::RightBrace));
    return Stmt{def, line};
}

// if -> 'if' expr '{' block '}' ['else' (if | '{' block '}')]
StmtResult Parser::if_stmt() {
    uint64_t line = cur().line;
    DESCEND();
    advance();
    TRY_AS(cond, expression());
    TRY_AS(then_body, braced_block());
    Stmt::If node{cond.expr, then_body, std::nullopt};
    if (at(TK::Else)) {
        advance();
        if (at(TK::If)) {
            auto nested = if_stmt();
            if (!nested) return Err{Failed{}};
            node.else_body = StmtList(arena().make<Stmt>(nested.value()), 1);
        } else {
            TRY_AS(else_body, braced_block());
            node.else_body = else_body;
        }
    }
    return Stmt{node, line};
}

StmtResult Parser::while_stmt() {
    uint64_t line = cur().line;
    DESCEND();
    advance();
    TRY_AS(cond, expression());
    TRY_AS(body, braced_block());
    return Stmt{Stmt::While{cond.expr, body}, line};
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
    return Stmt{Stmt::For{target, iter.expr, body}, line};
}

StmtResult Parser::return_stmt() {
    uint64_t line = cur().line;
    DESCEND();
    advance();
    Stmt::Return node{nullptr};
    if (!at(TK::RightBrace) && !at(TK::Semicolon)) {
        TRY_AS(value, expression());
        node.value = value.expr;
    }
    skip_semicolon();
    return Stmt{node, line};
}

StmtResult Parser::throw_stmt() {
    uint64_t line = cur().line;
    DESCEND();
    advance();
    TRY_AS(value, expression());
    skip_semicolon();
    return Stmt{Stmt::Throw{value.expr}, line};
}

// yield -> 'yield' [expr] [';'], as an expression statement holding Yield.
StmtResult Parser::yield_stmt() {
    uint64_t line = cur().line;
    DESCEND();
    advance();
    Expr::Yield y{nullptr};
    if (!at(TK::RightBrace) && !at(TK::Semicolon)) {
        DESCEND();
        TRY_AS(value, expression());
        y.value = value.expr;
    }
    skip_semicolon();
    return Stmt{Stmt::ExprStatement{node(y)}, line};
}

// match -> 'match' expr '{' { 'case' expr skip (':' case-body | '{' block '}' | ) | 'default' ':' case-body } '}'
StmtResult Parser::switch_stmt() {
    uint64_t line = cur().line;
    DESCEND();
    advance();
    TRY_AS(subject, expression());
    TRY(expect(TK::LeftBrace));
    const size_t mark = ctx_.cases.mark();
    for (;;) {
        if (at(TK::Case)) {
            DESCEND();
            advance();
            SwitchCase arm{nullptr, {}};
            TRY_AS(value, expression());
            arm.value = value.expr;
            while (!at(TK::LeftBrace) && !at(TK::RightBrace) && !at(TK::Colon) && !at(TK::Eof)) advance();
            if (at(TK::Colon)) {
                advance();
                TRY_AS(body, case_body());
                arm.body = body;
            } else if (at(TK::LeftBrace)) {
                advance();
                TRY_AS(body, block_body());
                TRY(expect(TK::RightBrace));
                arm.body = body;
            }
            ctx_.cases.push(arm);
        } else if (at(TK::Default)) {
            DESCEND();
            advance();
            TRY(expect(TK::Colon));
            TRY_AS(body, case_body());
            ctx_.cases.push(SwitchCase{nullptr, body});
        } else {
            break;
        }
    }
    List<SwitchCase> cases = ctx_.cases.take(mark, arena());
    TRY(expect(TK::RightBrace));
    return Stmt{Stmt::Switch{subject.expr, cases}, line};
}

// try -> 'try' '{' block '}' { 'catch' ('(' name ')' | name) '{' block '}' } ['finally' '{' block '}']
StmtResult Parser::try_stmt() {
    uint64_t line = cur().line;
    DESCEND();
    advance();
    Stmt::Try node;
    TRY_AS(body, braced_block());
    node.body = body;
    const size_t mark = ctx_.clauses.mark();
    while (at(TK::Catch)) {
        DESCEND();
        advance();
        std::string_view name;
        if (at(TK::LeftParen)) {
            advance();
            TRY_AS(n, expect_identifier());
            name = n;
            TRY(expect(TK::RightParen));
        } else {
            TRY_AS(n, expect_identifier());
            name = n;
        }
        TRY_AS(clause_body, braced_block());
        ctx_.clauses.push(CatchClause{name, clause_body});
    }
    node.catch_clauses = ctx_.clauses.take(mark, arena());
    if (at(TK::Finally)) {
        advance();
        TRY_AS(fin, braced_block());
        node.finally_body = fin;
    }
    return Stmt{node, line};
}

}  // namespace parse_detail

using parse_detail::ParseContext;
using parse_detail::Parser;

Result<Program, ParseError> parse_program(std::vector<Token> tokens) {
    Program program;
    ParseContext ctx(program.arena);
    Parser parser(ctx, nullptr, &tokens, 0);
    auto statements = parser.program();
    if (!statements) return Err{std::move(parser.error())};
    program.statements = statements.value();
    return program;
}

Result<Program, SourceError> parse_source(std::string_view source) {
    Program program;
    ParseContext ctx(program.arena);
    Lexer lexer(source, program.arena);
    Parser parser(ctx, &lexer, nullptr, 0);
    auto statements = parser.program();
    // A parse error stands only when the rest of the text lexes.
    if (lexer.failed() || (!statements && !lexer.drain())) return Err{SourceError{true, lexer.error(), {}}};
    if (!statements) return Err{SourceError{false, {}, std::move(parser.error())}};
    program.statements = statements.value();
    return program;
}

}  // namespace calvex
