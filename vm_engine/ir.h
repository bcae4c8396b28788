// LLVM IR text for a named instruction sequence.
#pragma once

#include <span>
#include <string>
#include <string_view>

#include "common/bytecode.h"

namespace calvex {

std::string generate_ir(std::string_view name, std::span<const Instruction> code);

}  // namespace calvex
