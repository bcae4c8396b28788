// The machine's internal records, shared by the files that implement it:
// predecoding (predecode.cpp), method lookup (methods.cpp), the dispatch loop
// (interpreter.cpp) and the public API (vm.cpp).
//
// Layout of the operand memory. One growable array of values holds every
// activation: the top level's registers and stack at the bottom, and for each
// active call a window [callee slot | registers | operand stack]. A Call
// leaves the arguments where they are and nil in the callee slot; the
// arguments become the callee's first registers, the remaining registers are
// set to nil, and the callee's operand stack starts right above them. Return
// releases the registers and the stack and moves the result into the callee
// slot. So entering a
// function touches only the registers its code can name, and nothing is
// copied.
#pragma once

#include <algorithm>
#include <cstring>
#include <memory>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "common/utf8.h"
#include "jit.h"
#include "vm.h"

namespace calvex {


// Internal records of the machine (own namespace: other files of the library
// may use the same short names).
namespace vmi {

// Stack slots at or above the stack top are raw memory: they are written with
// placement construction and never destroyed.
inline void put_int(Value* s, int64_t i) { s->put_int(i); }
inline void put_float(Value* s, double f) { s->put_float(f); }
inline void put_bool(Value* s, bool b) { s->put_bool(b); }
inline void put_nil(Value* s) { s->put_nil(); }
// Stores into a live slot (a register), releasing what it held. Forced
// inline: the loop is too large for the compiler to inline them itself.
[[gnu::always_inline]] inline void store_int(Value& d, int64_t i) {
    if (d.is_heap()) [[unlikely]] {
        d = Value::integer(i);
        return;
    }
    d.put_int(i);
}
[[gnu::always_inline]] inline void store_float(Value& d, double f) {
    if (d.is_heap()) [[unlikely]] {
        d = Value::number(f);
        return;
    }
    d.put_float(f);
}

// Moves / copies a value into a live slot. A slot holding a scalar has
// nothing to release, so the handle is simply constructed over it; only a
// heap value there takes the assignment's release path.
[[gnu::always_inline]] inline void move_into(Value& d, Value& s) noexcept {
    if (!d.is_heap()) [[likely]] {
        new (&d) Value(std::move(s));
        return;
    }
    d = std::move(s);
}
// move_into for a slot that often holds a handle other holders share (a
// variable given the next element of an array): that handle is dropped
// without a call; only the last handle takes the assignment's release path.
[[gnu::always_inline]] inline void move_over(Value& d, Value& s) noexcept {
    if (!d.is_heap() || d.share_count() > 1) [[likely]] {
        if (d.is_heap()) d.drop_shared();
        new (&d) Value(std::move(s));
        return;
    }
    d = std::move(s);
}
[[gnu::always_inline]] inline void copy_into(Value& d, const Value& s) noexcept {
    if (!d.is_heap()) [[likely]] {
        new (&d) Value(s);
        return;
    }
    d = s;
}

uint64_t next_serial();

constexpr size_t kInitialStack = 1024;
constexpr int kCheckInterval = 4096;

#define CMP_LIST(X) X(Lt) X(Le) X(Gt) X(Ge) X(Eq) X(Ne)
#define ARITH_LIST(X) X(Add) X(Sub) X(Mul) X(Div) X(Mod)
#define MEMBER_EXPR_LIST(X) X(Add) X(Sub) X(Mul) X(Div)

// Internal instruction kinds, one per handler of the loop: the public ones in
// their order, then the machine's own variants (machine_ops.def).
enum IOp : uint16_t {
#define HANDLER(name) I_##name,
#include "machine_ops.def"
#undef HANDLER
    I_Count
};
static_assert(I_End == kOpCount);

struct PInst {
    const void* h;
    union {
        int64_t i;
        uint64_t u;
    } a;
    // A jump's target: prepare() stores it as the entry's address.
    const PInst* target() const { return reinterpret_cast<const PInst*>(a.u); }
};

// Per-site method cache for GetIndex. Holds the class-name and key cells it
// was filled for (so their identity cannot be reused by other text) and the
// answer: a Function value naming the method, or nil for a negative answer.
struct MethodIC {
    Value cls;
    Value key;
    Value answer;
    // The fused heads whose key is the site's constant (LoadLocalGetConst,
    // MethodCall) also keep the key set (ObjMap::key_set_id) of the last
    // object that lacked that member, so the next call on it skips the
    // failing search.
    uint64_t absent_in = 0;
    // MethodCall heads: their call site (CodeUnit::calls).
    uint32_t site = 0;
};

// A call whose arguments are simple pushes (see call_sites() in
// predecode.cpp): the fused heads CallGlobal and MethodCall evaluate them
// without dispatching each and enter the callee in the same step.
struct SiteArg {
    enum Code : uint8_t {
        Imm,     // Push k
        Local,   // LoadLocal r
        Const,   // LoadConst k
        ImmAdd,  // LoadLocal r; Push k; op, for op Add, Sub, Mul, Mod
        ImmSub,
        ImmMul,
        ImmMod,
        LocAdd,  // LoadLocal r; LoadLocal k; op, for op Add, Sub, Mul, Mod
        LocSub,
        LocMul,
        LocMod,
    };
    Code code = Imm;
    uint16_t r = 0;
    int64_t k = 0;
};
constexpr size_t kSiteArgs = 4;

struct CodeUnit;

struct CallSite {
    // How the fused head writes the arguments: a block for a single
    // argument of each SiteArg code, one for none, one general (see
    // site_arguments in interpreter.cpp); the method calls' blocks, which
    // write them above the receiver, follow the plain calls'. The same
    // blocks again from Tidy end in an entry that also clears the caller's
    // variable the result overwrites (drop) and sets the callee's registers
    // past the arguments to nil (nils).
    enum Form : uint8_t { General, None, One, Method = One + 11, Tidy = 2 * Method };  // One + SiteArg::Code
    uint32_t nargs = 0;
    uint32_t len = 0;    // instructions from the head to the Call, both included
    const PInst* ret = nullptr;  // the entry after the Call
    int64_t drop = -1;   // register the result will overwrite (`x = f(x)`), or -1
    bool strict = false; // CallGlobal: the head is a strict LoadGlobal
    uint32_t global = 0; // CallGlobal: the global slot the head reads
    const Value* slot = nullptr;  // CallGlobal: that global (Machine::point_sites keeps it current)
    bool copies = false; // some argument is a register or a constant (a handle to copy)
    bool method = false; // MethodCall head: the receiver is the callee's register 0
    uint8_t form = General;  // the argument block
    uint8_t entry = General; // the block the head takes: form, or form + Tidy (fill_site)
    const void* block = nullptr;  // that block's label
    SiteArg args[kSiteArgs];
    // The callee last entered through this site: the function value (held,
    // so its cell's identity cannot pass to another function) and what its
    // name resolved to, with the checks that depend only on the callee made
    // once (a user function, no native of that name, the argument count
    // within its parameters). Valid while the machine's tables stay as they
    // are: Machine::renew_serial empties every site's cache.
    Value fn;
    CodeUnit* target = nullptr;
    // The registers past the arguments (and the receiver); in bytes above
    // the callee slot, the callee's stack bottom and the room the call needs.
    size_t nils = 0;
    size_t top = 0;
    size_t reach = 0;
    // MethodCall: the key set of the object last called on (one that lacks
    // the member, 0 for none), where its class member sits, and the class
    // name cell it held (held, like fn). The answer for that class is fn.
    uint64_t shape = 0;
    uint32_t cls_slot = 0;
    Value cls;
};
// The argument blocks of the fused calls, after the handlers in the label table.
constexpr size_t kSiteBlocks = 2 * size_t{CallSite::Tidy};

// The write-back after a nested element assignment `v0[k0]...[kn] = x`: the
// keys pushed again (innermost level first) and where the root goes.
struct WriteBack {
    struct Key {
        Op op;        // Push, LoadConst or LoadLocal
        int64_t arg;  // immediate, constant index or register
    };
    std::vector<Key> keys;
    Op store;  // StoreLocal, StoreGlobal or Pop
    uint64_t slot = 0;  // register or global slot
};

// `o.k = o.k ± e` or `o.k = o.k ± e * f` on a member of an object variable,
// e and f each a variable, a number constant or a member of a variable read
// by a constant key (see member_updates() in predecode.cpp): the fused head
// MemberUpdate computes and stores the member in one step when every operand
// is a Float, or every one an Int, and their members sit where their sites
// found them last.
struct UpdateTerm {
    enum Kind : uint8_t { Local, Fixed, Member };
    Kind kind = Local;
    uint8_t reg = 0;      // Local, Member: the register
    uint32_t cache = 0;   // Member: the LoadConst k entry (k's index, and where the member was last)
    Value fixed;          // Fixed: the number (an Int or a Float, never a handle)
};
struct MemberUpdate {
    uint8_t obj = 0;       // the object's register
    bool sub = false;      // ± is -
    bool product = false;  // e * f rather than e
    uint8_t len = 0;       // instructions from the head to the StoreLocal, both included
    uint32_t key = 0;      // k's constant (the read's)
    UpdateTerm t[2];
};

struct CodeUnit {
    // Jump operands, call sites and frames hold addresses of pcode entries:
    // a unit is made in place and never copied.
    CodeUnit() = default;
    CodeUnit(const CodeUnit&) = delete;
    CodeUnit& operator=(const CodeUnit&) = delete;

    std::string name;
    Code code;
    LineTable lines;
    std::vector<Value> constants;
    uint32_t params = 0;
    uint32_t file = 0;  // load() tag, for tracebacks
    bool function = false;  // a function's code (entered by a call, left by Return)

    std::vector<PInst> pcode;  // code.size() + 1 entries
    std::vector<MethodIC> ics;
    // Member caches, one per instruction: where the key an object member
    // read or write found last time sits in the object (see find_member).
    std::vector<uint32_t> slots;
    // MakeObject sites: the layout each built last (its slot holds the
    // index + 1, 0 until the site has built an object of string keys).
    std::vector<ShapeRef> layouts;
    std::vector<WriteBack> chains;
    std::vector<CallSite> calls;
    std::vector<MemberUpdate> updates;
    uint32_t nregs = 0;        // 1 + highest register the code names
    uint32_t window = 0;       // registers of a call: max(nregs, params)
    size_t headroom = 0;       // stack room one straight run can need
    size_t reach = 0;          // window + headroom: the room entering a call needs above the callee slot
    // Every instruction is reached with one stack depth, whatever the path
    // (stack_depths_agree() in predecode.cpp): a loop then never grows the
    // stack, and its edges need not check the room.
    bool balanced = false;
    // Loop edges have more to do than poll: the stack room to check (not
    // balanced) or a JIT to tell (set on every unit when one is enabled).
    bool edge_checks = true;
};

// The caller's state saved by a call. The caller's operand stack starts
// right after its registers (unit->window values above them). The callee
// slot, where the window Return releases starts, is the value right below
// the callee's registers. The caller's registers are kept as their distance
// below the callee's, which moving the operand memory does not change.
struct CallFrame {
    CodeUnit* unit;    // nullptr only in the sentinel below the first frame
    const PInst* ret;  // caller's instruction after the Call
    size_t down;       // bytes from the caller's registers up to the callee's
};

}  // namespace vmi

using vmi::CallFrame;
using vmi::CallSite;
using vmi::CodeUnit;
using vmi::MethodIC;
using vmi::PInst;
using vmi::WriteBack;

struct Machine {
    uint64_t serial = vmi::next_serial();
    std::unique_ptr<CodeUnit> top;
    std::vector<std::unique_ptr<CodeUnit>> units;
    std::unordered_map<std::string, CodeUnit*> functions;
    std::unordered_map<std::string, std::shared_ptr<NativeBinding>> natives;

    std::vector<Value> globals;
    std::unordered_map<std::string, uint32_t> global_index;
    std::vector<std::string> global_names;  // by slot
    std::vector<uint8_t> assigned;          // by slot: stored to at least once (strict mode reads it)
    std::unordered_map<std::string, Value> method_cache;  // "len:class" + member -> answer

    JitState* jit = nullptr;
    VMState state;
    uint64_t executed = 0;
    Abort abort = Abort::None;

    // Operand memory (see the top of this file) and the saved loop state.
    Value* stack = nullptr;
    size_t cap = 0;
    Value* stack_end = nullptr;  // stack + cap, for the loop edges' room check
    size_t sp = 0;
    size_t regs = 0;
    size_t sbase = 0;
    CodeUnit* cur = nullptr;
    size_t pc = 0;
    // Active calls: a plain array grown by doubling up to the depth limit,
    // with a sentinel (unit nullptr) right below frames[0], which a Return
    // finds when no call is active. The loop keeps the top of the array in
    // a local and writes nframes back whenever it lets other code run.
    CallFrame* frames = nullptr;
    size_t nframes = 0;
    size_t frames_cap = 0;

    bool (*check)(void*) = nullptr;
    int check_every = vmi::kCheckInterval;
    void* check_ctx = nullptr;
    std::string scratch;  // text buffer reused by Concat
    // A bound-method cell kept between the method lookup that builds a
    // Method and the call that consumes it (Value::bind / unbind): empty,
    // owned by the machine.
    MethodCell* spare_method = nullptr;
    bool fast_paths = true;
    bool strict = false;
    bool tracebacks = false;
    size_t max_depth = VM::kMaxCallDepth;
    // Embedding: the frames below trace_base belong to an outer entry (see
    // VM::call) and are not part of this entry's traceback.
    std::vector<TraceEntry> trace;
    size_t trace_base = 0;
    std::unique_ptr<CodeUnit> stub;  // `Call n` for VM::call
    std::shared_ptr<NativeBinding> builtin_routes[kBuiltinCount];  // VM::route_builtin

    Value k_class = Value::string("__class__");
    Value k_methods = Value::string("__methods__");
    Value k_parent = Value::string("__parent__");
    // One-character strings of the bytes below 0x80, made on first use and
    // shared by every string iteration of this machine.
    Value ascii_chars[128];

    // The texts typeof gives, one per kind, interned with the string
    // constants of every load (so `typeof(x) == "int"` matches on identity).
    Value kind_texts[kKindCount];

    const Value& ascii_char(unsigned char c) {
        Value& v = ascii_chars[c];
        if (!v.is_string()) v = Value::string(std::string_view(reinterpret_cast<const char*>(&c), 1));
        return v;
    }
    // The one-character string of the UTF-8 scalar at byte `at` of `s`
    // (at < s.size()); sets `len` to its length in bytes.
    Value char_at(std::string_view s, size_t at, size_t& len) {
        auto c = static_cast<unsigned char>(s[at]);
        if (c < 0x80) {
            len = 1;
            return ascii_char(c);
        }
        len = utf8_next(s, at, Utf8Policy::Trusted).len;
        return Value::string(s.substr(at, len));
    }

    ~Machine() {
        for (size_t i = sp; i-- > 0;) stack[i].~Value();
        ::operator delete(stack);
        if (frames) ::operator delete(frames - 1);
        delete spare_method;
        if (jit) jit_free(jit);
    }

    uint32_t global_slot(const std::string& name) {
        auto it = global_index.find(name);
        if (it != global_index.end()) return it->second;
        uint32_t slot = static_cast<uint32_t>(globals.size());
        const Value* was = globals.data();
        globals.emplace_back();
        if (globals.data() != was) point_sites();
        global_names.push_back(name);
        assigned.push_back(0);
        global_index.emplace(name, slot);
        return slot;
    }

    // Grows the operand memory to hold at least `total` slots. Live values
    // are relocated bitwise (a handle has no self-references).
    void grow(size_t total) {
        size_t n = cap ? cap : vmi::kInitialStack;
        while (n < total) n *= 2;
        auto* fresh = static_cast<Value*>(::operator new(n * sizeof(Value)));
        if (sp) std::memcpy(static_cast<void*>(fresh), static_cast<const void*>(stack), sp * sizeof(Value));
        ::operator delete(stack);
        stack = fresh;
        cap = n;
        stack_end = fresh + n;
    }

    void grow_frames() {
        size_t n = frames_cap ? std::min(frames_cap * 2, max_depth) : std::min<size_t>(128, max_depth);
        auto* fresh = static_cast<CallFrame*>(::operator new((n + 1) * sizeof(CallFrame))) + 1;
        fresh[-1] = CallFrame{nullptr, nullptr, 0};
        if (nframes) std::memcpy(static_cast<void*>(fresh), static_cast<const void*>(frames), nframes * sizeof(CallFrame));
        if (frames) ::operator delete(frames - 1);
        frames = fresh;
        frames_cap = n;
    }

    // A new serial number, after the tables that name resolution reads
    // (functions, natives, routed built-ins) changed: every name cell's
    // resolution and every call site's cached callee are stale.
    void renew_serial() {
        serial = vmi::next_serial();
        auto forget = [](CodeUnit* u) {
            if (!u) return;
            for (CallSite& s : u->calls) {
                s.fn = Value();
                s.target = nullptr;
                s.shape = 0;
                s.cls = Value();
            }
        };
        forget(top.get());
        forget(stub.get());
        for (auto& u : units) forget(u.get());
    }
    // Fills the cache of a fused call site for the function value `fv`
    // (predecode.cpp). False, with the cache unchanged, when the fused head
    // cannot enter it: the generic call handles that callee.
    bool fill_site(CallSite& s, const Value& fv);

    void resolve(const NameCell* n) {
        std::string_view name = n->name->view();
        std::string key(name);
        auto f = functions.find(key);
        n->unit = f == functions.end() ? nullptr : f->second;
        auto b = natives.find(key);
        n->native = b == natives.end() ? nullptr : b->second.get();
        n->builtin = builtin_index(name);
        // A routed built-in (embedding: print, input) keeps the built-in's
        // place: after natives and user functions of the same name.
        if (!n->native && !n->unit && n->builtin >= 0 && builtin_routes[n->builtin])
            n->native = builtin_routes[n->builtin].get();
        n->owner = serial;
    }

    // Positions the machine at the start of `top` on an empty operand
    // memory (the stack is empty: nothing is released), its registers nil.
    void start_top();
    // Shares one cell among the equal string constants of `top`, `fresh`
    // and the machine's own keys (so member lookups with constant keys
    // mostly succeed on identity), then predecodes `top` and `fresh`.
    void intern_and_prepare(CodeUnit& top, std::span<CodeUnit* const> fresh);
    // Points the global call sites of `u` (or of every unit) at their
    // globals, whenever the globals may have moved.
    void point_sites(CodeUnit& u);
    void point_sites();
    void prepare(CodeUnit& u);
    size_t write_back(CodeUnit& u, size_t i);
    bool chain_unique(const Value* sp, const WriteBack& wb, const Value* rg, const CodeUnit& u) const;
    void fuse(CodeUnit& u);
    void lazy_loops(CodeUnit& u);
    void loop_edges(CodeUnit& u);
    void call_sites(CodeUnit& u);
    void member_updates(CodeUnit& u);
    Value lookup_method(Value obj, const Value& key, MethodIC& ic);
    Result<Value> run(const void* const** table_out);

    // Embedding (embed.cpp).
    std::unique_ptr<CodeUnit> make_unit(const FunctionEntry& e, uint32_t file);
    void record_trace(const CodeUnit* unit, size_t idx);
    void drop_stack();
};

namespace vmi {

// Member `key` (a String) of `m`, trying the position cached in `slot` first:
// objects built by the same code keep their keys in the same order, and keys
// taken from the constant pool share one cell, so a hit is one comparison.
// A LoadLocalGetConst head (o.k with k a String constant) keeps where it
// found k last time in the high half of its LoadConst's operand, next to the
// constant's index: the fast path reads both from one entry.
inline uint32_t member_site_slot(const PInst& load_const) { return static_cast<uint32_t>(load_const.a.u >> 32); }
inline void set_member_site_slot(const PInst& load_const, uint32_t slot) {
    PInst& p = const_cast<PInst&>(load_const);  // the unit's own code, which the machine owns
    p.a.u = (p.a.u & 0xffffffffu) | static_cast<uint64_t>(slot) << 32;
}

// Whether member `key` (a String) sits at position `slot` of `m`, where a
// site found it last time: one comparison of cells.
// Whether the key/value pairs at `pairs` (n of them, keys at even places)
// have exactly the keys of layout s, in order and by cell.
[[gnu::always_inline]] inline bool same_keys(const ObjShape& s, const Value* pairs, size_t n) {
    if (s.keys.size() != n) return false;
    for (size_t k = 0; k < n; ++k)
        if (!pairs[2 * k].is_string() || pairs[2 * k].str_cell() != s.keys[k].str_cell()) return false;
    return true;
}
[[gnu::always_inline]] inline bool member_at(const ObjMap& m, const Value& key, uint32_t slot) {
    return m.holds_at(slot, key.str_cell());
}
// Whether two string cells hold the same text; most different texts differ
// in length or in their first byte, which is tested without a call.
[[gnu::always_inline]] inline bool same_text(const StrCell* a, const StrCell* b) {
    return a->len == b->len && (a->len == 0 || (a->data()[0] == b->data()[0] &&
                                                std::memcmp(a->data(), b->data(), a->len) == 0));
}
// Member k of x (k the constant of `load_const`) where that LoadConst's
// site found it last time, or nullptr when it is not there.
[[gnu::always_inline]] inline const Value* member_read(const Value& x, const Value* constants, const PInst& load_const) {
    if (x.kind() != Kind::Object) return nullptr;
    const ObjMap& m = x.members();
    const uint32_t at = member_site_slot(load_const);
    return member_at(m, constants[static_cast<uint32_t>(load_const.a.u)], at) ? &m.value_at(at) : nullptr;
}
// A MemberUpdate's operand: a variable, a number, or a member where its
// site found it last time (nullptr when it is not there).
[[gnu::always_inline]] inline const Value* update_term(const UpdateTerm& t, const Value* rg, const Value* constants,
                                                       const PInst* code) {
    if (t.kind == UpdateTerm::Local) return rg + t.reg;
    if (t.kind == UpdateTerm::Fixed) return &t.fixed;
    return member_read(rg[t.reg], constants, code[t.cache]);
}
[[gnu::always_inline]] inline const Value* find_member(const ObjMap& m, const Value& key, uint32_t& slot) {
    if (member_at(m, key, slot)) return &m.value_at(slot);
    const Value* found = m.find(key);
    if (found) slot = static_cast<uint32_t>(found - &m.value_at(0));
    return found;
}
[[gnu::always_inline]] inline Value* find_member(ObjMap& m, const Value& key, uint32_t& slot) {
    return const_cast<Value*>(find_member(static_cast<const ObjMap&>(m), key, slot));
}

// Whether the method cache `ic` answers key `k` on an object whose class
// member is `cls` (the cache holds the cells it was filled for).
[[gnu::always_inline]] inline bool method_ic_hit(const MethodIC& ic, const Value* cls, const Value& k) {
    return cls && cls->is_string() && ic.cls.is_string() && ic.cls.str_cell() == cls->str_cell() &&
           ic.key.str_cell() == k.str_cell();
}

// The handler addresses of Machine::run, indexed by IOp. They live inside
// run; asking for the table does not touch the machine it is called on.
const void* const* label_table(Machine& any);

}  // namespace vmi

}  // namespace calvex
