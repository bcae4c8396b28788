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

// The machine compile_and_run builds for `p`: top-level code optimised with
// the result-keeping rewrites, its line table following the kept instructions.
VM machine(const CompiledProgram& p, VMOptions options) {
    std::vector<size_t> kept;
    Code code = optimize(p.code, &kept, Rewrites::KeepResults);
    LineTable lines;
    for (size_t k : kept) lines.push_back(k < p.lines.size() ? p.lines[k] : 0);
    std::vector<Value> constants;
    for (const Constant& c : p.constants) constants.push_back(value_from_constant(c));
    return VM(std::move(code), std::move(constants), std::move(lines), FunctionTable(p.functions), options);
}

Outcome run(const CompiledProgram& p, bool fast_paths) {
    VM vm = machine(p, VMOptions{fast_paths});
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

    // Loops whose variable steps right before the loop's edge, alone.
    std::string stepped_loops_program() {
        std::string out;
        for (int k = pick(1, 3); k > 0; --k) out += stepped_loop() + "\n";
        return out;
    }

private:
    std::mt19937_64 rng_;
    int counter_ = 0;
    std::string elements_;  // the array of numbers of the kernel being generated
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
        switch (pick(0, 6)) {
        case 0: case 1: return number();
        case 2: return depth < 2 ? "(" + arith(vars, depth + 1) + ")" : number();
        case 6:  // an element of the kernel's numbers, by its counter
            return elements_.empty() ? number() : elements_ + "[" + vars[2] + "]";
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
        elements_ = "w" + std::to_string(counter_++);
        out += "let " + elements_ + " = [";
        for (int k = 0; k < 6; ++k) out += (k ? ", " : "") + number();
        out += "]\n";
        // A counted loop, or one stepping a Float towards a Float bound.
        if (pick(0, 1))
            out += "while " + i + " < " + std::to_string(pick(0, 4)) + " { " + i + " = " + i + " + 1\n";
        else
            out += "while " + x + " < " + number() + " { " + x + " = " + x + " + 0.75\n " + i + " = " + i + " + 1\n" +
                   "if " + i + " > 4 { break }\n";
        for (int k = pick(1, 3); k > 0; --k) {
            const std::string& v = pick(0, 1) ? x : y;
            switch (pick(0, 3)) {
            case 0: out += v + " = " + arith(vars, 0) + "\n"; break;
            case 3: {  // a product (or quotient) of two computed numbers taken into a sum; the second may
                       // be a step of a variable
                static const char* steps[] = {"1", "2", "-3", "0"};
                const std::string step = vars[pick(0, 2)] + (pick(0, 1) ? " + " : " - ") + one(steps);
                out += v + " = " + v + (pick(0, 1) ? " + " : " - ") + term(vars, 1) + (pick(0, 2) ? " * (" : " / (") +
                       (pick(0, 1) ? arith(vars, 1) : step) + ")\n";
                break;
            }
            case 1:
                out += "if " + condition(vars) + " { " + v + " = " + arith(vars, 0) + " } else { " + y + " = " +
                       term(vars, 0) + " }\n";
                break;
            default: out += "if " + condition(vars) + " { break }\n"; break;
            }
        }
        elements_.clear();
        return out + "}\nprint(" + x + ")\nprint(" + y + ")";
    }

    std::string stepped_loop() {
        // A loop whose variable steps right before the loop's edge and is
        // tested against a local or a number. The variable, the step or
        // the bound may change kind on the way, or the step saturate.
        const std::string n = std::to_string(counter_++);
        const std::string v = "v" + n, b = "b" + n, q = "q" + n, g = "g" + n;
        static const char* starts[] = {"0", "3", "2.5", "9223372036854775806", "-9223372036854775807", "\"s\""};
        static const char* bounds[] = {"4", "0", "2.5", "9223372036854775807", "-9223372036854775807", "nil"};
        static const char* steps[] = {"1", "2", "0.5", "-1"};
        static const char* cmps[] = {" < ", " <= ", " > ", " >= ", " == ", " != "};
        std::string out = "let " + v + " = " + one(starts) + "\nlet " + b + " = " + one(bounds) + "\nlet " + q +
                          " = " + one(steps) + "\nlet " + g + " = 0\n";
        out += "while " + v + one(cmps) + (pick(0, 1) ? b : std::to_string(pick(-3, 5))) + " {\n" + g + " = " + g +
               " + 1\nif " + g + " > 5 { break }\nprint(" + v + ")\n";
        // Sometimes a sum of elements (which may saturate, mix kinds, or
        // run past the array's end) along the way.
        if (pick(0, 1)) {
            static const char* sums[] = {"0", "9223372036854775000", "-9223372036854775000", "0.5", "\"s\""};
            const std::string t = "t" + n, e = "e" + n;
            out = "let " + t + " = " + one(sums) + "\nlet " + e +
                  " = [1, 9223372036854775807, -9223372036854775807, 2.5, 3]\n" + out + t + " = " + t + " + " + e +
                  "[" + g + (pick(0, 1) ? "" : " - 1") + "]\nprint(" + t + ")\n";
        }
        switch (pick(0, 3)) {
        case 0: out += "if " + g + " == 3 { " + v + " = 1.5 }\n"; break;
        case 1: out += "if " + g + " == 2 { " + b + " = 2.5 }\n"; break;
        case 2: out += "if " + g + " == 2 { " + q + " = 0.25 }\n"; break;
        default: break;
        }
        const std::string k = std::to_string(pick(1, 2));
        switch (pick(0, 3)) {
        case 0: out += v + " = " + v + " + " + k + "\n"; break;
        case 1: out += v + " = " + v + " - " + k + "\n"; break;
        case 2: out += v + " = " + v + " + " + q + "\n"; break;
        default: out += q + " = " + q + " + " + k + "\n"; break;  // not the tested variable
        }
        out += "}\nprint(" + v + ", " + g + ")";
        if (pick(0, 1)) return out;
        const std::string f = "f" + std::to_string(functions_++);
        return "fn " + f + "(a) {\n" + out + "\nreturn a }\nprint(" + f + "(" + literal() + "))";
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
        switch (pick(0, 27)) {
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
            // A member written through a constant key, a key held in a
            // variable, or a key text made at run time (its only handle is
            // the one on the stack), on an object that may be shared with
            // another variable, which must keep the old member. Fresh local
            // variables take the fused forms (the shared names are globals
            // at the top level).
            std::string v = var(), w = var(), key = pick(0, 1) ? "k" : "v";
            const bool alias = pick(0, 2) == 0;
            std::string out;
            if (pick(0, 1)) {
                std::string from = pick(0, 1) ? v : pick(0, 1) ? "{k: 1, v: \"x\"}" : "{k: 1, v: 2.5}";
                v = "m" + std::to_string(counter_++);
                w = "m" + std::to_string(counter_++);
                out = "let " + v + " = " + from + "\nlet " + w + " = 0\n";
            }
            if (alias) out += w + " = " + v + "\n";
            // A value that is more than one push takes the member-write step
            // of its own, one that is a single push the fused element write.
            // A member may be updated from its own value.
            const int shape = pick(0, 2);
            const std::string value = shape == 0   ? "[" + rhs() + "]"
                                    : shape == 1 ? rhs()
                                                 : v + "." + key + " + " + rhs();
            switch (pick(0, 3)) {
                case 0: {
                    std::string k = "k" + std::to_string(counter_++);
                    out += "let " + k + " = \"" + key + "\"\n" + v + "[" + k + "] = " + value;
                    break;
                }
                case 1: out += v + "[f\"{\"\"}" + key + "\"] = " + value; break;
                default:
                    // Repeated, so that the member caches of the sites are
                    // filled when they run again.
                    if (shape == 2) out += "for q" + std::to_string(counter_++) + " in range(0, 3) { ";
                    out += v + "." + key + " = " + value;
                    if (shape == 2) out += " }";
                    break;
            }
            return alias ? out + "\nprint(" + w + ".k, " + w + ".v)" : out;
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
        case 22: {
            // A function's global given another function or another value
            // between calls; a function that then calls itself through it
            // ends at the depth limit.
            if (functions_ == 0) return "print(" + rhs() + ")";
            std::string f = "f" + std::to_string(pick(0, functions_ - 1));
            std::string to = pick(0, 2) ? "f" + std::to_string(pick(0, functions_ - 1)) : literal();
            return f + " = " + to + "\nprint(" + f + "(" + rhs() + "))";
        }
        case 23: {
            // Recursion through a global and through a method, down to 0 or
            // (from a huge or fractional start) to the depth limit.
            std::string name = "f" + std::to_string(functions_++);
            std::string v = var();
            return "fn " + name + "(a) { if a > 0 { return " + name + "(a - 1) + 1 }\nreturn a }\n" +
                   "class Q { fn down(self, a, b) { if a > 0 { return self.down(a - 1, b) } return [a, b] } }\n" + v +
                   " = {__class__: \"Q\"}\nprint(" + name + "(" + rhs() + "), " + v + ".down(" + literal() + ", " +
                   literal() + "))";
        }
        case 24: {
            // An element held in a variable while an inner loop reads and
            // writes the elements after it (or, in some shapes, the same
            // one, or counts from a negative index), then written back.
            if (loop_depth_ > 0) return "print(" + rhs() + ")";
            std::string v = var(), i = "i" + std::to_string(counter_++), j = "j" + std::to_string(counter_++),
                        e = "e" + std::to_string(counter_++), o = "e" + std::to_string(counter_++);
            static const char* starts[] = {"0", "1", "-2", "-4"};
            static const char* inner[] = {" + 1", " + 1", " + 2", " + 0", ""};
            static const char* steps[] = {"1", "1", "2"};
            const bool in_function = pick(0, 1);
            std::string out;
            if (in_function || pick(0, 3))
                out += "let " + v + " = [{k: 1, v: 2}, {k: 3, v: 4.5}, {k: \"a\", v: 6}, {k: 7, v: 8}]\n";
            out += "let " + i + " = " + one(starts) + "\nwhile " + i + " < 4 {\nlet " + e + " = " + v + "[" + i +
                   "]\nlet " + j + " = " + i + one(inner) + "\nwhile " + j + " < 4 {\n";
            switch (pick(0, 3)) {
            case 0: out += "let " + o + " = " + v + "[" + j + "]\n" + o + ".v = " + o + ".v + 1\n" + v + "[" + j + "] = " + o + "\n"; break;
            case 1: out += v + "[" + j + "] = " + literal() + "\n"; break;
            case 2: out += "print(" + v + "[" + i + "])\n"; break;
            default: out += "print(" + v + "[" + j + "])\n"; break;
            }
            out += e + ".k = " + e + ".k + " + (pick(0, 1) ? literal() : j) + "\n" + j + " = " + j + " + " + one(steps) +
                   "\n}\n" + v + "[" + i + "] = " + e + "\n" + i + " = " + i + " + 1\n}\nprint(" + v + ")";
            if (!in_function) return out;
            const std::string f = "f" + std::to_string(functions_++);
            return "fn " + f + "(a) {\n" + out + "\nreturn a }\nprint(" + f + "(" + literal() + "))";
        }
        case 25: {
            // Members updated from their own value and a variable, a number,
            // a member (maybe missing) or a product of two of those, inside a
            // loop so that the member sites' positions are filled, on an
            // object that may be shared with another variable.
            if (loop_depth_ > 0) return "print(" + rhs() + ")";
            const std::string f = "f" + std::to_string(functions_++), n = std::to_string(counter_++);
            const std::string o = "o" + n, p = "p" + n, q = "q" + n, y = "y" + n;
            auto value = [&] { return pick(0, 5) ? number() : literal(); };
            std::string out = "fn " + f + "(a) {\nlet " + o + " = {x: " + value() + ", v: " + value() + "}\nlet " + p +
                              " = {w: " + value() + ", z: " + (pick(0, 1) ? "2" : "2.0") + "}\nlet " + q + " = 0\nlet " + y +
                              " = " + value() + "\n";
            if (pick(0, 3) == 0) out += q + " = " + o + "\n";
            auto operand = [&]() -> std::string {
                switch (pick(0, 8)) {
                case 8: return p + ".z";
                case 0: return y;
                case 1: return o + ".v";
                case 2: return p + ".w";
                case 3: return p + ".zz";
                case 4: return "a";
                case 5: return "\"s\"";
                default: return number();
                }
            };
            // p.z reaches zero on the second round, once the sites know their members.
            out += "for r in range(0, 3) {\n" + p + ".z = " + p + ".z - 1\n";
            static const char* ops[] = {" + ", " - ", " * ", " / "};
            for (int k = pick(1, 3); k > 0; --k) {
                const std::string key = pick(0, 3) ? "x" : "v";
                out += o + "." + key + " = " + o + "." + key + (pick(0, 1) ? " + " : " - ") + operand();
                out += pick(0, 2) ? " * " + operand() + "\n" : "\n";
                // A member combined with a member or a variable, stored or printed.
                const std::string e = (pick(0, 1) ? o + ".x" : p + ".w") + one(ops) + operand();
                if (pick(0, 1)) out += pick(0, 1) ? "let z = " + e + "\nprint(z)\n" : "print(" + e + ")\n";
                // A member compared with a number.
                static const char* cmps[] = {" < ", " <= ", " > ", " >= ", " == ", " != "};
                static const char* members[] = {".x", ".v", ".zz"};
                if (pick(0, 1))
                    out += "if " + (pick(0, 2) ? o : p) + one(members) + one(cmps) + number() + " { print(r) }\n";
            }
            return out + "}\nprint(" + o + ".x, " + o + ".v, " + q + ")\nreturn a }\nprint(" + f + "(" + value() + "))";
        }
        case 26: {
            // A variable tested for equality with nil, a String or another
            // constant, the text sometimes made at run time (a cell of its own).
            static const char* consts[] = {"nil", "true", "false", "\"ab\"", "\"\"", "\" \"", "1"};
            static const char* values[] = {"nil", "true", "false", "\"ab\"", "f\"a{\"b\"}\"", "f\"{\"\"}\"", "\" \"",
                                           "0", "1", "1.0", "[]", "{}"};
            const std::string t = "t" + std::to_string(counter_++);
            return "let " + t + " = " + one(values) + "\nif " + t + (pick(0, 1) ? " == " : " != ") + one(consts) +
                   " { print(\"y\") } else { print(\"n\") }";
        }
        case 27: return loop_depth_ > 0 ? "print(" + rhs() + ")" : stepped_loop();
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

// `count` programs made by `make` from the generator seeded first, first + 1,
// ...; most of them must compile and finish within the budget.
template <class Make>
void generated_programs_agree(uint64_t first, int count, Make make) {
    int compared = 0;
    for (int k = 0; k < count; ++k) {
        Gen gen(first + static_cast<uint64_t>(k));
        std::string source = make(gen);
        SCOPED_TRACE("seed " + std::to_string(first + static_cast<uint64_t>(k)));
        if (agree(source)) ++compared;
        if (::testing::Test::HasFailure()) break;
    }
    EXPECT_GT(compared, count * 3 / 4);
}

TEST(Differential, GeneratedProgramsRunAlikeOnBothMachines) {
    generated_programs_agree(0, 2000, [](Gen& g) { return g.program(); });
}

// Fused calls of global functions and methods stop where the plain
// machine stops: every few polls an interrupt, after which the run resumes;
// failures, after which it goes on with the next instruction; the depth
// limit (polls every few calls, so that some calls are fused and some are
// not). Each stop must leave the same count, stack depth, call depth and
// traceback, in strict mode too.
TEST(Differential, FusedCallsStopWhereThePlainMachineStops) {
    const char* programs[] = {
        // Recursion through a global, arguments of every simple shape.
        "fn fib(n) { if n < 2 { return n }\n return fib(n - 1) + fib(n - 2) }\n"
        "fn three(a, b, c) { return [a, b, c] }\n"
        "let x = 5\nprint(fib(12), three(x % 3, x * 2.5, \"s\"), three(1, x, x - x))\n"
        "x = fib(x)\nprint(x)",
        // The global reassigned between calls: another function, a value
        // that cannot be called, a built-in, and back.
        "fn f(a) { return a + 1 }\nfn g(a) { return a * 2 }\nlet h = f\n"
        "print(f(1))\nf = g\nprint(f(2))\nf = 7\nprint(f(3))\nf = len\nprint(f(\"abc\"))\nf = h\nprint(f(4))",
        // Arguments the fused head leaves to the generic steps: a Mod by a
        // variable 0, strings, floats, more arguments than parameters.
        "fn f(a, b) { return [a, b] }\nlet z = 0\nlet s = \"x\"\n"
        "print(f(1 % 1, 2.5 * 2))\nprint(f(s - 1, 2))\nprint(f(3 % z, 1))\nprint(f(1, 2, 3))\nprint(f(z))",
        // Methods with arguments, an own member named like the method, a
        // class without it, recursion to the depth limit.
        "class C { fn add(self, v) { return self.k * v + 1 } fn mix(self, a, b) { return a * self.k + b }\n"
        "  fn deep(self, n) { return self.deep(n + 1) } }\n"
        "let c = {__class__: \"C\", k: 3}\nlet t = 0\nlet i = 0\n"
        "while i < 20 { t = t + c.add(i % 7) - c.mix(i, 2)\n i = i + 1 }\nprint(t)\n"
        "c.add = 5\nprint(c.add(1))\nlet d = {__class__: \"D\"}\nprint(d.mix(1, 2))\nprint(c.deep(0))\nprint(t)",
        // A function calling itself without end: the depth limit, then the
        // rest of the program.
        "fn down(n) { return down(n - 1) }\nprint(down(3))\nprint(\"after\")",
        // One call site whose global is rebound between its calls: to
        // functions taking more and fewer parameters than the site passes,
        // with more registers, back to the first, to a built-in.
        "fn f(a) { return a + 1 }\nfn g(a, b, c) { let t = [a, b, c]\n return t }\nfn k() { return 0 }\n"
        "let h = f\nfn call(x) { return f(x * 2) }\nlet i = 0\n"
        "while i < 12 { print(call(i))\n if i % 4 == 1 { f = g }\n if i % 4 == 2 { f = k }\n if i % 4 == 3 { f = h }\n"
        "  if i == 8 { f = str }\n i = i + 1 }",
        // Method sites meeting receivers of other key sets and classes, a
        // class member changed in place, a method taking fewer parameters.
        "class A { fn m(self, v) { return v + 1 } fn few(self) { return 0 } }\n"
        "class B { fn m(self, v) { return v * 10 } fn few(self) { return 1 } }\n"
        "let a = {__class__: \"A\"}\nlet b = {__class__: \"B\", x: 1}\nlet c = {x: 2, __class__: \"A\"}\n"
        "let i = 0\nlet t = 0\nwhile i < 9 { t = t + a.m(i) + b.m(i) + c.m(i) + a.few(i)\n"
        "  if i == 4 { a.__class__ = \"B\" }\n i = i + 1 }\nprint(t)",
        // Registers past the arguments start as nil on every entry, also
        // where the call before left other values in that memory (a
        // declaration skipped is read as nil); results stored over the
        // argument's variable.
        "fn fill(a) { let p = 11\n let q = [12]\n let r = 13\n return a }\n"
        "fn g(a) { if a > 100 { let w = 1 }\n return w }\n"
        "class C { fn fill(self, a) { let p = 11\n let q = [12]\n return a }\n"
        "  fn m(self, a) { if a > 100 { let w = 1 }\n return w } }\n"
        "let c = {__class__: \"C\"}\nlet x = 1\nlet i = 0\n"
        "while i < 6 { x = fill(x)\n let y = g(i)\n print(y)\n x = c.fill(x)\n y = c.m(i)\n print(y)\n i = i + 1 }\nprint(x)",
        // A variable returned when a test of it holds: Ints, a Float, a
        // value the test cannot compare.
        "fn f(n) { if n <= 1 { return n }\n return f(n - 1) }\nfn g(n) { if n != 3 { return n }\n return 0 }\n"
        "print(f(5), f(2.5), f(-3), g(3), g(4), g(0.5))\nprint(f(\"s\"))\nprint(f(2))",
        // `return x + y` on results of calls: Ints (also saturating),
        // Floats, mixed, then operands that cannot be added.
        "fn add(a, b) { return a + b }\nfn twice(a) { return add(a, a) + add(a, 1) }\nfn one(a) { return [a] }\n"
        "fn bad(a) { return one(a) + one(a) }\nfn mixed(a) { return add(a, 1) + add(a, 0.5) }\n"
        "print(twice(3), twice(0.5), twice(4611686018427387904), mixed(2))\nprint(bad(1))\nprint(twice(nil))\n"
        "print(twice(4))",
    };
    for (const char* source : programs) {
        CompiledProgram p;
        ASSERT_TRUE(front_end(source, p)) << source;
        for (int interval : {2, 7})
        for (bool strict : {false, true}) {
            auto stops = [&](bool fast) {
                VMOptions options{fast};
                options.strict = strict;
                options.tracebacks = true;
                options.max_depth = 60;
                VM vm = machine(p, options);
                int polls = 0;
                vm.set_check_interval(interval);
                vm.set_interrupt_check([](void* ctx) { return ++*static_cast<int*>(ctx) % 5 == 0; }, &polls);
                std::string out;
                CaptureStdout capture;
                for (int round = 0; round < 400; ++round) {
                    Result<Value> r = vm.execute();
                    out += r.ok() ? "ok:" + host_display_text(r.value()) : "err:" + r.error();
                    out += " n=" + std::to_string(vm.instructions_executed()) + " d=" +
                           std::to_string(vm.stack_depth()) + " c=" + std::to_string(vm.call_depth());
                    if (!r.ok() && vm.last_abort() == Abort::None)
                        for (const TraceEntry& e : vm.traceback()) out += " " + e.function + ":" + std::to_string(e.line);
                    out += "\n";
                    if (r.ok()) break;
                }
                return capture.finish() + out;
            };
            const std::string fast = stops(true);
            EXPECT_EQ(fast, stops(false)) << source << (strict ? " (strict)" : "");
            EXPECT_NE(fast.find("ok:"), std::string::npos) << source;
        }
    }
}

// Loads `p` into `vm` as compile_and_run prepares a program.
void load(VM& vm, const CompiledProgram& p) {
    std::vector<Value> constants;
    for (const Constant& c : p.constants) constants.push_back(value_from_constant(c));
    vm.load(optimize(p.code, nullptr, Rewrites::KeepResults), std::move(constants), {}, FunctionTable(p.functions), 0);
}

// Loading more code forgets the cached method answers of the units already
// loaded, but not which call site each fused method call has.
TEST(Differential, FusedMethodCallsSurviveALoad) {
    CompiledProgram first, second;
    ASSERT_TRUE(front_end("class C { fn m(self, a, b) { return a } fn n(self, a, b) { return b } }\n"
                          "fn use(o) { return f\"{o.n(1, 2)} {o.m(3, 4)}\" }\nprint(use({__class__: \"C\"}))",
                          first));
    ASSERT_TRUE(front_end("let o = {__class__: \"C\"}\nprint(use(o))\nprint(use(o))", second));
    for (bool fast : {true, false}) {
        VM vm({}, {}, {}, FunctionTable(), VMOptions{fast});
        CaptureStdout capture;
        load(vm, first);
        EXPECT_TRUE(vm.execute().ok());
        load(vm, second);
        EXPECT_TRUE(vm.execute().ok());
        EXPECT_EQ(capture.finish(), "\"2 3\"\n\"2 3\"\n\"2 3\"\n") << (fast ? "fast" : "plain");
    }
}

// What a fused call site remembers of its callee goes with the tables it was
// decided on: a load() that redefines the function behind a value the
// program still holds (the same function cell), and a native binding added
// under a function's name, which the generic Call prefers.
TEST(Differential, FusedCallSitesForgetTheirCalleeWhenTheTablesChange) {
    struct Twice : NativeBinding {
        Result<Value> call(std::span<const Value> args) override {
            return Value::integer(args.empty() || !args[0].is_int() ? -1 : 2 * args[0].as_int());
        }
    };
    CompiledProgram first, second, third;
    ASSERT_TRUE(front_end("fn f(a) { return a + 1 }\nh = f\nfn use(x) { return h(x) + f(x) }\n"
                          "class C { fn m(self, v) { return f(v) } }\nfn callm(o, v) { return o.m(v) }\n"
                          "print(use(1), callm({__class__: \"C\"}, 1))",
                          first));
    ASSERT_TRUE(front_end("fn f(a, b) { let t = a * 10\n return t }\nprint(use(2), callm({__class__: \"C\"}, 2))",
                          second));
    ASSERT_TRUE(front_end("print(use(3), callm({__class__: \"C\"}, 3))", third));
    for (bool fast : {true, false}) {
        VM vm({}, {}, {}, FunctionTable(), VMOptions{fast});
        auto execute = [&vm] {
            Result<Value> r = vm.execute();
            return r.ok() ? std::string("ok") : r.error();
        };
        std::string runs;
        CaptureStdout capture;
        load(vm, first);
        runs += execute();
        load(vm, second);
        runs += execute();
        vm.add_native("f", std::make_shared<Twice>());
        load(vm, third);
        runs += execute();
        std::string out = capture.finish();
        EXPECT_EQ(runs, "okokok") << (fast ? "fast" : "plain");
        EXPECT_EQ(out, "42\n4020\n126\n") << (fast ? "fast" : "plain");
    }
}

// Members divided by a member or a variable that reaches zero once the
// member sites know where their members are (the second round), as Ints and
// as Floats: the division's error must come where the plain machine gives it.
TEST(Differential, MemberDivisionsByZeroFailAlike) {
    for (const char* zero : {"2", "2.0"}) {
        for (const char* e : {"o.x / p.z", "o.x / d", "o.i / p.z"}) {
            for (const char* use : {"print(%)", "let q = %\n print(q)"}) {
                std::string stmt = use;
                stmt.replace(stmt.find('%'), 1, e);
                const std::string source = std::string("fn f() {\n let o = {x: 1.5, i: 3}\n let p = {z: ") + zero +
                                           "}\n let d = " + zero + "\n for r in range(0, 3) {\n p.z = p.z - 1\n d = d - 1\n " +
                                           stmt + "\n }\n}\nf()";
                EXPECT_TRUE(agree(source)) << source;
            }
        }
    }
}

TEST(Differential, GeneratedSteppedLoopsRunAlikeOnBothMachines) {
    generated_programs_agree(2000000, 1000, [](Gen& g) { return g.stepped_loops_program(); });
}

TEST(Differential, GeneratedArithmeticRunsAlikeOnBothMachines) {
    generated_programs_agree(1000000, 1500, [](Gen& g) { return g.kernel_program(); });
}

}  // namespace
