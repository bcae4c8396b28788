// Peephole optimiser: three local rewrite passes, then dead-code removal and
// compaction with jump-target remapping. Every pass is one linear scan; none
// iterates to a fixed point.
//
// Passes 1 to 3 never move instructions: they rewrite in place and mark the
// removed ones as Nop, so jump operands stay valid until compaction remaps
// them. A rewrite is skipped when a jump lands inside the matched window
// (on any instruction but the first): the jumping path would otherwise skip
// half of the pattern, e.g. the else arm of `y + (c ? 1 : 0)` ends in
// `Push 0` right before the `Add` the then arm jumps to.
#include "optimizer.h"

#include <cstdint>
#include <limits>

namespace calvex {

namespace {

constexpr int64_t kI32Min = std::numeric_limits<int32_t>::min();
constexpr int64_t kI32Max = std::numeric_limits<int32_t>::max();

struct Window {
    Code& code;
    const std::vector<uint8_t>& target;  // target[i] != 0: some jump lands on i

    bool is(size_t i, Op op) const { return code[i].op == op; }
    bool is_push(size_t i, int32_t v) const { return code[i].op == Op::Push && code[i].imm == v; }
    // True when instructions i+1 .. i+len-1 can be rewritten together with i.
    bool closed(size_t i, size_t len) const {
        for (size_t k = 1; k < len; ++k)
            if (target[i + k]) return false;
        return true;
    }
    void drop(size_t i) { code[i] = Instruction::make(Op::Nop); }
};

// Push a; Push b; Add|Sub|Mul|Mod  ->  Push (a op b), when the result is an i32.
void fold_constants(Window& w) {
    const size_t n = w.code.size();
    size_t i = 0;
    while (i + 2 < n) {
        const Op op = w.code[i + 2].op;
        if (w.is(i, Op::Push) && w.is(i + 1, Op::Push) && w.closed(i, 3) &&
            (op == Op::Add || op == Op::Sub || op == Op::Mul || op == Op::Mod)) {
            const int64_t a = w.code[i].imm;
            const int64_t b = w.code[i + 1].imm;
            bool fold = false;
            int64_t r = 0;
            switch (op) {
                case Op::Add: r = a + b; fold = r >= kI32Min && r <= kI32Max; break;
                case Op::Sub: r = a - b; fold = r >= kI32Min && r <= kI32Max; break;
                case Op::Mul: r = a * b; fold = r >= kI32Min && r <= kI32Max; break;
                default:  // Mod: C++ % truncates toward zero, as the machine does.
                    fold = b != 0 && !(a == kI32Min && b == -1);
                    if (fold) r = a % b;
                    break;
            }
            if (fold) {
                w.code[i] = Instruction::push(static_cast<int32_t>(r));
                w.drop(i + 1);
                w.drop(i + 2);
                i += 3;
                continue;
            }
        }
        ++i;
    }
}

// Dup;Pop, Not;Not, Push 0;Add|Sub, Push 1;Mul vanish; Push a;Neg -> Push -a.
// With `exact` only Dup;Pop and Push a;Neg, the two whose result does not
// depend on the kind of the value below.
void simplify_pairs(Window& w, bool exact) {
    const size_t n = w.code.size();
    size_t i = 0;
    while (i + 1 < n) {
        if (!w.closed(i, 2)) { ++i; continue; }
        const Op next = w.code[i + 1].op;
        bool both = (w.is(i, Op::Dup) && next == Op::Pop) ||
                    (!exact && ((w.is(i, Op::Not) && next == Op::Not) ||
                                (w.is_push(i, 0) && (next == Op::Add || next == Op::Sub)) ||
                                (w.is_push(i, 1) && next == Op::Mul)));
        if (both) {
            w.drop(i);
            w.drop(i + 1);
            i += 2;
        } else if (w.is(i, Op::Push) && next == Op::Neg) {
            const int32_t a = w.code[i].imm;
            // -INT32_MIN does not fit; it saturates like the machine's negation.
            w.code[i] = Instruction::push(a == std::numeric_limits<int32_t>::min()
                                              ? std::numeric_limits<int32_t>::max() : -a);
            w.drop(i + 1);
            i += 2;
        } else {
            ++i;
        }
    }
}

// Push 2; Pow  ->  Dup; Mul.
void square(Window& w) {
    const size_t n = w.code.size();
    size_t i = 0;
    while (i + 1 < n) {
        if (w.is_push(i, 2) && w.is(i + 1, Op::Pow) && w.closed(i, 2)) {
            w.code[i] = Instruction::make(Op::Dup);
            w.code[i + 1] = Instruction::make(Op::Mul);
            i += 2;
        } else {
            ++i;
        }
    }
}

// Everything after a Jump or Halt up to the next jump target goes.
void drop_unreachable(Window& w) {
    bool unreachable = false;
    for (size_t i = 0; i < w.code.size(); ++i) {
        if (w.target[i]) unreachable = false;
        else if (unreachable) w.drop(i);
        const Op op = w.code[i].op;
        if (op == Op::Jump || op == Op::Halt) unreachable = true;
    }
}

}  // namespace

Code optimize(const Code& input, std::vector<size_t>* kept, Rewrites rewrites) {
    const size_t n = input.size();
    Code code = input;

    // Passes 1-3 touch no jump, so the target set is the same before and after.
    // Targets at or beyond n name no instruction and cannot revive any.
    std::vector<uint8_t> target(n, 0);
    for (const auto& ins : code)
        if (is_jump(ins.op) && ins.operand < n) target[ins.operand] = 1;

    Window w{code, target};
    if (n >= 3) fold_constants(w);
    if (n >= 2) {
        const bool exact = rewrites == Rewrites::KeepResults;
        simplify_pairs(w, exact);
        if (!exact) square(w);
    }
    drop_unreachable(w);

    // Compaction in place. before[i] counts the survivors ahead of i, which is
    // also the new index of the first survivor at or after i, if there is one.
    bool jumps = false;
    for (const auto& ins : code) jumps |= is_jump(ins.op);
    std::vector<size_t> before(jumps ? n + 1 : 0);
    if (kept) kept->clear();
    size_t survivors = 0;
    for (size_t i = 0; i < n; ++i) {
        if (jumps) before[i] = survivors;
        if (code[i].op == Op::Nop) continue;
        code[survivors++] = code[i];
        if (kept) kept->push_back(i);
    }
    code.resize(survivors);
    if (jumps) {
        before[n] = survivors;
        const size_t last = survivors ? survivors - 1 : 0;
        for (auto& ins : code) {
            if (!is_jump(ins.op)) continue;
            const size_t t = before[ins.operand < n ? ins.operand : n];
            ins.operand = t < survivors ? t : last;
        }
    }
    return code;
}

}  // namespace calvex
