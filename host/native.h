// Native bindings: host callables registered process-wide and installed into
// the machines of the one-shot pipeline. The registry functions themselves
// (set_native_binding, clear_native_bindings) are declared in
// bindings.h; this header holds what the pipeline needs.
#pragma once

#include "vm_engine/vm.h"

namespace calvex {

// Installs every registered binding into `vm` (registry order), each as a
// Native global of its name. Returns false with a host exception set: the
// PanicException of a registry broken by an earlier failure. Call with the
// host interpreter lock held.
[[nodiscard]] bool install_native_bindings(VM& vm);

}  // namespace calvex
