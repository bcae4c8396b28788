// Parse entry for the host and the syntax tree as nested host dictionaries.
//
// Key order is the insertion order the host observes, so each node's keys are
// set in the documented order. Optional fields follow three rules: most are
// left out when absent; Yield's "value" and a default arm's "expr" are None.
// Recursion follows the tree, whose height the parser bounds (kMaxNesting);
// a thread whose stack is too small for that height gets the parser's
// "Nesting too deep" error (at the line of the innermost statement reached).
#include "host.h"
#include "parser/ast.h"
#include "bindings.h"
#include "parser/parser.h"

#include <array>

#include "common/stack_guard.h"

namespace calvex {

namespace {

using host::Ref;

#define KEYS(X)                                                                         \
    X(type) X(value) X(name) X(expr) X(left) X(op) X(right) X(operand) X(callee) X(args) \
    X(object) X(index) X(property) X(condition) X(then_expr) X(else_expr) X(elements)  \
    X(properties) X(params) X(body) X(return_type) X(parts) X(expression) X(mutable_)  \
    X(init) X(type_hint) X(is_async) X(extends) X(then_body) X(else_body) X(target)    \
    X(iter) X(cases) X(catch_clauses) X(finally_body) X(default_) X(exception)         \
    X(nullable) X(generics) X(statements)

enum class Key : uint8_t {
#define X(k) k,
    KEYS(X)
#undef X
    Count
};

// Host spelling of a key; a trailing underscore only dodges a C++ keyword.
constexpr std::string_view key_text(Key k) {
    constexpr std::string_view texts[] = {
#define X(k) #k,
        KEYS(X)
#undef X
    };
    std::string_view t = texts[static_cast<int>(k)];
    return t.back() == '_' ? t.substr(0, t.size() - 1) : t;
}

// One conversion run. Key strings and kind/operator names are created once
// per run and shared by every node.
class Converter {
public:
    explicit Converter(bool prefixed) : prefixed_(prefixed) {}

    bool init() {
        for (int i = 0; i < static_cast<int>(Key::Count); ++i) {
            std::string_view t = key_text(static_cast<Key>(i));
            keys_[i] = Ref::steal(PyUnicode_FromStringAndSize(t.data(), static_cast<Py_ssize_t>(t.size())));
            if (!keys_[i]) return false;
            PyObject* k = keys_[i].release();
            PyUnicode_InternInPlace(&k);
            keys_[i] = Ref::steal(k);
        }
        return true;
    }

    Ref program(const Program& p) {
        Ref d = node("Program");
        if (!d || !set(d, Key::statements, stmt_list(p.statements))) return {};
        return d;
    }

private:
    // ---- building blocks ----
    static Ref str(std::string_view s) { return Ref::steal(host::to_str(s)); }

    // A name string from a small cache (kind and operator names repeat a lot).
    template <size_t N>
    Ref cached(std::array<Ref, N>& cache, size_t i, const char* text) {
        if (!cache[i]) cache[i] = str(text);
        return cache[i];
    }

    bool set(const Ref& d, Key k, const Ref& v) {
        return v && PyDict_SetItem(d.get(), keys_[static_cast<int>(k)].get(), v.get()) == 0;
    }

    static Ref none() { return Ref::borrow(Py_None); }
    static Ref boolean(bool b) { return Ref::borrow(b ? Py_True : Py_False); }

    // A dictionary with "type" = `type` as its first key.
    Ref node(const char* type) {
        Ref d = Ref::steal(PyDict_New());
        if (!d || !set(d, Key::type, str(type))) return {};
        return d;
    }
    Ref expr_node(ExprKind k) {
        Ref d = Ref::steal(PyDict_New());
        if (!d || !set(d, Key::type, cached(expr_names_, static_cast<size_t>(k), expr_kind_name(k)))) return {};
        return d;
    }
    Ref stmt_node(StmtKind k) {
        Ref d = Ref::steal(PyDict_New());
        if (!d || !set(d, Key::type, cached(stmt_names_, static_cast<size_t>(k), stmt_kind_name(k)))) return {};
        return d;
    }

    template <class T, class F>
    Ref list(const List<T>& items, F&& convert) {
        Ref l = Ref::steal(PyList_New(static_cast<Py_ssize_t>(items.size())));
        if (!l) return {};
        for (size_t i = 0; i < items.size(); ++i) {
            Ref item = convert(items[i]);
            if (!item) return {};
            PyList_SET_ITEM(l.get(), static_cast<Py_ssize_t>(i), item.release());
        }
        return l;
    }

    Ref stmt_list(const StmtList& body) {
        return list(body, [&](const Stmt& s) { return stmt(s); });
    }
    Ref expr_list(const List<ExprPtr>& items) {
        return list(items, [&](const ExprPtr& e) { return expr(*e); });
    }

    // ---- records without "type" ----
    Ref type_hint(const TypeHint& h) {
        Ref d = Ref::steal(PyDict_New());
        if (!d || !set(d, Key::name, str(h.name)) || !set(d, Key::nullable, boolean(h.nullable)) ||
            !set(d, Key::generics, list(h.generics, [&](const TypeHint& g) { return type_hint(g); }))) {
            return {};
        }
        return d;
    }

    Ref param(const Param& p) {
        Ref d = Ref::steal(PyDict_New());
        if (!d || !set(d, Key::name, str(p.name))) return {};
        if (p.type_hint && !set(d, Key::type_hint, type_hint(*p.type_hint))) return {};
        if (p.default_value && !set(d, Key::default_, expr(*p.default_value))) return {};
        return d;
    }
    Ref param_list(const List<Param>& params) {
        return list(params, [&](const Param& p) { return param(p); });
    }

    // ---- expressions ----
    Ref literal(const LiteralValue& v) {
        switch (static_cast<LiteralKind>(v.index())) {
            case LiteralKind::Nil: return none();
            case LiteralKind::Bool: return boolean(std::get<bool>(v));
            case LiteralKind::Int: return Ref::steal(PyLong_FromLongLong(std::get<int64_t>(v)));
            case LiteralKind::Float: return Ref::steal(PyFloat_FromDouble(std::get<double>(v)));
            case LiteralKind::String: return str(std::get<std::string_view>(v));
        }
        return {};
    }

    Ref interpolation_part(const InterpolationPart& part) {
        if (part.is_expr()) {
            Ref d = node("ExprPart");
            if (!d || !set(d, Key::expr, expr(part.expr()))) return {};
            return d;
        }
        Ref d = node("StringPart");
        if (!d || !set(d, Key::value, str(part.text()))) return {};
        return d;
    }

    // Raises the parser's error for a tree too tall for the stack left.
    [[gnu::cold, gnu::noinline]] Ref too_deep() {
        std::string message = ParseError{"Nesting too deep", {}, line_, 0}.render();
        if (prefixed_) message.insert(0, "Parse error: ");
        host::raise(PyExc_SyntaxError, message);
        return {};
    }

    Ref expr(const Expr& e) {
        if (stack_.exhausted()) return too_deep();
        Ref d = expr_node(e.kind());
        if (!d) return {};
        bool ok = true;
        switch (e.kind()) {
            case ExprKind::Literal:
                ok = set(d, Key::value, literal(e.as<Expr::Literal>().value));
                break;
            case ExprKind::Identifier:
                ok = set(d, Key::name, str(e.as<Expr::Identifier>().name));
                break;
            case ExprKind::Propagate:
                ok = set(d, Key::expr, expr(*e.as<Expr::Propagate>().expr));
                break;
            case ExprKind::BinaryOp: {
                const auto& n = e.as<Expr::BinaryOp>();
                size_t op = static_cast<size_t>(n.op);
                ok = set(d, Key::left, expr(*n.left)) &&
                     set(d, Key::op, cached(binary_names_, op, binary_operator_name(n.op))) &&
                     set(d, Key::right, expr(*n.right));
                break;
            }
            case ExprKind::UnaryOp: {
                const auto& n = e.as<Expr::UnaryOp>();
                ok = set(d, Key::op, cached(unary_names_, static_cast<size_t>(n.op), unary_operator_name(n.op))) &&
                     set(d, Key::operand, expr(*n.operand));
                break;
            }
            case ExprKind::Call: {
                const auto& n = e.as<Expr::Call>();
                ok = set(d, Key::callee, expr(*n.callee)) && set(d, Key::args, expr_list(n.args));
                break;
            }
            case ExprKind::Index: {
                const auto& n = e.as<Expr::Index>();
                ok = set(d, Key::object, expr(*n.object)) && set(d, Key::index, expr(*n.index));
                break;
            }
            case ExprKind::Member: {
                const auto& n = e.as<Expr::Member>();
                ok = set(d, Key::object, expr(*n.object)) && set(d, Key::property, str(n.property));
                break;
            }
            case ExprKind::Ternary: {
                const auto& n = e.as<Expr::Ternary>();
                ok = set(d, Key::condition, expr(*n.condition)) && set(d, Key::then_expr, expr(*n.then_expr)) &&
                     set(d, Key::else_expr, expr(*n.else_expr));
                break;
            }
            case ExprKind::Array:
                ok = set(d, Key::elements, expr_list(e.as<Expr::Array>().elements));
                break;
            case ExprKind::Object: {
                // A repeated key keeps its first position and takes the last value.
                Ref props = Ref::steal(PyDict_New());
                ok = bool(props);
                for (const auto& [key, value] : e.as<Expr::Object>().properties) {
                    if (!ok) break;
                    Ref k = str(key);
                    Ref v = expr(*value);
                    ok = k && v && PyDict_SetItem(props.get(), k.get(), v.get()) == 0;
                }
                ok = ok && set(d, Key::properties, props);
                break;
            }
            case ExprKind::Lambda: {
                const auto& n = e.as<Expr::Lambda>();
                ok = set(d, Key::params, param_list(n.params)) && set(d, Key::body, expr(*n.body));
                if (ok && n.return_type) ok = set(d, Key::return_type, type_hint(*n.return_type));
                break;
            }
            case ExprKind::StringInterpolation:
                ok = set(d, Key::parts, list(e.as<Expr::StringInterpolation>().parts,
                                             [&](const InterpolationPart& p) { return interpolation_part(p); }));
                break;
            case ExprKind::Await:
                ok = set(d, Key::expr, expr(*e.as<Expr::Await>().expr));
                break;
            case ExprKind::Yield: {
                const auto& n = e.as<Expr::Yield>();
                ok = set(d, Key::value, n.value ? expr(*n.value) : none());
                break;
            }
        }
        if (!ok) return {};
        return d;
    }

    // ---- statements ----
    Ref switch_case(const SwitchCase& c) {
        Ref d = Ref::steal(PyDict_New());
        if (!d || !set(d, Key::expr, c.value ? expr(*c.value) : none()) || !set(d, Key::body, stmt_list(c.body))) {
            return {};
        }
        return d;
    }

    Ref catch_clause(const CatchClause& c) {
        Ref d = Ref::steal(PyDict_New());
        if (!d || !set(d, Key::exception, str(c.exception)) || !set(d, Key::body, stmt_list(c.body))) return {};
        return d;
    }

    Ref stmt(const Stmt& s) {
        line_ = s.line;
        if (stack_.exhausted()) return too_deep();
        Ref d = stmt_node(s.kind());
        if (!d) return {};
        bool ok = true;
        switch (s.kind()) {
            case StmtKind::ExprStatement:
                ok = set(d, Key::expression, expr(*s.as<Stmt::ExprStatement>().expression));
                break;
            case StmtKind::VarDecl: {
                const auto& n = s.as<Stmt::VarDecl>();
                ok = set(d, Key::name, str(n.name)) && set(d, Key::mutable_, boolean(n.is_mutable));
                if (ok && n.init) ok = set(d, Key::init, expr(*n.init));
                if (ok && n.type_hint) ok = set(d, Key::type_hint, type_hint(*n.type_hint));
                break;
            }
            case StmtKind::FunctionDef: {
                const auto& n = s.as<Stmt::FunctionDef>();
                ok = set(d, Key::name, str(n.name)) && set(d, Key::is_async, boolean(n.is_async)) &&
                     set(d, Key::params, param_list(n.params)) && set(d, Key::body, stmt_list(n.body));
                if (ok && n.return_type) ok = set(d, Key::return_type, type_hint(*n.return_type));
                break;
            }
            case StmtKind::ClassDef: {
                const auto& n = s.as<Stmt::ClassDef>();
                ok = set(d, Key::name, str(n.name));
                if (ok && n.extends) ok = set(d, Key::extends, str(*n.extends));
                ok = ok && set(d, Key::body, stmt_list(n.body));
                break;
            }
            case StmtKind::If: {
                const auto& n = s.as<Stmt::If>();
                ok = set(d, Key::condition, expr(*n.condition)) && set(d, Key::then_body, stmt_list(n.then_body));
                if (ok && n.else_body) ok = set(d, Key::else_body, stmt_list(*n.else_body));
                break;
            }
            case StmtKind::While: {
                const auto& n = s.as<Stmt::While>();
                ok = set(d, Key::condition, expr(*n.condition)) && set(d, Key::body, stmt_list(n.body));
                break;
            }
            case StmtKind::For: {
                const auto& n = s.as<Stmt::For>();
                ok = set(d, Key::target, str(n.target)) && set(d, Key::iter, expr(*n.iter)) &&
                     set(d, Key::body, stmt_list(n.body));
                break;
            }
            case StmtKind::Switch: {
                const auto& n = s.as<Stmt::Switch>();
                ok = set(d, Key::expr, expr(*n.expr)) &&
                     set(d, Key::cases, list(n.cases, [&](const SwitchCase& c) { return switch_case(c); }));
                break;
            }
            case StmtKind::Return: {
                const auto& n = s.as<Stmt::Return>();
                if (n.value) ok = set(d, Key::value, expr(*n.value));
                break;
            }
            case StmtKind::Break:
            case StmtKind::Continue:
                break;
            case StmtKind::Throw:
                ok = set(d, Key::expr, expr(*s.as<Stmt::Throw>().expr));
                break;
            case StmtKind::Try: {
                const auto& n = s.as<Stmt::Try>();
                ok = set(d, Key::body, stmt_list(n.body)) &&
                     set(d, Key::catch_clauses,
                         list(n.catch_clauses, [&](const CatchClause& c) { return catch_clause(c); }));
                if (ok && n.finally_body) ok = set(d, Key::finally_body, stmt_list(*n.finally_body));
                break;
            }
        }
        if (!ok) return {};
        return d;
    }

    std::array<Ref, static_cast<size_t>(Key::Count)> keys_;
    std::array<Ref, kExprKindCount> expr_names_;
    std::array<Ref, kStmtKindCount> stmt_names_;
    std::array<Ref, kBinaryOperatorCount> binary_names_;
    std::array<Ref, kUnaryOperatorCount> unary_names_;
    StackGuard stack_;
    bool prefixed_;
    uint64_t line_ = 0;  // of the statement being converted
};

}  // namespace

PyObject* parse_to_host(std::vector<Token> tokens, bool prefixed) {
    return host::guard([&]() -> PyObject* {
        auto parsed = parse_program(std::move(tokens));
        if (!parsed) {
            std::string message = parsed.error().render();
            if (prefixed) message.insert(0, "Parse error: ");
            host::raise(PyExc_SyntaxError, message);
            return nullptr;
        }
        Converter conv(prefixed);
        if (!conv.init()) return nullptr;
        return conv.program(parsed.value()).release();
    });
}

}  // namespace calvex
