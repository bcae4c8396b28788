// Values of the machine: ten kinds behind one 16-byte handle.
//
// Scalars (nil, bool, int, float) live inline in the handle and never touch
// the heap. Strings, arrays, objects and the three callable kinds point at a
// reference-counted heap cell. Copying a handle shares the cell; the only
// in-place mutation (element assignment) goes through the unique_* accessors,
// which clone a shared cell first, so arrays and objects behave as values.
//
// Reference counts are plain integers, not atomics: the values of one
// machine are touched by one thread at a time. The one-shot pipeline runs
// with the host interpreter lock held; the embedding runtime releases it
// while a script runs but admits one thread per machine, and what it hands
// to the host is either a copy (conversions) or a handle whose value it only
// releases on the machine's own thread.
//
// Releasing the last handle of a container destroys its contents with an
// explicit work list, never by recursion, so arbitrarily deep nesting cannot
// overflow the native stack. Display texts are built the same way.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/bytecode.h"

namespace calvex {

enum class Kind : uint8_t {
    Nil = 0,
    Bool = 1,
    Int = 2,
    Float = 3,
    String = 4,
    Array = 5,
    Object = 6,
    Function = 7,
    Method = 8,
    Native = 9,
};
inline constexpr int kKindCount = 10;

// "nil", "bool", "int", "float", "string", "array", "object", "function"
// (Function and Method), "native_fn".
const char* kind_name(Kind k);

class Value;
class ObjMap;

// ---- heap cells ---------------------------------------------------------------
// Every cell starts with its reference count. Cells are created only through
// the Value constructors below and destroyed by the last release.

struct Cell {
    size_t rc = 1;
};

// Immutable UTF-8 bytes stored inline after the header. `hash` is computed on
// first use (0 = not yet). `cap` lets the machine append in place to a string
// it holds uniquely.
struct StrCell : Cell {
    size_t len = 0;
    size_t cap = 0;
    mutable uint64_t hash = 0;
    char* data() { return reinterpret_cast<char*>(this + 1); }
    const char* data() const { return reinterpret_cast<const char*>(this + 1); }
    std::string_view view() const { return {data(), len}; }
};

uint64_t string_hash(std::string_view s);
inline uint64_t cell_hash(const StrCell* s) {
    if (s->hash == 0) s->hash = string_hash(s->view());
    return s->hash;
}

// The name carried by Function, Native and Method values. The mutable fields
// cache what the name resolves to in one machine: the tables a name is looked
// up in are fixed while a machine runs, so a resolution stays valid as long as
// `owner` equals that machine's current serial number (serials are never
// reused; a machine takes a new one whenever its tables change).
struct NameCell : Cell {
    StrCell* name = nullptr;  // owned reference
    mutable uint64_t owner = 0;
    mutable const void* unit = nullptr;    // user function, or null
    mutable const void* native = nullptr;  // native binding, or null
    mutable int32_t builtin = -1;          // built-in index, or -1
};

struct ArrCell;
struct ObjCell;
struct MethodCell;
MethodCell* new_method_cell();  // an empty cell with count 1 (recycled when the thread keeps one)

// ---- the handle -----------------------------------------------------------------

class Value {
public:
    Value() noexcept : tag_(Kind::Nil) { u_.i = 0; }
    Value(const Value& o) noexcept : tag_(o.tag_), u_(o.u_) {
        if (is_heap()) ++u_.cell->rc;
    }
    Value(Value&& o) noexcept : tag_(o.tag_), u_(o.u_) { o.tag_ = Kind::Nil; }
    Value& operator=(const Value& o) noexcept {
        if (o.is_heap()) ++o.u_.cell->rc;
        Value old(std::move(*this));
        tag_ = o.tag_;
        u_ = o.u_;
        return *this;
    }
    Value& operator=(Value&& o) noexcept {
        if (this != &o) {
            Value old(std::move(*this));
            tag_ = o.tag_;
            u_ = o.u_;
            o.tag_ = Kind::Nil;
        }
        return *this;
    }
    ~Value() {
        if (is_heap() && --u_.cell->rc == 0) release_last();
    }

    // ---- constructors
    static Value nil() { return Value(); }
    static Value boolean(bool b) { Value v; v.tag_ = Kind::Bool; v.u_.i = b ? 1 : 0; return v; }
    static Value integer(int64_t i) { Value v; v.tag_ = Kind::Int; v.u_.i = i; return v; }
    static Value number(double f) { Value v; v.tag_ = Kind::Float; v.u_.f = f; return v; }
    static Value string(std::string_view s);
    // A string with room for at least `cap` bytes (for appending in place).
    static Value string_with_capacity(std::string_view s, size_t cap);
    static Value array();
    static Value array(std::vector<Value> items);
    static Value object();
    static Value object(ObjMap map);
    static Value function(std::string_view name);
    static Value native(std::string_view name);
    static Value method(Value receiver, std::string_view function_name);
    static Value method(Value receiver, const Value& function);  // shares a Function's name cell
    // The bound-method cycle of a method call, without the cell pools: bind
    // builds a Method on the cell in `spare` when there is one (taking it),
    // and unbind turns a Method handle into its receiver, keeping the emptied
    // cell in an empty `spare` when this handle was its only holder.
    static Value bind(MethodCell*& spare, Value receiver, const NameCell* fn);
    void unbind(MethodCell*& spare) noexcept;

    // ---- kind tests
    Kind kind() const { return tag_; }
    bool is_nil() const { return tag_ == Kind::Nil; }
    bool is_bool() const { return tag_ == Kind::Bool; }
    bool is_int() const { return tag_ == Kind::Int; }
    bool is_float() const { return tag_ == Kind::Float; }
    bool is_number() const { return tag_ == Kind::Int || tag_ == Kind::Float; }
    bool is_string() const { return tag_ == Kind::String; }
    bool is_array() const { return tag_ == Kind::Array; }
    bool is_object() const { return tag_ == Kind::Object; }
    bool is_function() const { return tag_ == Kind::Function; }
    bool is_method() const { return tag_ == Kind::Method; }
    bool is_native() const { return tag_ == Kind::Native; }
    bool is_heap() const { return static_cast<uint8_t>(tag_) >= static_cast<uint8_t>(Kind::String); }

    // ---- accessors (the caller has checked the kind)
    bool as_bool() const { return u_.i != 0; }
    int64_t as_int() const { return u_.i; }
    double as_float() const { return u_.f; }
    std::string_view as_string() const { return u_.str->view(); }
    const std::vector<Value>& items() const;
    const ObjMap& members() const;
    // Function, Native: the name; Method: the function name.
    std::string_view callable_name() const;
    const Value& receiver() const;  // Method only
    // Function and Native: the name cell; Method: the cell of its function name.
    const NameCell* name_cell() const;

    // Copy-on-write: make this handle the only holder of its cell (cloning a
    // shared cell shallowly) and return the contents for change.
    std::vector<Value>& unique_items();
    ObjMap& unique_members();

    // Number of handles sharing the cell (1 for scalars).
    size_t share_count() const { return is_heap() ? u_.cell->rc : 1; }
    // Gives up this handle on a heap value that has other handles (the
    // count stays above zero); the slot is then raw memory.
    void drop_shared() noexcept { --u_.cell->rc; }
    // Identity of the heap cell (nullptr for scalars); for fast paths and tests.
    const void* cell() const { return is_heap() ? u_.cell : nullptr; }
    StrCell* str_cell() const { return u_.str; }

    // ---- in-place access for the machine's hot paths
    // Overwrite with a scalar without releasing the old contents: for raw
    // slots (stack memory not yet constructed) and handles known to hold a
    // scalar.
    void put_int(int64_t i) noexcept { tag_ = Kind::Int; u_.i = i; }
    void put_float(double f) noexcept { tag_ = Kind::Float; u_.f = f; }
    void put_bool(bool b) noexcept { tag_ = Kind::Bool; u_.i = b ? 1 : 0; }
    void put_nil() noexcept { tag_ = Kind::Nil; u_.i = 0; }
    // Moves `src` into the raw slot `dst` bitwise; `src` is raw after. The
    // tag and the payload are copied apart, as the handlers write them: one
    // 16-byte copy would read two recent stores at once, which the processor
    // cannot forward.
    static void relocate(Value* dst, const Value* src) noexcept {
        dst->tag_ = src->tag_;
        dst->u_ = src->u_;
    }
    // The payload of a handle known to be an Int / a Float, for change.
    int64_t& int_payload() noexcept { return u_.i; }
    double& float_payload() noexcept { return u_.f; }
    // Contents of an Array / Object for change without copy-on-write: the
    // caller has shown that no other holder can observe the change (a fresh
    // cell, or one whose other holders the change is about to overwrite).
    std::vector<Value>& items_in_place() noexcept;
    ObjMap& members_in_place() noexcept;
    // Function / Native: the name cell (name_cell() without the Method test).
    const NameCell* plain_name_cell() const noexcept { return u_.name; }
    // Method: the name cell of its function.
    const NameCell* method_name_cell() const noexcept;

private:
    void release_last() noexcept;  // the count has reached zero: destroy the cell

    Kind tag_;
    union U {
        int64_t i;
        double f;
        Cell* cell;
        StrCell* str;
        ArrCell* arr;
        ObjCell* obj;
        NameCell* name;
        MethodCell* meth;
    } u_;
};
static_assert(sizeof(Value) == 16);

// ---- object members -------------------------------------------------------------
// The keys of an object in order, with their hash index: the map's layout.
// Copies of a map share its layout, and so do the objects one literal builds
// (a MakeObject site keeps the layout it built last). A layout is changed in
// place only while a single holder has it; otherwise the map changing its
// keys takes a copy first.
struct ObjShape {
    size_t rc = 1;
    mutable uint64_t id = 0;      // key set number (ObjMap::key_set_id), 0 = not yet given
    std::vector<Value> keys;      // String values, distinct texts
    std::vector<int32_t> index;   // open addressing over keys, empty below 9 members
};
void release_shape(ObjShape* s) noexcept;
// The layout of every empty map: never counted, changed or freed, so maps
// of any thread may point at it.
extern constinit ObjShape kNoKeys;

// A counted reference to a layout, for caches outside the maps.
class ShapeRef {
public:
    ShapeRef() = default;
    ShapeRef(const ShapeRef& o) noexcept : p_(o.p_) { if (p_) ++p_->rc; }
    ShapeRef& operator=(const ShapeRef& o) noexcept {
        reset(o.p_);
        return *this;
    }
    ~ShapeRef() { if (p_) release_shape(p_); }
    ObjShape* get() const { return p_; }
    void reset(ObjShape* s) noexcept {
        if (s) ++s->rc;
        if (p_) release_shape(p_);
        p_ = s;
    }

private:
    ObjShape* p_ = nullptr;
};

// A map from string keys to values: a layout (ObjShape) and the values in
// its order. Keys are held as shared string cells so a constant key is never
// copied and its cached hash is reused. Iteration order is the order of
// first insertion (any order is acceptable to callers).
class ObjMap {
public:
    ObjMap() = default;
    ObjMap(const ObjMap& o);
    ObjMap(ObjMap&& o) noexcept;
    ObjMap& operator=(const ObjMap& o);
    ObjMap& operator=(ObjMap&& o) noexcept;
    ~ObjMap();

    size_t size() const { return vals_.size(); }
    bool empty() const { return vals_.empty(); }

    // Lookup by a String value (fast: cached hash) or by text.
    const Value* find(const Value& key) const;
    const Value* find(std::string_view key) const;
    Value* find_mut(const Value& key);
    // Sets key := value; `key` must be a String value.
    void set(const Value& key, Value value);
    void set(std::string_view key, Value value);
    // Inserts only when absent; returns false when the key was present.
    bool insert_new(const Value& key, Value value);

    // Entries in iteration order.
    const Value& key_at(size_t i) const { return keys_[i]; }
    // Whether entry `slot` exists and has key cell `k`: the member caches'
    // test, bounded in bytes so the hot paths need no division.
    bool holds_at(uint32_t slot, const StrCell* k) const {
        const size_t off = size_t{slot} * sizeof(Value);
        const size_t bytes = static_cast<size_t>(reinterpret_cast<const char*>(std::to_address(vals_.end())) -
                                                 reinterpret_cast<const char*>(vals_.data()));
        return off < bytes && keys_[slot].str_cell() == k;
    }
    const Value& value_at(size_t i) const { return vals_[i]; }
    Value& value_at(size_t i) { return vals_[i]; }

    void clear();
    void reserve(size_t n);

    // The layout (kNoKeys while empty), and an empty map taking layout `s`
    // (not kNoKeys) with values moved from v[0], v[stride], ... (one per key of s).
    ObjShape* shape() const { return shape_; }
    void assign_layout(ObjShape* s, Value* v, size_t stride);

    // A number naming this map's set of keys, unique in the process and
    // shared by the maps that share a layout: fast paths key caches on it.
    // key_set() is 0 until key_set_id() has given the layout one, and again
    // after any change to its keys; every empty map has the number 1.
    uint64_t key_set() const { return shape_->id; }
    uint64_t key_set_id() const;

private:
    ptrdiff_t index_of(std::string_view key, uint64_t h) const;
    ObjShape& own_shape();
    void rebuild_index(ObjShape& s);
    void drop_shape() noexcept;

    ObjShape* shape_ = &kNoKeys;
    const Value* keys_ = nullptr;  // shape_->keys.data(), kept here for the hot paths
    std::vector<Value> vals_;
};

struct ArrCell : Cell {
    std::vector<Value> items;
};
struct ObjCell : Cell {
    ObjMap map;
};
struct MethodCell : Cell {
    Value receiver;
    NameCell* fn = nullptr;  // owned reference
};

inline const std::vector<Value>& Value::items() const { return u_.arr->items; }
inline const ObjMap& Value::members() const { return u_.obj->map; }
inline const NameCell* Value::name_cell() const {
    return tag_ == Kind::Method ? u_.meth->fn : u_.name;
}
inline std::string_view Value::callable_name() const { return name_cell()->name->view(); }
inline const Value& Value::receiver() const { return u_.meth->receiver; }
inline std::vector<Value>& Value::items_in_place() noexcept { return u_.arr->items; }
inline ObjMap& Value::members_in_place() noexcept { return u_.obj->map; }
inline const NameCell* Value::method_name_cell() const noexcept { return u_.meth->fn; }

inline Value Value::bind(MethodCell*& spare, Value receiver, const NameCell* fn) {
    MethodCell* m = spare;
    if (m) {
        spare = nullptr;
        m->rc = 1;
    } else {
        m = new_method_cell();
    }
    new (&m->receiver) Value(std::move(receiver));  // a kept cell holds nil there
    m->fn = const_cast<NameCell*>(fn);
    ++m->fn->rc;
    Value v;
    v.u_.meth = m;
    v.tag_ = Kind::Method;
    return v;
}

inline void Value::unbind(MethodCell*& spare) noexcept {
    MethodCell* m = u_.meth;
    if (m->rc == 1 && !spare) [[likely]] {
        // The receiver's handle moves into this one; the name goes with the
        // handle made below.
        Value fn;
        fn.tag_ = Kind::Function;
        fn.u_.name = m->fn;
        m->fn = nullptr;
        tag_ = m->receiver.tag_;
        u_ = m->receiver.u_;
        m->receiver.tag_ = Kind::Nil;
        spare = m;
        return;
    }
    Value recv = m->receiver;
    *this = std::move(recv);
}

// ---- value operations ----------------------------------------------------------

// Truthiness: nil false; bool itself; int non-zero; float != 0.0 (NaN true);
// string/array non-empty; object with members; callables true.
inline bool truthy(const Value& v) {
    switch (v.kind()) {
        case Kind::Nil: return false;
        case Kind::Bool: return v.as_bool();
        case Kind::Int: return v.as_int() != 0;
        case Kind::Float: return !(v.as_float() == 0.0);
        case Kind::String: return !v.as_string().empty();
        case Kind::Array: return !v.items().empty();
        case Kind::Object: return !v.members().empty();
        default: return true;
    }
}

// Equality of Eq/Ne: numbers compare with an absolute tolerance of the double
// epsilon (ints with ints exactly); strings by bytes; nil with nil; bools by
// value; containers and callables are never equal, not even to themselves.
bool values_equal(const Value& a, const Value& b);

// Numbers whose difference is below the double epsilon are equal for Eq/Ne.
inline constexpr double kFloatEqualEpsilon = 2.220446049250313e-16;
inline bool floats_equal(double x, double y) { return std::fabs(x - y) < kFloatEqualEpsilon; }

// Numeric view of Lt/Le/Gt/Ge: false for non-numbers.
inline bool numeric_view(const Value& v, double& out) {
    if (v.is_int()) { out = static_cast<double>(v.as_int()); return true; }
    if (v.is_float()) { out = v.as_float(); return true; }
    return false;
}

// Long walks over values. The display text of a container expands shared
// structure as a tree (`a = [a, a]` forty times is 2^40 nodes), so while a
// machine runs, the walk asks the machine's interrupt check every few
// thousand nodes; when the check says stop, the walk throws WalkStopped,
// which the run loop turns into an interrupt (Abort::Interrupted) before the
// instruction has changed anything. Outside a run there is no check.
struct WalkStopped {};

// Installs `check` for walks on this thread until the scope ends (scopes
// nest, as machines do when a native binding runs another program).
class WalkCheckScope {
public:
    WalkCheckScope(bool (*check)(void*), void* ctx) noexcept;
    ~WalkCheckScope();
    WalkCheckScope(const WalkCheckScope&) = delete;
    WalkCheckScope& operator=(const WalkCheckScope&) = delete;

private:
    bool (*saved_check_)(void*);
    void* saved_ctx_;
};

// In-language text (str, Concat, object keys from SetIndex, container
// members). Nested containers are walked without recursion; the walk may
// throw WalkStopped (see above).
std::string display_text(const Value& v);
void append_display(std::string& out, const Value& v);
// Text used by print, input prompts and host results: strings quoted, arrays
// as "[array:N]", objects as "{object:N}", everything else as display_text.
std::string host_display_text(const Value& v);
void append_host_display(std::string& out, const Value& v);

// A compiler constant as a value.
Value value_from_constant(const Constant& c);

// Sets up the calling thread's value bookkeeping (its recycle pools are
// freed when the thread ends, which needs a registration that allocates);
// called on a thread's first entry, while memory is still there. Returns
// whether the pools exist yet (they are created with the first value).
bool prepare_thread_values() noexcept;

}  // namespace calvex
