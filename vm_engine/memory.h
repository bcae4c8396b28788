// Accounting of the memory a running program allocates, for budgets set by
// the host (the embedding runtime's max_memory).
//
// Every allocation the library makes through operator new is counted against
// the meter of the current thread, when one is set, and refused (with
// std::bad_alloc, which the machine turns into a failed instruction) when it
// would take the meter past its limit. So a program that doubles a string or
// grows an array stops at the allocation that crosses the budget, before the
// memory is taken. Without a meter the cost is one thread-local read per
// allocation.
//
// The counts are approximate in one direction only: storage allocated inside
// the C++ runtime library itself (not through this library's operator new) is
// not counted, and a release never takes a count below zero.
#pragma once

#include <cstddef>
#include <cstdint>

namespace calvex {

struct MemoryMeter {
    size_t in_use = 0;
    size_t peak = 0;
    size_t limit = SIZE_MAX;
    bool exceeded = false;  // an allocation was refused since the last clear
};

// False in builds where another runtime owns operator new (the sanitizers):
// nothing is counted there and limits are not enforced.
bool memory_metering_available();

MemoryMeter* current_meter();

// Makes `m` the current thread's meter for the scope's lifetime (nesting
// restores the outer one).
class MeterScope {
public:
    explicit MeterScope(MemoryMeter* m);
    ~MeterScope();
    MeterScope(const MeterScope&) = delete;
    MeterScope& operator=(const MeterScope&) = delete;

private:
    MemoryMeter* saved_;
};

}  // namespace calvex
