#include "compiler.h"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "common/stack_guard.h"

namespace calvex {

namespace {

// Local names of one unit. Every declaration is a binding; a block's
// bindings follow those of the blocks around it and go when it closes, so the
// latest binding of a name is the one that resolves (innermost block first,
// and within a block the last declaration). `heads` maps a name to its latest
// binding; each binding remembers the one it hides, which comes back when it
// goes.
//
// A nested scope continues the numbering of the scope around it, so a name
// declared inside a loop body or an else branch never takes the register of a
// variable that is still visible; its slots are free again once the scope
// closes.
struct Binding {
    std::string_view name;
    uint64_t slot;
    int32_t hidden;  // the binding of the same name this one hides, or -1
};

struct Scope {
    size_t first;  // its first binding
    uint64_t next;
};

// Open addressing from a name to the index of its latest binding (-1: none
// now). Names are never removed: a unit names few distinct ones.
class NameIndex {
public:
    NameIndex() : slots_(16) {}

    int32_t find(std::string_view name) const {
        for (size_t i = hash(name) & mask();; i = (i + 1) & mask()) {
            const Slot& s = slots_[i];
            if (!s.used) return -1;
            if (s.name == name) return s.head;
        }
    }

    int32_t& head(std::string_view name) {
        if ((used_ + 1) * 2 > slots_.size()) rehash();
        size_t i = hash(name) & mask();
        for (; slots_[i].used; i = (i + 1) & mask())
            if (slots_[i].name == name) return slots_[i].head;
        ++used_;
        slots_[i] = Slot{name, -1, true};
        return slots_[i].head;
    }

private:
    struct Slot {
        std::string_view name;
        int32_t head = -1;
        bool used = false;
    };
    // Names are short: FNV-1a over the bytes, then a finaliser that spreads
    // every bit into the low ones the table indexes by (names that differ
    // only in their last digits would cluster otherwise).
    static size_t hash(std::string_view s) {
        uint64_t h = 0xCBF29CE484222325ull;
        for (char c : s) h = (h ^ static_cast<unsigned char>(c)) * 0x100000001B3ull;
        h ^= h >> 33;
        h *= 0xFF51AFD7ED558CCDull;
        h ^= h >> 33;
        return static_cast<size_t>(h);
    }
    size_t mask() const { return slots_.size() - 1; }
    void rehash() {
        std::vector<Slot> old(slots_.size() * 2);
        old.swap(slots_);
        for (const Slot& s : old) {
            if (!s.used) continue;
            size_t i = hash(s.name) & mask();
            while (slots_[i].used) i = (i + 1) & mask();
            slots_[i] = s;
        }
    }

    std::vector<Slot> slots_;
    size_t used_ = 0;
};

// Unpatched jumps of one enclosing loop.
struct Loop {
    std::vector<size_t> breaks;
    std::vector<size_t> continues;
};

// One unit of compilation: the top level, or one function, method or lambda
// body. Each unit has its own registers and constant pool; function entries go
// to the compiler's program-wide table instead.
struct CodeUnit {
    Code code;
    LineTable lines;  // parallel to code
    std::vector<Constant> constants;
    std::vector<Scope> scopes;
    std::vector<Binding> bindings;
    NameIndex heads;
    std::vector<Loop> loops;
    uint64_t line = 0;     // line of the statement being compiled
    bool top_level = false;
    // Line of the first instruction naming a register the machine lacks
    // (code is only ever appended, and patching changes jumps alone).
    std::optional<uint64_t> missing_register;

    // Room for a small function up front: growing from empty would copy the
    // code several times over for every unit.
    explicit CodeUnit(bool top) : scopes{Scope{0, 0}}, top_level(top) {
        code.reserve(64);
        lines.reserve(64);
        constants.reserve(16);
        bindings.reserve(16);
    }
};

// ---- emission ------------------------------------------------------------------

// Registers the machine gives each unit; LoadLocal/StoreLocal beyond them fail.
constexpr uint64_t kRegisterCount = 256;

size_t emit(CodeUnit& u, Op op, uint64_t operand = 0) {
    if (operand >= kRegisterCount && (op == Op::LoadLocal || op == Op::StoreLocal) && !u.missing_register)
        u.missing_register = u.line;
    u.lines.push_back(u.line);
    u.code.push_back(Instruction::make(op, operand));
    return u.code.size() - 1;
}

void emit_push(CodeUnit& u, int32_t v) {
    u.lines.push_back(u.line);
    u.code.push_back(Instruction::push(v));
}

uint64_t add_constant(CodeUnit& u, Constant c) {
    u.constants.push_back(std::move(c));
    return u.constants.size() - 1;
}

bool fits_i32(int64_t v) { return v >= INT32_MIN && v <= INT32_MAX; }

// Closed scopes give their slots back, but a unit can still name more
// registers than the machine has (many variables visible at once). That is
// reported when the unit is complete, before any of it can run, with the line
// of the first instruction that names a missing register.
[[nodiscard]] bool registers_fit(const CodeUnit& u, std::string& error) {
    if (u.missing_register) {
        error = "Line " + std::to_string(*u.missing_register) + ": Too many local variables";
        return false;
    }
    return true;
}

// Ints that fit an immediate become Push; everything else a new pool entry
// (never shared with an equal constant).
void emit_constant(CodeUnit& u, Constant c) {
    if (const auto* i = std::get_if<int64_t>(&c); i && fits_i32(*i)) {
        emit_push(u, static_cast<int32_t>(*i));
        return;
    }
    emit(u, Op::LoadConst, add_constant(u, std::move(c)));
}

void emit_nil(CodeUnit& u) { emit_constant(u, std::monostate{}); }

uint64_t name_constant(CodeUnit& u, std::string_view name) { return add_constant(u, std::string(name)); }

Constant text_constant(std::string_view s) { return Constant(std::in_place_type<std::string>, s); }

// ---- scopes ------------------------------------------------------------------------

std::optional<uint64_t> resolve(const CodeUnit& u, std::string_view name) {
    const int32_t b = u.heads.find(name);
    if (b < 0) return std::nullopt;
    return u.bindings[static_cast<size_t>(b)].slot;
}

// Binds `name` to `slot` in the innermost scope.
void bind(CodeUnit& u, std::string_view name, uint64_t slot) {
    int32_t& head = u.heads.head(name);
    u.bindings.push_back(Binding{name, slot, head});
    head = static_cast<int32_t>(u.bindings.size() - 1);
}

// A name declared again in the same scope gets a fresh slot; its initializer
// (compiled before the declaration) still read the old one.
uint64_t declare(CodeUnit& u, std::string_view name) {
    uint64_t slot = u.scopes.back().next++;
    bind(u, name, slot);
    return slot;
}

void push_scope(CodeUnit& u) { u.scopes.push_back(Scope{u.bindings.size(), u.scopes.back().next}); }

void pop_scope(CodeUnit& u) {
    const size_t first = u.scopes.back().first;
    while (u.bindings.size() > first) {
        const Binding& b = u.bindings.back();
        u.heads.head(b.name) = b.hidden;
        u.bindings.pop_back();
    }
    u.scopes.pop_back();
}

Op binary_instruction(BinaryOperator op) {
    switch (op) {
        case BinaryOperator::Add: return Op::Add;
        case BinaryOperator::Sub: return Op::Sub;
        case BinaryOperator::Mul: return Op::Mul;
        case BinaryOperator::Div: return Op::Div;
        case BinaryOperator::Mod: return Op::Mod;
        case BinaryOperator::Power: return Op::Pow;
        case BinaryOperator::Eq: return Op::Eq;
        case BinaryOperator::Neq: return Op::Ne;
        case BinaryOperator::Lt: return Op::Lt;
        case BinaryOperator::Lte: return Op::Le;
        case BinaryOperator::Gt: return Op::Gt;
        case BinaryOperator::Gte: return Op::Ge;
        case BinaryOperator::And: return Op::And;
        case BinaryOperator::Or: return Op::Or;
        default: return Op::Nop;  // bitwise operators and Assign: handled by the caller
    }
}

bool is_element_target(const Expr& e) {
    return e.kind() == ExprKind::Index || e.kind() == ExprKind::Member;
}

bool is_assignment(const Expr& e) {
    return e.kind() == ExprKind::BinaryOp && e.as<Expr::BinaryOp>().op == BinaryOperator::Assign;
}

class Compiler {
public:
    std::vector<FunctionEntry> functions;  // the whole program's, in completion order
    std::string error;

    [[nodiscard]] bool statements(CodeUnit& u, const StmtList& list) {
        for (const Stmt& s : list)
            if (!statement(u, s)) return false;
        return true;
    }

    [[nodiscard]] bool statement(CodeUnit& u, const Stmt& s);
    [[nodiscard]] bool expression(CodeUnit& u, const Expr& e);

private:
    // The tree's height is bounded by the parser, but the stack of the
    // calling thread may be smaller than compiling that height needs.
    StackGuard stack_;

    bool fail(const CodeUnit& u, std::string_view message) {
        error = "Line " + std::to_string(u.line) + ": " + std::string(message);
        return false;
    }

    [[nodiscard]] bool patch(CodeUnit& u, size_t at, size_t target) {
        if (at >= u.code.size() || !is_jump(u.code[at].op)) {
            error = "internal error: entered unreachable code";
            return false;
        }
        u.code[at].operand = target;
        return true;
    }

    [[nodiscard]] bool patch_all(CodeUnit& u, const std::vector<size_t>& jumps, size_t target) {
        for (size_t j : jumps)
            if (!patch(u, j, target)) return false;
        return true;
    }

    [[nodiscard]] bool scoped_block(CodeUnit& u, const StmtList& body) {
        push_scope(u);
        bool ok = statements(u, body);
        pop_scope(u);
        return ok;
    }

    [[nodiscard]] bool expression_statement(CodeUnit& u, const Expr& e);
    [[nodiscard]] bool if_statement(CodeUnit& u, const Stmt::If& s);
    [[nodiscard]] bool while_statement(CodeUnit& u, const Stmt::While& s);
    [[nodiscard]] bool for_statement(CodeUnit& u, const Stmt::For& s);
    [[nodiscard]] bool switch_statement(CodeUnit& u, const Stmt::Switch& s);
    [[nodiscard]] bool jump_statement(CodeUnit& u, bool is_break);
    [[nodiscard]] bool function(std::string name, const List<Param>& params, const StmtList& body);
    [[nodiscard]] bool class_definition(CodeUnit& u, const Stmt::ClassDef& c);
    [[nodiscard]] bool lambda(CodeUnit& u, const Expr::Lambda& l);
    [[nodiscard]] bool interpolation(CodeUnit& u, const Expr::StringInterpolation& s);
    [[nodiscard]] bool assignment(CodeUnit& u, const Expr::BinaryOp& a, bool keep_value);
    [[nodiscard]] bool assign_name(CodeUnit& u, const Expr::BinaryOp& a, bool keep_value);
    [[nodiscard]] bool assign_element(CodeUnit& u, const Expr::BinaryOp& a, bool keep_value);
};

// ---- statements --------------------------------------------------------------------

bool Compiler::statement(CodeUnit& u, const Stmt& s) {
    u.line = s.line;
    if (stack_.exhausted()) return fail(u, "Nesting too deep");
    switch (s.kind()) {
        case StmtKind::ExprStatement:
            return expression_statement(u, *s.as<Stmt::ExprStatement>().expression);
        case StmtKind::VarDecl: {
            // The initializer is compiled before the name exists, so `let x = x`
            // reads the outer (or global) x.
            const auto& d = s.as<Stmt::VarDecl>();
            if (d.init) {
                if (!expression(u, *d.init)) return false;
            } else {
                emit_nil(u);
            }
            emit(u, Op::StoreLocal, declare(u, d.name));
            return true;
        }
        case StmtKind::FunctionDef: {
            const auto& f = s.as<Stmt::FunctionDef>();
            return function(std::string(f.name), f.params, f.body);
        }
        case StmtKind::ClassDef: return class_definition(u, s.as<Stmt::ClassDef>());
        case StmtKind::If: return if_statement(u, s.as<Stmt::If>());
        case StmtKind::While: return while_statement(u, s.as<Stmt::While>());
        case StmtKind::For: return for_statement(u, s.as<Stmt::For>());
        case StmtKind::Switch: return switch_statement(u, s.as<Stmt::Switch>());
        case StmtKind::Return: {
            const auto& r = s.as<Stmt::Return>();
            if (r.value) {
                if (!expression(u, *r.value)) return false;
            } else {
                emit_nil(u);
            }
            emit(u, Op::Return);
            return true;
        }
        case StmtKind::Break: return jump_statement(u, true);
        case StmtKind::Continue: return jump_statement(u, false);
        case StmtKind::Throw:
            // The language has no way to raise: only the line changes.
            return true;
        case StmtKind::Try: {
            // The body runs, then the finally block; catch clauses can never
            // be reached because nothing throws.
            const auto& t = s.as<Stmt::Try>();
            if (!scoped_block(u, t.body)) return false;
            if (t.finally_body && !scoped_block(u, *t.finally_body)) return false;
            return true;
        }
    }
    error = "internal error: entered unreachable code";
    return false;
}

// The value of an expression statement is dropped at the top level and inside
// loops (where keeping it would grow the stack once per iteration). Elsewhere
// in a body it stays on the stack, so the body's final Return yields the last
// expression statement's value.
//
// A dropped assignment skips producing its value, except the plain
// `name = value` of the top level, which keeps the `Dup; Store; Pop` shape.
bool Compiler::expression_statement(CodeUnit& u, const Expr& e) {
    bool drop = u.top_level || !u.loops.empty();
    if (!drop) return expression(u, e);
    if (is_assignment(e)) {
        const auto& a = e.as<Expr::BinaryOp>();
        if (!(u.top_level && a.left->kind() == ExprKind::Identifier)) return assignment(u, a, false);
    }
    if (!expression(u, e)) return false;
    emit(u, Op::Pop);
    return true;
}

// if -> cond JumpIfFalse(else) then [Jump(end) else]
bool Compiler::if_statement(CodeUnit& u, const Stmt::If& s) {
    if (!expression(u, *s.condition)) return false;
    size_t to_else = emit(u, Op::JumpIfFalse);
    if (!statements(u, s.then_body)) return false;
    if (!s.else_body) return patch(u, to_else, u.code.size());
    size_t to_end = emit(u, Op::Jump);
    if (!patch(u, to_else, u.code.size())) return false;
    if (!scoped_block(u, *s.else_body)) return false;
    return patch(u, to_end, u.code.size());
}

// while -> start: cond JumpIfFalse(end) body Jump(start) end:
bool Compiler::while_statement(CodeUnit& u, const Stmt::While& s) {
    size_t start = u.code.size();
    if (!expression(u, *s.condition)) return false;
    size_t to_end = emit(u, Op::JumpIfFalse);
    u.loops.emplace_back();
    if (!scoped_block(u, s.body)) return false;
    if (!patch_all(u, u.loops.back().continues, u.code.size())) return false;
    emit(u, Op::Jump, start);
    size_t end = u.code.size();
    if (!patch(u, to_end, end) || !patch_all(u, u.loops.back().breaks, end)) return false;
    u.loops.pop_back();
    return true;
}

// for t in e ->
//   e IterInit StoreLocal h
//   top: LoadLocal h IterNext Swap Dup StoreLocal h LoadConst nil Eq JumpIfTrue(done)
//        StoreLocal t body Jump(top)
//   done: Pop
// IterNext leaves a nil state only once the collection is exhausted, so the
// loop tests the state, not the element: nil elements are visited too.
//
// t belongs to the scope around the loop and stays visible after it; the
// hidden state h is dead once the loop ends. h therefore takes the slot above
// t, which later declarations of that scope reuse.
bool Compiler::for_statement(CodeUnit& u, const Stmt::For& s) {
    if (!expression(u, *s.iter)) return false;
    emit(u, Op::IterInit);
    Scope& around = u.scopes.back();
    const uint64_t target = around.next++;  // named only from step "StoreLocal t" on
    const uint64_t state = around.next++;
    emit(u, Op::StoreLocal, state);
    size_t top = u.code.size();
    emit(u, Op::LoadLocal, state);
    emit(u, Op::IterNext);
    emit(u, Op::Swap);
    emit(u, Op::Dup);
    emit(u, Op::StoreLocal, state);
    emit_nil(u);
    emit(u, Op::Eq);
    size_t to_done = emit(u, Op::JumpIfTrue);
    bind(u, s.target, target);
    emit(u, Op::StoreLocal, target);
    u.loops.emplace_back();
    if (!scoped_block(u, s.body)) return false;
    if (!patch_all(u, u.loops.back().continues, top)) return false;
    emit(u, Op::Jump, top);
    if (!patch(u, to_done, u.code.size())) return false;
    emit(u, Op::Pop);
    if (!patch_all(u, u.loops.back().breaks, u.code.size())) return false;
    u.loops.pop_back();
    u.scopes.back().next = state;
    return true;
}

// match e { case v: body ... default: body } ->
//   e { Dup v Eq JumpIfFalse(next) Pop body Jump(end) next: }... Pop end:
// Every path drops the subject exactly once; there is no fall-through.
bool Compiler::switch_statement(CodeUnit& u, const Stmt::Switch& s) {
    if (!expression(u, *s.expr)) return false;
    std::vector<size_t> to_end;
    for (const SwitchCase& c : s.cases) {
        if (c.value) {
            emit(u, Op::Dup);
            if (!expression(u, *c.value)) return false;
            emit(u, Op::Eq);
            size_t to_next = emit(u, Op::JumpIfFalse);
            emit(u, Op::Pop);
            if (!statements(u, c.body)) return false;
            to_end.push_back(emit(u, Op::Jump));
            if (!patch(u, to_next, u.code.size())) return false;
        } else {
            emit(u, Op::Pop);
            if (!statements(u, c.body)) return false;
            to_end.push_back(emit(u, Op::Jump));
        }
    }
    emit(u, Op::Pop);
    return patch_all(u, to_end, u.code.size());
}

bool Compiler::jump_statement(CodeUnit& u, bool is_break) {
    if (u.loops.empty()) return fail(u, is_break ? "'break' outside loop" : "'continue' outside loop");
    size_t j = emit(u, Op::Jump);
    (is_break ? u.loops.back().breaks : u.loops.back().continues).push_back(j);
    return true;
}

// A function body is its own unit; parameters take slots 0..n-1 (a method's
// receiver is its first declared parameter). The entry is appended once the
// body is complete, so functions nested in it come first in the table.
bool Compiler::function(std::string name, const List<Param>& params, const StmtList& body) {
    CodeUnit f(false);
    for (const Param& p : params) declare(f, p.name);
    if (!statements(f, body)) return false;
    emit(f, Op::Return);
    if (!registers_fit(f, error)) return false;
    functions.push_back(FunctionEntry{std::move(name), std::move(f.code), std::move(f.constants), std::move(f.lines),
                                      static_cast<uint64_t>(params.size())});
    return true;
}

// class C extends P { let f = init; fn m(self) {...} } -> the global C :=
//   {__type__: "class", __name__: "C", __fields__: {f: init}, __parent__: "P" | nil,
//    __methods__: {m: "C.m"}}
// with each method compiled as the function "C.m".
bool Compiler::class_definition(CodeUnit& u, const Stmt::ClassDef& c) {
    std::vector<const Stmt::VarDecl*> fields;
    std::vector<const Stmt::FunctionDef*> methods;
    for (const Stmt& member : c.body) {
        if (member.kind() == StmtKind::VarDecl) {
            const auto& d = member.as<Stmt::VarDecl>();
            if (d.init) fields.push_back(&d);
        } else if (member.kind() == StmtKind::FunctionDef) {
            methods.push_back(&member.as<Stmt::FunctionDef>());
        }
    }
    auto qualified = [&](std::string_view method) {
        std::string q(c.name);
        q += '.';
        q += method;
        return q;
    };
    for (const auto* m : methods)
        if (!function(qualified(m->name), m->params, m->body)) return false;

    emit(u, Op::LoadConst, name_constant(u, "__type__"));
    emit_constant(u, std::string("class"));
    emit(u, Op::LoadConst, name_constant(u, "__name__"));
    emit_constant(u, text_constant(c.name));
    emit(u, Op::LoadConst, name_constant(u, "__fields__"));
    for (const auto* f : fields) {
        emit(u, Op::LoadConst, name_constant(u, f->name));
        if (!expression(u, *f->init)) return false;
    }
    emit(u, Op::MakeObject, fields.size());
    emit(u, Op::LoadConst, name_constant(u, "__parent__"));
    if (c.extends) {
        emit_constant(u, text_constant(*c.extends));
    } else {
        emit_nil(u);
    }
    emit(u, Op::LoadConst, name_constant(u, "__methods__"));
    for (const auto* m : methods) {
        emit(u, Op::LoadConst, name_constant(u, m->name));
        emit_constant(u, qualified(m->name));
    }
    emit(u, Op::MakeObject, methods.size());
    emit(u, Op::MakeObject, 5);
    emit(u, Op::StoreGlobal, name_constant(u, c.name));
    return true;
}

// ---- expressions -------------------------------------------------------------------

bool Compiler::expression(CodeUnit& u, const Expr& e) {
    if (stack_.exhausted()) return fail(u, "Nesting too deep");
    switch (e.kind()) {
        case ExprKind::Literal: {
            const auto& v = e.as<Expr::Literal>().value;
            switch (v.index()) {
                case 0: emit_nil(u); break;
                case 1: emit_push(u, std::get<bool>(v) ? 1 : 0); break;
                case 2: emit_constant(u, std::get<int64_t>(v)); break;
                case 3: emit_constant(u, std::get<double>(v)); break;
                default: emit_constant(u, text_constant(std::get<std::string_view>(v))); break;
            }
            return true;
        }
        case ExprKind::Identifier: {
            const auto& name = e.as<Expr::Identifier>().name;
            if (auto slot = resolve(u, name)) {
                emit(u, Op::LoadLocal, *slot);
            } else {
                emit(u, Op::LoadGlobal, name_constant(u, name));
            }
            return true;
        }
        case ExprKind::Propagate: return expression(u, *e.as<Expr::Propagate>().expr);
        case ExprKind::Await: return expression(u, *e.as<Expr::Await>().expr);
        case ExprKind::Yield: {
            const auto& y = e.as<Expr::Yield>();
            if (y.value) return expression(u, *y.value);
            emit_nil(u);
            return true;
        }
        case ExprKind::BinaryOp: {
            const auto& b = e.as<Expr::BinaryOp>();
            if (b.op == BinaryOperator::Assign) return assignment(u, b, true);
            if (!expression(u, *b.left) || !expression(u, *b.right)) return false;
            Op op = binary_instruction(b.op);
            if (op == Op::Nop) {
                // Bitwise operators evaluate both sides and yield nil.
                emit(u, Op::Pop);
                emit(u, Op::Pop);
                emit_nil(u);
            } else {
                emit(u, op);
            }
            return true;
        }
        case ExprKind::UnaryOp: {
            const auto& n = e.as<Expr::UnaryOp>();
            if (!expression(u, *n.operand)) return false;
            switch (n.op) {
                case UnaryOperator::Neg: emit(u, Op::Neg); break;
                case UnaryOperator::Not: emit(u, Op::Not); break;
                case UnaryOperator::BitwiseNot:
                    emit(u, Op::Pop);
                    emit_nil(u);
                    break;
            }
            return true;
        }
        case ExprKind::Call: {
            const auto& c = e.as<Expr::Call>();
            if (!expression(u, *c.callee)) return false;
            for (const auto& arg : c.args)
                if (!expression(u, *arg)) return false;
            emit(u, Op::Call, c.args.size());
            return true;
        }
        case ExprKind::Index: {
            const auto& i = e.as<Expr::Index>();
            if (!expression(u, *i.object) || !expression(u, *i.index)) return false;
            emit(u, Op::GetIndex);
            return true;
        }
        case ExprKind::Member: {
            const auto& m = e.as<Expr::Member>();
            if (!expression(u, *m.object)) return false;
            emit(u, Op::LoadConst, name_constant(u, m.property));
            emit(u, Op::GetIndex);
            return true;
        }
        case ExprKind::Ternary: {
            const auto& t = e.as<Expr::Ternary>();
            if (!expression(u, *t.condition)) return false;
            size_t to_else = emit(u, Op::JumpIfFalse);
            if (!expression(u, *t.then_expr)) return false;
            size_t to_end = emit(u, Op::Jump);
            if (!patch(u, to_else, u.code.size())) return false;
            if (!expression(u, *t.else_expr)) return false;
            return patch(u, to_end, u.code.size());
        }
        case ExprKind::Array: {
            const auto& a = e.as<Expr::Array>();
            for (const auto& el : a.elements)
                if (!expression(u, *el)) return false;
            emit(u, Op::MakeArray, a.elements.size());
            return true;
        }
        case ExprKind::Object: {
            const auto& o = e.as<Expr::Object>();
            for (const auto& [key, value] : o.properties) {
                emit(u, Op::LoadConst, name_constant(u, key));
                if (!expression(u, *value)) return false;
            }
            emit(u, Op::MakeObject, o.properties.size());
            return true;
        }
        case ExprKind::Lambda: return lambda(u, e.as<Expr::Lambda>());
        case ExprKind::StringInterpolation: return interpolation(u, e.as<Expr::StringInterpolation>());
    }
    error = "internal error: entered unreachable code";
    return false;
}

// fn(params) body -> a function "<lambda>N" (N: its index in the program-wide
// table) and, in place, LoadGlobal of that name. The body records the line of
// the statement that holds the lambda.
bool Compiler::lambda(CodeUnit& u, const Expr::Lambda& l) {
    CodeUnit f(false);
    f.line = u.line;
    for (const Param& p : l.params) declare(f, p.name);
    if (!expression(f, *l.body)) return false;
    emit(f, Op::Return);
    if (!registers_fit(f, error)) return false;
    std::string name = "<lambda>" + std::to_string(functions.size());
    functions.push_back(FunctionEntry{name, std::move(f.code), std::move(f.constants), std::move(f.lines),
                                      static_cast<uint64_t>(l.params.size())});
    emit(u, Op::LoadGlobal, name_constant(u, name));
    return true;
}

// Parts are pushed first and joined by n-1 Concat, so the text associates to
// the right; a single expression part stays unconverted.
bool Compiler::interpolation(CodeUnit& u, const Expr::StringInterpolation& s) {
    if (s.parts.empty()) {
        emit_constant(u, std::string());
        return true;
    }
    for (const auto& part : s.parts) {
        if (part.is_expr()) {
            if (!expression(u, part.expr())) return false;
        } else {
            emit_constant(u, text_constant(part.text()));
        }
    }
    for (size_t i = 1; i < s.parts.size(); ++i) emit(u, Op::Concat);
    return true;
}

// `keep_value` false: the caller drops the value, so none is produced.
bool Compiler::assignment(CodeUnit& u, const Expr::BinaryOp& a, bool keep_value) {
    if (a.left->kind() == ExprKind::Identifier) return assign_name(u, a, keep_value);
    if (is_element_target(*a.left)) return assign_element(u, a, keep_value);
    return fail(u, "Invalid assignment target");
}

// x = v -> v [Dup] StoreLocal x | StoreGlobal "x". Assignment never declares.
bool Compiler::assign_name(CodeUnit& u, const Expr::BinaryOp& a, bool keep_value) {
    if (!expression(u, *a.right)) return false;
    if (keep_value) emit(u, Op::Dup);
    const auto& name = a.left->as<Expr::Identifier>().name;
    if (auto slot = resolve(u, name)) {
        emit(u, Op::StoreLocal, *slot);
    } else {
        emit(u, Op::StoreGlobal, name_constant(u, name));
    }
    return true;
}

// root.k1[k2]...[kn] = v. Containers have value semantics, so the changed
// innermost container is written back level by level into the root variable:
//
//   root                                   c0
//   Dup k1 (key kept for later) GetIndex   c0 c1          (for k1..k(n-1))
//   ...
//   kn v [Dup StoreLocal tv] SetIndex      c0 ... c(n-1)'
//   k(n-1) Swap SetIndex ...               c0'
//   StoreLocal root | StoreGlobal root | Pop   [LoadLocal tv]
//
// Evaluation order is container, keys, value. Keys other than constants are
// kept in hidden registers above the scope's locals, released afterwards.
// Like every other name or text the code refers to, a constant key reloaded
// for the write-back and the root's name in the final StoreGlobal each get a
// pool entry of their own (the pool is append-only, never shared).
// The final SetIndex directly followed by the store into the variable it was
// loaded from is what lets the machine change a uniquely held root in place.
bool Compiler::assign_element(CodeUnit& u, const Expr::BinaryOp& a, bool keep_value) {
    std::vector<const Expr*> path;  // element targets, root side first
    const Expr* root = a.left;
    while (is_element_target(*root)) {
        path.push_back(root);
        root = root->kind() == ExprKind::Index ? root->as<Expr::Index>().object
                                               : root->as<Expr::Member>().object;
    }
    std::reverse(path.begin(), path.end());

    uint64_t& next_free = u.scopes.back().next;
    const uint64_t mark = next_free;

    enum class Target { None, Local, Global };
    Target target = Target::None;
    uint64_t local_slot = 0;
    const std::string_view* root_name = nullptr;
    if (root->kind() == ExprKind::Identifier) {
        root_name = &root->as<Expr::Identifier>().name;
        if (auto slot = resolve(u, *root_name)) {
            target = Target::Local;
            local_slot = *slot;
            emit(u, Op::LoadLocal, local_slot);
        } else {
            target = Target::Global;
            emit(u, Op::LoadGlobal, name_constant(u, *root_name));
        }
    } else if (!expression(u, *root)) {
        return false;
    }

    // How to push key j again during the write-back: an immediate, a text
    // (a new String constant) or a hidden register.
    struct KeyReload {
        Op op;
        int32_t imm = 0;
        const std::string_view* text = nullptr;
        uint64_t slot = 0;
    };
    std::vector<KeyReload> reloads;
    reloads.reserve(path.size());
    auto push_key = [&](const Expr& node, bool kept) -> bool {
        if (node.kind() == ExprKind::Member) {
            const std::string_view& property = node.as<Expr::Member>().property;
            emit(u, Op::LoadConst, name_constant(u, property));
            reloads.push_back({Op::LoadConst, 0, &property, 0});
            return true;
        }
        const Expr& key = *node.as<Expr::Index>().index;
        if (key.kind() == ExprKind::Literal) {
            const auto& v = key.as<Expr::Literal>().value;
            if (const auto* i = std::get_if<int64_t>(&v); i && fits_i32(*i)) {
                emit_push(u, static_cast<int32_t>(*i));
                reloads.push_back({Op::Push, static_cast<int32_t>(*i), nullptr, 0});
                return true;
            }
            if (const auto* s = std::get_if<std::string_view>(&v)) {
                emit(u, Op::LoadConst, add_constant(u, text_constant(*s)));
                reloads.push_back({Op::LoadConst, 0, s, 0});
                return true;
            }
        }
        if (!expression(u, key)) return false;
        if (kept) {
            uint64_t t = next_free++;
            emit(u, Op::Dup);
            emit(u, Op::StoreLocal, t);
            reloads.push_back({Op::LoadLocal, 0, nullptr, t});
        }
        return true;
    };

    for (size_t j = 0; j + 1 < path.size(); ++j) {
        emit(u, Op::Dup);
        if (!push_key(*path[j], true)) return false;
        emit(u, Op::GetIndex);
    }
    if (!push_key(*path.back(), false)) return false;
    if (!expression(u, *a.right)) return false;
    uint64_t value_slot = 0;
    if (keep_value) {
        value_slot = next_free++;
        emit(u, Op::Dup);
        emit(u, Op::StoreLocal, value_slot);
    }
    emit(u, Op::SetIndex);
    for (size_t j = path.size() - 1; j-- > 0;) {
        const KeyReload& r = reloads[j];
        switch (r.op) {
            case Op::Push: emit_push(u, r.imm); break;
            case Op::LoadConst: emit(u, Op::LoadConst, add_constant(u, text_constant(*r.text))); break;
            default: emit(u, Op::LoadLocal, r.slot); break;
        }
        emit(u, Op::Swap);
        emit(u, Op::SetIndex);
    }
    switch (target) {
        case Target::Local: emit(u, Op::StoreLocal, local_slot); break;
        case Target::Global: emit(u, Op::StoreGlobal, name_constant(u, *root_name)); break;
        case Target::None: emit(u, Op::Pop); break;
    }
    if (keep_value) emit(u, Op::LoadLocal, value_slot);
    next_free = mark;
    return true;
}

}  // namespace

Result<CompiledProgram> compile_program(const Program& program) {
    Compiler c;
    CodeUnit top(true);
    if (!c.statements(top, program.statements)) return Err{std::move(c.error)};
    emit(top, Op::Halt);
    if (!registers_fit(top, c.error)) return Err{std::move(c.error)};
    CompiledProgram out;
    out.code = std::move(top.code);
    out.lines = std::move(top.lines);
    out.constants = std::move(top.constants);
    out.functions = std::move(c.functions);
    return out;
}

}  // namespace calvex
