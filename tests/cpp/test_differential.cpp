// The fast machine against the plain reference machine (VMOptions{false}) on
// programs that went through the front end: every program file of the
// language tests, and programs generated at random. Both machines must print
// the same and end with the same result or error.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

#include "parser/compiler.h"
#include "parser/lexer.h"
#include "parser/parser.h"
#include "vm_engine/optimizer.h"
#include "vm_engine/value.h"
#include "vm_engine/vm.h"

using namespace calvex;

namespace {

// ---------------------------------------------------------------- running

struct Outcome {
    bool finished = true;  // false: stopped by the run budget
    std::string output;
    std::string result;  // "ok:<display>" or "err:<message>", the instruction count and the stack depth
};

// Stops a run after this many interrupt checks (each every few thousand loop
// edges or calls), so that a generated program cannot run for long.
struct Budget {
    int checks_left = 400;
    static bool check(void* self) { return --static_cast<Budget*>(self)->checks_left < 0; }
};

// print writes to the process's stdout: collect it in a temporary file.
class CaptureStdout {
public:
    CaptureStdout() : file_(std::tmpfile()) {
        std::fflush(stdout);
        saved_ = dup(1);
        dup2(fileno(file_), 1);
    }
    std::string finish() {
        std::fflush(stdout);
        dup2(saved_, 1);
        close(saved_);
        std::string out;
        std::rewind(file_);
        char buf[4096];
        for (size_t n; (n = std::fread(buf, 1, sizeof buf, file_)) > 0;) out.append(buf, n);
        std::fclose(file_);
        return out;
    }

private:
    FILE* file_;
    int saved_ = -1;
};

Outcome run(const CompiledProgram& p, bool fast_paths) {
    std::vector<size_t> kept;
    Code code = optimize(p.code, &kept, Rewrites::KeepResults);
    LineTable lines;
    for (size_t k : kept) lines.push_back(k < p.lines.size() ? p.lines[k] : 0);
    std::vector<Value> constants;
    for (const Constant& c : p.constants) constants.push_back(value_from_constant(c));
    VM vm(std::move(code), std::move(constants), std::move(lines), FunctionTable(p.functions),
          VMOptions{fast_paths});
    Budget budget;
    vm.set_interrupt_check(&Budget::check, &budget);
    CaptureStdout capture;
    Result<Value> r = vm.execute();
    Outcome o;
    o.output = capture.finish();
    o.finished = vm.last_abort() == Abort::None;
    o.result = (r.ok() ? "ok:" + host_display_text(r.value()) : "err:" + r.error()) +
               " n=" + std::to_string(vm.instructions_executed()) + " d=" + std::to_string(vm.stack_depth());
    return o;
}

// The compiled program, or nullptr-like failure when the front end refuses.
bool front_end(const std::string& source, CompiledProgram& out) {
    auto tokens = tokenize(source);
    if (!tokens) return false;
    auto tree = parse_program(std::move(*tokens));
    if (!tree) return false;
    auto compiled = compile_program(*tree);
    if (!compiled) return false;
    out = std::move(*compiled);
    return true;
}

// Both machines on `source`; false when the front end refused it or a run
// hit the budget (nothing to compare).
bool agree(const std::string& source) {
    CompiledProgram p;
    if (!front_end(source, p)) return false;
    Outcome fast = run(p, true);
    Outcome plain = run(p, false);
    if (!fast.finished || !plain.finished) return false;
    EXPECT_EQ(fast.output, plain.output) << source;
    EXPECT_EQ(fast.result, plain.result) << source;
    return true;
}

// ---------------------------------------------------------------- generating

// Random programs over a few names, shaped to reach the machine's fast paths
// (element and member assignment written back, strings appended in place,
// for loops, method calls, arithmetic on locals and constants). They end by
// construction: loops count a fresh variable to a small bound, a function
// calls only functions defined before it, and an expression reads at most one
// variable, so no value grows faster than linearly.
class Gen {
public:
    explicit Gen(uint64_t seed) : rng_(seed) {}

    std::string program() {
        std::string out;
        int n = pick(3, 10);
        for (int i = 0; i < n; ++i) out += stmt(0) + "\n";
        return out;
    }

    // Arithmetic kernels alone, after the shared variables got numbers or
    // other values; some inside a function called with a number.
    std::string kernel_program() {
        std::string out;
        for (const char* v : {"a", "b", "c"}) out += std::string("let ") + v + " = " + (pick(0, 2) ? number() : literal()) + "\n";
        for (int k = pick(1, 3); k > 0; --k) {
            if (pick(0, 2)) {
                out += kernel() + "\n";
            } else {
                const std::string f = "f" + std::to_string(functions_++);
                out += "fn " + f + "(a) {\n" + kernel() + "\nreturn a }\nprint(" + f + "(" + number() + "))\n";
            }
        }
        return out;
    }

private:
    std::mt19937_64 rng_;
    int counter_ = 0;
    int functions_ = 0;  // f0..f{functions_-1} exist
    int loop_depth_ = 0;
    int reads_left_ = 1;

    int pick(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng_); }
    template <class T, size_t N>
    const T& one(const T (&xs)[N]) { return xs[pick(0, N - 1)]; }

    std::string var() {
        static const char* vars[] = {"a", "b", "c", "s", "xs", "o"};
        return one(vars);
    }
    std::string literal() {
        static const char* lits[] = {"0", "1", "2", "7", "-3", "255", "9223372036854775807", "0.5",
                                     "2.0", "1e308", "\"\"", "\"ab\"", "\"h\xc3\xa9\"", "nil", "true",
                                     "false", "[]", "{}", "[1, 2, 3]", "{k: 1, v: \"x\"}"};
        return one(lits);
    }
    std::string read() {
        if (reads_left_ <= 0) return literal();
        --reads_left_;
        return var();
    }

    std::string expr(int depth) {
        if (depth > 3) return pick(0, 1) ? literal() : read();
        static const char* ops[] = {"+", "-", "*", "/", "%", "**", "==", "!=", "<", "<=", ">", ">=",
                                    "and", "or", "&", "<<"};
        switch (pick(0, 14)) {
        case 0: case 1: return literal();
        case 2: case 3: return read();
        case 4: case 5: return expr(depth + 1) + " " + one(ops) + " " + expr(depth + 1);
        case 6: return std::string(pick(0, 1) ? "-" : "!") + expr(depth + 1);
        case 7: return "[" + expr(depth + 1) + ", " + literal() + "]";
        case 8: return "{k: " + expr(depth + 1) + ", v: " + literal() + "}";
        case 9: return reads_left_ > 0 ? read() + "[" + literal() + "]" : literal();
        case 10: return reads_left_ > 0 ? read() + "." + (pick(0, 1) ? "k" : "v") : literal();
        case 11: {
            static const char* builtins[] = {"len", "str", "typeof", "int", "float", "abs"};
            return std::string(one(builtins)) + "(" + expr(depth + 1) + ")";
        }
        case 12:
            if (functions_ == 0) return literal();
            return "f" + std::to_string(pick(0, functions_ - 1)) + "(" + expr(depth + 1) + ")";
        case 13: return "f\"<{ " + expr(depth + 1) + " }>\"";
        default: {
            // Method calls of several arities, also nested in the arguments
            // of one another on the same receiver.
            if (reads_left_ <= 0) return literal();
            std::string v = read();
            switch (pick(0, 4)) {
            case 0: return v + ".m()";
            case 1: return v + ".n(" + literal() + ", " + expr(depth + 1) + ")";
            case 2: return v + ".n(" + v + ".m(" + literal() + "), " + v + ".n())";
            case 3: return v + ".m(" + literal() + ", " + literal() + ", " + literal() + ")";
            default: return v + ".m(" + literal() + ")";
            }
        }
        }
    }

    std::string rhs() {
        reads_left_ = 1;
        return expr(0);
    }

    // Arithmetic over numeric variables, Int and Float constants (zeros
    // among them) and sometimes one of the shared variables, which may hold
    // anything: the operand shapes of the fused arithmetic and comparisons.
    // Every read may repeat, as only numbers come out (or an error).
    std::string number() {
        static const char* nums[] = {"0", "1", "2", "3", "-1", "7", "9223372036854775807", "0.0", "0.5",
                                     "2.0", "2.5", "-1.5", "1e308", "0.1"};
        return one(nums);
    }
    std::string term(const std::vector<std::string>& vars, int depth) {
        switch (pick(0, 5)) {
        case 0: case 1: return number();
        case 2: return depth < 2 ? "(" + arith(vars, depth + 1) + ")" : number();
        case 3: return pick(0, 3) ? vars[pick(0, vars.size() - 1)] : var();
        default: return vars[pick(0, vars.size() - 1)];
        }
    }
    std::string arith(const std::vector<std::string>& vars, int depth) {
        static const char* ops[] = {"+", "-", "*", "/", "%"};
        std::string out = term(vars, depth);
        for (int k = pick(1, 3); k > 0; --k) out += std::string(" ") + one(ops) + " " + term(vars, depth);
        return out;
    }
    std::string condition(const std::vector<std::string>& vars) {
        static const char* cmps[] = {"<", "<=", ">", ">=", "==", "!="};
        std::string rhs = pick(0, 2) ? number() : term(vars, 1);
        return (pick(0, 1) ? arith(vars, 1) : term(vars, 1)) + " " + one(cmps) + " " + rhs;
    }
    std::string kernel() {
        const std::string x = "x" + std::to_string(counter_++), y = "y" + std::to_string(counter_++),
                          i = "i" + std::to_string(counter_++);
        const std::vector<std::string> vars = {x, y, i};
        std::string out = "let " + x + " = " + number() + "\nlet " + y + " = " + number() + "\nlet " + i + " = 0\n";
        // A counted loop, or one stepping a Float towards a Float bound.
        if (pick(0, 1))
            out += "while " + i + " < " + std::to_string(pick(0, 4)) + " { " + i + " = " + i + " + 1\n";
        else
            out += "while " + x + " < " + number() + " { " + x + " = " + x + " + 0.75\n " + i + " = " + i + " + 1\n" +
                   "if " + i + " > 4 { break }\n";
        for (int k = pick(1, 3); k > 0; --k) {
            const std::string& v = pick(0, 1) ? x : y;
            switch (pick(0, 2)) {
            case 0: out += v + " = " + arith(vars, 0) + "\n"; break;
            case 1:
                out += "if " + condition(vars) + " { " + v + " = " + arith(vars, 0) + " } else { " + y + " = " +
                       term(vars, 0) + " }\n";
                break;
            default: out += "if " + condition(vars) + " { break }\n"; break;
            }
        }
        return out + "}\nprint(" + x + ")\nprint(" + y + ")";
    }

    // Statements of a body, without its braces.
    std::string body(int depth) {
        std::string out;
        int n = pick(0, 3);
        for (int i = 0; i < n; ++i) out += stmt(depth + 1) + "\n";
        return out;
    }
    std::string block(int depth) { return "{ " + body(depth) + "}"; }

    std::string stmt(int depth) {
        if (depth > 2) return "print(" + rhs() + ")";
        switch (pick(0, 21)) {
        case 20: case 21:
            if (loop_depth_ >= 2) return "print(" + rhs() + ")";
            return kernel();
        case 0: case 1: return "let " + var() + " = " + rhs();
        case 2: case 3: return var() + " = " + rhs();
        case 4: return "print(" + rhs() + ")";
        case 5: {
            std::string v = var();
            return v + "[" + literal() + "] = " + rhs();
        }
        case 6: {
            std::string v = var();
            return v + "." + (pick(0, 1) ? "k" : "v") + " = " + rhs();
        }
        case 7: {
            std::string v = var();
            return v + " = f\"{" + v + "}" + (pick(0, 1) ? "x" : "\xc3\xa9") + "\"";
        }
        case 8: {
            if (loop_depth_ >= 2) return "print(" + rhs() + ")";
            std::string i = "i" + std::to_string(counter_++);
            ++loop_depth_;
            std::string inner = body(depth);
            --loop_depth_;
            return "let " + i + " = 0\nwhile " + i + " < " + std::to_string(pick(0, 4)) + " { " + i +
                   " = " + i + " + 1\n" + inner + "}";
        }
        case 9: {
            if (loop_depth_ >= 2) return "print(" + rhs() + ")";
            ++loop_depth_;
            std::string over = pick(0, 1) ? "range(0, " + std::to_string(pick(0, 4)) + ")" : rhs();
            std::string inner = block(depth);
            --loop_depth_;
            return "for " + var() + " in " + over + " " + inner;
        }
        case 10: return "if " + rhs() + " " + block(depth) + " else " + block(depth);
        case 11:
            if (loop_depth_ > 0) return pick(0, 1) ? "break" : "continue";
            return "print(" + rhs() + ")";
        case 12: {
            // A function sees only the functions defined before it.
            int saved_loops = loop_depth_;
            loop_depth_ = 0;
            std::string inner = body(depth);
            loop_depth_ = saved_loops;
            std::string name = "f" + std::to_string(functions_++);
            return "fn " + name + "(a) { " + inner + "return " + rhs() + " }";
        }
        case 13: {
            std::string method = pick(0, 1) ? "return self.k" : "return [self.v, x]";
            return "class P { fn m(self, x) { " + method + " } fn n(self, x, y) { return f\"{x}{y}\" } }\n" + var() +
                   " = {__class__: \"P\", k: " + literal() + ", v: " + literal() + "}";
        }
        case 14: return "match " + rhs() + " { case 1: print(\"one\") case \"ab\": print(\"ab\") }";
        case 15: {
            // An element changed through a variable and written back.
            std::string v = var(), i = "i" + std::to_string(counter_++), e = "e" + std::to_string(counter_++);
            static const char* index[] = {"0", "1", "-1", "3"};
            std::string out = "let " + i + " = " + one(index) + "\nlet " + e + " = " + v + "[" + i + "]\n" + e +
                              "." + (pick(0, 1) ? "k" : "v") + " = " + rhs() + "\n";
            if (pick(0, 3) == 0) out += "print(" + v + ")\n";
            if (pick(0, 3) == 0) out += v + "[" + i + "] = 7\n";
            return out + v + "[" + i + "] = " + e;
        }
        case 16:
            // A variable passed to a function and overwritten by its result.
            if (functions_ == 0) return "print(" + rhs() + ")";
            {
                std::string v = var();
                return v + " = f" + std::to_string(pick(0, functions_ - 1)) + "(" + v + ")";
            }
        case 17: {
            // A nested element changed from its own value, with keys in
            // variables; the row may be shared with another variable.
            std::string v = var(), w = var(), i = "i" + std::to_string(counter_++),
                        j = "j" + std::to_string(counter_++);
            static const char* index[] = {"0", "1", "-1", "2", "-3"};
            std::string out = "let " + i + " = " + one(index) + "\nlet " + j + " = " + one(index) + "\n";
            if (pick(0, 1)) out += "let " + v + " = [[1, 2.5], [\"ab\", 4]]\n";
            const bool alias = pick(0, 1);
            if (alias) out += w + " = " + v + "[" + i + "]\n";
            out += v + "[" + i + "][" + j + "] = " + v + "[" + i + "][" + j + "] + " + rhs() + "\n";
            return out + "print(" + v + "[" + i + "][" + j + "]" + (alias ? ", " + w + "[" + j + "]" : "") + ")";
        }
        case 18: {
            // Members read by a key in a variable (a missing one may name a
            // method), and the characters of a string compared with
            // one-character constants and counted in an object.
            std::string v = var(), k = "k" + std::to_string(counter_++), ch = "c" + std::to_string(counter_++);
            static const char* keys[] = {"\"k\"", "\"v\"", "\"m\"", "\"zz\"", "1"};
            if (pick(0, 1)) return "let " + k + " = " + one(keys) + "\nprint(" + v + "[" + k + "])";
            return "let " + k + " = {}\nfor " + ch + " in \"a b\xc3\xa9 a\" { if " + ch + " == \" \" { print(" + k +
                   ") } else { let n = " + k + "[" + ch + "]\nif n == nil { " + k + "[" + ch + "] = 1 } else { " + k +
                   "[" + ch + "] = n + 1 } } }\nprint(" + k + ")";
        }
        default: {
            // An expression statement; one starting with a bracket would
            // continue the line before it.
            std::string e = rhs();
            return e[0] == '[' || e[0] == '{' ? "print(" + e + ")" : e;
        }
        }
    }
};

// ---------------------------------------------------------------- tests

TEST(Differential, ProgramFilesRunAlikeOnBothMachines) {
    namespace fs = std::filesystem;
    size_t compared = 0;
    ASSERT_TRUE(fs::is_directory("tests/programs")) << "run from the source root";
    for (const auto& entry : fs::recursive_directory_iterator("tests/programs")) {
        if (entry.path().extension() != ".cx") continue;
        std::ifstream in(entry.path(), std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        SCOPED_TRACE(entry.path().string());
        if (agree(text.str())) ++compared;
    }
    EXPECT_GT(compared, 30u);
}

TEST(Differential, GeneratedProgramsRunAlikeOnBothMachines) {
    size_t compared = 0;
    const int kPrograms = 2000;
    for (int seed = 0; seed < kPrograms; ++seed) {
        std::string source = Gen(static_cast<uint64_t>(seed)).program();
        SCOPED_TRACE("seed " + std::to_string(seed));
        if (agree(source)) ++compared;
        if (::testing::Test::HasFailure()) break;
    }
    // Most generated programs compile and finish within the budget.
    EXPECT_GT(compared, kPrograms * 3 / 4);
}

TEST(Differential, GeneratedArithmeticRunsAlikeOnBothMachines) {
    size_t compared = 0;
    const int kPrograms = 1500;
    for (int seed = 0; seed < kPrograms; ++seed) {
        std::string source = Gen(static_cast<uint64_t>(seed) + 1000000).kernel_program();
        SCOPED_TRACE("seed " + std::to_string(seed));
        if (agree(source)) ++compared;
        if (::testing::Test::HasFailure()) break;
    }
    EXPECT_GT(compared, kPrograms * 3 / 4);
}

}  // namespace
