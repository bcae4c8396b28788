// Hot-trace profiler and the native build of hot traces.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "common/bytecode.h"

namespace calvex {

class JitState;

// Called by the interpreter after every taken backward jump while a JIT state
// exists. `code` is the instruction vector being executed.
void jit_on_backward_jump(JitState& jit, const Code& code, uint64_t head, uint64_t jump);

// The text of stats()["jit_stats"].
std::string jit_stats_text(const JitState& jit);

// (name, ir) of every hot record that has IR text, in table order.
std::vector<std::pair<std::string, std::string>> jit_hot_traces_ir(const JitState& jit);

// Ownership helpers, so the machine can hold a JitState without its definition.
JitState* jit_new();
void jit_free(JitState* jit);

}  // namespace calvex
