// The peephole optimiser and the load-time specialisation, on hand-built
// instruction lists (byte streams cannot carry Push, jumps or locals).
#include <gtest/gtest.h>

#include <chrono>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "assemble.h"
#include "common/bytecode.h"
#include "common/disassemble.h"
#include "vm_engine/optimizer.h"
#include "vm_engine/specialize.h"

using namespace calvex;
using calvex::test_support::assemble;

namespace {

// A case without `out` expects its input unchanged.
struct Case {
    const char* in;
    const char* out = nullptr;
    std::string want() const { return out ? out : disassemble(assemble(in)); }
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.in; }

class Optimize : public testing::TestWithParam<Case> {};

TEST_P(Optimize, Rewrites) {
    EXPECT_EQ(disassemble(optimize(assemble(GetParam().in))), GetParam().want());
}

INSTANTIATE_TEST_SUITE_P(Folding, Optimize, testing::Values(
    Case{"Push 2; Push 3; Add; Halt", "Push 5; Halt"},
    Case{"Push -7; Push 3; Mul", "Push -21"},
    Case{"Push 2147483647; Push 1; Add"},
    Case{"Push -2147483648; Push 1; Sub"},
    Case{"Push 65536; Push 65536; Mul"},
    Case{"Push -7; Push 2; Mod", "Push -1"},
    Case{"Push 7; Push 0; Mod"},
    Case{"Push -2147483648; Push -1; Mod"},
    Case{"Push 7; Push 2; Div"},
    // The scan moves past a fold, so its result is not folded again.
    Case{"Push 1; Push 2; Push 3; Add; Mul", "Push 1; Push 5; Mul"},
    // Removed instructions still stand between their neighbours in later passes.
    Case{"Push 2; Push 3; Add; Neg", "Push 5; Neg"}));

INSTANTIATE_TEST_SUITE_P(Pairs, Optimize, testing::Values(
    Case{"Dup; Pop; Halt", "Halt"},
    Case{"Not; Not; Not", "Not"},
    Case{"Not; Dup; Pop; Not", "Not; Not"},
    Case{"LoadLocal 1; Push 0; Add; Push 0; Sub; Push 1; Mul", "LoadLocal 1"},
    Case{"Push 1; Add; Push 0; Mul"},
    Case{"Push 5; Neg", "Push -5"},
    Case{"Push -2147483648; Neg", "Push 2147483647"},
    Case{"LoadLocal 0; Push 2; Pow", "LoadLocal 0; Dup; Mul"},
    Case{"Push 2; Push 2; Pow", "Push 2; Dup; Mul"}));

INSTANTIATE_TEST_SUITE_P(Reachability, Optimize, testing::Values(
    Case{"Jump 3; Push 1; Pop; Halt", "Jump 1; Halt"},
    Case{"Halt; Jump 0; Push 1", "Halt"},
    Case{"Return; Push 1"},
    Case{"Push 1; JumpIfFalse 4; Push 2; Jump 5; Push 3; Halt"},
    // A target on a removed instruction moves to the next survivor; past the
    // last survivor it falls back to the last one.
    Case{"JumpIfTrue 2; Halt; Nop; Push 7; Halt", "JumpIfTrue 2; Halt; Push 7; Halt"},
    Case{"Push 1; JumpIfFalse 9; Halt", "Push 1; JumpIfFalse 2; Halt"},
    Case{"JumpIfFalse 2; Halt; Nop", "JumpIfFalse 1; Halt"},
    Case{"Nop; Nop", ""}));

// A jump into the middle of a pattern keeps it: the jumping path would
// otherwise lose half of it. A jump onto its first instruction is harmless.
INSTANTIATE_TEST_SUITE_P(JumpsIntoPatterns, Optimize, testing::Values(
    // y + (c ? 1 : 0)
    Case{"LoadLocal 0; LoadLocal 1; JumpIfFalse 5; Push 1; Jump 6; Push 0; Add; Halt"},
    // (c ? a : 2) + 3
    Case{"LoadLocal 1; JumpIfFalse 4; LoadLocal 0; Jump 5; Push 2; Push 3; Add; Halt"},
    // -(c ? x : 5) and x ** (c ? 3 : 2)
    Case{"LoadLocal 1; JumpIfFalse 4; Push 3; Jump 5; Push 5; Neg; Halt"},
    Case{"LoadLocal 1; JumpIfFalse 4; Push 3; Jump 5; Push 2; Pow; Halt"},
    Case{"Jump 1; Push 2; Push 3; Add; Dup; Pop; Halt", "Jump 1; Push 5; Halt"}));

TEST(OptimizeKept, MapsSurvivorsToInputIndexes) {
    std::vector<size_t> kept = {99};
    const Code out = optimize(assemble("Push 2; Push 3; Add; Dup; Pop; Halt; Push 9"), &kept);
    EXPECT_EQ(disassemble(out), "Push 5; Halt");
    EXPECT_EQ(kept, (std::vector<size_t>{0, 5}));
    optimize({}, &kept);
    EXPECT_TRUE(kept.empty());
}

// Whatever the input, the result has no Nop, its jumps name instructions of
// the result, and `kept` is an increasing map onto non-Nop input positions.
TEST(OptimizeKept, ArbitraryListsStayWellFormed) {
    std::mt19937_64 rng(5);
    for (int round = 0; round < 2000; ++round) {
        Code in;
        for (size_t n = rng() % 24; n > 0; --n) {
            const auto op = static_cast<Op>(rng() % kOpCount);
            in.push_back(op == Op::Push ? Instruction::push(static_cast<int32_t>(rng() % 5) - 2)
                                        : Instruction::make(op, rng() % 30));
        }
        std::vector<size_t> kept;
        const Code out = optimize(in, &kept);
        ASSERT_EQ(kept.size(), out.size());
        for (size_t i = 0; i < out.size(); ++i) {
            ASSERT_NE(out[i].op, Op::Nop);
            ASSERT_NE(in[kept[i]].op, Op::Nop);
            if (i) {
                ASSERT_LT(kept[i - 1], kept[i]);
            }
            if (is_jump(out[i].op)) {
                ASSERT_LT(out[i].operand, out.size());
            }
        }
    }
}

class Specialize : public testing::TestWithParam<Case> {};

TEST_P(Specialize, Rewrites) {
    Code code = assemble(GetParam().in);
    specialize(code);
    EXPECT_EQ(disassemble(code), GetParam().want());
    specialize(code);  // specialised kinds read like their generic forms
    EXPECT_EQ(disassemble(code), GetParam().want());
}

INSTANTIATE_TEST_SUITE_P(Forms, Specialize, testing::Values(
    Case{"Push 1; Push 2; Add; Push 3; Sub; Push 4; Mul; Push 5; Mod; Push 6; Lt",
         "Push 1; Push 2; AddInt; Push 3; SubInt; Push 4; MulInt; Push 5; ModInt; Push 6; LtInt"},
    Case{"Push 1; Push 2; Eq; Push 1; Push 1; Ne; Push 1; Push 1; Le; Push 1; Push 1; Gt; Push 1; Push 1; Ge",
         "Push 1; Push 2; EqInt; Push 1; Push 1; Ne; Push 1; Push 1; Le; Push 1; Push 1; Gt; Push 1; Push 1; Ge"},
    Case{"Push 1; Push 2; Div; Push 3; Add", "Push 1; Push 2; DivFloat; Push 3; AddFloat"},
    Case{"Push 1; Push 1; Push 2; Pow; Sub", "Push 1; Push 1; Push 2; Pow; SubFloat"},
    Case{"LoadGlobal 0; Push 1; Push 1; Div; Eq", "LoadGlobal 0; Push 1; Push 1; DivFloat; EqFloat"},
    // A Float on either side picks the Float form, whatever the other side.
    Case{"Push 1; Push 1; Concat; Push 1; Push 1; Div; Mul", "Push 1; Push 1; Concat; Push 1; Push 1; DivFloat; MulFloat"},
    Case{"Push 1; LoadGlobal 0; Add; LoadGlobal 0; Div"},
    Case{"Push 1; Push 1; Push 1; Eq; Add", "Push 1; Push 1; Push 1; EqInt; Add"},
    Case{"Push 1; Push 1; Pow; LoadGlobal 0; Div", "Push 1; Push 1; Pow; LoadGlobal 0; DivFloat"},
    Case{"Add; Halt"},
    Case{"Push 1; Add"},
    Case{"Halt; Push 1; Push 2; Add"}));

INSTANTIATE_TEST_SUITE_P(Transfer, Specialize, testing::Values(
    Case{"Push 1; Neg; Dup; Add", "Push 1; Neg; Dup; AddInt"},
    Case{"Push 1; Not; Push 1; Add"},
    Case{"LoadGlobal 0; Len; Push 1; Add", "LoadGlobal 0; Len; Push 1; AddInt"},
    Case{"Push 1; Push 1; Push 1; Div; Swap; Add", "Push 1; Push 1; Push 1; DivFloat; Swap; AddFloat"},
    Case{"Push 1; Push 1; Push 1; Push 1; Div; Pop; Add", "Push 1; Push 1; Push 1; Push 1; DivFloat; Pop; AddInt"},
    Case{"LoadGlobal 0; IterInit; IterNext; Push 1; Add"},
    // Swap needs two entries; with one it leaves the stack alone.
    Case{"Len; Swap; Dup; Add", "Len; Swap; Dup; AddInt"},
    Case{"Push 1; StoreLocal 3; LoadLocal 3; LoadLocal 3; Add", "Push 1; StoreLocal 3; LoadLocal 3; LoadLocal 3; AddInt"},
    Case{"Push 1; StoreLocal 300; LoadLocal 300; Push 1; Add"},
    Case{"Push 1; Push 1; LoadGlobal 0; Call 0; Pop; Add", "Push 1; Push 1; LoadGlobal 0; Call 0; Pop; AddInt"},
    Case{"Push 1; Push 1; Push 1; MakeArray 2; Pop; Push 1; Add", "Push 1; Push 1; Push 1; MakeArray 2; Pop; Push 1; AddInt"},
    Case{"Push 1; Push 1; Push 1; Push 1; MakeObject 1; Pop; Add", "Push 1; Push 1; Push 1; Push 1; MakeObject 1; Pop; AddInt"},
    Case{"Push 1; Call 5; Push 1; Add"}));

// Paths that meet join their facts: equal types survive, anything else is unknown.
INSTANTIATE_TEST_SUITE_P(Merges, Specialize, testing::Values(
    Case{"LoadGlobal 0; JumpIfFalse 5; Push 1; Jump 8; Nop; Push 1; Push 2; Add; Push 1; Add",
         "LoadGlobal 0; JumpIfFalse 5; Push 1; Jump 8; Nop; Push 1; Push 2; AddInt; Push 1; AddInt"},
    Case{"LoadGlobal 0; JumpIfFalse 5; Push 1; Jump 8; Nop; Push 1; Push 2; Div; Push 1; Add",
         "LoadGlobal 0; JumpIfFalse 5; Push 1; Jump 8; Nop; Push 1; Push 2; DivFloat; Push 1; Add"},
    Case{"LoadGlobal 0; JumpIfFalse 4; LoadGlobal 1; Jump 5; Push 1; Push 1; Add"},
    // The back edge carries a Float into the register the loop head read as Int.
    Case{"Push 1; StoreLocal 0; LoadLocal 0; Push 1; Add; Push 1; Push 2; Div; StoreLocal 0; Pop; Jump 2",
         "Push 1; StoreLocal 0; LoadLocal 0; Push 1; Add; Push 1; Push 2; DivFloat; StoreLocal 0; Pop; Jump 2"}));

TEST(SpecializeScale, DeepStraightLineStacksStayLinear) {
    constexpr size_t kDepth = 200000;
    Code code{Instruction::push(1)};
    code.insert(code.end(), kDepth, Instruction::make(Op::Dup));
    code.insert(code.end(), kDepth, Instruction::make(Op::Add));
    const auto start = std::chrono::steady_clock::now();
    specialize(code);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_EQ(code[kDepth + 1].op, Op::AddInt);
    EXPECT_EQ(code.back().op, Op::AddInt);
}

// Any list, loops and huge operands included: the analysis ends and only
// ever turns generic arithmetic into specialised kinds.
TEST(SpecializeScale, ArbitraryListsTerminate) {
    std::mt19937_64 rng(11);
    for (int round = 0; round < 2000; ++round) {
        Code in;
        for (size_t n = rng() % 30; n > 0; --n) {
            const auto op = static_cast<Op>(rng() % kOpCount);
            const uint64_t arg = rng() % 8 == 0 ? ~uint64_t{0} - rng() % 2 : rng() % 32;
            in.push_back(op == Op::Push ? Instruction::push(1) : Instruction::make(op, arg));
        }
        Code out = in;
        specialize(out);
        ASSERT_EQ(out.size(), in.size());
        for (size_t i = 0; i < in.size(); ++i)
            if (out[i].op != in[i].op) {
                ASSERT_EQ(op_byte(out[i].op), -1) << op_name(in[i].op);
            }
    }
}

}  // namespace
