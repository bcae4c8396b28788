// Headroom checks against the real stack of the running thread.
//
// Recursive code (the parser, the compiler, the tree conversions, re-entry
// through native bindings) bounds its depth by a fixed limit, but a host
// thread may have far less stack than that limit needs: a thread started
// after threading.stack_size(256 * 1024) has a quarter of a megabyte. Such
// code also asks a StackGuard at every nesting step whether the stack still
// has `margin` bytes left, and fails cleanly ("Nesting too deep") when not.
//
// The bounds come from the thread's own attributes and are looked up once per
// thread; a StackGuard copies the limit, so a check is one compare of the
// frame address. Stacks grow downwards (x86-64).
#pragma once

#include <cstddef>
#include <cstdint>

namespace calvex {

// Room every guarded step keeps free: enough for the deepest stretch of
// unguarded calls between two checks (including the error path), also with
// the larger frames of a sanitizer build.
inline constexpr size_t kStackMargin = 64 * 1024;

// Lowest address of the calling thread's stack, or 0 when it is unknown (then
// only the fixed limits apply).
uintptr_t thread_stack_low();

class StackGuard {
public:
    explicit StackGuard(size_t margin = kStackMargin) noexcept {
        const uintptr_t low = thread_stack_low();
        limit_ = low ? low + margin : 0;
    }

    // True when the caller's frame lies within `margin` bytes of the end of
    // the stack. Inlined, so the frame is the caller's own.
    [[gnu::always_inline]] bool exhausted() const noexcept {
        return reinterpret_cast<uintptr_t>(__builtin_frame_address(0)) < limit_;
    }

private:
    uintptr_t limit_;
};

}  // namespace calvex
