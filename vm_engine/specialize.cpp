// Load-time type inference: an abstract interpretation of the operand stack
// and the 256 registers, run to a fixed point, after which generic arithmetic
// and comparisons whose operand types are known become the specialised kinds.
//
// Representation. A straight-line stream changes its stack by one or two
// entries per instruction, so storing a full stack per instruction would cost
// O(n * depth) (quadratic for a run of Dup). Stacks are instead persistent
// lists in one arena: an entry holds the index of its top node, nodes point at
// the node below, and an instruction's output shares everything below the
// entries it changed with its input. Register files are shared the same way:
// a state names a block of 256 types in a second arena, copied only when a
// StoreLocal or a merge changes it.
//
// The abstract stack describes the topmost values of the machine stack: an
// empty abstract stack knows nothing, not that the machine stack is empty.
// The rules for the kinds a byte stream cannot carry and the merge of stacks
// of different depths keep that reading. Swap with a single entry leaves it
// in place, as the machine does: its Swap fails on a short stack without
// touching it.
#include "specialize.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <limits>
#include <vector>

namespace calvex {

namespace {

// Abstract types, one byte each; kAny is "no knowledge".
constexpr uint8_t kAny = 0, kInt = 1, kFloat = 2, kBool = 3, kString = 4, kArray = 5, kObject = 6;

constexpr size_t kRegs = 256;
using Regs = std::array<uint8_t, kRegs>;

// kAny absorbs: a path that knows nothing makes the join know nothing. Types
// only ever move toward kAny, which is why the walks reach a fixed point.
constexpr uint8_t join(uint8_t a, uint8_t b) { return a == b ? a : kAny; }

struct Node {
    uint8_t ty;
    uint32_t below;  // node index; 0 is the empty stack
    uint32_t depth;
};

constexpr uint32_t kUnset = std::numeric_limits<uint32_t>::max();

struct State {
    uint32_t top = kUnset;  // node index, or kUnset before any path reaches the entry
    uint32_t regs = 0;      // register-block index
    bool set() const { return top != kUnset; }
};

class Analysis {
public:
    explicit Analysis(const Code& code) : code_(code), table_(code.size() + 1) {
        nodes_.push_back({kAny, 0, 0});
        regs_.push_back(Regs{});
        table_[0].top = 0;
    }

    // False when the arenas would outgrow their 32-bit indices; the caller
    // then leaves the code generic.
    bool run();
    // Types of the two topmost entries on entry to instruction i, when known.
    bool operands(size_t i, uint8_t& a, uint8_t& b) const {
        const State& s = table_[i];
        if (!s.set() || nodes_[s.top].depth < 2) return false;
        b = nodes_[s.top].ty;
        a = nodes_[nodes_[s.top].below].ty;
        return true;
    }

private:
    const Code& code_;
    std::vector<State> table_;
    std::vector<Node> nodes_;
    std::vector<Regs> regs_;
    bool overflow_ = false;
    std::vector<uint8_t> scratch_;

    uint32_t depth(uint32_t top) const { return nodes_[top].depth; }
    uint8_t ty(uint32_t top) const { return nodes_[top].ty; }
    uint32_t below(uint32_t top) const { return nodes_[top].below; }

    uint32_t cons(uint8_t t, uint32_t below) {
        if (nodes_.size() >= kUnset) {
            overflow_ = true;
            return below;
        }
        nodes_.push_back({t, below, nodes_[below].depth + 1});
        return static_cast<uint32_t>(nodes_.size() - 1);
    }

    // The stack primitives of the transfer rules.
    void push(State& s, uint8_t t) { s.top = cons(t, s.top); }
    void pop(State& s) { if (depth(s.top)) s.top = below(s.top); }
    void replace_top(State& s, uint8_t t) {
        if (!depth(s.top)) push(s, t);
        else if (ty(s.top) != t) s.top = cons(t, below(s.top));
    }
    void pop_two_push(State& s, uint8_t t) {
        if (depth(s.top) >= 2) s.top = below(s.top);
        replace_top(s, t);
    }
    // Pops `count` entries; when the abstract stack is shorter, what lies
    // below it is unknown, so everything goes.
    void pop_n(State& s, uint64_t count) {
        while (count-- > 0 && depth(s.top)) s.top = below(s.top);
    }

    void transfer(size_t i, State& s);
    bool merge(size_t into, const State& in);
    bool merge_stack(uint32_t& stored, uint32_t in);
    bool merge_regs(uint32_t& stored, uint32_t in);
};

uint8_t arith_result(uint8_t a, uint8_t b) {
    if (a == kInt) return b == kInt ? kInt : b == kFloat ? kFloat : kAny;
    if (a == kFloat) return kFloat;
    return b == kFloat ? kFloat : kAny;
}

// The generic kind a specialised one stands for; it has the same effect on types.
Op generic(Op op) {
    switch (op) {
        case Op::AddInt: case Op::AddFloat: return Op::Add;
        case Op::SubInt: case Op::SubFloat: return Op::Sub;
        case Op::MulInt: case Op::MulFloat: return Op::Mul;
        case Op::ModInt: case Op::ModFloat: return Op::Mod;
        case Op::DivFloat: return Op::Div;
        case Op::EqInt: case Op::EqFloat: return Op::Eq;
        case Op::LtInt: case Op::LtFloat: return Op::Lt;
        default: return op;
    }
}

void Analysis::transfer(size_t i, State& s) {
    const Instruction& ins = code_[i];
    switch (generic(ins.op)) {
        case Op::Nop: case Op::Halt: case Op::Jump: case Op::Return: break;
        case Op::Push: push(s, kInt); break;
        case Op::Pop: pop(s); break;
        case Op::Dup: if (depth(s.top)) push(s, ty(s.top)); break;
        case Op::Swap:
            if (depth(s.top) >= 2) {
                const uint8_t b = ty(s.top), a = ty(below(s.top));
                s.top = cons(a, cons(b, below(below(s.top))));
            }
            break;
        case Op::Neg:
            if (depth(s.top)) {
                const uint8_t t = ty(s.top);
                replace_top(s, t == kInt || t == kFloat ? t : kAny);
            }
            break;
        case Op::Add: case Op::Sub: case Op::Mul: case Op::Mod: {
            const uint32_t d = depth(s.top);
            const uint8_t b = d ? ty(s.top) : kAny;
            const uint8_t t = d >= 2 ? arith_result(ty(below(s.top)), b) : (b == kFloat ? kFloat : kAny);
            pop_two_push(s, t);
            break;
        }
        case Op::Div: case Op::Pow: pop_two_push(s, kFloat); break;
        case Op::Eq: case Op::Ne: case Op::Lt: case Op::Le: case Op::Gt: case Op::Ge:
        case Op::And: case Op::Or:
            pop_two_push(s, kBool);
            break;
        case Op::Not: replace_top(s, kBool); break;
        case Op::Concat: pop_two_push(s, kString); break;
        case Op::Len: replace_top(s, kInt); break;
        case Op::IterInit: replace_top(s, kArray); break;
        case Op::IterNext: replace_top(s, kArray); push(s, kAny); break;
        case Op::JumpIfFalse: case Op::JumpIfTrue: case Op::StoreGlobal: pop(s); break;
        case Op::StoreLocal: {
            const uint8_t t = depth(s.top) ? ty(s.top) : kAny;
            pop(s);
            if (ins.operand < kRegs && regs_[s.regs][ins.operand] != t) {
                if (regs_.size() >= std::numeric_limits<uint32_t>::max()) { overflow_ = true; break; }
                Regs r = regs_[s.regs];
                r[ins.operand] = t;
                regs_.push_back(r);
                s.regs = static_cast<uint32_t>(regs_.size() - 1);
            }
            break;
        }
        case Op::LoadLocal: push(s, ins.operand < kRegs ? regs_[s.regs][ins.operand] : kAny); break;
        case Op::LoadGlobal: case Op::LoadConst: push(s, kAny); break;
        case Op::Call:
            // Callee and arguments give way to a result of unknown type.
            pop_n(s, ins.operand == std::numeric_limits<uint64_t>::max() ? ins.operand : ins.operand + 1);
            push(s, kAny);
            break;
        case Op::MakeArray: pop_n(s, ins.operand); push(s, kArray); break;
        case Op::MakeObject:
            pop_n(s, ins.operand > std::numeric_limits<uint64_t>::max() / 2 ? std::numeric_limits<uint64_t>::max()
                                                                          : ins.operand * 2);
            push(s, kObject);
            break;
        case Op::GetIndex: pop_two_push(s, kAny); break;
        case Op::SetIndex:
            // Value and key go; the container stays on top with its type.
            if (depth(s.top) >= 3) s.top = below(below(s.top));
            else { s.top = 0; push(s, kAny); }
            break;
        default: s.top = 0; break;  // the specialised kinds, mapped to generic ones above
    }
}

// Joins `in` into `stored`; true when `stored` changed. Stacks of different
// depths are cut to the shorter, keeping the topmost entries (the ones the
// rewrite reads).
bool Analysis::merge_stack(uint32_t& stored, uint32_t in) {
    if (stored == in) return false;
    const uint32_t ds = depth(stored), di = depth(in);
    const uint32_t m = std::min(ds, di);
    auto& a = scratch_;
    a.clear();
    bool changed = ds != m;
    uint32_t ps = stored, pi = in;
    while (ps != pi && a.size() < m) {
        const uint8_t j = join(ty(ps), ty(pi));
        changed |= j != ty(ps);
        a.push_back(j);
        ps = below(ps);
        pi = below(pi);
    }
    if (!changed) return false;
    // Equal depths meeting in a shared node keep that tail; otherwise the
    // joined entries sit on the empty stack.
    uint32_t base = (ps == pi) ? ps : 0;
    for (size_t k = a.size(); k-- > 0;) base = cons(a[k], base);
    stored = base;
    return true;
}

bool Analysis::merge_regs(uint32_t& stored, uint32_t in) {
    if (stored == in) return false;
    const Regs& s = regs_[stored];
    const Regs& i = regs_[in];
    Regs r;
    bool changed = false;
    for (size_t k = 0; k < kRegs; ++k) {
        r[k] = join(s[k], i[k]);
        changed |= r[k] != s[k];
    }
    if (!changed) return false;
    if (regs_.size() >= std::numeric_limits<uint32_t>::max()) { overflow_ = true; return false; }
    regs_.push_back(r);
    stored = static_cast<uint32_t>(regs_.size() - 1);
    return true;
}

bool Analysis::merge(size_t into, const State& in) {
    State& e = table_[into];
    if (!e.set()) {
        e = in;
        return true;
    }
    const bool a = merge_stack(e.top, in.top);
    const bool b = merge_regs(e.regs, in.regs);
    return a || b;
}

bool Analysis::run() {
    const size_t n = code_.size();
    bool changed = true;
    while (changed && !overflow_) {
        changed = false;
        for (size_t i = 0; i < n && !overflow_; ++i) {
            if (!table_[i].set()) continue;
            // Nodes made for an output that changes nothing are garbage; drop
            // them so that repeated walks do not grow the arena.
            const size_t mark = nodes_.size(), regs_mark = regs_.size();
            State out = table_[i];
            transfer(i, out);
            bool grew = false;
            const Instruction& ins = code_[i];
            const size_t target = ins.operand < n ? static_cast<size_t>(ins.operand) : n;
            switch (op_flow(ins.op)) {
                case Flow::Stop: grew = merge(n, out); break;
                case Flow::Jump: grew = merge(target, out); break;
                case Flow::Branch:
                    grew = merge(i + 1, out);
                    grew = merge(target, out) || grew;
                    break;
                case Flow::Next: grew = merge(i + 1, out); break;
            }
            if (grew) changed = true;
            else {
                nodes_.resize(mark);
                regs_.resize(regs_mark);
            }
        }
    }
    return !overflow_;
}

bool picks_int(uint8_t a, uint8_t b) { return a == kInt && b == kInt; }
bool picks_float(uint8_t a, uint8_t b) {
    return (a == kInt && b == kFloat) || (a != kInt && (a == kFloat || b == kFloat));
}

}  // namespace

void specialize(Code& code) {
    Analysis analysis(code);
    if (!analysis.run()) return;
    for (size_t i = 0; i < code.size(); ++i) {
        uint8_t a = kAny, b = kAny;
        if (!analysis.operands(i, a, b)) continue;
        Op& op = code[i].op;
        auto pick = [&](Op int_form, Op float_form) {
            if (picks_int(a, b)) op = int_form;
            else if (picks_float(a, b)) op = float_form;
        };
        switch (op) {
            case Op::Add: pick(Op::AddInt, Op::AddFloat); break;
            case Op::Sub: pick(Op::SubInt, Op::SubFloat); break;
            case Op::Mul: pick(Op::MulInt, Op::MulFloat); break;
            case Op::Mod: pick(Op::ModInt, Op::ModFloat); break;
            case Op::Eq: pick(Op::EqInt, Op::EqFloat); break;
            case Op::Lt: pick(Op::LtInt, Op::LtFloat); break;
            case Op::Div:
                if (a == kFloat || b == kFloat || picks_int(a, b)) op = Op::DivFloat;
                break;
            default: break;
        }
    }
}

}  // namespace calvex
