// Instruction listings: the text form "LoadGlobal 0; LoadConst 1; Push 2;
// SetIndex; StoreGlobal 2; Halt" that the C++ tests' assembler reads back.
#pragma once

#include <span>
#include <string>

#include "bytecode.h"

namespace calvex {

// One item per instruction, joined by "; ": the kind's name, then Push's
// immediate or the operand of the kinds that take one (jump targets as
// instruction indexes).
std::string disassemble(const Code& code);

// The same, with every operand that indexes the constant pool followed by
// the constant it names: LoadConst 1 "hi", StoreGlobal 0 "xs", LoadConst 2
// nil, LoadConst 3 2.5. A string's ';', '"', '\' and control bytes are
// written as \xNN, so the items still split at "; ".
std::string disassemble(const Code& code, std::span<const Constant> constants);

}  // namespace calvex
