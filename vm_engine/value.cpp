#include "value.h"

#include <atomic>
#include <cstring>
#include <new>
#include <utility>

#include "common/numfmt.h"
#include "pool.h"

namespace calvex {

namespace {

constexpr const char* kKindNames[kKindCount] = {
    "nil", "bool", "int", "float", "string", "array", "object", "function", "function", "native_fn",
};

StrCell* new_str_cell(std::string_view s, size_t cap) {
    if (cap < s.size()) cap = s.size();
    void* mem = ::operator new(sizeof(StrCell) + cap);
    auto* c = new (mem) StrCell;
    c->len = s.size();
    c->cap = cap;
    if (!s.empty()) std::memcpy(c->data(), s.data(), s.size());
    return c;
}

void free_str_cell(StrCell* c) {
    c->~StrCell();
    ::operator delete(c);
}

inline void release_str(StrCell* c) {
    if (--c->rc == 0) free_str_cell(c);
}

NameCell* new_name_cell(std::string_view name) {
    auto* n = new NameCell;
    try {
        n->name = new_str_cell(name, name.size());
    } catch (...) {
        delete n;
        throw;
    }
    return n;
}

// ---- recycled cells ------------------------------------------------------------
// Per-thread pools of emptied cells (pool.h), created on a thread's first
// value and freed, with the cells they keep, when the thread ends. A value
// released after that (by a later thread-exit destructor, or during static
// destruction on the main thread) finds no pool and frees its cell at once.
constexpr size_t kPoolCells = 1024;
constexpr size_t kKeepElements = 64;  // larger element storage is freed, not kept

struct Pools {
    CellPool<ArrCell, kPoolCells> arrays;
    CellPool<ObjCell, kPoolCells> objects;
    CellPool<MethodCell, kPoolCells> methods;
};

// Trivially destructible, so it stays readable while the thread ends.
thread_local bool t_pools_gone = false;

struct PoolsOwner {
    Pools* pools = nullptr;
    ~PoolsOwner() {
        t_pools_gone = true;
        delete std::exchange(pools, nullptr);
    }
};
// Its first use registers the destructor, which allocates; prepare_thread()
// makes that happen before memory can run out.
thread_local PoolsOwner t_pools;

// The thread's pools, or nullptr once they are gone.
Pools* pools() {
    if (t_pools_gone) [[unlikely]] return nullptr;
    PoolsOwner& owner = t_pools;
    if (!owner.pools) [[unlikely]] owner.pools = new Pools;
    return owner.pools;
}

ArrCell* new_arr_cell() {
    if (Pools* p = pools(); p)
        if (ArrCell* c = p->arrays.take()) return c;
    return new ArrCell;
}
ObjCell* new_obj_cell() {
    if (Pools* p = pools(); p)
        if (ObjCell* c = p->objects.take()) return c;
    return new ObjCell;
}

// free_cell runs while memory may be exhausted; it must not allocate.
Pools* pools_if_present() noexcept { return t_pools_gone ? nullptr : t_pools.pools; }

// ---- destruction without recursion ----------------------------------------------
// Cells whose count reached zero while another cell is being torn down are
// chained through their (now unused) count field, with the kind in the low
// four bits of the link (cells are at least 16-byte aligned). Tearing down one
// cell only releases its direct children, so the native stack depth stays
// constant however deep the value is nested, and no allocation is needed.
struct Teardown {
    bool active = false;
    uintptr_t head = 0;  // tagged Cell*
};
thread_local Teardown t_teardown;

void free_cell(Kind k, Cell* c) noexcept {
    switch (k) {
        case Kind::String: free_str_cell(static_cast<StrCell*>(c)); break;
        case Kind::Array: {
            auto* a = static_cast<ArrCell*>(c);
            if (a->items.capacity() <= kKeepElements) {
                a->items.clear();
                if (Pools* p = pools_if_present(); p && p->arrays.keep(a)) break;
            }
            delete a;
            break;
        }
        case Kind::Object: {
            auto* o = static_cast<ObjCell*>(c);
            if (o->map.size() <= kKeepElements) {
                o->map.clear();
                if (Pools* p = pools_if_present(); p && p->objects.keep(o)) break;
            }
            delete o;
            break;
        }
        case Kind::Function:
        case Kind::Native: {
            auto* n = static_cast<NameCell*>(c);
            release_str(n->name);
            delete n;
            break;
        }
        case Kind::Method: {
            auto* m = static_cast<MethodCell*>(c);
            NameCell* fn = m->fn;
            m->fn = nullptr;
            m->receiver = Value();
            if (Pools* p = pools_if_present(); !p || !p->methods.keep(m)) delete m;
            if (--fn->rc == 0) free_cell(Kind::Function, fn);
            break;
        }
        default: break;
    }
}

void destroy_cell(Kind k, Cell* c) noexcept {
    if (k == Kind::String) {
        free_str_cell(static_cast<StrCell*>(c));
        return;
    }
    Teardown& t = t_teardown;
    static_assert(alignof(std::max_align_t) >= 16);
    if (t.active) {
        c->rc = static_cast<size_t>(t.head);
        t.head = reinterpret_cast<uintptr_t>(c) | static_cast<uintptr_t>(k);
        return;
    }
    t.active = true;
    free_cell(k, c);
    while (t.head != 0) {
        uintptr_t link = t.head;
        auto* next = reinterpret_cast<Cell*>(link & ~uintptr_t{15});
        t.head = static_cast<uintptr_t>(next->rc);
        free_cell(static_cast<Kind>(link & 15), next);
    }
    t.active = false;
}

}  // namespace

bool prepare_thread_values() noexcept { return pools_if_present() != nullptr; }

MethodCell* new_method_cell() {
    if (Pools* p = pools(); p)
        if (MethodCell* c = p->methods.take()) return c;
    return new MethodCell;
}

const char* kind_name(Kind k) { return kKindNames[static_cast<size_t>(k)]; }

uint64_t string_hash(std::string_view s) {
    // 64-bit FNV-1a over 8-byte words, finished with a multiply-xorshift mix.
    uint64_t h = 0xcbf29ce484222325ull ^ s.size();
    size_t i = 0;
    for (; i + 8 <= s.size(); i += 8) {
        uint64_t w;
        std::memcpy(&w, s.data() + i, 8);
        h = (h ^ w) * 0x100000001b3ull;
        h ^= h >> 29;
    }
    uint64_t tail = 0;
    std::memcpy(&tail, s.data() + i, s.size() - i);
    h = (h ^ tail) * 0x9e3779b97f4a7c15ull;
    h ^= h >> 32;
    return h == 0 ? 1 : h;
}

void Value::release_last() noexcept { destroy_cell(tag_, u_.cell); }

Value Value::string(std::string_view s) {
    Value v;
    v.u_.str = new_str_cell(s, s.size());
    v.tag_ = Kind::String;
    return v;
}

Value Value::string_with_capacity(std::string_view s, size_t cap) {
    // Rounded up to what the allocator hands out anyway for that size (its
    // blocks are 16-byte steps with an 8-byte header): short strings built by
    // appending then grow in place instead of being copied at every step.
    if (cap < s.size()) cap = s.size();
    if (cap < (size_t(1) << 40)) cap = ((sizeof(StrCell) + cap + 8 + 15) & ~size_t(15)) - 8 - sizeof(StrCell);
    Value v;
    v.u_.str = new_str_cell(s, cap);
    v.tag_ = Kind::String;
    return v;
}

Value Value::array() {
    Value v;
    v.u_.arr = new_arr_cell();
    v.tag_ = Kind::Array;
    return v;
}

Value Value::array(std::vector<Value> items) {
    Value v;
    v.u_.arr = new_arr_cell();
    v.u_.arr->items = std::move(items);
    v.tag_ = Kind::Array;
    return v;
}

Value Value::object() {
    Value v;
    v.u_.obj = new_obj_cell();
    v.tag_ = Kind::Object;
    return v;
}

Value Value::object(ObjMap map) {
    Value v;
    v.u_.obj = new_obj_cell();
    v.u_.obj->map = std::move(map);
    v.tag_ = Kind::Object;
    return v;
}

Value Value::function(std::string_view name) {
    Value v;
    v.u_.name = new_name_cell(name);
    v.tag_ = Kind::Function;
    return v;
}

Value Value::native(std::string_view name) {
    Value v;
    v.u_.name = new_name_cell(name);
    v.tag_ = Kind::Native;
    return v;
}

Value Value::method(Value receiver, std::string_view function_name) {
    NameCell* fn = new_name_cell(function_name);
    MethodCell* m;
    try {
        m = new_method_cell();
    } catch (...) {
        free_cell(Kind::Function, fn);
        throw;
    }
    m->receiver = std::move(receiver);
    m->fn = fn;
    Value v;
    v.u_.meth = m;
    v.tag_ = Kind::Method;
    return v;
}

Value Value::method(Value receiver, const Value& function) {
    MethodCell* m = new_method_cell();
    m->receiver = std::move(receiver);
    m->fn = const_cast<NameCell*>(function.name_cell());
    ++m->fn->rc;
    Value v;
    v.u_.meth = m;
    v.tag_ = Kind::Method;
    return v;
}

std::vector<Value>& Value::unique_items() {
    if (u_.arr->rc != 1) {
        ArrCell* c = new_arr_cell();
        try {
            c->items = u_.arr->items;
        } catch (...) {
            delete c;
            throw;
        }
        --u_.arr->rc;  // the old cell is still held elsewhere
        u_.arr = c;
    }
    return u_.arr->items;
}

ObjMap& Value::unique_members() {
    if (u_.obj->rc != 1) {
        ObjCell* c = new_obj_cell();
        try {
            c->map = u_.obj->map;
        } catch (...) {
            delete c;
            throw;
        }
        --u_.obj->rc;
        u_.obj = c;
    }
    return u_.obj->map;
}

// ---- ObjMap -----------------------------------------------------------------------

namespace {
constexpr size_t kLinearLimit = 8;

inline bool key_matches(const Value& k, std::string_view key, uint64_t h) {
    const StrCell* c = k.str_cell();
    return c->hash == h && c->len == key.size() && std::memcmp(c->data(), key.data(), key.size()) == 0;
}
}  // namespace

constinit ObjShape kNoKeys{1, 1, {}, {}};

void release_shape(ObjShape* s) noexcept {
    if (--s->rc == 0) delete s;
}

void ObjMap::drop_shape() noexcept {
    if (shape_ != &kNoKeys) release_shape(shape_);
    shape_ = &kNoKeys;
    keys_ = nullptr;
}

ObjMap::ObjMap(const ObjMap& o) : vals_(o.vals_) {
    shape_ = o.shape_;
    keys_ = o.keys_;
    if (shape_ != &kNoKeys) ++shape_->rc;
}
ObjMap::ObjMap(ObjMap&& o) noexcept
    : shape_(std::exchange(o.shape_, &kNoKeys)), keys_(std::exchange(o.keys_, nullptr)), vals_(std::move(o.vals_)) {
    o.vals_.clear();
}
// Reuses this map's value storage, so a recycled map does not allocate for
// a small copy. If the allocation fails the map is left empty.
ObjMap& ObjMap::operator=(const ObjMap& o) {
    if (this != &o) {
        drop_shape();
        vals_.clear();
        try {
            vals_ = o.vals_;
        } catch (...) {
            vals_.clear();
            throw;
        }
        shape_ = o.shape_;
        keys_ = o.keys_;
        if (shape_ != &kNoKeys) ++shape_->rc;
    }
    return *this;
}
ObjMap& ObjMap::operator=(ObjMap&& o) noexcept {
    if (this != &o) {
        drop_shape();
        shape_ = std::exchange(o.shape_, &kNoKeys);
        keys_ = std::exchange(o.keys_, nullptr);
        vals_ = std::move(o.vals_);
        o.vals_.clear();
    }
    return *this;
}
ObjMap::~ObjMap() { drop_shape(); }

uint64_t ObjMap::key_set_id() const {
    static std::atomic<uint64_t> next{2};  // 1 names the empty set (kNoKeys)
    if (shape_->id == 0) shape_->id = next.fetch_add(1, std::memory_order_relaxed);
    return shape_->id;
}

ptrdiff_t ObjMap::index_of(std::string_view key, uint64_t h) const {
    const std::vector<int32_t>& index = shape_->index;
    if (index.empty()) {
        for (size_t i = 0; i < vals_.size(); ++i)
            if (key_matches(keys_[i], key, h)) return static_cast<ptrdiff_t>(i);
        return -1;
    }
    size_t mask = index.size() - 1;
    for (size_t p = h & mask;; p = (p + 1) & mask) {
        int32_t e = index[p];
        if (e == 0) return -1;
        size_t i = static_cast<size_t>(e - 1);
        if (key_matches(keys_[i], key, h)) return static_cast<ptrdiff_t>(i);
    }
}

const Value* ObjMap::find(const Value& key) const {
    const StrCell* kc = key.str_cell();
    const std::vector<int32_t>& index = shape_->index;
    if (index.empty()) {
        // Keys and lookup keys usually share one cell (the machine interns
        // its string constants), so identity is tried before the text. Keys
        // are distinct texts: at most one can match either way.
        uint64_t h = cell_hash(kc);
        for (size_t i = 0; i < vals_.size(); ++i) {
            const StrCell* c = keys_[i].str_cell();
            if (c == kc || (c->hash == h && c->len == kc->len && std::memcmp(c->data(), kc->data(), kc->len) == 0))
                return &vals_[i];
        }
        return nullptr;
    }
    uint64_t h = cell_hash(kc);
    size_t mask = index.size() - 1;
    for (size_t p = h & mask;; p = (p + 1) & mask) {
        int32_t e = index[p];
        if (e == 0) return nullptr;
        size_t i = static_cast<size_t>(e - 1);
        const StrCell* c = keys_[i].str_cell();
        if (c == kc || key_matches(keys_[i], kc->view(), h)) return &vals_[i];
    }
}

const Value* ObjMap::find(std::string_view key) const {
    ptrdiff_t i = index_of(key, string_hash(key));
    return i < 0 ? nullptr : &vals_[static_cast<size_t>(i)];
}

Value* ObjMap::find_mut(const Value& key) { return const_cast<Value*>(std::as_const(*this).find(key)); }

// The layout for a change of keys: this map's own, made (empty) or copied
// (from a shared one) first. Throws only before the map has changed.
ObjShape& ObjMap::own_shape() {
    if (shape_ == &kNoKeys) {
        shape_ = new ObjShape;
    } else if (shape_->rc > 1) {
        auto* c = new ObjShape;
        try {
            c->keys = shape_->keys;
            c->index = shape_->index;
        } catch (...) {
            delete c;
            throw;
        }
        --shape_->rc;
        shape_ = c;
    }
    keys_ = shape_->keys.data();
    return *shape_;
}

void ObjMap::rebuild_index(ObjShape& s) {
    size_t cap = 16;
    while (cap < s.keys.size() * 2) cap *= 2;
    std::vector<int32_t> idx(cap, 0);
    size_t mask = cap - 1;
    for (size_t i = 0; i < s.keys.size(); ++i) {
        size_t p = s.keys[i].str_cell()->hash & mask;
        while (idx[p] != 0) p = (p + 1) & mask;
        idx[p] = static_cast<int32_t>(i + 1);
    }
    s.index = std::move(idx);
}

// Room for one more entry in both vectors before either changes, so that a
// failed allocation leaves the map as it was. Capacity doubles: adding keys
// one by one stays linear overall.
namespace {
template <class T>
void make_room(std::vector<T>& v) {
    if (v.size() == v.capacity()) v.reserve(v.size() < 4 ? 4 : v.size() * 2);
}
}  // namespace

bool ObjMap::insert_new(const Value& key, Value value) {
    uint64_t h = cell_hash(key.str_cell());
    if (index_of(key.as_string(), h) >= 0) return false;
    ObjShape& s = own_shape();
    make_room(s.keys);
    keys_ = s.keys.data();
    make_room(vals_);
    s.id = 0;
    s.keys.push_back(key);
    vals_.push_back(std::move(value));
    if (s.keys.size() > kLinearLimit) {
        if (s.index.empty() || s.keys.size() * 2 > s.index.size()) {
            try {
                rebuild_index(s);
            } catch (...) {
                // Without the entry again, so the old index still covers every key.
                s.keys.pop_back();
                vals_.pop_back();
                throw;
            }
        } else {
            size_t mask = s.index.size() - 1;
            size_t p = h & mask;
            while (s.index[p] != 0) p = (p + 1) & mask;
            s.index[p] = static_cast<int32_t>(s.keys.size());
        }
    }
    return true;
}

void ObjMap::set(const Value& key, Value value) {
    if (Value* slot = find_mut(key)) {
        *slot = std::move(value);
        return;
    }
    insert_new(key, std::move(value));
}

void ObjMap::set(std::string_view key, Value value) {
    ptrdiff_t i = index_of(key, string_hash(key));
    if (i >= 0) {
        vals_[static_cast<size_t>(i)] = std::move(value);
        return;
    }
    insert_new(Value::string(key), std::move(value));
}

void ObjMap::clear() {
    drop_shape();
    vals_.clear();
}

void ObjMap::reserve(size_t n) {
    if (n <= vals_.size()) return;
    vals_.reserve(n);
    own_shape().keys.reserve(n);
    keys_ = shape_->keys.data();
}

void ObjMap::assign_layout(ObjShape* s, Value* v, size_t stride) {
    const size_t n = s->keys.size();
    drop_shape();
    vals_.clear();
    vals_.reserve(n);  // the only step that can fail: the map is still empty then
    for (size_t k = 0; k < n; ++k) vals_.push_back(std::move(v[k * stride]));
    ++s->rc;
    shape_ = s;
    keys_ = s->keys.data();
}

// ---- operations ---------------------------------------------------------------------

bool values_equal(const Value& a, const Value& b) {
    switch (a.kind()) {
        case Kind::Nil: return b.is_nil();
        case Kind::Bool: return b.is_bool() && a.as_bool() == b.as_bool();
        case Kind::Int:
            if (b.is_int()) return a.as_int() == b.as_int();
            if (b.is_float()) {
                return floats_equal(static_cast<double>(a.as_int()), b.as_float());
            }
            return false;
        case Kind::Float:
            if (b.is_number()) {
                double y = b.is_int() ? static_cast<double>(b.as_int()) : b.as_float();
                return floats_equal(a.as_float(), y);
            }
            return false;
        case Kind::String:
            if (!b.is_string()) return false;
            if (a.str_cell() == b.str_cell()) return true;
            return a.as_string() == b.as_string();
        default: return false;
    }
}

namespace {

void append_int(std::string& out, int64_t i) {
    char buf[24];
    char* e = buf + sizeof buf;
    char* p = e;
    uint64_t u = i < 0 ? 0 - static_cast<uint64_t>(i) : static_cast<uint64_t>(i);
    do {
        *--p = static_cast<char>('0' + u % 10);
        u /= 10;
    } while (u);
    if (i < 0) *--p = '-';
    out.append(p, static_cast<size_t>(e - p));
}

// Everything but arrays and objects.
void append_leaf(std::string& out, const Value& v) {
    switch (v.kind()) {
        case Kind::Nil: out += "nil"; break;
        case Kind::Bool: out += v.as_bool() ? "true" : "false"; break;
        case Kind::Int: append_int(out, v.as_int()); break;
        case Kind::Float: append_float_display(out, v.as_float()); break;
        case Kind::String: out += v.as_string(); break;
        case Kind::Function:
            out += "<function ";
            out += v.callable_name();
            out += '>';
            break;
        case Kind::Method:
            out += "<method ";
            out += v.callable_name();
            out += '>';
            break;
        case Kind::Native:
            out += "<native ";
            out += v.callable_name();
            out += '>';
            break;
        default: break;
    }
}

}  // namespace

namespace {

struct WalkCheck {
    bool (*check)(void*) = nullptr;
    void* ctx = nullptr;
};
thread_local WalkCheck t_walk_check;

constexpr uint32_t kWalkCheckNodes = 4096;

[[gnu::cold, gnu::noinline]] void poll_walk_check() {
    const WalkCheck& w = t_walk_check;
    if (w.check && w.check(w.ctx)) throw WalkStopped{};
}

}  // namespace

WalkCheckScope::WalkCheckScope(bool (*check)(void*), void* ctx) noexcept
    : saved_check_(t_walk_check.check), saved_ctx_(t_walk_check.ctx) {
    t_walk_check = {check, ctx};
}
WalkCheckScope::~WalkCheckScope() { t_walk_check = {saved_check_, saved_ctx_}; }

void append_display(std::string& out, const Value& root) {
    if (!root.is_array() && !root.is_object()) {
        append_leaf(out, root);
        return;
    }
    uint32_t until_check = kWalkCheckNodes;
    // Containers are walked with an explicit stack; the values are not
    // changed meanwhile, so the element pointers stay valid.
    struct Level {
        const Value* v;
        size_t i;
    };
    std::vector<Level> stack;
    out += root.is_array() ? '[' : '{';
    stack.push_back({&root, 0});
    while (!stack.empty()) {
        Level& top = stack.back();
        const Value& c = *top.v;
        bool arr = c.is_array();
        size_t n = arr ? c.items().size() : c.members().size();
        if (top.i == n) {
            out += arr ? ']' : '}';
            stack.pop_back();
            continue;
        }
        if (--until_check == 0) [[unlikely]] {
            until_check = kWalkCheckNodes;
            poll_walk_check();
        }
        if (top.i > 0) out += ", ";
        const Value* child;
        if (arr) {
            child = &c.items()[top.i];
        } else {
            out += c.members().key_at(top.i).as_string();
            out += ": ";
            child = &c.members().value_at(top.i);
        }
        ++top.i;
        if (child->is_array() || child->is_object()) {
            out += child->is_array() ? '[' : '{';
            stack.push_back({child, 0});
        } else {
            append_leaf(out, *child);
        }
    }
}

std::string display_text(const Value& v) {
    std::string out;
    append_display(out, v);
    return out;
}

void append_host_display(std::string& out, const Value& v) {
    switch (v.kind()) {
        case Kind::String:
            out += '"';
            out += v.as_string();
            out += '"';
            break;
        case Kind::Array:
            out += "[array:";
            append_int(out, static_cast<int64_t>(v.items().size()));
            out += ']';
            break;
        case Kind::Object:
            out += "{object:";
            append_int(out, static_cast<int64_t>(v.members().size()));
            out += '}';
            break;
        default: append_leaf(out, v); break;
    }
}

std::string host_display_text(const Value& v) {
    std::string out;
    append_host_display(out, v);
    return out;
}

Value value_from_constant(const Constant& c) {
    switch (c.index()) {
        case 1: return Value::boolean(std::get<1>(c));
        case 2: return Value::integer(std::get<2>(c));
        case 3: return Value::number(std::get<3>(c));
        case 4: return Value::string(std::get<4>(c));
        default: return Value::nil();
    }
}

}  // namespace calvex
