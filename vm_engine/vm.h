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

    // The global of that name, or nil; for tests and host glue.
    Value global(std::string_view name) const;

private:
    std::unique_ptr<Machine> m_;
};

}  // namespace calvex
