// Syntax tree -> stack-machine code.
#pragma once

#include <string>

#include "common/bytecode.h"
#include "common/result.h"
#include "ast.h"

namespace calvex {

// Compiles a whole program in one pass: top-level code ending in Halt, its
// line table and constant pool, and the one program-wide function table that
// every function, method and lambda (at any depth) is appended to.
//
// The only failures are mistakes in the program, reported with the line of
// the statement: "Line N: 'break' outside loop", "Line N: 'continue' outside
// loop", "Line N: Invalid assignment target", "Line N: Too many local
// variables" (a unit naming more than 256 registers) and "Line N: Nesting too
// deep" (the calling thread's stack is too small for the tree).
Result<CompiledProgram> compile_program(const Program& program);

}  // namespace calvex
