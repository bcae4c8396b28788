// The library's operator new and delete: malloc and free, plus the count of
// the current thread's meter (memory.h).
#include "memory.h"

#include <malloc.h>

#include <algorithm>
#include <cstdlib>
#include <new>

// Sanitizer runtimes replace operator new themselves; counting here would
// mix their allocator with malloc/free.
#if defined(__SANITIZE_ADDRESS__)
#define CALVEX_OWN_NEW 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define CALVEX_OWN_NEW 0
#endif
#endif
#ifndef CALVEX_OWN_NEW
#define CALVEX_OWN_NEW 1
#endif

namespace calvex {

namespace {
thread_local MemoryMeter* t_meter = nullptr;
}  // namespace

MemoryMeter* current_meter() { return t_meter; }

MeterScope::MeterScope(MemoryMeter* m) : saved_(t_meter) { t_meter = m; }
MeterScope::~MeterScope() { t_meter = saved_; }

#if !CALVEX_OWN_NEW
bool memory_metering_available() { return false; }
#else
bool memory_metering_available() { return true; }

namespace {

// Nullptr when the meter refuses or malloc fails.
void* counted_alloc(size_t n) noexcept {
    if (n == 0) n = 1;
    MemoryMeter* m = t_meter;
    if (m == nullptr) [[likely]] return std::malloc(n);
    if (n > m->limit || m->in_use > m->limit - n) {
        m->exceeded = true;
        return nullptr;
    }
    void* p = std::malloc(n);
    if (!p) return nullptr;
    size_t got = malloc_usable_size(p);
    if (m->in_use > m->limit - std::min(got, m->limit)) {
        std::free(p);
        m->exceeded = true;
        return nullptr;
    }
    m->in_use += got;
    if (m->in_use > m->peak) m->peak = m->in_use;
    return p;
}

void counted_free(void* p) noexcept {
    if (!p) return;
    if (MemoryMeter* m = t_meter) [[unlikely]] {
        size_t n = malloc_usable_size(p);
        m->in_use = m->in_use > n ? m->in_use - n : 0;
    }
    std::free(p);
}

void* throwing_alloc(size_t n) {
    void* p = counted_alloc(n);
    if (!p) throw std::bad_alloc();
    return p;
}

}  // namespace
#endif

}  // namespace calvex

#if CALVEX_OWN_NEW
// Replacements of the global allocation functions. Aligned forms are left to
// the C++ runtime: nothing in this library over-aligns.
void* operator new(std::size_t n) { return calvex::throwing_alloc(n); }
void* operator new[](std::size_t n) { return calvex::throwing_alloc(n); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept { return calvex::counted_alloc(n); }
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept { return calvex::counted_alloc(n); }
void operator delete(void* p) noexcept { calvex::counted_free(p); }
void operator delete[](void* p) noexcept { calvex::counted_free(p); }
void operator delete(void* p, std::size_t) noexcept { calvex::counted_free(p); }
void operator delete[](void* p, std::size_t) noexcept { calvex::counted_free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { calvex::counted_free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { calvex::counted_free(p); }
#endif
