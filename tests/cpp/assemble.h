// Instruction lists written as text for the C++ tests: "Push 2; Jump 0; Add".
#pragma once

#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "common/bytecode.h"

namespace calvex::test_support {

inline Code assemble(const std::string& text) {
    Code code;
    std::istringstream in(text);
    for (std::string item; std::getline(in, item, ';');) {
        std::istringstream words(item);
        std::string name;
        if (!(words >> name)) continue;
        int k = 0;
        while (k < kOpCount && name != op_name(static_cast<Op>(k))) ++k;
        if (k == kOpCount) ADD_FAILURE() << "unknown kind " << name;
        long long arg = 0;
        words >> arg;
        const Op op = static_cast<Op>(k);
        code.push_back(op == Op::Push ? Instruction::push(static_cast<int32_t>(arg))
                                      : Instruction::make(op, static_cast<uint64_t>(arg)));
    }
    return code;
}

}  // namespace calvex::test_support
