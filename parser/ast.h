// The syntax tree: what the parser builds and the compiler walks.
//
// Ownership: every node, list and text of a tree lives in the Arena of its
// Program and is released with it, all at once. Nodes are therefore plain
// records (pointers, std::string_view, List) that are trivially destructible;
// nothing in a tree has a destructor to run, which keeps both building and
// dropping a large tree cheap. A tree is never shared and never changed after
// parsing.
//
// Expressions and statements are a std::variant of node structs whose
// alternative index IS the kind number, so `switch (e.kind())` followed by
// `e.as<Expr::Call>()` is the normal way to walk. Optional children are a
// null pointer, or a std::optional statement list / text (an empty list is
// present, not absent).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

namespace calvex {

// Height bound of every tree parse_program returns. Each Stmt, Expr, Param,
// SwitchCase, CatchClause and TypeHint level on a path from the Program root
// counts as one, so a walker that recurses once per node level (the host
// conversion, the compiler) never goes deeper than this many levels. The
// parser reports "Nesting too deep" instead of building more.
inline constexpr uint32_t kMaxNesting = 1000;

// Bump allocator for one tree. Blocks grow geometrically; memory comes back
// only when the arena is dropped. Only trivially destructible objects may
// live here: their destructors are never run.
class Arena {
public:
    Arena() = default;
    Arena(Arena&& other) noexcept { *this = std::move(other); }
    Arena& operator=(Arena&& other) noexcept {
        blocks_ = std::move(other.blocks_);
        cur_ = std::exchange(other.cur_, nullptr);
        end_ = std::exchange(other.end_, nullptr);
        next_size_ = std::exchange(other.next_size_, kFirstBlock);
        other.blocks_.clear();
        return *this;
    }
    Arena(const Arena&) = delete;
    Arena& operator=(const Arena&) = delete;

    void* allocate(size_t bytes, size_t align) {
        auto p = (reinterpret_cast<uintptr_t>(cur_) + align - 1) & ~(uintptr_t(align) - 1);
        if (cur_ == nullptr || p + bytes > reinterpret_cast<uintptr_t>(end_)) return grow(bytes, align);
        cur_ = reinterpret_cast<char*>(p + bytes);
        return reinterpret_cast<void*>(p);
    }

    template <class T, class... Args>
    T* make(Args&&... args) {
        static_assert(std::is_trivially_destructible_v<T>);
        return new (allocate(sizeof(T), alignof(T))) T(std::forward<Args>(args)...);
    }

    // `n` objects copied from `src` (trivially copyable objects only).
    template <class T>
    T* copy_array(const T* src, size_t n) {
        static_assert(std::is_trivially_copyable_v<T> && std::is_trivially_destructible_v<T>);
        if (n == 0) return nullptr;
        T* dst = static_cast<T*>(allocate(n * sizeof(T), alignof(T)));
        std::memcpy(static_cast<void*>(dst), src, n * sizeof(T));
        return dst;
    }

    std::string_view copy(std::string_view s) {
        if (s.empty()) return {};
        char* p = static_cast<char*>(allocate(s.size(), 1));
        std::memcpy(p, s.data(), s.size());
        return {p, s.size()};
    }

private:
    static constexpr size_t kFirstBlock = 4096;
    static constexpr size_t kMaxBlock = 1 << 20;

    void* grow(size_t bytes, size_t align);
    char* add_block(size_t bytes);

    // Blocks come from the library's operator new, like every other allocation.
    struct Release {
        void operator()(char* p) const { ::operator delete(p); }
    };
    std::vector<std::unique_ptr<char, Release>> blocks_;
    char* cur_ = nullptr;
    char* end_ = nullptr;
    size_t next_size_ = kFirstBlock;
};

// A fixed array in an arena: what the tree uses for every list of children.
template <class T>
class List {
public:
    List() = default;
    List(T* data, size_t size) : data_(data), size_(size) {}

    size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    const T* begin() const { return data_; }
    const T* end() const { return data_ + size_; }
    const T& operator[](size_t i) const { return data_[i]; }
    const T& back() const { return data_[size_ - 1]; }

private:
    T* data_ = nullptr;
    size_t size_ = 0;
};

struct Expr;
struct Stmt;
using ExprPtr = const Expr*;
using StmtList = List<Stmt>;

// Literal cases in kind order: Nil, Bool, Int, Float, String.
enum class LiteralKind : uint8_t { Nil, Bool, Int, Float, String };
using LiteralValue = std::variant<std::monostate, bool, int64_t, double, std::string_view>;

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
    std::string_view name;
    bool nullable = false;
    List<TypeHint> generics;
};

// A parameter of a function or lambda. Null pointers: not written.
struct Param {
    std::string_view name;
    const TypeHint* type_hint = nullptr;
    ExprPtr default_value = nullptr;
};

// One piece of an f-string: literal text (StringPart) or an embedded
// expression (ExprPart).
struct InterpolationPart {
    std::variant<std::string_view, ExprPtr> part;

    bool is_expr() const { return part.index() == 1; }
    std::string_view text() const { return std::get<0>(part); }
    const Expr& expr() const { return *std::get<1>(part); }
};

struct ObjectProperty {
    std::string_view key;
    ExprPtr value;
};

struct Expr {
    struct Literal { LiteralValue value; };
    struct Identifier { std::string_view name; };
    struct Propagate { ExprPtr expr; };
    struct BinaryOp { ExprPtr left; BinaryOperator op; ExprPtr right; };
    struct UnaryOp { UnaryOperator op; ExprPtr operand; };
    struct Call { ExprPtr callee; List<ExprPtr> args; };
    struct Index { ExprPtr object; ExprPtr index; };
    struct Member { ExprPtr object; std::string_view property; };
    struct Ternary { ExprPtr condition; ExprPtr then_expr; ExprPtr else_expr; };
    struct Array { List<ExprPtr> elements; };
    // Pairs in source order; a repeated key appears again.
    struct Object { List<ObjectProperty> properties; };
    struct Lambda { List<Param> params; const TypeHint* return_type; ExprPtr body; };
    struct StringInterpolation { List<InterpolationPart> parts; };
    struct Await { ExprPtr expr; };
    struct Yield { ExprPtr value; };  // null: bare `yield`

    // Alternative order == ExprKind order.
    using Node = std::variant<Literal, Identifier, Propagate, BinaryOp, UnaryOp, Call, Index, Member,
                              Ternary, Array, Object, Lambda, StringInterpolation, Await, Yield>;
    Node node;

    ExprKind kind() const { return static_cast<ExprKind>(node.index()); }
    template <class T> const T& as() const { return *std::get_if<T>(&node); }
};
static_assert(std::variant_size_v<Expr::Node> == kExprKindCount);
static_assert(std::is_trivially_destructible_v<Expr>);

struct SwitchCase {
    ExprPtr value;  // null: the default arm
    StmtList body;
};

struct CatchClause {
    std::string_view exception;  // the name bound to the caught value
    StmtList body;
};

struct Stmt {
    struct ExprStatement { ExprPtr expression; };
    struct VarDecl {
        std::string_view name;  // empty for a discarded array pattern
        bool is_mutable = false;
        const TypeHint* type_hint = nullptr;
        ExprPtr init = nullptr;  // null: no initialiser
    };
    struct FunctionDef {
        std::string_view name;
        List<Param> params;
        const TypeHint* return_type = nullptr;
        StmtList body;
        bool is_async = false;
    };
    struct ClassDef {
        std::string_view name;
        std::optional<std::string_view> extends;
        StmtList body;
    };
    struct If { ExprPtr condition; StmtList then_body; std::optional<StmtList> else_body; };
    struct While { ExprPtr condition; StmtList body; };
    struct For { std::string_view target; ExprPtr iter; StmtList body; };
    struct Switch { ExprPtr expr; List<SwitchCase> cases; };
    struct Return { ExprPtr value; };  // null: bare `return`
    struct Break {};
    struct Continue {};
    struct Throw { ExprPtr expr; };
    struct Try {
        StmtList body;
        List<CatchClause> catch_clauses;
        std::optional<StmtList> finally_body;
    };

    // Alternative order == StmtKind order.
    using Node = std::variant<ExprStatement, VarDecl, FunctionDef, ClassDef, If, While, For, Switch,
                              Return, Break, Continue, Throw, Try>;
    Node node;
    uint64_t line = 0;  // line of the token that starts the statement

    StmtKind kind() const { return static_cast<StmtKind>(node.index()); }
    template <class T> const T& as() const { return *std::get_if<T>(&node); }
};
static_assert(std::variant_size_v<Stmt::Node> == kStmtKindCount);
static_assert(std::is_trivially_destructible_v<Stmt> && std::is_trivially_copyable_v<Stmt>);

// A whole tree. Moving a Program keeps every node where it is.
struct Program {
    StmtList statements;
    Arena arena;
};

// Names as the host dictionaries print them ("Add", "Neg", "Call", "If").
const char* binary_operator_name(BinaryOperator op);
const char* unary_operator_name(UnaryOperator op);
const char* expr_kind_name(ExprKind k);
const char* stmt_kind_name(StmtKind k);

}  // namespace calvex
