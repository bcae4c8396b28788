// The syntax tree: what the parser builds and the compiler walks.
//
// Every node owns its children. Expressions and statements are a kind enum
// plus a std::variant of node structs whose alternative index IS the kind
// number, so `switch (e.kind())` followed by `e.as<Expr::Call>()` is the
// normal way to walk. Optional children are a null ExprPtr, a std::optional
// TypeHint / text, or a std::optional statement list (an empty list is
// present, not absent).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace calvex {

// Height bound of every tree parse_program returns. Each Stmt, Expr, Param,
// SwitchCase, CatchClause and TypeHint level on a path from the Program root
// counts as one, so a walker that recurses once per node level (the host
// conversion, the destructors, the compiler) never goes deeper than this many
// levels. The parser reports "Nesting too deep" instead of building more.
inline constexpr uint32_t kMaxNesting = 1000;

struct Expr;
struct Stmt;
using ExprPtr = std::unique_ptr<Expr>;
using StmtList = std::vector<Stmt>;

// Literal cases in kind order: Nil, Bool, Int, Float, String.
enum class LiteralKind : uint8_t { Nil, Bool, Int, Float, String };
using LiteralValue = std::variant<std::monostate, bool, int64_t, double, std::string>;

enum class BinaryOperator : uint8_t {
    Add, Sub, Mul, Div, Mod, Power,
    Eq, Neq, Lt, Lte, Gt, Gte,
    And, Or,
    BitwiseAnd, BitwiseOr, BitwiseXor, LeftShift, RightShift,
    Assign,
};
inline constexpr int kBinaryOperatorCount = 20;

enum class UnaryOperator : uint8_t { Neg, Not, BitwiseNot };
inline constexpr int kUnaryOperatorCount = 3;

enum class ExprKind : uint8_t {
    Literal, Identifier, Propagate, BinaryOp, UnaryOp, Call, Index, Member,
    Ternary, Array, Object, Lambda, StringInterpolation, Await, Yield,
};
inline constexpr int kExprKindCount = 15;

enum class StmtKind : uint8_t {
    ExprStatement, VarDecl, FunctionDef, ClassDef, If, While, For, Switch,
    Return, Break, Continue, Throw, Try,
};
inline constexpr int kStmtKindCount = 13;

// A type annotation. The parser fills only `name` ("Point", "Point[]").
struct TypeHint {
    std::string name;
    bool nullable = false;
    std::vector<TypeHint> generics;
};

// A parameter of a function or lambda. `default_value` null: none written.
struct Param {
    std::string name;
    std::optional<TypeHint> type_hint;
    ExprPtr default_value;
};

// One piece of an f-string: literal text (StringPart) or an embedded
// expression (ExprPart).
struct InterpolationPart {
    std::variant<std::string, ExprPtr> part;

    bool is_expr() const { return part.index() == 1; }
    const std::string& text() const { return std::get<0>(part); }
    const Expr& expr() const { return *std::get<1>(part); }
};

struct Expr {
    struct Literal { LiteralValue value; };
    struct Identifier { std::string name; };
    struct Propagate { ExprPtr expr; };
    struct BinaryOp { ExprPtr left; BinaryOperator op; ExprPtr right; };
    struct UnaryOp { UnaryOperator op; ExprPtr operand; };
    struct Call { ExprPtr callee; std::vector<ExprPtr> args; };
    struct Index { ExprPtr object; ExprPtr index; };
    struct Member { ExprPtr object; std::string property; };
    struct Ternary { ExprPtr condition; ExprPtr then_expr; ExprPtr else_expr; };
    struct Array { std::vector<ExprPtr> elements; };
    // Pairs in source order; a repeated key appears again.
    struct Object { std::vector<std::pair<std::string, ExprPtr>> properties; };
    struct Lambda { std::vector<Param> params; std::optional<TypeHint> return_type; ExprPtr body; };
    struct StringInterpolation { std::vector<InterpolationPart> parts; };
    struct Await { ExprPtr expr; };
    struct Yield { ExprPtr value; };  // null: bare `yield`

    // Alternative order == ExprKind order.
    using Node = std::variant<Literal, Identifier, Propagate, BinaryOp, UnaryOp, Call, Index, Member,
                              Ternary, Array, Object, Lambda, StringInterpolation, Await, Yield>;
    Node node;

    ExprKind kind() const { return static_cast<ExprKind>(node.index()); }
    template <class T> T& as() { return std::get<T>(node); }
    template <class T> const T& as() const { return std::get<T>(node); }
};
static_assert(std::variant_size_v<Expr::Node> == kExprKindCount);

struct SwitchCase {
    ExprPtr value;  // null: the default arm
    StmtList body;
};

struct CatchClause {
    std::string exception;  // the name bound to the caught value
    StmtList body;
};

struct Stmt {
    struct ExprStatement { ExprPtr expression; };
    struct VarDecl {
        std::string name;  // empty for a discarded array pattern
        bool is_mutable = false;
        std::optional<TypeHint> type_hint;
        ExprPtr init;  // null: no initialiser
    };
    struct FunctionDef {
        std::string name;
        std::vector<Param> params;
        std::optional<TypeHint> return_type;
        StmtList body;
        bool is_async = false;
    };
    struct ClassDef {
        std::string name;
        std::optional<std::string> extends;
        StmtList body;
    };
    struct If { ExprPtr condition; StmtList then_body; std::optional<StmtList> else_body; };
    struct While { ExprPtr condition; StmtList body; };
    struct For { std::string target; ExprPtr iter; StmtList body; };
    struct Switch { ExprPtr expr; std::vector<SwitchCase> cases; };
    struct Return { ExprPtr value; };  // null: bare `return`
    struct Break {};
    struct Continue {};
    struct Throw { ExprPtr expr; };
    struct Try {
        StmtList body;
        std::vector<CatchClause> catch_clauses;
        std::optional<StmtList> finally_body;
    };

    // Alternative order == StmtKind order.
    using Node = std::variant<ExprStatement, VarDecl, FunctionDef, ClassDef, If, While, For, Switch,
                              Return, Break, Continue, Throw, Try>;
    Node node;
    uint64_t line = 0;  // line of the token that starts the statement

    StmtKind kind() const { return static_cast<StmtKind>(node.index()); }
    template <class T> T& as() { return std::get<T>(node); }
    template <class T> const T& as() const { return std::get<T>(node); }
};
static_assert(std::variant_size_v<Stmt::Node> == kStmtKindCount);

struct Program {
    StmtList statements;
};

// Builds the node in place: no Expr-sized temporary on the caller's stack,
// which matters in the parser's deep recursion.
template <class T>
ExprPtr make_expr(T node) {
    auto e = std::make_unique<Expr>();
    e->node.template emplace<T>(std::move(node));
    return e;
}

// Names as the host dictionaries print them ("Add", "Neg", "Call", "If").
const char* binary_operator_name(BinaryOperator op);
const char* unary_operator_name(UnaryOperator op);
const char* expr_kind_name(ExprKind k);
const char* stmt_kind_name(StmtKind k);

}  // namespace calvex
