// Recycle pools for heap cells.
//
// Programs create and drop arrays, objects and bound methods at a high rate
// (an object per constructor call, a bound method per method call, an
// iterator state per loop). Dead cells of those kinds are kept, emptied but
// with their element storage, in small per-thread pools and handed out again
// by the Value constructors, so the steady state allocates nothing. The pools
// are per thread because values never cross threads (see value.h); they hold
// only empty cells, so what a pool keeps is never observable.
#pragma once

#include <cstddef>

namespace calvex {

template <class CellT, size_t Capacity>
class CellPool {
public:
    CellPool() = default;
    CellPool(const CellPool&) = delete;
    CellPool& operator=(const CellPool&) = delete;
    ~CellPool() {
        for (size_t i = 0; i < n_; ++i) delete cells_[i];
    }

    // An empty cell with reference count 1, or nullptr when none is kept.
    CellT* take() {
        if (n_ == 0) return nullptr;
        CellT* c = cells_[--n_];
        c->rc = 1;
        ++hits_;
        return c;
    }
    // Keeps an emptied cell; false when the pool is full (the caller frees it).
    bool keep(CellT* c) {
        if (n_ == Capacity) return false;
        cells_[n_++] = c;
        return true;
    }
    size_t hits() const { return hits_; }

private:
    CellT* cells_[Capacity];
    size_t n_ = 0;
    size_t hits_ = 0;
};

}  // namespace calvex
