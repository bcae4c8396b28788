// Compiled code as whole listings, and the handlers the machine predecodes
// it to: the contract between the compiler and the machine's fast paths.
#include <gtest/gtest.h>

#include <memory>
#include <ostream>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "assemble.h"
#include "common/disassemble.h"
#include "parser/compiler.h"
#include "parser/lexer.h"
#include "parser/parser.h"
#include "vm_engine/optimizer.h"
#include "vm_engine/vm.h"

using namespace calvex;

namespace {

CompiledProgram compile(std::string_view source) {
    auto tokens = tokenize(source);
    EXPECT_TRUE(tokens.ok()) << source;
    if (!tokens.ok()) return {};
    auto tree = parse_program(std::move(*tokens));
    EXPECT_TRUE(tree.ok()) << source;
    if (!tree.ok()) return {};
    auto program = compile_program(*tree);
    EXPECT_TRUE(program.ok()) << source;
    return program.ok() ? std::move(*program) : CompiledProgram{};
}

const FunctionEntry* function(const CompiledProgram& p, std::string_view name) {
    for (const FunctionEntry& f : p.functions)
        if (f.name == name) return &f;
    ADD_FAILURE() << "no function " << name;
    return nullptr;
}

std::string listing(const CompiledProgram& p, std::string_view name) {
    const FunctionEntry* f = function(p, name);
    return f ? disassemble(f->code, f->constants) : std::string();
}

// The machine compile_and_run builds: top-level code optimised with the
// result-keeping rewrites, functions as compiled.
VM machine(CompiledProgram p) {
    Code code = optimize(p.code, nullptr, Rewrites::KeepResults);
    std::vector<Value> constants;
    for (const Constant& c : p.constants) constants.push_back(value_from_constant(c));
    return VM(std::move(code), std::move(constants), {}, FunctionTable(std::move(p.functions)));
}

}  // namespace

// A unit ("" for the top level) of a compiled program: its listing as the
// compiler wrote it, and the handlers the machine chose for it.
struct Case {
    const char* source;
    const char* unit;
    const char* code;
    const char* handlers;
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.source; }

class Compiled : public testing::TestWithParam<Case> {};

TEST_P(Compiled, ListingAndHandlers) {
    const Case& c = GetParam();
    CompiledProgram p = compile(c.source);
    const bool top = std::string_view(c.unit).empty();
    EXPECT_EQ(top ? disassemble(p.code, p.constants) : listing(p, c.unit), c.code);
    VM vm = machine(std::move(p));
    EXPECT_EQ(vm.handler_listing(c.unit), c.handlers);
}

// Element and member assignment change the container in place only when the
// store back into the same variable directly follows SetIndex (SetIndexLocal,
// SetIndexGlobal, SetIndexChain); a generic SetIndex here would copy the
// whole container on every assignment.
INSTANTIATE_TEST_SUITE_P(InPlace, Compiled, testing::Values(
    Case{"fn f(xs, i, v) { xs[i] = v }", "f",
         "LoadLocal 0; LoadLocal 1; LoadLocal 2; Dup; StoreLocal 3; SetIndex; StoreLocal 0; LoadLocal 3; Return",
         "LoadLocal2; LoadLocal; LoadLocal; Dup; StoreLocal; SetIndexStore; StoreLocal; LoadLocalReturn; Return"},
    Case{"fn f(o, v) { o.k = v }", "f",
         "LoadLocal 0; LoadConst 0 \"k\"; LoadLocal 1; Dup; StoreLocal 2; SetIndex; StoreLocal 0; LoadLocal 2; Return",
         "LoadLocalConst; LoadConst; LoadLocal; Dup; StoreLocal; SetIndexStore; StoreLocal; LoadLocalReturn; Return"},
    Case{"xs = [1, 2]\nfn f(i, v) { xs[i] = v }", "f",
         "LoadGlobal 0 \"xs\"; LoadLocal 0; LoadLocal 1; Dup; StoreLocal 2; SetIndex; StoreGlobal 1 \"xs\"; "
         "LoadLocal 2; Return",
         "LoadGlobal; LoadLocal2; LoadLocal; Dup; StoreLocal; SetIndexGlobal; StoreGlobal; LoadLocalReturn; Return"},
    Case{"fn f(m, i, j, v) { m[i][j] = v }", "f",
         "LoadLocal 0; Dup; LoadLocal 1; Dup; StoreLocal 4; GetIndex; LoadLocal 2; LoadLocal 3; Dup; StoreLocal 5; "
         "SetIndex; LoadLocal 4; Swap; SetIndex; StoreLocal 0; LoadLocal 5; Return",
         "NestedSetHead; Dup; LoadLocal; Dup; StoreLocal; GetIndex; LoadLocal2; LoadLocal; Dup; StoreLocal; "
         "NestedSetTail; LoadLocal; Swap; SetIndexStore; StoreLocal; LoadLocalReturn; Return"},
    // A nested element changed from its own value: the write's head and the
    // nested read are one step each, the chain writes back in place.
    Case{"fn f(m, y, x) { m[y][x] = m[y][x] + x * y }", "f",
         "LoadLocal 0; Dup; LoadLocal 1; Dup; StoreLocal 3; GetIndex; LoadLocal 2; LoadLocal 0; LoadLocal 1; "
         "GetIndex; LoadLocal 2; GetIndex; LoadLocal 2; LoadLocal 1; Mul; Add; Dup; StoreLocal 4; SetIndex; "
         "LoadLocal 3; Swap; SetIndex; StoreLocal 0; LoadLocal 4; Return",
         "NestedSetHead; Dup; LoadLocal; Dup; StoreLocal; GetIndex; LoadLocal; NestedGet; LoadLocal; GetIndex; "
         "LoadLocal; GetIndex; LLMA_Add; TLMA_Add; MA_Add; Add; Dup; StoreLocal; NestedSetTail; LoadLocal; Swap; "
         "SetIndexStore; StoreLocal; LoadLocalReturn; Return"},
    Case{"let xs = [1, 2]\nxs[0] = 5", "",
         "Push 1; Push 2; MakeArray 2; StoreLocal 0; LoadLocal 0; Push 0; Push 5; SetIndex; StoreLocal 0; Halt",
         "Push; Push; MakeArrayStore; StoreLocal; SetElemLocal; Push; Push; SetIndexStore; StoreLocal; Halt"}));

// Appending to a string held by one variable extends it in place
// (ConcatLocal); loops step their state in place (ForLoopLazy, which falls
// back to ForLoop for arrays); a method call looks the method up without
// copying the object (LoadLocalGetConst).
INSTANTIATE_TEST_SUITE_P(Fused, Compiled, testing::Values(
    Case{"fn g() { let s = \"\"\n let i = 0\n while i < 3 { s = f\"{s}a\"\n i = i + 1 }\n return s }", "g",
         "LoadConst 0 \"\"; StoreLocal 0; Push 0; StoreLocal 1; LoadLocal 1; Push 3; Lt; JumpIfFalse 17; "
         "LoadLocal 0; LoadConst 1 \"a\"; Concat; StoreLocal 0; LoadLocal 1; Push 1; Add; StoreLocal 1; Jump 4; "
         "LoadLocal 0; Return; Return",
         "LoadConstStore; StoreLocal; PushStore; StoreLocal; LPCJ_Lt_F; TPCJ_Lt_F; CJ_Lt_F; JumpIfFalse; LoadLocalConst; "
         "LoadConst; ConcatLocal; "
         "StoreLocal; SE_PP_Lt; TPAS_Add; AS_Add; StoreLocal; JB_LPCJ_Lt; LoadLocalReturn; Return; Return"},
    Case{"fn f(xs) { let t = 0\n for v in xs { t = t + v }\n return t }", "f",
         "Push 0; StoreLocal 1; LoadLocal 0; IterInit; StoreLocal 3; LoadLocal 3; IterNext; Swap; Dup; StoreLocal 3; "
         "LoadConst 0 nil; Eq; JumpIfTrue 19; StoreLocal 2; LoadLocal 1; LoadLocal 2; Add; StoreLocal 1; "
         "Jump 5; Pop; "
         "LoadLocal 1; Return; Return",
         "PushStore; StoreLocal; LoadLocal; IterInitLazy; StoreLocal; ForLoopLazy; IterNext; Swap; Dup; StoreLocal; "
         "LoadConst; CJ_Eq_T; JumpIfTrue; StoreLocal; LLAI_Add; TLAS_Add; AS_Add; StoreLocal; JumpBackForLazy; Pop; "
         "LoadLocalReturn; Return; Return"},
    // Elements at literal indexes read in one step each; the new array goes
    // straight to its variable.
    Case{"fn f(p) { let q = [p[2], p[0]]\n return q }", "f",
         "LoadLocal 0; Push 2; GetIndex; LoadLocal 0; Push 0; GetIndex; MakeArray 2; StoreLocal 1; "
         "LoadLocal 1; Return; Return",
         "LoadLocalGetPush; Push; GetIndex; LoadLocalGetPush; Push; GetIndex; MakeArrayStore; StoreLocal; "
         "LoadLocalReturn; Return; Return"},
    Case{"fn f(a, i) { while i > 0 { a[i] = 0\n i = i - 1 }\n return a }", "f",
         "LoadLocal 1; Push 0; Gt; JumpIfFalse 14; LoadLocal 0; LoadLocal 1; Push 0; SetIndex; StoreLocal 0; "
         "LoadLocal 1; Push 1; Sub; StoreLocal 1; Jump 0; LoadLocal 0; Return; Return",
         "LPCJ_Gt_F; TPCJ_Gt_F; CJ_Gt_F; JumpIfFalse; SetElemLocalLP; LoadLocalPush; Push; SetIndexStore; StoreLocal; "
         "SE_MP_Gt; TPAS_Sub; AS_Sub; StoreLocal; JB_LPCJ_Gt; LoadLocalReturn; Return; Return"},
    // A sum of weighted elements: the running sum and the element are
    // pushed in one step, the product is added and stored in another.
    Case{"fn f(a, k) { let s = 0\n while k > 0 { s = s + a[k] * (k + 1)\n s = s - a[k] * 2.5\n k = k - 1 }\n return s }", "f",
         "Push 0; StoreLocal 2; LoadLocal 1; Push 0; Gt; JumpIfFalse 29; LoadLocal 2; LoadLocal 0; LoadLocal 1; "
         "GetIndex; LoadLocal 1; Push 1; Add; Mul; Add; StoreLocal 2; LoadLocal 2; LoadLocal 0; LoadLocal 1; "
         "GetIndex; LoadConst 0 2.5; Mul; Sub; StoreLocal 2; LoadLocal 1; Push 1; Sub; StoreLocal 1; Jump 2; "
         "LoadLocal 2; Return; Return",
         "PushStore; StoreLocal; LPCJ_Gt_F; TPCJ_Gt_F; CJ_Gt_F; JumpIfFalse; LoadLocalGetLocal2; LoadLocalGetLocal; "
         "LoadLocal; GetIndex; LPA_Add; TPA_Add; Add; MAS_Add; AS_Add; StoreLocal; LoadLocalGetLocal2; "
         "LoadLocalGetLocal; LoadLocal; GetIndex; TKA_Mul; MAS_Sub; AS_Sub; StoreLocal; SE_MP_Gt; TPAS_Sub; AS_Sub; "
         "StoreLocal; JB_LPCJ_Gt; LoadLocalReturn; Return; Return"},
    // A member updated from its own value plus a product: the whole
    // statement is one step; updated otherwise, the write's pushes and the
    // read are one step.
    Case{"fn f(o, d) { while d > 0 { o.x = o.x + o.v * d\n d = d - 1 }\n return o }", "f",
         "LoadLocal 1; Push 0; Gt; JumpIfFalse 22; LoadLocal 0; LoadConst 0 \"x\"; LoadLocal 0; LoadConst 1 \"x\"; "
         "GetIndex; LoadLocal 0; LoadConst 2 \"v\"; GetIndex; LoadLocal 1; Mul; Add; SetIndex; StoreLocal 0; "
         "LoadLocal 1; Push 1; Sub; StoreLocal 1; Jump 0; LoadLocal 0; Return; Return",
         "LPCJ_Gt_F; TPCJ_Gt_F; CJ_Gt_F; JumpIfFalse; MemberUpdate; LoadConst; LoadLocalGetConst; LoadConst; "
         "GetIndex; MLA_Mul; LoadConst; GetIndex; TLMA_Add; MA_Add; Add; SetIndexStore; StoreLocal; "
         "SE_MP_Gt; TPAS_Sub; AS_Sub; StoreLocal; JB_LPCJ_Gt; LoadLocalReturn; Return; Return"},
    Case{"fn f(o, d) { while d > 0 { o.x = o.x * d\n d = d - 1 }\n return o }", "f",
         "LoadLocal 1; Push 0; Gt; JumpIfFalse 18; LoadLocal 0; LoadConst 0 \"x\"; LoadLocal 0; LoadConst 1 \"x\"; "
         "GetIndex; LoadLocal 1; Mul; SetIndex; StoreLocal 0; LoadLocal 1; Push 1; Sub; StoreLocal 1; Jump 0; "
         "LoadLocal 0; Return; Return",
         "LPCJ_Gt_F; TPCJ_Gt_F; CJ_Gt_F; JumpIfFalse; LoadLocalConstGet; LoadConst; LoadLocalGetConst; LoadConst; "
         "GetIndex; TLA_Mul; Mul; SetIndexStore; StoreLocal; SE_MP_Gt; TPAS_Sub; AS_Sub; StoreLocal; JB_LPCJ_Gt; "
         "LoadLocalReturn; Return; Return"},
    Case{"fn f(o, x) { return o.m(x) }", "f",
         "LoadLocal 0; LoadConst 0 \"m\"; GetIndex; LoadLocal 1; Call 1; Return; Return",
         "MethodCall; LoadConst; GetIndex; LoadLocal; CallSite; Return; Return"},
    // A comparison of a computed number with a constant: the compare and the
    // branch are one step.
    Case{"fn f(x, y) { if x * y > 4.0 { return 1 }\n return 2 }", "f",
         "LoadLocal 0; LoadLocal 1; Mul; LoadConst 0 4.0; Gt; JumpIfFalse 8; Push 1; Return; Push 2; Return; Return",
         "LLA_Mul; TLA_Mul; Mul; TKCJ_Gt_F; CJ_Gt_F; JumpIfFalse; Push; Return; Push; Return; Return"},
    // An element read into a variable that the code writes back before it
    // reads the array again.
    Case{"fn f(xs, i) { let o = xs[i]\n o.k = 1\n xs[i] = o }", "f",
         "LoadLocal 0; LoadLocal 1; GetIndex; StoreLocal 2; LoadLocal 2; LoadConst 0 \"k\"; Push 1; Dup; "
         "StoreLocal 3; SetIndex; StoreLocal 2; LoadLocal 3; LoadLocal 0; LoadLocal 1; LoadLocal 2; Dup; "
         "StoreLocal 3; SetIndex; StoreLocal 0; LoadLocal 3; Return",
         "LendElem; LoadLocal; GetIndex; StoreLocal; LoadLocalConst; LoadConst; Push; Dup; StoreLocal; "
         "SetIndexStore; StoreLocal; LoadLocal2; LoadLocal; LoadLocal2; LoadLocal; Dup; StoreLocal; SetIndexStore; "
         "StoreLocal; LoadLocalReturn; Return"},
    // ... but not when the array is read first.
    Case{"fn f(xs, i) { let o = xs[i]\n o.k = len(xs)\n xs[i] = o }", "f",
         "LoadLocal 0; LoadLocal 1; GetIndex; StoreLocal 2; LoadLocal 2; LoadConst 0 \"k\"; LoadGlobal 1 \"len\"; "
         "LoadLocal 0; Call 1; Dup; StoreLocal 3; SetIndex; StoreLocal 2; LoadLocal 3; LoadLocal 0; LoadLocal 1; "
         "LoadLocal 2; Dup; StoreLocal 3; SetIndex; StoreLocal 0; LoadLocal 3; Return",
         "LoadLocalGetLocal; LoadLocal; GetIndex; StoreLocal; LoadLocalConst; LoadConst; LoadGlobal; LoadLocal; CallSite; "
         "Dup; StoreLocal; SetIndexStore; StoreLocal; LoadLocal2; LoadLocal; LoadLocal2; LoadLocal; Dup; StoreLocal; "
         "SetIndexStore; StoreLocal; LoadLocalReturn; Return"},
    Case{"fn f(o) { return o.m() }", "f",
         "LoadLocal 0; LoadConst 0 \"m\"; GetIndex; Call 0; Return; Return",
         "MethodCall; LoadConst; GetIndex; CallSite; Return; Return"},
    // Top-level statements keep Dup; StoreLocal; Pop (DupStorePop).
    Case{"let s = \"\"\nfor c in \"ab\" { s = f\"{s}{c}!\" }", "",
         "LoadConst 0 \"\"; StoreLocal 0; LoadConst 1 \"ab\"; IterInit; StoreLocal 2; LoadLocal 2; IterNext; Swap; "
         "Dup; StoreLocal 2; LoadConst 2 nil; Eq; JumpIfTrue 23; StoreLocal 1; LoadLocal 0; LoadLocal 1; "
         "LoadConst 3 \"!\"; Concat; Concat; Dup; StoreLocal 0; Pop; Jump 5; Pop; Halt",
         "LoadConstStore; StoreLocal; LoadConst; IterInitLazy; StoreLocal; ForLoopLazy; IterNext; Swap; Dup; "
         "StoreLocal; LoadConst; CJ_Eq_T; JumpIfTrue; StoreLocal; "
         "LoadLocal2; LoadLocal; LoadConst; Concat; ConcatLocal; DupStorePop; StoreLocal; Pop; JumpBackForLazy; Pop; Halt"}));

// Calls of user functions held by globals and method calls, with arguments
// the head evaluates itself (CallGlobal, MethodCall); a call of a built-in,
// or one with an argument of another shape, keeps the generic steps. Every
// Call knows from the start whether its result overwrites a variable.
INSTANTIATE_TEST_SUITE_P(Calls, Compiled, testing::Values(
    Case{"fn g(a, b, c) { return a }\nfn f(x, y) { return g(x - 1, y * x, \"s\") }", "f",
         "LoadGlobal 0 \"g\"; LoadLocal 0; Push 1; Sub; LoadLocal 1; LoadLocal 0; Mul; LoadConst 1 \"s\"; Call 3; "
         "Return; Return",
         "CallGlobal; LPA_Sub; TPA_Sub; Sub; LLA_Mul; TLA_Mul; Mul; LoadConst; CallSite; Return; Return"},
    Case{"fn g(a) { return a }\nfn f(x) { x = g(x)\n x = len(x)\n return g(-x) }", "f",
         "LoadGlobal 0 \"g\"; LoadLocal 0; Call 1; Dup; StoreLocal 0; LoadGlobal 1 \"len\"; LoadLocal 0; Call 1; "
         "Dup; StoreLocal 0; LoadGlobal 2 \"g\"; LoadLocal 0; Neg; Call 1; Return; Return",
         "CallGlobal; LoadLocal; CallSite; Dup; StoreLocal; LoadGlobal; LoadLocal; CallSite; Dup; StoreLocal; "
         "LoadGlobal; LoadLocal; Neg; CallSite; Return; Return"},
    Case{"fn f(o, i) { return o.m(i % 7, 2) + o.k(1, 2, 3, 4, 5) }", "f",
         "LoadLocal 0; LoadConst 0 \"m\"; GetIndex; LoadLocal 1; Push 7; Mod; Push 2; Call 2; LoadLocal 0; "
         "LoadConst 1 \"k\"; GetIndex; Push 1; Push 2; Push 3; Push 4; Push 5; Call 5; Add; Return; Return",
         "MethodCall; LoadConst; GetIndex; LPA_Mod; TPA_Mod; Mod; Push; CallSite; LoadLocalGetConst; LoadConst; "
         "GetIndex; Push; Push; Push; Push; Push; CallSite; AddReturn; Return; Return"}));

// Arithmetic and comparisons with the stack top, an Int immediate or a Float
// constant as an operand are one step each; a division by a zero constant
// (or a remainder by -1) keeps the plain handlers and their error paths.
INSTANTIATE_TEST_SUITE_P(Arithmetic, Compiled, testing::Values(
    Case{"fn f(zr, zi, ci) { return 2.0 * zr * zi + ci }", "f",
         "LoadConst 0 2.0; LoadLocal 0; Mul; LoadLocal 1; Mul; LoadLocal 2; Add; Return; Return",
         "KLA_Mul; TLA_Mul; Mul; TLA_Mul; Mul; TLA_Add; AddReturn; Return; Return"},
    Case{"fn f(x, y) { let z = x * 0.5 - y / 2\n return z % 3 }", "f",
         "LoadLocal 0; LoadConst 0 0.5; Mul; LoadLocal 1; Push 2; Div; Sub; StoreLocal 2; LoadLocal 2; Push 3; Mod; "
         "Return; Return",
         "LKA_Mul; TKA_Mul; Mul; LPA_Div; TPA_Div; DAS_Sub; AS_Sub; StoreLocal; LPA_Mod; TPA_Mod; Mod; Return; Return"},
    Case{"fn f(x) { return [x / 0, x % 0.0, 1.5 / x] }", "f",
         "LoadLocal 0; Push 0; Div; LoadLocal 0; LoadConst 0 0.0; Mod; LoadConst 1 1.5; LoadLocal 0; Div; "
         "MakeArray 3; Return; Return",
         "LoadLocalPush; Push; Div; LoadLocalConst; LoadConst; Mod; KLA_Div; TLA_Div; Div; MakeArray; Return; Return"},
    Case{"fn f(x) { let n = 0\n while x < 2.5 { x = x + 0.25\n n = n + 1 }\n return n }", "f",
         "Push 0; StoreLocal 1; LoadLocal 0; LoadConst 0 2.5; Lt; JumpIfFalse 15; LoadLocal 0; LoadConst 1 0.25; Add; "
         "StoreLocal 0; LoadLocal 1; Push 1; Add; StoreLocal 1; Jump 2; LoadLocal 1; Return; Return",
         "PushStore; StoreLocal; LKCJ_Lt_F; TKCJ_Lt_F; CJ_Lt_F; JumpIfFalse; LKAS_Add; TKAS_Add; AS_Add; StoreLocal; "
         "LPAI_Add; TPAS_Add; AS_Add; StoreLocal; JumpBack; LoadLocalReturn; Return; Return"},
    Case{"fn f(a, b) { if a * b <= b { return 1 }\n if a - 1 != 3 { return 2 }\n return 3 }", "f",
         "LoadLocal 0; LoadLocal 1; Mul; LoadLocal 1; Le; JumpIfFalse 8; Push 1; Return; LoadLocal 0; Push 1; Sub; "
         "Push 3; Ne; JumpIfFalse 16; Push 2; Return; Push 3; Return; Return",
         "LLA_Mul; TLA_Mul; Mul; TLCJ_Le_F; CJ_Le_F; JumpIfFalse; Push; Return; LPA_Sub; TPA_Sub; Sub; TPCJ_Ne_F; "
         "CJ_Ne_F; JumpIfFalse; Push; Return; Push; Return; Return"},
    // Variables set to an immediate, a constant or another variable.
    Case{"fn f(x) { let y = x\n let z = 0.5\n let w = 3\n return y }", "f",
         "LoadLocal 0; StoreLocal 1; LoadConst 0 0.5; StoreLocal 2; Push 3; StoreLocal 3; LoadLocal 1; Return; Return",
         "LoadLocalStore; StoreLocal; LoadConstStore; StoreLocal; PushStore; StoreLocal; LoadLocalReturn; Return; "
         "Return"}));

TEST(Listings, ConstantsAreShownSoThatItemsStillSplit) {
    const std::vector<Constant> k = {std::monostate{}, true, int64_t{-7}, 2.5, std::string("a;b\"c\\\n")};
    Code code = {Instruction::make(Op::LoadConst, 0), Instruction::make(Op::LoadConst, 1),
                 Instruction::make(Op::LoadConst, 2), Instruction::make(Op::LoadConst, 3),
                 Instruction::make(Op::StoreGlobal, 4), Instruction::make(Op::LoadConst, 9),
                 Instruction::push(-3), Instruction::make(Op::JumpIfTrue, 0), Instruction::make(Op::Add)};
    EXPECT_EQ(disassemble(code, k),
              "LoadConst 0 nil; LoadConst 1 true; LoadConst 2 -7; LoadConst 3 2.5; "
              "StoreGlobal 4 \"a\\x3Bb\\x22c\\x5C\\x0A\"; LoadConst 9 <none>; Push -3; JumpIfTrue 0; Add");
}

TEST(Listings, TheAssemblerReadsListingsBack) {
    const char* text = "Push -5; LoadLocal 3; LoadConst 1; MakeObject 2; Call 4; JumpIfFalse 0; Jump 7; "
                       "StoreGlobal 2; Halt";
    EXPECT_EQ(disassemble(test_support::assemble(text)), text);
    // Every kind, with and without an operand.
    Code all;
    for (int k = 0; k < kOpCount; ++k) {
        const Op op = static_cast<Op>(k);
        all.push_back(op == Op::Push ? Instruction::push(k) : Instruction::make(op, op_has_operand(op) ? k : 0));
    }
    EXPECT_EQ(test_support::assemble(disassemble(all)), all);
}

TEST(Listings, HandlerListingOfAnUnknownFunctionIsEmpty) {
    VM vm = machine(compile("fn f() { return 1 }"));
    EXPECT_EQ(vm.handler_listing("g"), "");
    EXPECT_EQ(vm.handler_listing("f"), "Push; Return; Return");
}

namespace {

// A native function that records the heap cell of its first argument.
struct CellProbe : NativeBinding {
    std::vector<const void*> seen;
    Result<Value> call(std::span<const Value> args) override {
        seen.push_back(args.empty() ? nullptr : args[0].cell());
        return Value();
    }
};

// The cells `probe(...)` saw while `source` ran.
std::vector<const void*> probed_cells(const char* source, bool fast_paths) {
    CompiledProgram p = compile(source);
    std::vector<Value> constants;
    for (const Constant& c : p.constants) constants.push_back(value_from_constant(c));
    VM vm(std::move(p.code), std::move(constants), {}, FunctionTable(std::move(p.functions)),
          VMOptions{.fast_paths = fast_paths});
    auto probe = std::make_shared<CellProbe>();
    vm.install_native("probe", probe);
    EXPECT_TRUE(vm.execute().ok()) << source;
    return probe->seen;
}

}  // namespace

// The container a variable holds is changed where it is, not copied: the
// cell before and after the assignment is the same one. The reference
// machine (no fast paths) copies, which shows the probe can tell. (One
// assignment between the probes: a copy is made while the original is
// alive, so it cannot take the original's address.)
TEST(Listings, ElementAssignmentKeepsTheContainersCell) {
    const char* programs[] = {
        "let xs = [1, 2, 3]\nprobe(xs)\nxs[0] = 5\nprobe(xs)",
        "fn f() { let xs = [1, 2, 3]\n probe(xs)\n let i = 0\n while i < 1 { xs[i] = i\n i = i + 1 }\n probe(xs) }\nf()",
        "xs = [1, 2, 3]\nfn f() { probe(xs)\n xs[1] = 7\n probe(xs) }\nf()",
        "fn f() { let o = {k: 1}\n probe(o)\n o.j = 3\n probe(o) }\nf()",
        "fn f() { let m = [[1, 2], [3]]\n probe(m)\n m[0][1] = 9\n probe(m) }\nf()",
        "fn f() { let m = [[1, 2], [3]]\n let i = 0\n let j = 1\n probe(m[i])\n m[i][j] = m[i][j] + 1\n probe(m[i]) }\nf()",
        "fn f() { let m = [[1, 2], [3]]\n let i = 0\n let j = 1\n probe(m)\n m[i][j] = m[i][j] + 1\n probe(m) }\nf()",
        // An element changed through a variable and written back.
        "fn f() { let xs = [{k: 1}, {k: 2}]\n probe(xs[1])\n let i = 1\n let o = xs[i]\n o.k = 5\n xs[i] = o\n "
        "probe(xs[1]) }\nf()",
        // `x = g(x)`: the callee's argument is not shared with the variable.
        "fn g(xs) { probe(xs)\n xs[0] = 2\n probe(xs)\n return xs }\nfn f() { let a = [1, 2]\n a = g(a) }\nf()",
        // A method call leaves no handle on its receiver behind.
        "class C { fn m(self, x) { return x } }\n"
        "fn f() { let o = {__class__: \"C\", k: 1}\n probe(o)\n o.m(1)\n o.m(o.m(2), 3)\n o.k = 3\n probe(o) }\nf()",
    };
    for (const char* src : programs) {
        std::vector<const void*> fast = probed_cells(src, true), plain = probed_cells(src, false);
        ASSERT_EQ(fast.size(), 2u) << src;
        ASSERT_EQ(plain.size(), 2u) << src;
        EXPECT_NE(fast[0], nullptr) << src;
        EXPECT_EQ(fast[0], fast[1]) << src;
        EXPECT_NE(plain[0], plain[1]) << src;
    }
}

namespace {

// Every entry of a machine built from `source` until it has run `rounds`
// times: each result or error, the instruction count and the stack depth (a
// run after an error resumes after the failed instruction).
std::string resumed_runs(const char* source, bool fast_paths, int rounds) {
    CompiledProgram p = compile(source);
    std::vector<Value> constants;
    for (const Constant& c : p.constants) constants.push_back(value_from_constant(c));
    VM vm(std::move(p.code), std::move(constants), std::move(p.lines), FunctionTable(std::move(p.functions)),
          VMOptions{.fast_paths = fast_paths});
    std::string out;
    for (int round = 0; round < rounds; ++round) {
        Result<Value> r = vm.execute();
        out += (r.ok() ? "ok:" + display_text(r.value()) : "err:" + r.error()) +
               " n=" + std::to_string(vm.instructions_executed()) + " d=" + std::to_string(vm.stack_depth()) + "\n";
    }
    return out;
}

}  // namespace

// Failures between an element read into a variable and its write-back, and
// inside the arguments of method calls and of `x = f(x)`: the runs that
// resume after them see what the reference machine sees.
TEST(Listings, RunsResumedAfterFailuresAgree) {
    const char* programs[] = {
        "fn f(xs) { let i = 0\n while i < 3 { let o = xs[i]\n o.k = o.k * 2\n xs[i] = o\n i = i + 1 }\n"
        " return xs }\nlet r = f([{k: 1}, {k: \"b\"}, {k: 3}])\nr[0].k + r[1].k + r[2].k",
        "class C { fn m(self, a, b) { return self.k + a + b } }\n"
        "fn f(o) { let t = 0\n let i = 0\n while i < 3 { t = t + o.m(i, [i][1] + 1)\n i = i + 1 }\n return t }\n"
        "f({__class__: \"C\", k: 1})",
        "fn g(xs, v) { xs[0] = v + 1\n return xs }\n"
        "fn f() { let a = [0]\n let i = 0\n while i < 3 { a = g(a, a[0] + nil)\n i = i + 1 }\n return a }\nf()",
        // Nested writes whose value fails, and nested reads of missing rows.
        "fn f(m) { let i = -3\n while i < 3 { let j = 0\n while j < 2 { m[i][j] = m[i][j] + i * j\n j = j + 1 }\n"
        " i = i + 1 }\n return m }\nlet m = f([[1, 2], [\"a\", 4], [5, nil]])\nm[0][0] + m[1][1] + m[2][0]",
        "fn f(m) { let t = 0\n let i = -4\n while i < 4 { t = t + m[i][-1]\n i = i + 1 }\n return t }\n"
        "f([[1], [2, 3], [4]])",
        // Divisions reaching zero and operands that are not numbers inside
        // fused arithmetic and comparisons with constants.
        "fn f(x, d) { let t = 0.5\n let i = 0\n while i < 5 { t = t + 2.0 * x / d\n t = t - x % d * 1.5\n"
        " if t * 1.5 > 1000.0 { return t }\n if t - d < 0.25 { t = t + 1 }\n i = i + 1\n d = d - 1 }\n return t }\n"
        "f(3, 2) + f(2.5, 1) + f(\"a\", 1) + f(nil, 2.0)",
    };
    for (const char* src : programs) {
        std::string fast = resumed_runs(src, true, 8);
        EXPECT_EQ(fast, resumed_runs(src, false, 8)) << src;
        EXPECT_NE(fast.find("err:"), std::string::npos) << src;
    }
}
