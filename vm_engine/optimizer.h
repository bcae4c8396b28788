// Peephole optimiser over one code list.
#pragma once

#include <vector>

#include "common/bytecode.h"

namespace calvex {

// Which rewrites run.
//   All: every rewrite of the byte road (VMEngine, optimize_bytecode).
//   KeepResults: only those that give the same results whatever the operand
//     kinds: integer constant folding, `Dup; Pop`, `Push a; Neg`, unreachable
//     code and compaction. Left out: `Not; Not` (!!5 is true, not 5),
//     `Push 0; Add|Sub` and `Push 1; Mul` ("s" + 0 and nil * 1 are type
//     errors) and `Push 2; Pow` -> `Dup; Mul` (`**` gives a float).
//     Compiled source uses this, so top-level code computes what the same code
//     computes in a function body, which is never optimised.
enum class Rewrites { All, KeepResults };

// Rewrites `code` into an equivalent, shorter list. When `kept` is given it
// receives, for each instruction of the result, its index in the input (so a
// caller can carry a parallel line table along).
Code optimize(const Code& code, std::vector<size_t>* kept = nullptr, Rewrites rewrites = Rewrites::All);

}  // namespace calvex
