// The machine run on hand-built instruction lists: everything a byte stream
// cannot reach (operands, jumps, locals, globals, constants, calls).
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <iterator>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "common/bytecode.h"
#include "vm_support.h"
#include "vm_engine/jit.h"
#include "vm_engine/value.h"
#include "vm_engine/vm.h"

using namespace calvex;
using namespace calvex::test_support;

namespace {

constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
constexpr int64_t kMin = std::numeric_limits<int64_t>::min();

// ---------------------------------------------------------------- values

TEST(Value, DisplayTexts) {
    Value nested = Value::array({Value::integer(1), Value::string("a"), Value::array({Value::integer(2)})});
    EXPECT_EQ(display_text(nested), "[1, a, [2]]");
    EXPECT_EQ(host_display_text(nested), "[array:3]");
    EXPECT_EQ(host_display_text(Value::string("a")), "\"a\"");
    EXPECT_EQ(display_text(Value::object()), "{}");
    EXPECT_EQ(host_display_text(Value::object()), "{object:0}");
    EXPECT_EQ(display_text(Value::number(2.0)), "2.0");
    EXPECT_EQ(display_text(Value::number(-0.0)), "-0.0");
    EXPECT_EQ(display_text(Value::number(0.1 + 0.2)), "0.30000000000000004");
    EXPECT_EQ(display_text(Value::number(1e21)), "1" + std::string(21, '0') + ".0");
    EXPECT_EQ(display_text(Value::integer(kMin)), "-9223372036854775808");
    EXPECT_EQ(display_text(Value::method(Value::object(), "P.f")), "<method P.f>");
    EXPECT_EQ(display_text(Value::native("cb")), "<native cb>");
    ObjMap m;
    m.set("k", Value::array({Value::nil(), Value::boolean(true)}));
    EXPECT_EQ(display_text(Value::object(std::move(m))), "{k: [nil, true]}");
}

TEST(Value, EqualityAndTruth) {
    EXPECT_TRUE(values_equal(Value::integer(1), Value::number(1.0)));
    EXPECT_TRUE(values_equal(Value::number(0.1 + 0.2), Value::number(0.3)));
    EXPECT_FALSE(values_equal(Value::number(1.0), Value::number(1.0000001)));
    EXPECT_FALSE(values_equal(Value::boolean(true), Value::integer(1)));
    Value a = Value::array();
    EXPECT_FALSE(values_equal(a, a));
    EXPECT_FALSE(values_equal(Value::object(), Value::object()));
    EXPECT_TRUE(values_equal(Value::string("ab"), Value::string("ab")));
    EXPECT_TRUE(values_equal(Value::nil(), Value::nil()));

    EXPECT_FALSE(truthy(Value::number(-0.0)));
    EXPECT_TRUE(truthy(Value::number(std::nan(""))));
    EXPECT_FALSE(truthy(Value::string("")));
    EXPECT_FALSE(truthy(Value::array()));
    EXPECT_FALSE(truthy(Value::object()));
    EXPECT_TRUE(truthy(Value::function("f")));
}

TEST(Value, CopyOnWrite) {
    Value a = Value::array({Value::integer(1), Value::integer(2)});
    Value b = a;
    EXPECT_EQ(a.cell(), b.cell());
    b.unique_items()[0] = Value::integer(9);
    EXPECT_NE(a.cell(), b.cell());
    EXPECT_EQ(display_text(a), "[1, 2]");
    EXPECT_EQ(display_text(b), "[9, 2]");
    const void* before = b.cell();
    b.unique_items()[1] = Value::integer(8);  // sole holder: changed in place
    EXPECT_EQ(b.cell(), before);
}

// The method-call cycle: a Method built on a kept cell, and taken apart
// into its receiver by the call, which keeps the cell again only when no
// other handle shares it.
TEST(Value, BoundMethodCycleReusesItsCell) {
    MethodCell* spare = nullptr;
    Value recv = Value::object();
    Value fn = Value::function("C.m");
    Value m = Value::bind(spare, recv, fn.name_cell());
    EXPECT_EQ(display_text(m), "<method C.m>");
    EXPECT_EQ(recv.share_count(), 2u);
    EXPECT_EQ(fn.share_count(), 2u);
    const void* cell = m.cell();
    m.unbind(spare);
    EXPECT_EQ(m.cell(), recv.cell());
    EXPECT_EQ(static_cast<const void*>(spare), cell);
    EXPECT_EQ(recv.share_count(), 2u);
    EXPECT_EQ(fn.share_count(), 1u);

    Value again = Value::bind(spare, recv, fn.name_cell());
    EXPECT_EQ(again.cell(), cell);
    EXPECT_EQ(spare, nullptr);
    Value other = again;
    again.unbind(spare);
    EXPECT_EQ(spare, nullptr);
    EXPECT_EQ(again.cell(), recv.cell());
    ASSERT_TRUE(other.is_method());
    EXPECT_EQ(other.receiver().cell(), recv.cell());
    EXPECT_EQ(display_text(other), "<method C.m>");
    other = Value();
    EXPECT_EQ(recv.share_count(), 3u);  // recv, m, again
    delete spare;
}

TEST(Value, DeepNestingIsNotRecursive) {
    Value v = Value::array();
    for (int i = 0; i < 300000; ++i) v = Value::array({v});
    std::string text = display_text(v);
    EXPECT_EQ(text.size(), 600002u);
    EXPECT_EQ(text.substr(0, 3), "[[[");
    v = Value();  // tears down 300001 cells without recursion
    ObjMap m;
    Value o = Value::object();
    for (int i = 0; i < 300000; ++i) {
        ObjMap next;
        next.set("k", o);
        o = Value::object(std::move(next));
    }
    EXPECT_EQ(display_text(o).substr(0, 7), "{k: {k:");
}

// ---------------------------------------------------------------- the loop

struct Case {
    Code code;
    std::string expected;
};

class Instructions : public ::testing::TestWithParam<Case> {};

TEST_P(Instructions, Outcome) { EXPECT_EQ(run(GetParam().code), GetParam().expected); }

INSTANTIATE_TEST_SUITE_P(
    Stack, Instructions,
    ::testing::Values(Case{{P(1), P(2), I(Op::Swap), I(Op::Sub)}, "ok:1"},
                      Case{{P(7), I(Op::Dup), I(Op::Add)}, "ok:14"},
                      Case{{P(1), I(Op::Swap)}, "err:Stack underflow on Swap"},
                      Case{{I(Op::Pop)}, "err:Stack underflow"},
                      Case{{I(Op::Dup)}, "err:Stack underflow"},
                      Case{{P(1), I(Op::Halt), P(2)}, "ok:2"},
                      Case{{P(-5)}, "ok:-5"},
                      Case{{}, "ok:nil"}));

INSTANTIATE_TEST_SUITE_P(
    Arithmetic, Instructions,
    ::testing::Values(
        Case{{P(7), P(2), I(Op::Div)}, "ok:3.5"}, Case{{P(6), P(3), I(Op::Div)}, "ok:2.0"},
        Case{{P(1), P(0), I(Op::Div)}, "err:Division by zero"},
        Case{{P(5), P(0), I(Op::Mod)}, "err:Modulo by zero"},
        Case{{P(-7), P(3), I(Op::Mod)}, "ok:-1"}, Case{{P(7), P(-3), I(Op::Mod)}, "ok:1"},
        Case{{P(2), P(3), I(Op::Pow)}, "ok:8.0"}, Case{{P(2), P(-1), I(Op::Pow)}, "ok:0.5"},
        Case{{P(1), I(Op::Add)}, "err:Stack underflow"},
        Case{{P(5), I(Op::Neg)}, "ok:-5"},
        Case{{P(1), P(2), I(Op::Lt)}, "ok:true"}, Case{{P(2), P(2), I(Op::Le)}, "ok:true"},
        Case{{P(1), P(2), I(Op::Gt)}, "ok:false"}, Case{{P(1), P(2), I(Op::Ge)}, "ok:false"},
        Case{{P(1), P(1), I(Op::Eq)}, "ok:true"}, Case{{P(1), P(2), I(Op::Ne)}, "ok:true"},
        Case{{P(0), P(1), I(Op::And)}, "ok:false"}, Case{{P(0), P(1), I(Op::Or)}, "ok:true"},
        Case{{P(0), I(Op::Not)}, "ok:true"},
        Case{{P(1), P(2), I(Op::AddInt)}, "ok:3"}, Case{{P(7), P(0), I(Op::ModInt)}, "err:Modulo by zero"},
        Case{{P(3), P(4), I(Op::LtInt)}, "ok:true"}, Case{{P(3), P(3), I(Op::EqInt)}, "ok:true"},
        Case{{P(1), I(Op::Not), P(2), I(Op::AddInt)}, "err:Type error: expected int"},
        Case{{P(1), P(2), I(Op::AddFloat)}, "err:Type error: expected float"},
        Case{{P(1), P(2), I(Op::DivFloat)}, "err:Type error: expected float"}));

INSTANTIATE_TEST_SUITE_P(
    Jumps, Instructions,
    ::testing::Values(Case{{P(1), I(Op::Jump, 3), P(2), P(3), I(Op::Add)}, "ok:4"},
                      Case{{P(0), I(Op::JumpIfFalse, 3), P(9), P(5)}, "ok:5"},
                      Case{{P(1), I(Op::JumpIfTrue, 3), P(9), P(5)}, "ok:5"},
                      Case{{P(1), I(Op::JumpIfFalse, 3), P(9)}, "ok:9"},
                      Case{{P(4), I(Op::Jump, 99), P(9)}, "ok:4"},
                      Case{{I(Op::JumpIfFalse, 0)}, "err:Stack underflow"},
                      // count down from 3 on register 0, summing into register 1
                      Case{{P(3), I(Op::StoreLocal, 0), P(0), I(Op::StoreLocal, 1),
                            I(Op::LoadLocal, 0), P(0), I(Op::Gt), I(Op::JumpIfFalse, 18),
                            I(Op::LoadLocal, 1), I(Op::LoadLocal, 0), I(Op::Add), I(Op::StoreLocal, 1),
                            I(Op::LoadLocal, 0), P(1), I(Op::Sub), I(Op::StoreLocal, 0), I(Op::Jump, 4),
                            I(Op::Nop), I(Op::LoadLocal, 1)},
                           "ok:6"}));

INSTANTIATE_TEST_SUITE_P(
    Registers, Instructions,
    ::testing::Values(Case{{I(Op::StoreLocal, 256)}, "err:Register 256 out of bounds"},
                      Case{{P(1), I(Op::LoadLocal, 300)}, "err:Register 300 out of bounds"},
                      Case{{I(Op::LoadLocal, 255)}, "ok:nil"},
                      Case{{P(4), I(Op::StoreLocal, 255), I(Op::LoadLocal, 255)}, "ok:4"},
                      Case{{I(Op::LoadConst, 0)}, "err:Constant pool index 0 out of bounds"}));

INSTANTIATE_TEST_SUITE_P(
    Collections, Instructions,
    ::testing::Values(
        Case{{P(1), P(2), P(3), I(Op::MakeArray, 3), P(-1), I(Op::GetIndex)}, "ok:3"},
        Case{{P(1), P(2), P(3), I(Op::MakeArray, 3), P(3), I(Op::GetIndex)}, "ok:nil"},
        Case{{P(1), P(2), P(3), I(Op::MakeArray, 3), P(-4), I(Op::GetIndex)}, "ok:nil"},
        Case{{P(1), P(2), I(Op::MakeArray, 3)}, "err:Stack underflow"},
        Case{{P(1), P(2), I(Op::MakeArray, 2), I(Op::Len)}, "ok:2"},
        Case{{P(1), I(Op::Len)}, "err:Type error: len() requires string/array/object"},
        Case{{P(1), P(2), I(Op::GetIndex)}, "err:Invalid index operation"},
        Case{{P(1), P(2), P(3), I(Op::MakeArray, 3), P(5), P(9), I(Op::SetIndex), I(Op::Dup), I(Op::Len),
              I(Op::Swap), P(2), I(Op::GetIndex), I(Op::Add)},
             "ok:6"},
        Case{{P(1), P(2), I(Op::MakeArray, 2), P(-1), P(7), I(Op::SetIndex), P(1), I(Op::GetIndex)}, "ok:7"},
        Case{{P(1), P(2), I(Op::SetIndex)}, "err:Stack underflow"},
        Case{{P(1), I(Op::IterInit)}, "err:Type error: cannot iterate over value"},
        Case{{P(1), P(-1), I(Op::MakeArray, 2), I(Op::IterNext)}, "err:Invalid iterator: bad index"},
        Case{{P(1), P(2), I(Op::MakeArray, 2), I(Op::IterNext)}, "err:Invalid iterator state"},
        Case{{P(1), I(Op::IterNext)}, "err:Invalid iterator state"},
        Case{{P(1), P(0), I(Op::MakeArray, 2), I(Op::IterNext)}, "err:Invalid iterator state"},
        Case{{P(5), I(Op::MakeArray, 1), I(Op::IterInit), I(Op::IterNext), I(Op::Swap), I(Op::IterNext),
              I(Op::Pop), I(Op::Add)},
             "err:Type error: cannot apply add to int and nil"}));

TEST(Loop, GenericArithmeticMessages) {
    std::vector<Constant> k = {std::string("s"), 2.5, std::monostate{}};
    EXPECT_EQ(run({P(1), I(Op::LoadConst, 0), I(Op::Add)}, k), "err:Type error: cannot apply add to int and string");
    EXPECT_EQ(run({I(Op::LoadConst, 2), P(1), I(Op::Sub)}, k), "err:Type error: cannot apply sub to nil and int");
    EXPECT_EQ(run({I(Op::MakeArray, 0), I(Op::LoadConst, 1), I(Op::Pow)}, k),
              "err:Type error: cannot apply pow to array and float");
    EXPECT_EQ(run({I(Op::LoadConst, 0), I(Op::Neg)}, k), "err:Type error: unary negation requires a number");
    EXPECT_EQ(run({I(Op::LoadConst, 0), I(Op::LoadConst, 0), I(Op::Lt)}, k), "err:Type error: expected number");
    EXPECT_EQ(run({I(Op::LoadConst, 1), P(2), I(Op::Mod)}, k), "ok:0.5");
    EXPECT_EQ(run({P(1), I(Op::LoadConst, 1), I(Op::Lt)}, k), "ok:true");
    EXPECT_EQ(run({P(1), I(Op::LoadConst, 1), I(Op::AddFloat)}, k), "err:Type error: expected float");
    EXPECT_EQ(run({I(Op::LoadConst, 1), I(Op::LoadConst, 1), I(Op::MulFloat)}, k), "ok:6.25");
}

TEST(Loop, IntegerEdges) {
    std::vector<Constant> k = {kMax, kMin, int64_t{-1}, std::nan("")};
    EXPECT_EQ(run({I(Op::LoadConst, 0), P(1), I(Op::Add)}, k), "ok:9223372036854775807");
    EXPECT_EQ(run({I(Op::LoadConst, 1), P(1), I(Op::Sub)}, k), "ok:-9223372036854775808");
    EXPECT_EQ(run({I(Op::LoadConst, 0), P(2), I(Op::Mul)}, k), "ok:9223372036854775807");
    EXPECT_EQ(run({I(Op::LoadConst, 0), P(-2), I(Op::Mul)}, k), "ok:-9223372036854775808");
    EXPECT_EQ(run({I(Op::LoadConst, 1), I(Op::Neg)}, k), "ok:-9223372036854775808");
    EXPECT_EQ(run({I(Op::LoadConst, 1), I(Op::LoadConst, 2), I(Op::Mod)}, k), "ok:0");
    EXPECT_EQ(run({I(Op::LoadConst, 1), I(Op::LoadConst, 2), I(Op::ModInt)}, k), "ok:0");
    EXPECT_EQ(run({I(Op::LoadConst, 3), P(1), I(Op::Ge)}, k), "ok:false");
    // Ordered comparisons go through doubles: 2^63-1 and 2^63-2 are one double.
    EXPECT_EQ(run({I(Op::LoadConst, 0), P(1), I(Op::Sub), I(Op::LoadConst, 0), I(Op::Lt)}, k), "ok:false");
}

TEST(Loop, LinePrefix) {
    Program p{{P(1), P(0), I(Op::Div)}, {}, {3, 5, 12}};
    EXPECT_EQ(run(p), "err:Line 12: Division by zero");
    p.lines = {3, 5, 0};
    EXPECT_EQ(run(p), "err:Division by zero");
    p.lines = {3};  // shorter than the code
    EXPECT_EQ(run(p), "err:Division by zero");
}

TEST(Loop, ErrorsKeepPositionAndStack) {
    VM vm = Program{{P(4), P(1), I(Op::Not), I(Op::Neg), P(2), I(Op::Add)}}.build();
    EXPECT_EQ(outcome(vm), "err:Type error: unary negation requires a number");
    EXPECT_EQ(vm.stack_depth(), 1u);
    EXPECT_EQ(vm.instructions_executed(), 3u);
    EXPECT_EQ(outcome(vm), "ok:6");  // resumes after the failing Neg
    EXPECT_EQ(outcome(vm), "ok:nil");
    EXPECT_EQ(vm.instructions_executed(), 5u);
}

TEST(Loop, HaltSetsStateAndRunContinues) {
    VM vm = Program{{I(Op::Halt), P(3)}}.build();
    EXPECT_EQ(vm.state().status, VMStatus::Running);
    EXPECT_EQ(outcome(vm), "ok:3");
    EXPECT_EQ(vm.state().status, VMStatus::Halted);
}

TEST(Loop, Globals) {
    std::vector<Constant> k = {std::string("x"), int64_t{1}, std::string("print")};
    EXPECT_EQ(run({P(5), I(Op::StoreGlobal, 0), I(Op::LoadGlobal, 0)}, k), "ok:5");
    EXPECT_EQ(run({I(Op::LoadGlobal, 0)}, k), "ok:nil");
    // A non-string constant names the global "global_<k>", like an operand
    // past the pool does.
    EXPECT_EQ(run({P(6), I(Op::StoreGlobal, 1), I(Op::LoadGlobal, 7)}, k), "ok:nil");
    VM vm = Program{{P(6), I(Op::StoreGlobal, 1), P(8), I(Op::StoreGlobal, 9)}, k}.build();
    EXPECT_EQ(outcome(vm), "ok:nil");
    EXPECT_EQ(display_text(vm.global("global_1")), "6");
    EXPECT_EQ(display_text(vm.global("global_9")), "8");
    EXPECT_EQ(run({I(Op::LoadGlobal, 2)}, k), "ok:<function print>");
}

TEST(Loop, ObjectsAndKeys) {
    std::vector<Constant> k = {std::string("k"), std::string("b"), std::string("a")};
    // The deepest pair of a repeated key wins; non-string keys are dropped.
    EXPECT_EQ(run({I(Op::LoadConst, 0), P(1), I(Op::LoadConst, 0), P(2), P(3), P(4), I(Op::MakeObject, 3),
                   I(Op::Dup), I(Op::Len), I(Op::Swap), I(Op::LoadConst, 0), I(Op::GetIndex), I(Op::Add)},
                  k),
              "ok:2");
    EXPECT_EQ(run({I(Op::MakeObject, 0), P(1), P(5), I(Op::SetIndex), I(Op::IterInit), I(Op::IterNext)}, k),
              "ok:\"1\"");
    EXPECT_EQ(run({I(Op::MakeObject, 0), P(1), I(Op::GetIndex)}, k), "err:Invalid index operation");
    EXPECT_EQ(run({I(Op::LoadConst, 0), I(Op::LoadConst, 0), I(Op::GetIndex)}, k), "err:Invalid index operation");
    // Keys iterate in byte order.
    Program p{{I(Op::LoadConst, 1), P(1), I(Op::LoadConst, 2), P(2), I(Op::MakeObject, 2), I(Op::IterInit),
               I(Op::IterNext), I(Op::Swap), I(Op::IterNext), I(Op::Swap), I(Op::Pop), I(Op::Concat)},
              k};
    EXPECT_EQ(run(p), "ok:\"ab\"");
}

// One literal site building objects whose keys change from call to call
// (the site keeps the layout it built last): each object has its own keys,
// and adding a key to one leaves the others as they were.
TEST(Loop, OneObjectSiteWithChangingKeys) {
    const std::vector<Constant> k = {std::string("mk"), std::string("a"), std::string("b"),
                                     std::string("c"), std::string("z")};
    // mk(key) returns {a: 1, [key]: 2}
    FunctionEntry mk = fn("mk", 1, {I(Op::LoadConst, 0), P(1), I(Op::LoadLocal, 0), P(2), I(Op::MakeObject, 2),
                                    I(Op::Return)}, {std::string("a")});
    Code code;
    auto call = [&](Instruction arg) {
        code.insert(code.end(), {I(Op::LoadGlobal, 0), arg, I(Op::Call, 1)});
    };
    call(I(Op::LoadConst, 2));  // b
    call(I(Op::LoadConst, 2));  // b again: the kept layout
    call(I(Op::LoadConst, 3));  // c
    call(P(5));                 // a dropped non-string key
    call(I(Op::LoadConst, 1));  // a repeated key: the first wins
    call(I(Op::LoadConst, 2));  // b once more
    code.insert(code.end(), {I(Op::MakeArray, 6), I(Op::StoreLocal, 0)});
    // r[1].z = 9, then r[0].b = 7: copies of the objects in the array
    code.insert(code.end(), {I(Op::LoadLocal, 0), P(1), I(Op::GetIndex), I(Op::LoadConst, 4), P(9), I(Op::SetIndex),
                             I(Op::StoreLocal, 1), I(Op::LoadLocal, 0), P(1), I(Op::LoadLocal, 1), I(Op::SetIndex),
                             I(Op::StoreLocal, 0)});
    code.insert(code.end(), {I(Op::LoadLocal, 0), P(0), I(Op::GetIndex), I(Op::LoadConst, 2), P(7), I(Op::SetIndex),
                             I(Op::StoreLocal, 1), I(Op::LoadLocal, 0), P(0), I(Op::LoadLocal, 1), I(Op::SetIndex),
                             I(Op::StoreLocal, 0), I(Op::LoadLocal, 0)});
    VM vm = Program{code, k, {}, {mk}}.build();
    Result<Value> r = vm.execute();
    ASSERT_TRUE(r.ok()) << r.error();
    EXPECT_EQ(display_text(r.value()),
              "[{a: 1, b: 7}, {a: 1, b: 2, z: 9}, {a: 1, c: 2}, {a: 1}, {a: 1}, {a: 1, b: 2}]");
}

TEST(Loop, IterationOverStrings) {
    // Count the elements of "héllo": five one-character strings.
    std::vector<Constant> k = {std::string("h\xC3\xA9llo"), std::monostate{}};
    Code code = {I(Op::LoadConst, 0), I(Op::IterInit), I(Op::StoreLocal, 0), P(0), I(Op::StoreLocal, 1),
                 // top (5)
                 I(Op::LoadLocal, 0), I(Op::IterNext), I(Op::Swap), I(Op::Dup), I(Op::StoreLocal, 0),
                 I(Op::LoadConst, 1), I(Op::Eq), I(Op::JumpIfTrue, 19), I(Op::Len), I(Op::LoadLocal, 1),
                 I(Op::Add), I(Op::StoreLocal, 1), I(Op::Jump, 5), I(Op::Nop),
                 // done (19)
                 I(Op::Pop), I(Op::LoadLocal, 1)};
    EXPECT_EQ(run(code, k), "ok:6");  // byte lengths 1 + 2 + 1 + 1 + 1
}

TEST(Loop, ConcatUsesDisplayTexts) {
    std::vector<Constant> k = {std::string("a"), 2.0, std::string("")};
    EXPECT_EQ(run({I(Op::LoadConst, 0), I(Op::LoadConst, 1), I(Op::Concat)}, k), "ok:\"a2.0\"");
    EXPECT_EQ(run({P(1), P(2), I(Op::MakeArray, 2), I(Op::LoadConst, 2), I(Op::Concat)}, k), "ok:\"[1, 2]\"");
}

// Assignments through a variable must not be seen through another variable
// that shares the container, whatever fast path the machine takes.
TEST(Loop, ElementAssignmentKeepsValueSemantics) {
    // r0 = [[1, 2]]; r1 = r0; r0[0][1] = 9 (compiler shape with write-back)
    Code code = {P(1), P(2), I(Op::MakeArray, 2), I(Op::MakeArray, 1), I(Op::StoreLocal, 0),
                 I(Op::LoadLocal, 0), I(Op::StoreLocal, 1),
                 I(Op::LoadLocal, 0), I(Op::Dup), P(0), I(Op::GetIndex), P(1), P(9), I(Op::SetIndex),
                 P(0), I(Op::Swap), I(Op::SetIndex), I(Op::StoreLocal, 0),
                 I(Op::LoadLocal, 1), I(Op::LoadLocal, 0), I(Op::MakeArray, 2), I(Op::LoadConst, 0),
                 I(Op::Concat)};
    EXPECT_EQ(run(code, {std::string("")}), "ok:\"[[[1, 2]], [[1, 9]]]\"");
    // r1 = r0[0] shares the inner row only: r0[0][1] = 9 must copy the row.
    Code inner = {P(1), P(2), I(Op::MakeArray, 2), I(Op::MakeArray, 1), I(Op::StoreLocal, 0),
                  I(Op::LoadLocal, 0), P(0), I(Op::GetIndex), I(Op::StoreLocal, 1),
                  I(Op::LoadLocal, 0), I(Op::Dup), P(0), I(Op::GetIndex), P(1), P(9), I(Op::SetIndex),
                  P(0), I(Op::Swap), I(Op::SetIndex), I(Op::StoreLocal, 0),
                  I(Op::LoadLocal, 1), I(Op::LoadLocal, 0), I(Op::MakeArray, 2), I(Op::LoadConst, 0),
                  I(Op::Concat)};
    EXPECT_EQ(run(inner, {std::string("")}), "ok:\"[[1, 2], [[1, 9]]]\"");
    // Without the alias both levels change in place; the result is the same
    // as with copies.
    Code solo = {P(1), P(2), I(Op::MakeArray, 2), I(Op::MakeArray, 1), I(Op::StoreLocal, 0),
                 I(Op::LoadLocal, 0), I(Op::Dup), P(0), I(Op::GetIndex), P(1), P(9), I(Op::SetIndex),
                 P(0), I(Op::Swap), I(Op::SetIndex), I(Op::StoreLocal, 0), I(Op::LoadLocal, 0),
                 I(Op::LoadConst, 0), I(Op::Concat)};
    EXPECT_EQ(run(solo, {std::string("")}), "ok:\"[[1, 9]]\"");
    // A row shared by two rows of the outer array is copied, not changed in
    // place: m = [r, r]; m[0][0] = 7.
    Code rows = {P(1), I(Op::MakeArray, 1), I(Op::StoreLocal, 1), I(Op::LoadLocal, 1), I(Op::LoadLocal, 1),
                 I(Op::MakeArray, 2), I(Op::StoreLocal, 0), I(Op::LoadLocal, 0), I(Op::Dup), P(0),
                 I(Op::GetIndex), P(0), P(7), I(Op::SetIndex), P(0), I(Op::Swap), I(Op::SetIndex),
                 I(Op::StoreLocal, 0), I(Op::LoadLocal, 0), I(Op::LoadLocal, 1), I(Op::MakeArray, 2),
                 I(Op::LoadConst, 0), I(Op::Concat)};
    EXPECT_EQ(run(rows, {std::string("")}), "ok:\"[[[7], [1]], [1]]\"");
    // The same for a global root, and for a string appended in place.
    std::vector<Constant> k = {std::string("g"), std::string("h"), std::string("x"), std::string("")};
    Code glob = {P(1), I(Op::MakeArray, 1), I(Op::StoreGlobal, 0), I(Op::LoadGlobal, 0), I(Op::StoreGlobal, 1),
                 I(Op::LoadGlobal, 0), P(0), P(5), I(Op::SetIndex), I(Op::StoreGlobal, 0),
                 I(Op::LoadGlobal, 0), I(Op::LoadGlobal, 1), I(Op::MakeArray, 2), I(Op::LoadConst, 3),
                 I(Op::Concat)};
    EXPECT_EQ(run(glob, k), "ok:\"[[5], [1]]\"");
    Code str = {I(Op::LoadConst, 2), I(Op::StoreLocal, 0), I(Op::LoadLocal, 0), I(Op::StoreLocal, 1),
                I(Op::LoadLocal, 0), I(Op::LoadConst, 2), I(Op::Concat), I(Op::StoreLocal, 0),
                I(Op::LoadLocal, 0), I(Op::LoadConst, 2), I(Op::Concat), I(Op::StoreLocal, 0),
                I(Op::LoadLocal, 0), I(Op::LoadLocal, 1), I(Op::MakeArray, 2), I(Op::LoadConst, 3),
                I(Op::Concat)};
    EXPECT_EQ(run(str, k), "ok:\"[xxx, x]\"");
}

TEST(Loop, FinishedMachinePopsFurtherValues) {
    VM vm = Program{{P(1), P(2)}}.build();
    EXPECT_EQ(outcome(vm), "ok:2");
    uint64_t n = vm.instructions_executed();
    EXPECT_EQ(outcome(vm), "ok:1");
    EXPECT_EQ(outcome(vm), "ok:nil");
    EXPECT_EQ(vm.instructions_executed(), n);
}

// ---------------------------------------------------------------- calls

TEST(Calls, ParametersAndReturn) {
    const std::vector<Constant> k = {std::string("f"), std::string("")};
    // f(a, b) returns [a, b]
    FunctionEntry f = fn("f", 2, {I(Op::LoadLocal, 0), I(Op::LoadLocal, 1), I(Op::MakeArray, 2), I(Op::Return)});
    auto call = [&](int args) {
        Code code = {I(Op::LoadGlobal, 0)};
        for (int i = 0; i < args; ++i) code.push_back(P(i + 1));
        code.push_back(I(Op::Call, static_cast<uint64_t>(args)));
        code.push_back(I(Op::LoadConst, 1));
        code.push_back(I(Op::Concat));
        return run(Program{code, k, {}, {f}});
    };
    EXPECT_EQ(call(1), "ok:\"[1, nil]\"");
    EXPECT_EQ(call(2), "ok:\"[1, 2]\"");
    EXPECT_EQ(call(3), "ok:\"[1, 2]\"");
}

TEST(Calls, ResolutionAndFrames) {
    std::vector<Constant> k = {std::string("f"), std::string("nope"), std::string("len")};
    std::vector<FunctionEntry> fs = {fn("f", 0, {P(1), I(Op::Return)}), fn("f", 0, {P(2), I(Op::Return)})};
    EXPECT_EQ(run(Program{{I(Op::LoadGlobal, 0), I(Op::Call, 0)}, k, {}, fs}), "ok:2");  // later entry wins
    EXPECT_EQ(run(Program{{I(Op::LoadGlobal, 1), I(Op::Call, 0)}, k, {}, fs}), "ok:nil");
    EXPECT_EQ(run(Program{{P(5), I(Op::Call, 0)}, k, {}, fs}), "ok:nil");
    EXPECT_EQ(run(Program{{P(5), I(Op::Call, 1)}, k, {}, fs}), "err:Stack underflow");
    EXPECT_EQ(run(Program{{I(Op::Return)}, k, {}, fs}), "err:Return without matching call");
    // A user function named like a built-in replaces it.
    std::vector<FunctionEntry> shadow = {fn("len", 1, {P(42), I(Op::Return)})};
    EXPECT_EQ(run(Program{{I(Op::LoadGlobal, 2), P(1), I(Op::Call, 1)}, k, {}, shadow}), "ok:42");
    // The callee has its own operand stack: it cannot pop the caller's values.
    std::vector<FunctionEntry> greedy = {fn("f", 0, {I(Op::Pop), I(Op::Return)})};
    EXPECT_EQ(run(Program{{P(9), I(Op::LoadGlobal, 0), I(Op::Call, 0)}, k, {}, greedy}), "err:Stack underflow");
    // A function whose code ends without Return ends the run inside it.
    VM vm = Program{{I(Op::LoadGlobal, 0), I(Op::Call, 0), P(3)}, k, {}, {fn("f", 0, {P(7)})}}.build();
    EXPECT_EQ(outcome(vm), "ok:7");
    EXPECT_EQ(vm.call_depth(), 1u);
    EXPECT_EQ(vm.stack_depth(), 0u);
}

TEST(Calls, RecursionDepthIsBounded) {
    std::vector<Constant> k = {std::string("f")};
    Program p{{I(Op::LoadGlobal, 0), I(Op::Call, 0)}, k, {1, 1},
              {fn("f", 0, {I(Op::LoadGlobal, 0), I(Op::Call, 0), I(Op::Return)}, k)}};
    p.functions[0].lines = {4, 4, 4};
    VM vm = p.build();
    EXPECT_EQ(outcome(vm), "err:Line 4: Stack overflow: call depth limit exceeded");
    EXPECT_EQ(vm.call_depth(), VM::kMaxCallDepth);
    EXPECT_GE(VM::kMaxCallDepth, 10000u);
}

TEST(Calls, DeepButBoundedRecursionReturns) {
    // count(n) = n == 0 ? 0 : 1 + count(n - 1), 50,000 deep
    std::vector<Constant> k = {std::string("count")};
    FunctionEntry count = fn("count", 1,
                             {I(Op::LoadLocal, 0), P(0), I(Op::Eq), I(Op::JumpIfFalse, 6), P(0), I(Op::Return),
                              P(1), I(Op::LoadGlobal, 0), I(Op::LoadLocal, 0), P(1), I(Op::Sub), I(Op::Call, 1),
                              I(Op::Add), I(Op::Return)},
                             k);
    std::vector<Constant> top = {std::string("count"), int64_t{50000}};
    EXPECT_EQ(run(Program{{I(Op::LoadGlobal, 0), I(Op::LoadConst, 1), I(Op::Call, 1)}, top, {}, {count}}),
              "ok:50000");
}

// Classes: globals holding {__methods__, __parent__}; instances carry
// __class__.
struct ClassProgram {
    std::vector<Constant> k = {std::string("__class__"), std::string("B"),        std::string("__methods__"),
                               std::string("get"),       std::string("A.get"),    std::string("__parent__"),
                               std::string("A"),         std::string("x"),        std::string("nothing")};
    // A = {__methods__: {get: "A.get"}}; B = {__parent__: "A"}
    Code classes = {I(Op::LoadConst, 2), I(Op::LoadConst, 3), I(Op::LoadConst, 4), I(Op::MakeObject, 1),
                    I(Op::MakeObject, 1), I(Op::StoreGlobal, 6), I(Op::LoadConst, 5), I(Op::LoadConst, 6),
                    I(Op::MakeObject, 1), I(Op::StoreGlobal, 1)};
    // obj = {__class__: "B", x: 41} in register 0
    Code instance = {I(Op::LoadConst, 0), I(Op::LoadConst, 1), I(Op::LoadConst, 7), P(41), I(Op::MakeObject, 2),
                     I(Op::StoreLocal, 0)};
    // A.get(self) = self.x + 1
    FunctionEntry get = fn("A.get", 1, {I(Op::LoadLocal, 0), I(Op::LoadConst, 0), I(Op::GetIndex), P(1),
                                        I(Op::Add), I(Op::Return)},
                           {std::string("x")});

    Program with(Code tail) const {
        Code code = classes;
        code.insert(code.end(), instance.begin(), instance.end());
        code.insert(code.end(), tail.begin(), tail.end());
        return Program{code, k, {}, {get}};
    }
};

TEST(Calls, MethodsThroughParentChain) {
    ClassProgram c;
    EXPECT_EQ(run(c.with({I(Op::LoadLocal, 0), I(Op::LoadConst, 3), I(Op::GetIndex), I(Op::Call, 0)})), "ok:42");
    EXPECT_EQ(run(c.with({I(Op::LoadLocal, 0), I(Op::LoadConst, 3), I(Op::GetIndex)})), "ok:<method A.get>");
    EXPECT_EQ(run(c.with({I(Op::LoadLocal, 0), I(Op::LoadConst, 8), I(Op::GetIndex)})), "ok:nil");
    // An own member wins over the class's method.
    EXPECT_EQ(run(c.with({I(Op::LoadLocal, 0), I(Op::LoadConst, 3), P(5), I(Op::SetIndex), I(Op::LoadConst, 3),
                          I(Op::GetIndex)})),
              "ok:5");
}

TEST(Calls, MethodCacheKeepsFirstAnswer) {
    ClassProgram c;
    // Look up get (cached), then empty A's methods, then look it up again.
    Code tail = {I(Op::LoadLocal, 0), I(Op::LoadConst, 3), I(Op::GetIndex), I(Op::Pop),
                 I(Op::LoadConst, 2), I(Op::MakeObject, 0), I(Op::MakeObject, 1), I(Op::StoreGlobal, 6),
                 I(Op::LoadLocal, 0), I(Op::LoadConst, 3), I(Op::GetIndex), I(Op::Call, 0)};
    EXPECT_EQ(run(c.with(tail)), "ok:42");
}

TEST(Calls, CyclicParentChainIsNegative) {
    ClassProgram c;
    // A = {__parent__: "B"}, B = {__parent__: "A"}: no method anywhere.
    Code tail = {I(Op::LoadConst, 5), I(Op::LoadConst, 1), I(Op::MakeObject, 1), I(Op::StoreGlobal, 6),
                 I(Op::LoadLocal, 0), I(Op::LoadConst, 3), I(Op::GetIndex)};
    EXPECT_EQ(run(c.with(tail)), "ok:nil");
}

// Calls, method calls and returns run with and without the machine's fused
// handlers: results, messages with their lines, instruction counts and
// depths must agree, also when a run stops inside a call and is resumed.
TEST(Calls, FastPathsAgreeWithThePlainMachine) {
    auto observe_runs = [](Program p, bool fast) {
        for (size_t i = p.lines.size(); i < p.code.size(); ++i) p.lines.push_back(i + 1);
        for (FunctionEntry& f : p.functions)
            for (size_t i = f.lines.size(); i < f.code.size(); ++i) f.lines.push_back(100 + i);
        std::vector<Value> values;
        for (const Constant& c : p.constants) values.push_back(value_from_constant(c));
        VM vm(p.code, std::move(values), p.lines, FunctionTable(p.functions), VMOptions{fast});
        std::string out;
        for (int round = 0; round < 3; ++round) {
            out += outcome(vm);
            out += " n=" + std::to_string(vm.instructions_executed()) + " d=" + std::to_string(vm.stack_depth()) +
                   " c=" + std::to_string(vm.call_depth()) + "\n";
        }
        return out;
    };
    ClassProgram c;
    const uint64_t at = c.classes.size() + c.instance.size();  // index of the first tail instruction
    // sum = 0; repeat 3 times: sum = sum + obj.<k>()   (k = constant 3, "get")
    auto loop = [&](uint64_t k) {
        return Code{P(3), I(Op::StoreLocal, 1), P(0), I(Op::StoreLocal, 2),
                    I(Op::LoadLocal, 1), P(0), I(Op::Gt), I(Op::JumpIfFalse, at + 20),
                    I(Op::LoadLocal, 2), I(Op::LoadLocal, 0), I(Op::LoadConst, k), I(Op::GetIndex), I(Op::Call, 0),
                    I(Op::Add), I(Op::StoreLocal, 2),
                    I(Op::LoadLocal, 1), P(1), I(Op::Sub), I(Op::StoreLocal, 1), I(Op::Jump, at + 4),
                    I(Op::LoadLocal, 2)};
    };
    std::vector<Program> programs;
    programs.push_back(c.with(loop(3)));  // found through __parent__: 3 * 42
    programs.push_back(c.with(loop(8)));  // no such method: nil + int fails
    programs.push_back(c.with(loop(7)));  // an own member (41) is called: nil
    {
        // __methods__ names a function the table lacks: the calls give nil.
        Program p = c.with(loop(3));
        p.functions.clear();
        programs.push_back(p);
    }
    {
        // A.get calls itself through self.get() until the depth limit.
        Program p = c.with({I(Op::LoadLocal, 0), I(Op::LoadConst, 3), I(Op::GetIndex), I(Op::Call, 0)});
        p.functions[0] = fn("A.get", 1, {I(Op::LoadLocal, 0), I(Op::LoadConst, 0), I(Op::GetIndex), I(Op::Call, 0),
                                         I(Op::Return)},
                            {std::string("get")});
        programs.push_back(p);
    }
    {
        // A method without parameters still gets its receiver in register 0;
        // its code ends without Return, so the run ends inside the call.
        Program p = c.with({I(Op::LoadLocal, 0), I(Op::LoadConst, 3), I(Op::GetIndex), I(Op::Call, 0), P(5)});
        p.functions[0] = fn("A.get", 0, {I(Op::LoadLocal, 0), I(Op::LoadConst, 0), I(Op::GetIndex)},
                            {std::string("x")});
        programs.push_back(p);
    }
    // Return of a loaded register: inside a function, and at the top level.
    programs.push_back(Program{{I(Op::LoadGlobal, 0), P(7), I(Op::Call, 1), P(1), I(Op::StoreLocal, 0),
                                I(Op::LoadLocal, 0), I(Op::Return), P(2)},
                               {std::string("id")}, {}, {fn("id", 1, {I(Op::LoadLocal, 0), I(Op::Return)})}});
    for (size_t i = 0; i < programs.size(); ++i)
        EXPECT_EQ(observe_runs(programs[i], true), observe_runs(programs[i], false)) << "program " << i;
    EXPECT_EQ(observe_runs(programs[0], true), "ok:126 n=" + std::to_string(at + 4 + 3 * (16 + 6) + 4 + 1) +
                                                   " d=0 c=0\nok:nil n=" + std::to_string(at + 4 + 3 * 22 + 5) +
                                                   " d=0 c=0\nok:nil n=" + std::to_string(at + 4 + 3 * 22 + 5) +
                                                   " d=0 c=0\n");
    EXPECT_EQ(observe_runs(programs[5], true).substr(0, 5), "ok:41");
}

struct Recorder : NativeBinding {
    std::string seen;
    Result<Value> call(std::span<const Value> args) override {
        for (const Value& a : args) seen += display_text(a) + ";";
        if (!args.empty() && args[0].is_string() && args[0].as_string() == "fail")
            return Err(std::string("Native error: ValueError: bad"));
        return Value::integer(static_cast<int64_t>(args.size()));
    }
};

TEST(Calls, NativeBindings) {
    std::vector<Constant> k = {std::string("print"), std::string("fail")};
    auto rec = std::make_shared<Recorder>();
    VM vm = Program{{I(Op::LoadGlobal, 0), P(1), P(2), I(Op::Call, 2)}, k}.build();
    vm.install_native("print", rec);
    EXPECT_EQ(display_text(vm.global("print")), "<native print>");
    EXPECT_EQ(outcome(vm), "ok:2");
    EXPECT_EQ(rec->seen, "1;2;");
    VM bad = Program{{I(Op::LoadGlobal, 0), I(Op::LoadConst, 1), I(Op::Call, 1)}, k, {7, 7, 8}}.build();
    bad.install_native("print", rec);
    EXPECT_EQ(outcome(bad), "err:Line 8: Native error: ValueError: bad");
}

// f(n) = n == 0 ? 0 : 1 + f(n - 1) under the name `name`; with `inner`,
// f(0) = inner(300) instead.
FunctionEntry counter(const std::string& name, const std::string& inner = "") {
    Code base = inner.empty() ? Code{P(0), I(Op::Nop), I(Op::Nop), I(Op::Return)}
                              : Code{I(Op::LoadGlobal, 1), P(300), I(Op::Call, 1), I(Op::Return)};
    Code code = {I(Op::LoadLocal, 0), P(0), I(Op::Eq), I(Op::JumpIfFalse, 8)};
    code.insert(code.end(), base.begin(), base.end());
    for (Instruction in : {P(1), I(Op::LoadGlobal, 0), I(Op::LoadLocal, 0), P(1), I(Op::Sub), I(Op::Call, 1),
                           I(Op::Add), I(Op::Return)})
        code.push_back(in);
    return fn(name, 1, code, {name, inner});
}

// A native binding that calls back into the script (as a host callback
// does) deeper than the frames the machine had: the frame array moves under
// the calls still active, which then return through it.
struct CallBack : NativeBinding {
    VM* vm = nullptr;
    Result<Value> call(std::span<const Value> args) override { return vm->call(Value::function("deep"), args); }
};

TEST(Calls, NativeCallingBackGrowsTheFramesUnderActiveCalls) {
    std::vector<Constant> k = {std::string("outer"), int64_t{5}};
    // outer(5) = 5 + probe(300), where probe calls deep(300) = 300 + 0; or,
    // failing 301 levels down, 300 + nil (deep's innermost level calls an
    // undefined name).
    for (bool fails : {false, true}) {
        VM vm = Program{{I(Op::LoadGlobal, 0), I(Op::LoadConst, 1), I(Op::Call, 1)}, k, {},
                        {counter("outer", "probe"), fails ? counter("deep", "none") : counter("deep")}}
                    .build();
        auto probe = std::make_shared<CallBack>();
        probe->vm = &vm;
        vm.install_native("probe", probe);
        EXPECT_EQ(outcome(vm), fails ? "err:Type error: cannot apply add to int and nil" : "ok:305") << fails;
        EXPECT_EQ(vm.call_depth(), fails ? 6u : 0u);
        EXPECT_EQ(vm.stack_depth(), 0u);
    }
}

// The host's periodic check sees the depth of the calls active when it runs.
TEST(Calls, InterruptCheckSeesTheCallDepth) {
    struct Seen {
        VM* vm;
        std::string depths;
    };
    std::vector<Constant> k = {std::string("count"), int64_t{12}};
    VM vm = Program{{I(Op::LoadGlobal, 0), I(Op::LoadConst, 1), I(Op::Call, 1)}, k, {}, {counter("count")}}
                .build();
    Seen seen{&vm, ""};
    vm.set_check_interval(1);
    vm.set_interrupt_check(
        [](void* ctx) {
            Seen& s = *static_cast<Seen*>(ctx);
            s.depths += std::to_string(s.vm->call_depth()) + " ";
            return false;
        },
        &seen);
    EXPECT_EQ(outcome(vm), "ok:12");
    EXPECT_EQ(seen.depths, "0 1 2 3 4 5 6 7 8 9 10 11 12 ");
}

// A Return with nothing on the callee's operand stack gives nil and releases
// the window (its registers holding heap values).
TEST(Calls, ReturnWithAnEmptyStackGivesNil) {
    std::vector<Constant> k = {std::string("f"), std::string("")};
    FunctionEntry f = fn("f", 1, {I(Op::LoadLocal, 0), I(Op::MakeArray, 1), I(Op::StoreLocal, 1), I(Op::Return)});
    const Code shown = {I(Op::MakeArray, 2), I(Op::LoadConst, 1), I(Op::Concat)};
    Code generic = {P(3), I(Op::LoadGlobal, 0), P(1), I(Op::MakeArray, 1), I(Op::Call, 1)};
    generic.insert(generic.end(), shown.begin(), shown.end());
    EXPECT_EQ(run(Program{generic, k, {}, {f}}), "ok:\"[3, nil]\"");
    // Called through a fused head (a global, simple arguments).
    Code fused = {P(3), I(Op::LoadGlobal, 0), P(1), I(Op::Call, 1)};
    fused.insert(fused.end(), shown.begin(), shown.end());
    EXPECT_EQ(run(Program{fused, k, {}, {f}}), "ok:\"[3, nil]\"");
}


// `return a + b` in a function whose paths reach the Add with different
// stack depths: the sum when both operands are there, an underflow (not a
// register read as an operand) when one is missing.
TEST(Calls, AddReturnWhereStackDepthsDiffer) {
    std::vector<Constant> k = {std::string("f")};
    // f(a): a ? 2 + 3 : <nothing> + 3
    FunctionEntry f = fn("f", 1, {I(Op::LoadLocal, 0), I(Op::JumpIfFalse, 3), P(2), P(3), I(Op::Add), I(Op::Return)});
    auto call = [&](int a) { return run(Program{{I(Op::LoadGlobal, 0), P(a), I(Op::Call, 1)}, k, {}, {f}}); };
    EXPECT_EQ(call(1), "ok:5");
    EXPECT_EQ(call(0), "err:Stack underflow");
    // The same shape with one more value below: both paths have operands.
    FunctionEntry g = fn("f", 1, {P(1), I(Op::LoadLocal, 0), I(Op::JumpIfFalse, 4), P(2), P(3), I(Op::Add),
                                  I(Op::Return)});
    auto call_g = [&](int a) { return run(Program{{I(Op::LoadGlobal, 0), P(a), I(Op::Call, 1)}, k, {}, {g}}); };
    EXPECT_EQ(call_g(1), "ok:5");
    EXPECT_EQ(call_g(0), "ok:4");
}

// A call releases its callee exactly once, whether the callee returns a
// value, returns with an empty stack or fails: the caller's handle on the
// function keeps its count.
TEST(Calls, TheCalleeIsReleasedOnce) {
    std::vector<Constant> k = {std::string("x")};
    std::vector<FunctionEntry> fs = {
        fn("f", 1, {I(Op::LoadLocal, 0), I(Op::MakeArray, 1), I(Op::Return)}),
        fn("g", 0, {I(Op::Return)}),
        fn("h", 0, {P(1), I(Op::LoadConst, 0), I(Op::Sub), I(Op::Return)}, k),
    };
    VM vm = Program{{P(0)}, {}, {}, fs}.build();
    ASSERT_EQ(outcome(vm), "ok:0");
    Value f = Value::function("f"), g = Value::function("g"), h = Value::function("h");
    const std::vector<Value> args = {Value::string("a")};
    for (int i = 0; i < 3; ++i) {
        auto r = vm.call(f, args);
        ASSERT_TRUE(r.ok()) << r.error();
        EXPECT_EQ(display_text(r.value()), "[a]");
        ASSERT_TRUE(vm.call(g, {}).ok());
        EXPECT_FALSE(vm.call(h, {}).ok());
    }
    EXPECT_EQ(f.share_count(), 1u);
    EXPECT_EQ(g.share_count(), 1u);
    EXPECT_EQ(h.share_count(), 1u);
}
// ---------------------------------------------------------------- built-ins

struct BuiltinCase {
    std::string name;
    std::vector<Value> args;
    std::string expected;  // host display text
};

class Builtins : public ::testing::TestWithParam<BuiltinCase> {};

TEST_P(Builtins, Result) {
    const BuiltinCase& c = GetParam();
    int idx = builtin_index(c.name);
    ASSERT_GE(idx, 0);
    EXPECT_EQ(host_display_text(call_builtin(idx, c.args)), c.expected);
}

Value S(const char* s) { return Value::string(s); }
Value N(int64_t i) { return Value::integer(i); }
Value F(double d) { return Value::number(d); }

INSTANTIATE_TEST_SUITE_P(
    Table, Builtins,
    ::testing::Values(
        BuiltinCase{"str", {}, "\"nil\""}, BuiltinCase{"str", {F(2.5)}, "\"2.5\""},
        BuiltinCase{"int", {S("42")}, "42"}, BuiltinCase{"int", {S(" 42")}, "0"},
        BuiltinCase{"int", {S("4.2")}, "0"}, BuiltinCase{"int", {S("+7")}, "7"},
        BuiltinCase{"int", {S("-9223372036854775808")}, "-9223372036854775808"},
        BuiltinCase{"int", {S("9223372036854775808")}, "0"}, BuiltinCase{"int", {F(3.99)}, "3"},
        BuiltinCase{"int", {F(-3.99)}, "-3"}, BuiltinCase{"int", {F(1e300)}, "9223372036854775807"},
        BuiltinCase{"int", {F(std::nan(""))}, "0"}, BuiltinCase{"int", {Value::boolean(true)}, "1"},
        BuiltinCase{"float", {S("1e3")}, "1000.0"}, BuiltinCase{"float", {S("abc")}, "0.0"},
        BuiltinCase{"float", {S("inf")}, "inf"}, BuiltinCase{"float", {S("-1e400")}, "-inf"},
        BuiltinCase{"float", {S("nan(1)")}, "0.0"}, BuiltinCase{"float", {N(2)}, "2.0"},
        BuiltinCase{"len", {S("h\xC3\xA9")}, "3"}, BuiltinCase{"len", {N(5)}, "0"},
        BuiltinCase{"typeof", {Value::method(Value::object(), "m")}, "\"function\""},
        BuiltinCase{"typeof", {Value::native("n")}, "\"native_fn\""},
        BuiltinCase{"abs", {N(-5)}, "5"}, BuiltinCase{"abs", {N(kMin)}, "-9223372036854775808"},
        BuiltinCase{"abs", {S("s")}, "\"s\""}, BuiltinCase{"abs", {F(-0.5)}, "0.5"},
        BuiltinCase{"min", {N(1), F(2.5)}, "1.0"}, BuiltinCase{"min", {N(3), N(2)}, "2"},
        BuiltinCase{"max", {S("b"), S("a")}, "\"b\""}, BuiltinCase{"min", {N(1), S("a")}, "nil"},
        BuiltinCase{"min", {F(std::nan("")), F(1.0)}, "1.0"}, BuiltinCase{"max", {}, "nil"},
        BuiltinCase{"pow", {N(2), F(0.5)}, "1.4142135623730951"}, BuiltinCase{"pow", {S("a"), S("b")}, "1.0"},
        BuiltinCase{"sqrt", {N(-1)}, "NaN"}, BuiltinCase{"sqrt", {S("x")}, "0.0"},
        BuiltinCase{"sin", {S("x")}, "0.0"}, BuiltinCase{"cos", {N(0)}, "1.0"},
        BuiltinCase{"round", {F(2.5)}, "3.0"}, BuiltinCase{"round", {F(-2.5)}, "-3.0"},
        BuiltinCase{"round", {F(3.14159), N(2)}, "3.14"}, BuiltinCase{"round", {N(7)}, "7.0"},
        BuiltinCase{"round", {N(1234), N(-2)}, "1200.0"}, BuiltinCase{"round", {N(7), S("x")}, "7.0"},
        BuiltinCase{"round", {S("x")}, "0.0"},
        BuiltinCase{"range", {N(2), N(5)}, "[array:3]"}, BuiltinCase{"range", {N(5)}, "[array:0]"},
        BuiltinCase{"range", {N(-2)}, "[array:2]"}, BuiltinCase{"range", {S("a"), N(2)}, "[array:2]"}));

TEST(BuiltinsMisc, RangeAndRandAndClock) {
    Value r = call_builtin(builtin_index("range"), std::vector<Value>{N(-2)});
    EXPECT_EQ(display_text(r), "[-2, -1]");
    for (int i = 0; i < 100; ++i) {
        double x = call_builtin(builtin_index("rand"), {}).as_float();
        EXPECT_TRUE(x >= 0.0 && x < 1.0);
        double y = call_builtin(builtin_index("rand"), std::vector<Value>{N(5), N(10)}).as_float();
        EXPECT_TRUE(y >= 5.0 && y < 10.0);
    }
    EXPECT_GT(call_builtin(builtin_index("clock"), {}).as_float(), 1.6e9);
    EXPECT_EQ(builtin_index("nope"), -1);
}

// ---------------------------------------------------------------- robustness

TEST(Robustness, HugeRangeIsOutOfMemoryAndMachineStaysUsable) {
    std::vector<Constant> k = {std::string("range"), kMax};
    VM vm = Program{{I(Op::LoadGlobal, 0), P(0), I(Op::LoadConst, 1), I(Op::Call, 2), P(1), P(2), I(Op::Add)},
                    k}
                .build();
    EXPECT_EQ(outcome(vm), "err:Out of memory");
    EXPECT_EQ(vm.last_abort(), Abort::OutOfMemory);
    EXPECT_EQ(outcome(vm), "ok:3");
    EXPECT_EQ(vm.last_abort(), Abort::None);
}

// Jumps past the end of the code (forward, taken or not, from inside a loop
// and from fused tests) end the run as reaching the end does.
TEST(Robustness, JumpsPastTheEndEndTheRun) {
    const uint64_t far[] = {11, 12, uint64_t{1} << 40, ~uint64_t{0}};
    for (uint64_t to : far) {
        SCOPED_TRACE(to);
        for (bool fast : {true, false}) {
            VM a = Program{{P(1), I(Op::JumpIfTrue, to), P(7)}}.build(VMOptions{fast});
            EXPECT_EQ(outcome(a), "ok:nil");
            EXPECT_EQ(a.instructions_executed(), 2u);
            // r0 = 0; while r0 < 3 { r0 = r0 + 1 } then a jump far away.
            VM b = Program{{P(0), I(Op::StoreLocal, 0), I(Op::LoadLocal, 0), P(3), I(Op::Lt), I(Op::JumpIfFalse, to),
                            I(Op::LoadLocal, 0), P(1), I(Op::Add), I(Op::StoreLocal, 0), I(Op::Jump, 2)}}
                       .build(VMOptions{fast});
            EXPECT_EQ(outcome(b), "ok:nil");
            EXPECT_EQ(b.instructions_executed(), 2u + 4 * 4 + 3 * 5);
        }
    }
}

TEST(Robustness, InterruptStopsLoops) {
    int polls = 0;
    VM vm = Program{{I(Op::Nop), I(Op::Jump, 0)}}.build();
    vm.set_interrupt_check(
        [](void* ctx) {
            int& n = *static_cast<int*>(ctx);
            return ++n == 3;
        },
        &polls);
    EXPECT_EQ(outcome(vm), "err:Interrupted");
    EXPECT_EQ(vm.last_abort(), Abort::Interrupted);
    EXPECT_EQ(polls, 3);
    // An interrupted run resumes where it stopped: sum 0..9999.
    std::vector<Constant> k = {int64_t{10000}};
    VM sum = Program{{P(0), I(Op::StoreLocal, 0), P(0), I(Op::StoreLocal, 1),
                      I(Op::LoadLocal, 0), I(Op::LoadConst, 0), I(Op::Lt), I(Op::JumpIfFalse, 17),
                      I(Op::LoadLocal, 1), I(Op::LoadLocal, 0), I(Op::Add), I(Op::StoreLocal, 1),
                      I(Op::LoadLocal, 0), P(1), I(Op::Add), I(Op::StoreLocal, 0), I(Op::Jump, 4),
                      I(Op::LoadLocal, 1)},
                     k}
                  .build();
    sum.set_interrupt_check([](void*) { return true; }, nullptr);
    EXPECT_EQ(outcome(sum), "err:Interrupted");
    sum.set_interrupt_check(nullptr, nullptr);
    EXPECT_EQ(outcome(sum), "ok:49995000");
    EXPECT_EQ(sum.instructions_executed(), 4u + 10000u * 13u + 4u + 1u);
    // A jump to itself is a loop too.
    VM self = Program{{I(Op::Jump, 0)}}.build();
    self.set_interrupt_check([](void*) { return true; }, nullptr);
    EXPECT_EQ(outcome(self), "err:Interrupted");
}

TEST(Robustness, DeepValuesBuiltByTheLoop) {
    // r0 = []; repeat 200000 times: r0 = [r0]; then str(r0) and drop it.
    std::vector<Constant> k = {std::string("str"), int64_t{200000}};
    Code code = {I(Op::MakeArray, 0), I(Op::StoreLocal, 0), I(Op::LoadConst, 1), I(Op::StoreLocal, 1),
                 I(Op::LoadLocal, 1), P(0), I(Op::Gt), I(Op::JumpIfFalse, 16),
                 I(Op::LoadLocal, 0), I(Op::MakeArray, 1), I(Op::StoreLocal, 0),
                 I(Op::LoadLocal, 1), P(1), I(Op::Sub), I(Op::StoreLocal, 1), I(Op::Jump, 4),
                 I(Op::LoadGlobal, 0), I(Op::LoadLocal, 0), I(Op::Call, 1), I(Op::Len)};
    EXPECT_EQ(run(code, k), "ok:400002");
}

TEST(Robustness, LoopsThatGrowTheStackGetRoom) {
    // r0 counts to 200000 and each iteration leaves a 7 on the stack: on
    // every iteration, or on every other one (the loop's head is then reached
    // with different depths). The counter, on top of what was left, is the result.
    std::vector<Constant> k = {int64_t{200000}};
    const Code every = {P(0), I(Op::StoreLocal, 0), I(Op::LoadLocal, 0), I(Op::LoadConst, 0), I(Op::Lt),
                        I(Op::JumpIfFalse, 12), P(7), I(Op::LoadLocal, 0), P(1), I(Op::Add),
                        I(Op::StoreLocal, 0), I(Op::Jump, 2), I(Op::LoadLocal, 0)};
    const Code even = {P(0), I(Op::StoreLocal, 0), I(Op::LoadLocal, 0), I(Op::LoadConst, 0), I(Op::Lt),
                       I(Op::JumpIfFalse, 16), I(Op::LoadLocal, 0), P(2), I(Op::Mod), I(Op::JumpIfTrue, 11),
                       P(7), I(Op::LoadLocal, 0), P(1), I(Op::Add), I(Op::StoreLocal, 0), I(Op::Jump, 2),
                       I(Op::LoadLocal, 0)};
    for (bool fast : {true, false}) {
        for (const Code* code : {&every, &even}) {
            std::vector<Value> values;
            for (const Constant& c : k) values.push_back(value_from_constant(c));
            VM vm(*code, std::move(values), {}, FunctionTable(std::vector<FunctionEntry>{}), VMOptions{fast});
            EXPECT_EQ(outcome(vm), "ok:200000");
            EXPECT_EQ(vm.stack_depth(), code == &every ? 200000u : 100000u);  // the 7s
        }
    }
}

TEST(Robustness, AnElementHeldInAVariableIsNotReadThroughAJumpedIntoIndex) {
    // e = a[i]; a jump lands on the Add of `j = i + 1` with a 0 pushed in
    // place of the 1, so j is i and a[j] reads the held element before it
    // is written back. It must read 10, not a hole.
    const Code code = {P(10), P(20), I(Op::MakeArray, 2), I(Op::StoreLocal, 0), P(0), I(Op::StoreLocal, 1),
                       I(Op::LoadLocal, 0), I(Op::LoadLocal, 1), I(Op::GetIndex), I(Op::StoreLocal, 2),
                       I(Op::LoadLocal, 1), P(0), I(Op::Jump, 15), I(Op::LoadLocal, 1), P(1), I(Op::Add),
                       I(Op::StoreLocal, 3), I(Op::LoadLocal, 0), I(Op::LoadLocal, 3), I(Op::GetIndex),
                       I(Op::StoreLocal, 4), I(Op::LoadLocal, 0), I(Op::LoadLocal, 1), I(Op::LoadLocal, 2),
                       I(Op::SetIndex), I(Op::StoreLocal, 0), I(Op::LoadLocal, 4)};
    for (bool fast : {true, false}) {
        VM vm(code, {}, {}, FunctionTable(std::vector<FunctionEntry>{}), VMOptions{fast});
        EXPECT_EQ(outcome(vm), "ok:10") << (fast ? "fast" : "plain");
    }
}

TEST(Jit, BackwardJumpsAreReported) {
    VM vm = Program{{P(3), I(Op::StoreLocal, 0), I(Op::LoadLocal, 0), P(1), I(Op::Sub), I(Op::Dup),
                     I(Op::StoreLocal, 0), I(Op::JumpIfTrue, 2)}}
                .build();
    EXPECT_EQ(vm.jit(), nullptr);
    vm.enable_jit();
    ASSERT_NE(vm.jit(), nullptr);
    EXPECT_EQ(outcome(vm), "ok:nil");
    std::string stats = jit_stats_text(*vm.jit());
    EXPECT_NE(stats.find("Total traces: 1\n"), std::string::npos) << stats;
    EXPECT_NE(stats.find("Total executions: 2\n"), std::string::npos) << stats;
}

}  // namespace
