// Per-machine recycle pools for array element vectors and object maps.
//
// MakeArray and MakeObject acquire their storage here. Spare storage comes
// back only through give_back(), which the machine uses for vectors it has
// emptied itself; values released elsewhere free their storage directly. The
// hit and miss counters are kept for diagnostics and reported nowhere.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "value.h"

namespace calvex {

class ArrayPool {
public:
    ArrayPool() { spare_.reserve(64); }

    // A vector with no elements and room for at least n.
    std::vector<Value> acquire(size_t n) {
        if (!spare_.empty()) {
            std::vector<Value> v = std::move(spare_.back());
            spare_.pop_back();
            v.clear();
            v.reserve(n);
            ++hits_;
            return v;
        }
        ++misses_;
        std::vector<Value> v;
        v.reserve(n < 8 ? 8 : n);
        return v;
    }
    // Keeps `v`'s storage for a later acquire (its elements are released).
    void give_back(std::vector<Value>&& v) noexcept {
        if (spare_.size() < 64 && v.capacity() != 0 && v.capacity() <= 1024) {
            v.clear();
            spare_.push_back(std::move(v));  // capacity reserved above: no allocation
        }
    }

    uint64_t hits() const { return hits_; }
    uint64_t misses() const { return misses_; }

private:
    std::vector<std::vector<Value>> spare_;
    uint64_t hits_ = 0;
    uint64_t misses_ = 0;
};

class MapPool {
public:
    MapPool() { spare_.reserve(32); }

    ObjMap acquire(size_t n) {
        if (!spare_.empty()) {
            ObjMap m = std::move(spare_.back());
            spare_.pop_back();
            m.clear();
            m.reserve(n);
            ++hits_;
            return m;
        }
        ++misses_;
        ObjMap m;
        m.reserve(n);
        return m;
    }

    uint64_t hits() const { return hits_; }
    uint64_t misses() const { return misses_; }

private:
    std::vector<ObjMap> spare_;
    uint64_t hits_ = 0;
    uint64_t misses_ = 0;
};

}  // namespace calvex
