// Random programs from the shapes the compiler emits, run with and without
// the machine's fused and in-place handlers.
#include <gtest/gtest.h>

#include <limits>
#include <random>
#include <string>
#include <vector>

#include "common/bytecode.h"
#include "common/disassemble.h"
#include "vm_engine/arith.h"
#include "vm_support.h"

using namespace calvex;
using namespace calvex::test_support;

namespace {

constexpr int64_t kMax = std::numeric_limits<int64_t>::max();

// ---------------------------------------------------------------- fast paths

// Random programs built from the shapes the compiler emits, run once with
// the machine's fused and in-place handlers and once without them: every
// observable outcome must agree.
class ProgramGen {
public:
    explicit ProgramGen(uint32_t seed) : rng_(seed) {}

    Code make() {
        code_.clear();
        forward_.clear();
        int snippets = pick(5, 40);
        for (int s = 0; s < snippets; ++s) snippet();
        for (uint64_t r = 0; r < kRegs; ++r) emit(I(Op::LoadLocal, r));
        emit(I(Op::MakeArray, kRegs));
        for (size_t j : forward_) code_[j].operand = static_cast<uint64_t>(pick(static_cast<int>(j) + 1, static_cast<int>(code_.size())));
        return code_;
    }

    static std::vector<Constant> constants() {
        return {2.5,  std::string("ab"), std::monostate{}, 0.0, std::string(""), kMax, std::string("k"), -1.5,
                std::string("range"), std::string("a\xc3\xb1\xe2\x82\xacz\xf0\x9f\x98\x80")};
    }

private:
    static constexpr uint64_t kRegs = 4;

    int pick(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng_); }
    uint64_t reg() { return static_cast<uint64_t>(pick(0, kRegs - 1)); }
    void emit(Instruction in) { code_.push_back(in); }
    void fwd(Op op) {
        forward_.push_back(code_.size());
        emit(I(op));
    }
    Op any_op() {
        static const Op ops[] = {Op::Add, Op::Sub, Op::Mul, Op::Div, Op::Mod, Op::Pow, Op::Lt, Op::Le, Op::Gt,
                                 Op::Ge,  Op::Eq,  Op::Ne,  Op::And, Op::Or,  Op::Concat, Op::GetIndex};
        return ops[pick(0, std::size(ops) - 1)];
    }
    Op cmp() {
        static const Op ops[] = {Op::Lt, Op::Le, Op::Gt, Op::Ge, Op::Eq, Op::Ne};
        return ops[pick(0, 5)];
    }
    Op arith() {
        static const Op ops[] = {Op::Add, Op::Sub, Op::Mul, Op::Div, Op::Mod};
        return ops[pick(0, 4)];
    }
    // A constant operand: an immediate (0 and -1 among them) or a pool
    // constant, mostly a Float (2.5, 0.0, -1.5), else any.
    void constant() {
        static const uint64_t floats[] = {0, 3, 7};
        switch (pick(0, 3)) {
            case 0: case 1: emit(P(pick(-2, 5))); break;
            case 2: emit(I(Op::LoadConst, floats[pick(0, 2)])); break;
            default: emit(I(Op::LoadConst, static_cast<uint64_t>(pick(0, 7)))); break;
        }
    }
    // An assignment: expression form or statement form.
    void store(uint64_t r) {
        if (pick(0, 1)) {
            emit(I(Op::StoreLocal, r));
        } else {
            emit(I(Op::Dup));
            emit(I(Op::StoreLocal, r));
            emit(I(Op::Pop));
        }
    }
    void operand() {
        switch (pick(0, 2)) {
            case 0: emit(P(pick(-3, 9))); break;
            case 1: emit(I(Op::LoadConst, static_cast<uint64_t>(pick(0, 7)))); break;
            default: emit(I(Op::LoadLocal, reg())); break;
        }
    }

    void snippet() {
        switch (pick(0, 23)) {
            case 19:  // a number into a register
                if (pick(0, 1)) emit(P(pick(-3, 9))); else emit(I(Op::LoadConst, pick(0, 1) ? 0 : 7));
                emit(I(Op::StoreLocal, reg()));
                break;
            case 20:  // top op (r | k) [store], the top computed or loaded before
                if (pick(0, 2)) operand();
                if (pick(0, 1)) emit(I(Op::LoadLocal, reg())); else constant();
                emit(I(arith()));
                if (pick(0, 1)) store(reg());
                break;
            case 21:  // r op k / k op r [store], or top +- r * q
                if (pick(0, 2) == 0) {
                    if (pick(0, 2)) operand();
                    emit(I(Op::LoadLocal, reg()));
                    emit(I(Op::LoadLocal, reg()));
                    emit(I(Op::Mul));
                    emit(I(pick(0, 1) ? Op::Add : Op::Sub));
                    break;
                }
                if (pick(0, 1)) {
                    emit(I(Op::LoadLocal, reg()));
                    constant();
                } else {
                    constant();
                    emit(I(Op::LoadLocal, reg()));
                }
                emit(I(arith()));
                if (pick(0, 1)) store(reg());
                break;
            case 22:  // top cmp (r | k), or r cmp k, and branch
                if (pick(0, 1)) {
                    emit(I(Op::LoadLocal, reg()));
                    constant();
                } else {
                    if (pick(0, 2)) operand();
                    if (pick(0, 1)) emit(I(Op::LoadLocal, reg())); else constant();
                }
                emit(I(cmp()));
                fwd(pick(0, 3) ? Op::JumpIfFalse : Op::JumpIfTrue);
                break;
            case 0: operand(); break;
            case 1: store(reg()); break;
            case 2: emit(I(any_op())); break;
            case 3:  // r op k [store]
                emit(I(Op::LoadLocal, reg()));
                emit(P(pick(-2, 5)));
                emit(I(arith()));
                if (pick(0, 1)) store(reg());
                break;
            case 4:  // r op q [store]
                emit(I(Op::LoadLocal, reg()));
                emit(I(Op::LoadLocal, reg()));
                emit(I(arith()));
                if (pick(0, 1)) store(reg());
                break;
            case 5:  // compare and branch
                if (pick(0, 1)) {
                    emit(I(Op::LoadLocal, reg()));
                    if (pick(0, 1))
                        emit(P(pick(-2, 5)));
                    else
                        emit(I(Op::LoadLocal, reg()));
                }
                emit(I(cmp()));
                fwd(pick(0, 1) ? Op::JumpIfFalse : Op::JumpIfTrue);
                break;
            case 6: emit(I(arith())); store(reg()); break;
            case 7: {  // small array into a register
                int n = pick(0, 3);
                for (int k = 0; k < n; ++k) operand();
                emit(I(Op::MakeArray, static_cast<uint64_t>(n)));
                emit(I(Op::StoreLocal, reg()));
                break;
            }
            case 8:  // r[i] or r.k, or r[i][j] with both keys in registers
                if (pick(0, 2) == 0) {
                    const uint64_t r = reg(), i = reg(), j = reg();
                    int_key(i), int_key(j);
                    if (pick(0, 3)) nested_array(r);
                    emit(I(Op::LoadLocal, r));
                    emit(I(Op::LoadLocal, i));
                    emit(I(Op::GetIndex));
                    emit(I(Op::LoadLocal, j));
                    emit(I(Op::GetIndex));
                    break;
                }
                emit(I(Op::LoadLocal, reg()));
                if (pick(0, 1))
                    emit(I(Op::LoadLocal, reg()));
                else
                    emit(I(Op::LoadConst, static_cast<uint64_t>(pick(0, 7))));
                emit(I(Op::GetIndex));
                break;
            case 9: {  // r[i] = v
                uint64_t r = reg();
                emit(I(Op::LoadLocal, r));
                operand();
                operand();
                if (pick(0, 1)) emit(I(Op::Dup)), emit(I(Op::StoreLocal, reg()));
                emit(I(Op::SetIndex));
                emit(I(Op::StoreLocal, r));
                break;
            }
            case 10: {  // r[i][j] = v with write-back
                uint64_t r = reg();
                if (pick(0, 1)) {
                    // As compiled: i kept in t for the write-back, j in a register.
                    const uint64_t i = reg(), t = reg(), j = reg();
                    int_key(i), int_key(j);
                    if (pick(0, 3)) nested_array(r);
                    emit(I(Op::LoadLocal, r));
                    emit(I(Op::Dup));
                    emit(I(Op::LoadLocal, i));
                    emit(I(Op::Dup));
                    emit(I(Op::StoreLocal, t));
                    emit(I(Op::GetIndex));
                    emit(I(Op::LoadLocal, j));
                    operand();
                    emit(I(Op::SetIndex));
                    emit(I(Op::LoadLocal, t));
                    emit(I(Op::Swap));
                    emit(I(Op::SetIndex));
                    emit(pick(0, 3) ? I(Op::StoreLocal, r) : I(Op::Pop));
                    break;
                }
                int i = pick(-1, 2);
                emit(I(Op::LoadLocal, r));
                emit(I(Op::Dup));
                emit(P(i));
                emit(I(Op::GetIndex));
                operand();
                operand();
                emit(I(Op::SetIndex));
                emit(P(i));
                emit(I(Op::Swap));
                emit(I(Op::SetIndex));
                emit(pick(0, 3) ? I(Op::StoreLocal, r) : I(Op::Pop));
                break;
            }
            case 11: {  // for x in r / a string / range(a, b) { s = s .. x [; break] } [h read after]
                uint64_t src = reg(), h = 4, x = reg();
                switch (pick(0, 3)) {
                    case 0: emit(I(Op::LoadLocal, src)); break;
                    case 1: emit(I(Op::LoadConst, pick(0, 1) ? 1 : 9)); break;  // "ab", or multi-byte text
                    default:
                        emit(I(Op::LoadGlobal, 8));  // range
                        operand();
                        operand();
                        emit(I(Op::Call, 2));
                        break;
                }
                emit(I(Op::IterInit));
                emit(I(Op::StoreLocal, h));
                size_t top = code_.size();
                emit(I(Op::LoadLocal, h));
                emit(I(Op::IterNext));
                emit(I(Op::Swap));
                emit(I(Op::Dup));
                emit(I(Op::StoreLocal, h));
                emit(I(Op::LoadConst, 2));
                emit(I(Op::Eq));
                size_t exit = code_.size();
                emit(I(Op::JumpIfTrue));
                emit(I(Op::StoreLocal, x));
                emit(I(Op::LoadLocal, 5));
                emit(I(Op::LoadLocal, x));
                emit(I(Op::Concat));
                emit(I(Op::StoreLocal, 5));
                size_t brk = 0;
                if (pick(0, 2) == 0) {  // break once the element equals a small int
                    emit(I(Op::LoadLocal, x));
                    emit(P(pick(0, 3)));
                    emit(I(Op::Eq));
                    brk = code_.size();
                    emit(I(Op::JumpIfTrue));
                }
                emit(I(Op::Jump, top));
                code_[exit].operand = code_.size();
                emit(I(Op::Pop));
                if (brk) code_[brk].operand = code_.size();
                if (pick(0, 3) == 0) emit(I(Op::LoadLocal, h)), emit(I(Op::Len));  // the state stays observable
                break;
            }
            case 12: {  // s = f"{s}..." in place
                uint64_t r = reg();
                emit(I(Op::LoadLocal, r));
                operand();
                emit(I(Op::Concat));
                if (pick(0, 1)) emit(I(Op::Dup));
                emit(I(Op::StoreLocal, r));
                break;
            }
            case 13: emit(I(pick(0, 1) ? Op::Dup : Op::Swap)); break;
            case 14: emit(I(Op::Pop)); break;
            case 15: {  // counted loop on register 6 around a random body
                emit(P(pick(0, 4)));
                emit(I(Op::StoreLocal, 6));
                size_t top = code_.size();
                emit(I(Op::LoadLocal, 6));
                emit(P(0));
                emit(I(Op::Gt));
                size_t exit = code_.size();
                emit(I(Op::JumpIfFalse));
                snippet_without_jumps();
                emit(I(Op::LoadLocal, 6));
                emit(P(1));
                emit(I(Op::Sub));
                emit(I(Op::StoreLocal, 6));
                emit(I(Op::Jump, top));
                code_[exit].operand = code_.size();
                break;
            }
            case 16: {  // object with a string key
                emit(I(Op::LoadConst, 6));
                operand();
                emit(I(Op::MakeObject, 1));
                emit(I(Op::StoreLocal, reg()));
                break;
            }
            case 17: {  // a fresh array or object in r, then r[k] = v with k and v plain operands
                uint64_t r = reg();
                if (pick(0, 1)) {
                    operand(), operand(), operand();
                    emit(I(Op::MakeArray, 3));
                } else {
                    emit(I(Op::LoadConst, 6));
                    operand();
                    emit(I(Op::MakeObject, 1));
                }
                emit(I(Op::StoreLocal, r));
                for (int k = pick(1, 3); k > 0; --k) {
                    emit(I(Op::LoadLocal, r));
                    switch (pick(0, 3)) {
                        case 0: emit(P(pick(-4, 3))); break;
                        case 1: emit(I(Op::LoadConst, pick(0, 1) ? 6 : 1)); break;  // "k" or "ab"
                        default: emit(I(Op::LoadLocal, reg())); break;
                    }
                    operand();
                    emit(I(Op::SetIndex));
                    emit(I(Op::StoreLocal, r));
                }
                break;
            }
            case 18: {  // o = a[j] ...; a[j] = o, around random code that may read a or change j
                const uint64_t a = reg(), j = reg(), o = reg();
                if (pick(0, 1)) {
                    operand(), operand(), operand();
                    emit(I(Op::MakeArray, 3));
                    emit(I(Op::StoreLocal, a));
                }
                if (pick(0, 1)) {
                    emit(P(pick(-4, 3)));
                    emit(I(Op::StoreLocal, j));
                }
                emit(I(Op::LoadLocal, a));
                emit(I(Op::LoadLocal, j));
                emit(I(Op::GetIndex));
                emit(I(Op::StoreLocal, o));
                for (int k = pick(0, 2); k > 0; --k) snippet_without_jumps();
                emit(I(Op::LoadLocal, a));
                emit(I(Op::LoadLocal, j));
                if (pick(0, 3))
                    emit(I(Op::LoadLocal, o));
                else
                    operand();
                if (pick(0, 2) == 0) emit(I(Op::Dup)), emit(I(Op::StoreLocal, reg()));
                emit(I(Op::SetIndex));
                emit(I(Op::StoreLocal, a));
                break;
            }
            default: emit(I(Op::Len)); break;
        }
    }
    // Mostly an Int key from -3 to 2 in r, else what r holds.
    void int_key(uint64_t r) {
        if (pick(0, 3) == 0) return;
        emit(P(pick(-3, 2)));
        emit(I(Op::StoreLocal, r));
    }
    // r = [[x, y], q] (q any register, possibly r itself).
    void nested_array(uint64_t r) {
        operand();
        operand();
        emit(I(Op::MakeArray, 2));
        emit(I(Op::LoadLocal, reg()));
        emit(I(Op::MakeArray, 2));
        emit(I(Op::StoreLocal, r));
    }
    void snippet_without_jumps() {
        size_t pending = forward_.size();
        snippet();
        // Keep the loop's exit reachable: jumps made inside the body go to
        // the instruction after the body.
        for (size_t k = pending; k < forward_.size(); ++k) code_[forward_[k]].operand = code_.size();
        forward_.resize(pending);
    }

    std::mt19937 rng_;
    Code code_;
    std::vector<size_t> forward_;
};

std::string observe(VM& vm) {
    std::string out;
    for (int round = 0; round < 2; ++round) {  // a second run resumes after an error
        Result<Value> r = vm.execute();
        out += r.ok() ? "ok:" + display_text(r.value()) : "err:" + r.error();
        out += " n=" + std::to_string(vm.instructions_executed()) + " d=" + std::to_string(vm.stack_depth()) + "\n";
    }
    return out;
}

TEST(FastPaths, AgreeWithThePlainMachine) {
    auto stop_after = [](void* ctx) { return ++*static_cast<int*>(ctx) > 200; };
    for (uint32_t seed = 1; seed <= 3000; ++seed) {
        ProgramGen gen(seed);
        Code code = gen.make();
        std::vector<Value> held;
        for (const Constant& c : ProgramGen::constants()) held.push_back(value_from_constant(c));
        // Distinct lines name the failing instruction in every message.
        LineTable lines;
        for (size_t i = 0; i < code.size(); ++i) lines.push_back(i + 1);
        {
            VM fast(code, held, lines, FunctionTable(), VMOptions{true});
            VM plain(code, held, lines, FunctionTable(), VMOptions{false});
            int polls_fast = 0, polls_plain = 0;
            fast.set_interrupt_check(stop_after, &polls_fast);
            plain.set_interrupt_check(stop_after, &polls_plain);
            ASSERT_EQ(observe(fast), observe(plain)) << "seed " << seed;
        }
        // Every handle the machines took on the constants was given back.
        for (const Value& v : held) ASSERT_EQ(v.share_count(), 1u) << "seed " << seed;
    }
}

// The full text of the result (containers with their elements), the
// instruction count, and the stack depth.
std::string contents(const Code& code, const std::vector<Constant>& constants, bool fast) {
    std::vector<Value> values;
    for (const Constant& c : constants) values.push_back(value_from_constant(c));
    VM vm(code, std::move(values), LineTable(), FunctionTable(), VMOptions{fast});
    Result<Value> r = vm.execute();
    return (r.ok() ? "ok:" + display_text(r.value()) : "err:" + r.error()) +
           " n=" + std::to_string(vm.instructions_executed()) + " d=" + std::to_string(vm.stack_depth());
}

// r[k] = v written in one step (register, constant and immediate operands),
// loop edges that run the loop test, and lazy loops: the same contents as the
// plain machine, also when the container is shared and must be copied.
TEST(FastPaths, ElementWritesAndLoopEdgesAgree) {
    const std::vector<Constant> k = {std::string("x"), std::string("y"), 2.5, std::string("range"),
                                     std::string("h\xc3\xa9!")};
    auto set = [](uint64_t r, Instruction key, Instruction v) {
        return Code{I(Op::LoadLocal, r), key, v, I(Op::SetIndex), I(Op::StoreLocal, r)};
    };
    auto cat = [](std::initializer_list<Code> parts) {
        Code out;
        for (const Code& p : parts) out.insert(out.end(), p.begin(), p.end());
        return out;
    };
    const Code arr3 = {P(1), P(2), P(3), I(Op::MakeArray, 3), I(Op::StoreLocal, 0)};
    const Code obj = {I(Op::LoadConst, 0), P(1), I(Op::MakeObject, 1), I(Op::StoreLocal, 0)};
    std::vector<std::pair<Code, std::string>> cases = {
        {cat({arr3, set(0, P(-1), P(9)), set(0, P(0), I(Op::LoadConst, 2)), set(0, P(5), P(7)),
              set(0, P(-4), P(7)), {I(Op::LoadLocal, 0)}}),
         "ok:[2.5, 2, 9]"},
        {cat({arr3, {P(1), I(Op::StoreLocal, 1), P(8), I(Op::StoreLocal, 2)}, set(0, I(Op::LoadLocal, 1), I(Op::LoadLocal, 2)),
              set(0, I(Op::LoadConst, 0), P(4)), {I(Op::LoadLocal, 0)}}),
         "ok:[1, 8, 3]"},
        {cat({obj, set(0, I(Op::LoadConst, 0), P(5)), set(0, I(Op::LoadConst, 1), I(Op::LoadConst, 2)),
              set(0, P(3), P(6)), {I(Op::LoadLocal, 0)}}),
         "ok:{x: 5, y: 2.5, 3: 6}"},
        // Shared: register 1 keeps the old array, which must not change.
        {cat({arr3, {I(Op::LoadLocal, 0), I(Op::StoreLocal, 1)}, set(0, P(0), P(0)), {I(Op::LoadLocal, 1), I(Op::LoadLocal, 0), I(Op::MakeArray, 2)}}),
         "ok:[[1, 2, 3], [0, 2, 3]]"},
        // while i < 5 { s = s + i; i = i + 1 } with i, s in registers 0, 1
        {{P(0), I(Op::StoreLocal, 0), P(0), I(Op::StoreLocal, 1), I(Op::LoadLocal, 0), P(5), I(Op::Lt),
          I(Op::JumpIfFalse, 17), I(Op::LoadLocal, 1), I(Op::LoadLocal, 0), I(Op::Add), I(Op::StoreLocal, 1),
          I(Op::LoadLocal, 0), P(1), I(Op::Add), I(Op::StoreLocal, 0), I(Op::Jump, 4), I(Op::LoadLocal, 1)},
         "ok:10"},
        // for c in range(2, 6) / in "hé!" { s = s .. c }, s in register 2
        {{I(Op::LoadConst, 0), I(Op::StoreLocal, 2), I(Op::LoadGlobal, 3), P(2), P(6), I(Op::Call, 2), I(Op::IterInit),
          I(Op::StoreLocal, 1), I(Op::LoadLocal, 1), I(Op::IterNext), I(Op::Swap), I(Op::Dup), I(Op::StoreLocal, 1),
          I(Op::LoadConst, 5), I(Op::Eq), I(Op::JumpIfTrue, 22), I(Op::StoreLocal, 0), I(Op::LoadLocal, 2),
          I(Op::LoadLocal, 0), I(Op::Concat), I(Op::StoreLocal, 2), I(Op::Jump, 8), I(Op::Pop), I(Op::LoadLocal, 2)},
         "ok:x2345"},
    };
    std::vector<Constant> with_nil = k;
    with_nil.push_back(std::monostate{});
    for (size_t i = 0; i < cases.size(); ++i) {
        std::string fast = contents(cases[i].first, with_nil, true);
        EXPECT_EQ(fast, contents(cases[i].first, with_nil, false)) << "case " << i;
        EXPECT_EQ(fast.substr(0, fast.find(" n=")), cases[i].second) << "case " << i;
    }
    // The same loop over the string constant.
    Code text = cases.back().first;
    text[2] = I(Op::LoadConst, 4);
    text[3] = I(Op::Nop);
    text[4] = I(Op::Nop);
    text[5] = I(Op::Nop);
    std::string fast = contents(text, with_nil, true);
    EXPECT_EQ(fast, contents(text, with_nil, false));
    EXPECT_EQ(fast.substr(0, fast.find(" n=")), "ok:xh\xc3\xa9!");
}

}  // namespace

namespace {

std::string run_both(const Code& code, const std::vector<Constant>& constants, std::string& plain_out) {
    std::vector<Value> values;
    for (const Constant& c : constants) values.push_back(value_from_constant(c));
    VM fast(code, values, {}, FunctionTable(), VMOptions{true});
    VM plain(code, values, {}, FunctionTable(), VMOptions{false});
    plain_out = outcome(plain);
    std::string fast_out = outcome(fast);
    auto counts = [](const VM& vm) {
        return "n=" + std::to_string(vm.instructions_executed()) + " d=" + std::to_string(vm.stack_depth());
    };
    EXPECT_EQ(counts(fast), counts(plain)) << disassemble(code);
    return fast_out;
}

// What the machine's generic helpers make of `a op b`, as outcome() writes it.
std::string generic(Op op, const Constant& ca, const Constant& cb) {
    const Value a = value_from_constant(ca), b = value_from_constant(cb);
    std::string err;
    Value r;
    bool ok = true;
    switch (op) {
        case Op::Add: ok = arith::generic(arith::BinOp::Add, a, b, r, err); break;
        case Op::Sub: ok = arith::generic(arith::BinOp::Sub, a, b, r, err); break;
        case Op::Mul: ok = arith::generic(arith::BinOp::Mul, a, b, r, err); break;
        case Op::Div: ok = arith::generic(arith::BinOp::Div, a, b, r, err); break;
        case Op::Mod: ok = arith::generic(arith::BinOp::Mod, a, b, r, err); break;
        case Op::Eq: r = Value::boolean(values_equal(a, b)); break;
        case Op::Ne: r = Value::boolean(!values_equal(a, b)); break;
        default: {
            bool out = false;
            const int which = op == Op::Lt ? 0 : op == Op::Le ? 1 : op == Op::Gt ? 2 : 3;
            ok = arith::ordered(which, a, b, out, err);
            r = Value::boolean(out);
        }
    }
    return ok ? "ok:" + host_display_text(r) : "err:" + err;
}

}  // namespace

// The shapes the fused forms take for `a op b`, each leaving the result on
// the stack: both operands in registers (0 and 1), the left one on the stack
// top, one of them a constant, with a store into register 2 and back. The
// Nops keep an operand pair from being read as a longer form. An operand that
// is an Int in range also comes as an immediate.
std::vector<Code> shapes(Op op, const Constant& cb) {
    const Code regs = {I(Op::LoadConst, 0), I(Op::StoreLocal, 0), I(Op::LoadConst, 1), I(Op::StoreLocal, 1)};
    std::vector<Code> forms = {
        {I(Op::LoadLocal, 0), I(Op::LoadLocal, 1), I(op)},
        {I(Op::LoadLocal, 0), I(Op::Nop), I(Op::LoadLocal, 1), I(op)},
        {I(Op::LoadLocal, 0), I(Op::LoadConst, 1), I(op)},
        {I(Op::LoadConst, 0), I(Op::LoadLocal, 1), I(op)},
        {I(Op::LoadLocal, 0), I(Op::Nop), I(Op::LoadConst, 1), I(op)},
        {I(Op::LoadLocal, 0), I(Op::Nop), I(Op::LoadLocal, 1), I(Op::Nop), I(op)},
    };
    auto small = [](const Constant& c) {
        const int64_t* i = std::get_if<int64_t>(&c);
        return i && *i >= -1000 && *i <= 1000;
    };
    if (small(cb)) {
        const auto k = static_cast<int32_t>(std::get<int64_t>(cb));
        forms.push_back({I(Op::LoadLocal, 0), P(k), I(op)});
        forms.push_back({I(Op::LoadLocal, 0), I(Op::Nop), P(k), I(op)});
    }
    std::vector<Code> out;
    for (Code f : forms) {
        Code bare = regs;
        bare.insert(bare.end(), f.begin(), f.end());
        Code stored = bare;
        stored.push_back(I(Op::StoreLocal, 2));
        stored.push_back(I(Op::LoadLocal, 2));
        out.push_back(bare);
        out.push_back(stored);
    }
    return out;
}

// The inline number paths (mixed Int/Float arithmetic and division,
// comparisons, truthiness of jumps) give what the generic helpers give.
TEST(FastPaths, MixedNumbersAgreeWithTheGenericHelpers) {
    // Ints beyond 2^53 compare through double in the plain handlers (2^53
    // and 2^53 + 1 are equal there).
    const std::vector<Constant> nums = {int64_t{7}, int64_t{-2}, int64_t{0}, int64_t{-1}, kMax,
                                        std::numeric_limits<int64_t>::min(), int64_t{9007199254740992},
                                        int64_t{9007199254740993}, 2.5, -0.0, 0.0, 1e300,
                                        std::numeric_limits<double>::quiet_NaN(), 7.0 + 1e-17, true,
                                        std::string("s")};
    const Op ops[] = {Op::Add, Op::Sub, Op::Mul, Op::Div, Op::Mod, Op::Eq, Op::Ne, Op::Lt, Op::Le, Op::Gt, Op::Ge};
    int checked = 0;
    for (size_t a = 0; a < nums.size(); ++a)
        for (size_t b = 0; b < nums.size(); ++b)
            for (Op op : ops) {
                const std::string want = generic(op, nums[a], nums[b]);
                for (const Code& code : shapes(op, nums[b])) {
                    // The value as it is, and (for a comparison) the same
                    // compare as a branch.
                    Code bare = code;
                    bare.push_back(I(Op::Halt));
                    std::string plain;
                    EXPECT_EQ(run_both(bare, {nums[a], nums[b]}, plain), want)
                        << op_name(op) << " " << a << " " << b << ": " << disassemble(bare);
                    EXPECT_EQ(plain, want);
                    if (op >= Op::Eq && op <= Op::Ge) {
                        Code branch = code;
                        const uint64_t n = branch.size();
                        branch.insert(branch.end(), {I(Op::JumpIfFalse, n + 3), P(1), I(Op::Jump, n + 4), P(0), I(Op::Halt)});
                        EXPECT_EQ(run_both(branch, {nums[a], nums[b]}, plain), plain)
                            << op_name(op) << " " << a << " " << b << ": " << disassemble(branch);
                    }
                    ++checked;
                }
            }
    // Jumps on every kind of condition.
    for (const Constant& c : nums) {
        const Code code = {I(Op::LoadConst, 0), I(Op::JumpIfTrue, 4), P(0), I(Op::Jump, 5), P(1), I(Op::Halt)};
        std::string plain;
        EXPECT_EQ(run_both(code, {c}, plain), plain);
        ++checked;
    }
    EXPECT_GT(checked, 16 * 16 * 11 * 12);
}
