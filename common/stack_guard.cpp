#include "stack_guard.h"

#include <pthread.h>

namespace calvex {

namespace {

uintptr_t query_stack_low() {
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) != 0) return 0;
    void* addr = nullptr;
    size_t size = 0;
    const bool ok = pthread_attr_getstack(&attr, &addr, &size) == 0;
    pthread_attr_destroy(&attr);
    return ok ? reinterpret_cast<uintptr_t>(addr) : 0;
}

}  // namespace

uintptr_t thread_stack_low() {
    // 1 marks "looked up, unknown"; a real stack never starts at address 1.
    thread_local uintptr_t low = 0;
    if (low == 0) {
        const uintptr_t found = query_stack_low();
        low = found ? found : 1;
    }
    return low == 1 ? 0 : low;
}

}  // namespace calvex
