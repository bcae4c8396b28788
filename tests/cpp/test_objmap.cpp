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
// change of the keys, never carried by a map that lost its keys to a move
// (an empty map has the empty set's number).
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

    const uint64_t none = ObjMap().key_set_id();
    EXPECT_NE(none, 0u);
    EXPECT_NE(none, id);
    ObjMap moved = std::move(assigned);
    EXPECT_EQ(moved.key_set(), id);
    EXPECT_EQ(assigned.key_set(), none);
    assigned = std::move(moved);
    EXPECT_EQ(assigned.key_set(), id);
    EXPECT_EQ(moved.key_set(), none);
    assigned.clear();
    EXPECT_EQ(assigned.key_set(), none);
}

// Copies share one layout and copy only the values; whichever copy changes
// its keys takes a layout of its own, and the others keep theirs intact.
TEST(ObjMap, CopiesShareTheLayoutUntilTheirKeysChange) {
    std::vector<Value> keys;
    for (int i = 0; i < 12; ++i) keys.push_back(Value::string("k" + std::to_string(i)));
    ObjMap m;
    for (int i = 0; i < 10; ++i) m.insert_new(keys[i], Value::integer(i));  // past the linear limit: indexed

    const size_t before = g_allocations.load();
    ObjMap copy = m;
    EXPECT_EQ(g_allocations.load() - before, 1u);  // the values only
    EXPECT_EQ(copy.shape(), m.shape());
    copy.value_at(3) = Value::integer(-3);
    EXPECT_EQ(m.find(keys[3])->as_int(), 3);

    ASSERT_TRUE(copy.insert_new(keys[10], Value::integer(10)));
    EXPECT_NE(copy.shape(), m.shape());
    EXPECT_EQ(m.size(), 10u);
    EXPECT_EQ(m.find(keys[10]), nullptr);
    EXPECT_EQ(copy.find(keys[10])->as_int(), 10);
    for (int i = 0; i < 10; ++i) {
        EXPECT_EQ(m.key_at(i).as_string(), keys[i].as_string());
        EXPECT_EQ(copy.find(keys[i])->as_int(), i == 3 ? -3 : i);
    }

    // A map taking a layout shares it with its other holders.
    ObjMap built;
    std::vector<Value> vals;
    for (int i = 0; i < 10; ++i) vals.push_back(Value::integer(100 + i));
    built.assign_layout(m.shape(), vals.data(), 1);
    EXPECT_EQ(built.shape(), m.shape());
    EXPECT_EQ(built.key_set_id(), m.key_set_id());
    EXPECT_EQ(built.find(keys[9])->as_int(), 109);
    built.clear();
    m.clear();
    EXPECT_EQ(copy.find(keys[0])->as_int(), 0);  // its own layout survives the others
}
