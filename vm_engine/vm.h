// The stack machine: construction from compiled code, the run loop, calls,
// classes and built-in functions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/bytecode.h"
#include "common/result.h"
#include "value.h"

namespace calvex {

class JitState;

// User functions by name. Built from the compiler's entries in table order,
// so a later entry with a repeated name replaces the earlier one.
class FunctionTable {
public:
    FunctionTable() = default;
    explicit FunctionTable(std::vector<FunctionEntry> entries);

    size_t size() const { return entries_.size(); }
    const std::vector<FunctionEntry>& entries() const { return entries_; }

private:
    std::vector<FunctionEntry> entries_;  // unique names, first-seen order
};

// A host callable installed into one machine. Implementations own their host
// reference; `call` runs on the thread that runs the machine, with the host
// interpreter lock held. A failure is the complete message of the Call
// (e.g. "Native error: ValueError: bad").
struct NativeBinding {
    virtual ~NativeBinding() = default;
    virtual Result<Value> call(std::span<const Value> args) = 0;
};

enum class VMStatus : uint8_t { Running, Paused, Halted, Error };

struct VMState {
    VMStatus status = VMStatus::Running;
    std::string message;  // Error only
};

// Why the last execute() stopped without a language-level error. The host
// glue maps these: Interrupted -> the host exception the interrupt check left
// pending; OutOfMemory -> MemoryError. In both cases the machine stays usable:
// an interrupted run can be continued (see set_interrupt_check); after a
// failed allocation the instruction is abandoned as if it had failed, and
// what it had not yet popped stays on the stack.
enum class Abort : uint8_t { None, Interrupted, OutOfMemory };

struct Machine;  // defined in machine.h

struct VMOptions {
    // Specialised handlers for common instruction sequences and in-place
    // updates. Turning them off gives the plain instruction-by-instruction
    // machine, which tests use as the reference for the fast paths.
    bool fast_paths = true;
    // Embedding options (the host runtime). Strict: reading a global that was
    // never assigned fails with "Undefined variable 'name'", and calling a
    // value that is not callable fails with "Cannot call <kind>" (otherwise
    // both give nil). Tracebacks: a failure records traceback().
    bool strict = false;
    bool tracebacks = false;
    size_t max_depth = 100000;  // active frames; at least 1
};

// One entry of a traceback: the unit (function name, "<top>" for top-level
// code) and the line it was at; `file` is the number given to load().
struct TraceEntry {
    std::string function;
    uint64_t line = 0;
    uint32_t file = 0;
};

// The built-in functions, by name. They never fail at the language level;
// `call_builtin` may throw std::bad_alloc (e.g. a huge range), which the run
// loop turns into Abort::OutOfMemory.
// One row each in builtins.def, in index order.
inline constexpr size_t kBuiltinCount = 0
#define BUILTIN(name, fn) +1
#include "builtins.def"
#undef BUILTIN
    ;
extern const char* const kBuiltinNames[kBuiltinCount];
int builtin_index(std::string_view name);  // -1 for other names
Value call_builtin(int index, std::span<const Value> args);

// One machine. Not copyable; movable.
//
// Element assignment in O(1). SetIndex changes its container in place when the
// operand stack holds the only handle. It also does so when the one other
// handle is the variable the container was loaded from *and* the instruction
// right after SetIndex stores the result back into that same variable, so the
// compiler should emit, for `a[i] = v` with `a` a local in slot r:
//     LoadLocal r; <i>; <v>; SetIndex; StoreLocal r
// (or `SetIndex; Dup; StoreLocal r` when the container is needed afterwards),
// and with `a` a global named by constant k:
//     LoadGlobal k; <i>; <v>; SetIndex; StoreGlobal k
// Nothing else may sit between SetIndex and the store. For a nested target
// `a[i][j] = v` the write-back shape
//     LoadLocal r; Dup; <i>; GetIndex; <j>; <v>; SetIndex; <i again>; Swap;
//     SetIndex; StoreLocal r           (any depth; keys reloaded by Push,
//                                       LoadConst or LoadLocal; the root
//                                       store may also be StoreGlobal or Pop)
// changes every level in place when each one is held only by its parent and
// the stack. The same rule lets `s = f"{s}..."` (LoadLocal r ... Concat;
// [Dup;] StoreLocal r) append to a uniquely held string in place. Any other
// shape stays correct, only slower (the container is copied before it is
// changed).
class VM {
public:
    // Call depth beyond which a Call fails with "Stack overflow: call depth
    // limit exceeded".
    static constexpr size_t kMaxCallDepth = 100000;

    VM(Code code, std::vector<Value> constants, LineTable lines, FunctionTable functions);
    VM(Code code, std::vector<Value> constants, LineTable lines, FunctionTable functions, VMOptions options);
    ~VM();
    VM(VM&&) noexcept;
    VM& operator=(VM&&) noexcept;
    VM(const VM&) = delete;
    VM& operator=(const VM&) = delete;

    // Runs from the current position to the end of the current code or the
    // first error. The error is the message text, with the "Line N: " prefix
    // when the line table knows the failing instruction.
    Result<Value> execute();
    // Set by every execute(): why it stopped if not by an ordinary error.
    Abort last_abort() const;

    const VMState& state() const;
    uint64_t instructions_executed() const;
    size_t stack_depth() const;  // operand stack of the active call
    size_t call_depth() const;   // active frames
    uint64_t cache_hits() const;
    uint64_t cache_misses() const;

    // Replaces the JIT state by a fresh one (jit_new), freeing the old one.
    void enable_jit();
    JitState* jit() const;  // nullptr while the JIT is disabled

    // Puts `binding` into the native map under `name` (replacing an entry of
    // that name) and sets the global `name` to a Native value.
    void install_native(const std::string& name, std::shared_ptr<NativeBinding> binding);

    // `check(ctx)` is called every few thousand loop edges (taken jumps that
    // do not go forward) and calls. When it returns true the run stops:
    // execute() fails with "Interrupted" and last_abort() is Interrupted (the
    // check is expected to have left a host exception pending). The position
    // stays at the instruction that was about to run, so a later execute()
    // continues the program as if nothing had happened. nullptr: no checks.
    void set_interrupt_check(bool (*check)(void*), void* ctx);
    // Loop edges and calls between two checks (default a few thousand).
    void set_check_interval(int edges);

    // The global of that name, or nil; for tests and host glue.
    Value global(std::string_view name) const;

    // ---- embedding: one machine kept across many entries -------------------
    // The unit of an entry is run from its start; whatever the previous entry
    // left (operand memory, frames, a stopped position) is dropped first by
    // reset(). Globals, functions and natives persist.

    // Replaces the top-level code by `code` (positioned at its start, after a
    // reset) and adds `functions`; a function replaces an earlier one of the
    // same name, and its global is set to it. `file` tags the new units for
    // tracebacks.
    void load(Code code, std::vector<Value> constants, LineTable lines, FunctionTable functions, uint32_t file);
    // Drops the operand memory and frames: the machine is idle at the end of
    // its top-level code.
    void reset();
    // Calls `callee` with `args` on top of whatever is running (a native
    // binding may call back into its machine) and runs until that call
    // returns. On failure the frames and values of this call are gone and the
    // machine is as it was before the call.
    Result<Value> call(const Value& callee, std::span<const Value> args);
    // Routes calls of the built-in `name` (print, input) to `binding`,
    // without changing the global of that name; a native or user function
    // of that name still comes first, as it does before the built-in.
    void route_builtin(std::string_view name, std::shared_ptr<NativeBinding> binding);
    // Puts `binding` into the native map under `name` without touching the
    // globals: Native values of that name call it. `new_name`: no value of
    // this name has existed before (a name made up for the binding), so no
    // cached name resolution can be stale and none is dropped.
    void add_native(std::string_view name, std::shared_ptr<NativeBinding> binding, bool new_name = false);
    // Takes the bindings of these names out of the native map and gives them
    // to the caller (which decides when they are released). For names that
    // no value refers to any more.
    std::vector<std::shared_ptr<NativeBinding>> remove_natives(std::span<const std::string> names);
    // The binding a Native value of this name calls, or nullptr.
    NativeBinding* native_binding(std::string_view name) const;
    // Every binding of the native map (for the host's reference tracking).
    void for_each_native(void (*visit)(NativeBinding&, void*), void* ctx) const;
    // Recorded by the last failure when tracebacks are on: outermost first.
    const std::vector<TraceEntry>& traceback() const;
    // Globals by slot (slots are never reused; a name keeps its slot).
    size_t global_count() const;
    std::string_view global_name(size_t slot) const;
    const Value& global_at(size_t slot) const;
    long find_global(std::string_view name) const;  // slot, or -1
    // Sets (creating the slot when needed) and marks the global assigned.
    size_t assign_global(std::string_view name, Value v);
    // Back to never assigned (nil).
    void unassign_global(size_t slot);
    bool global_assigned(size_t slot) const;
    // Whether `v` is the built-in function its own global held from the start.
    bool is_builtin_global(size_t slot) const;

    // For tests: the handler each instruction of the top-level code (or of
    // the function `function`) was predecoded to, by machine kind name, one
    // item per instruction joined by "; " ("LoadLocal; ForLoop; ..."). The
    // head of a fused sequence names the fused kind; the instructions it
    // covers keep their own. Empty for an unknown function.
    std::string handler_listing(std::string_view function = {}) const;

private:
    std::unique_ptr<Machine> m_;
};

}  // namespace calvex
