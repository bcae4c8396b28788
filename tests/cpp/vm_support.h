// Hand-built programs for the machine tests: instructions, a program with
// its constants and functions, and its outcome as text.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "common/bytecode.h"
#include "vm_engine/value.h"
#include "vm_engine/vm.h"

namespace calvex::test_support {

inline Instruction P(int32_t v) { return Instruction::push(v); }
inline Instruction I(Op op, uint64_t operand = 0) { return Instruction::make(op, operand); }

struct Program {
    Code code = {};
    std::vector<Constant> constants = {};
    LineTable lines = {};
    std::vector<FunctionEntry> functions = {};

    VM build(VMOptions options = {}) const {
        std::vector<Value> values;
        for (const Constant& c : constants) values.push_back(value_from_constant(c));
        return VM(code, std::move(values), lines, FunctionTable(functions), options);
    }
};

// "ok:<host display>" or "err:<message>".
inline std::string outcome(VM& vm) {
    Result<Value> r = vm.execute();
    return r.ok() ? "ok:" + host_display_text(r.value()) : "err:" + r.error();
}
inline std::string run(const Program& p) {
    VM vm = p.build();
    return outcome(vm);
}
inline std::string run(Code code, std::vector<Constant> constants = {}) { return run(Program{std::move(code), std::move(constants)}); }

inline FunctionEntry fn(std::string name, uint64_t params, Code code, std::vector<Constant> constants = {}) {
    return FunctionEntry{std::move(name), std::move(code), std::move(constants), {}, params};
}

}  // namespace calvex::test_support
