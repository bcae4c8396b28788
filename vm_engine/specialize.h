// Load-time type inference over decoded byte streams, and the rewrite of
// generic arithmetic into the specialised kinds.
#pragma once

#include "common/bytecode.h"

namespace calvex {

void specialize(Code& code);

}  // namespace calvex
