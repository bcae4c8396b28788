// Object members: building a map key by key allocates a logarithmic number
// of times, not once per key.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

#include "vm_engine/value.h"

namespace {
std::atomic<size_t> g_allocations{0};
}  // namespace

// Counts every allocation of the test program; the tests read differences.
void* operator new(size_t n) {
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(n ? n : 1)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }

using namespace calvex;

TEST(ObjMap, KeyByKeyInsertionGrowsGeometrically) {
    constexpr size_t kKeys = 100000;
    std::vector<Value> keys;
    keys.reserve(kKeys);
    for (size_t i = 0; i < kKeys; ++i) keys.push_back(Value::string("k" + std::to_string(i)));

    ObjMap map;
    const size_t before = g_allocations.load();
    for (size_t i = 0; i < kKeys; ++i) ASSERT_TRUE(map.insert_new(keys[i], Value::integer(static_cast<int64_t>(i))));
    const size_t allocations = g_allocations.load() - before;
    // Two vectors and the index, each reallocated about log2(kKeys) times.
    EXPECT_LT(allocations, 100u);

    ASSERT_EQ(map.size(), kKeys);
    EXPECT_FALSE(map.insert_new(keys[123], Value::integer(0)));
    for (size_t i = 0; i < kKeys; i += 997) {
        const Value* v = map.find(keys[i]);
        ASSERT_NE(v, nullptr);
        EXPECT_EQ(v->as_int(), static_cast<int64_t>(i));
        EXPECT_EQ(map.key_at(i).as_string(), keys[i].as_string());
    }
}

// The key-set number: shared by copies with the same keys, new after any
// change of the keys, never carried by a map that lost its keys to a move.
TEST(ObjMap, KeySetNumberFollowsTheKeys) {
    const Value a = Value::string("a"), b = Value::string("b");
    ObjMap m;
    m.insert_new(a, Value::integer(1));
    EXPECT_EQ(m.key_set(), 0u);
    const uint64_t id = m.key_set_id();
    EXPECT_NE(id, 0u);
    EXPECT_EQ(m.key_set_id(), id);

    ObjMap copy = m;
    EXPECT_EQ(copy.key_set(), id);
    m.set(a, Value::integer(2));  // a value changes, the keys do not
    EXPECT_EQ(m.key_set(), id);
    ObjMap assigned;
    assigned = m;
    EXPECT_EQ(assigned.key_set(), id);

    copy.insert_new(b, Value::nil());
    EXPECT_EQ(copy.key_set(), 0u);
    EXPECT_NE(copy.key_set_id(), id);
    EXPECT_FALSE(m.insert_new(a, Value::nil()));  // present: nothing changes
    EXPECT_EQ(m.key_set(), id);

    ObjMap moved = std::move(assigned);
    EXPECT_EQ(moved.key_set(), id);
    EXPECT_EQ(assigned.key_set(), 0u);
    assigned = std::move(moved);
    EXPECT_EQ(assigned.key_set(), id);
    EXPECT_EQ(moved.key_set(), 0u);
    assigned.clear();
    EXPECT_EQ(assigned.key_set(), 0u);
}
