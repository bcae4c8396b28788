// Runs a Calvex source file on the machine without the host, timing the run
// and optionally listing the compiled code.
//
// build: g++ -std=c++20 -O2 -I.. vm_bench.cpp ../build/dev-NAME/libcalvex_core.a -ldl -o vm_bench
// usage: vm_bench FILE.cx [--list] [--handlers] [--repeat N]
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "parser/compiler.h"
#include "parser/lexer.h"
#include "parser/parser.h"
#include "vm_engine/optimizer.h"
#include "vm_engine/vm.h"

using namespace calvex;

static void list(const char* title, const Code& code) {
    std::printf("== %s\n", title);
    for (size_t i = 0; i < code.size(); ++i) {
        const Instruction& in = code[i];
        if (in.op == Op::Push)
            std::printf("%4zu %-12s %d\n", i, op_name(in.op), in.imm);
        else
            std::printf("%4zu %-12s %llu\n", i, op_name(in.op), static_cast<unsigned long long>(in.operand));
    }
}

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: vm_bench FILE.cx [--list] [--handlers] [--repeat N]\n");
        return 2;
    }
    bool show = false;
    bool handlers = false;
    int repeat = 1;
    for (int i = 2; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--list")) show = true;
        if (!std::strcmp(argv[i], "--handlers")) handlers = true;
        if (!std::strcmp(argv[i], "--repeat") && i + 1 < argc) repeat = std::atoi(argv[++i]);
    }
    std::ifstream in(argv[1]);
    std::stringstream ss;
    ss << in.rdbuf();
    auto tokens = tokenize(ss.str());
    if (!tokens) return std::fprintf(stderr, "lex: %s\n", tokens.error().c_str()), 1;
    auto program = parse_program(std::move(*tokens));
    if (!program) return std::fprintf(stderr, "parse: %s\n", program.error().render().c_str()), 1;
    auto compiled = compile_program(*program);
    if (!compiled) return std::fprintf(stderr, "compile: %s\n", compiled.error().c_str()), 1;
    CompiledProgram& p = *compiled;
    std::vector<size_t> kept;
    Code code = optimize(p.code, &kept);
    if (show) {
        list("top", code);
        for (const auto& f : p.functions) list(f.name.c_str(), f.code);
    }
    double best = 1e9;
    for (int r = 0; r < repeat; ++r) {
        LineTable lines;
        for (size_t k : kept) lines.push_back(k < p.lines.size() ? p.lines[k] : 0);
        std::vector<Value> constants;
        for (const Constant& c : p.constants) constants.push_back(value_from_constant(c));
        VM vm(code, std::move(constants), std::move(lines), FunctionTable(p.functions));
        auto t0 = std::chrono::steady_clock::now();
        Result<Value> res = vm.execute();
        double t = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        if (t < best) best = t;
        if (!res) std::fprintf(stderr, "error: %s\n", res.error().c_str());
        std::fprintf(stderr, "run %.3fs, %llu instructions\n", t,
                     static_cast<unsigned long long>(vm.instructions_executed()));
        if (handlers && r == 0) {
            // The handlers the machine chose, one unit a line.
            std::printf("== top\n%s\n", vm.handler_listing().c_str());
            for (const auto& f : p.functions)
                std::printf("== %s\n%s\n", f.name.c_str(), vm.handler_listing(f.name).c_str());
        }
    }
    std::fprintf(stderr, "best %.3fs\n", best);
    return 0;
}
