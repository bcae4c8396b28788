// Peephole optimiser over one code list.
#pragma once

#include <vector>

#include "common/bytecode.h"

namespace calvex {

// Rewrites `code` into an equivalent, shorter list. When `kept` is given it
// receives, for each instruction of the result, its index in the input (so a
// caller can carry a parallel line table along).
Code optimize(const Code& code, std::vector<size_t>* kept = nullptr);

}  // namespace calvex
