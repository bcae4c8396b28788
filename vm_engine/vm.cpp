// The interpreter: predecoding, the dispatch loop, calls and method lookup.
//
// Layout of the operand memory. One growable array of values holds every
// activation: the top level's registers and stack at the bottom, and for each
// active call a window [callee slot | registers | operand stack]. A Call
// leaves the callee and its arguments where they are; the arguments become
// the callee's first registers, the remaining registers are set to nil, and
// the callee's operand stack starts right above them. Return releases the
// whole window and leaves the result in the callee slot. So entering a
// function touches only the registers its code can name, and nothing is
// copied.
//
// Each unit (top level or function) is predecoded once into a parallel array
// of {handler address, operand} with the same indices as its code (plus an
// end sentinel), so positions, line numbers and the JIT hook see the original
// indices. Global names, register bounds and constant bounds are resolved
// here; a few instruction pairs get specialised handlers that fall back to the
// generic one whenever their fast path does not apply.
#include "vm.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <new>
#include <stdexcept>
#include <string>
#include <unordered_map>

#include "arith.h"
#include "jit.h"

namespace calvex {

// Raw access to a handle's parts for the machine's hot paths.
struct ValueAccess {
    static Kind& tag(Value& v) { return v.tag_; }
    static Kind tag(const Value& v) { return v.tag_; }
    static Value::U& u(Value& v) { return v.u_; }
    static const Value::U& u(const Value& v) { return v.u_; }
};

namespace {

using VA = ValueAccess;

// Stack slots at or above the stack top are raw memory: they are written with
// placement construction and never destroyed.
inline void put_int(Value* s, int64_t i) {
    VA::tag(*s) = Kind::Int;
    VA::u(*s).i = i;
}
inline void put_float(Value* s, double f) {
    VA::tag(*s) = Kind::Float;
    VA::u(*s).f = f;
}
inline void put_bool(Value* s, bool b) {
    VA::tag(*s) = Kind::Bool;
    VA::u(*s).i = b ? 1 : 0;
}
// Stores into a live slot (a register), releasing what it held.
inline void store_int(Value& d, int64_t i) {
    if (d.is_heap()) [[unlikely]] {
        d = Value::integer(i);
        return;
    }
    VA::tag(d) = Kind::Int;
    VA::u(d).i = i;
}
inline void store_float(Value& d, double f) {
    if (d.is_heap()) [[unlikely]] {
        d = Value::number(f);
        return;
    }
    VA::tag(d) = Kind::Float;
    VA::u(d).f = f;
}
inline void put_nil(Value* s) {
    VA::tag(*s) = Kind::Nil;
    VA::u(*s).i = 0;
}

std::atomic<uint64_t> g_serials{1};
uint64_t next_serial() { return g_serials.fetch_add(1, std::memory_order_relaxed); }

constexpr size_t kInitialStack = 1024;
constexpr int kCheckInterval = 4096;

#define CMP_LIST(X) X(Lt) X(Le) X(Gt) X(Ge) X(Eq) X(Ne)
#define ARITH_LIST(X) X(Add) X(Sub) X(Mul) X(Mod)

// Internal instruction kinds: the public ones in their order, then the
// machine's own variants.
enum IOp : uint16_t {
#define OP(name, byte, summary) I_##name,
#include "common/opcodes.def"
#undef OP
    I_End,              // sentinel after the last instruction
    I_BadReg,           // LoadLocal/StoreLocal with a register >= 256
    I_BadConst,         // LoadConst past the pool
    I_JumpBack,         // jumps whose target is not after them
    I_JumpIfFalseBack,
    I_JumpIfTrueBack,
    I_SetIndexLocal,    // SetIndex; [Dup;] StoreLocal r     (operand r)
    I_SetIndexGlobal,   // SetIndex; [Dup;] StoreGlobal k    (operand: global slot)
    I_ConcatLocal,      // Concat; [Dup;] StoreLocal r       (operand r)
    I_SetIndexChain,    // SetIndex; (key Swap SetIndex)+; StoreLocal/StoreGlobal/Pop (operand: chain)
    I_ForNext,          // LoadLocal h; IterNext; Swap; StoreLocal h (operand h)
    // Fused sequences. The head keeps its own operand; the handler reads the
    // operands of the following instructions from their own entries.
    I_ForLoop,          // LoadLocal h; IterNext; Swap; Dup; StoreLocal h; LoadConst nil; Eq; JumpIfTrue t
    I_LoadLocalGetConst,  // LoadLocal r; LoadConst k; GetIndex
    I_LoadLocalGetLocal,  // LoadLocal r; LoadLocal i; GetIndex
    I_LoadLocalReturn,    // LoadLocal r; Return
    I_MethodCall0,        // LoadLocal r; LoadConst k; GetIndex; Call 0
    I_DupStorePop,        // Dup; StoreLocal r; Pop
#define FUSED_CMP_ENUM(c) I_LPCJ_##c##_F, I_LPCJ_##c##_T, I_LLCJ_##c##_F, I_LLCJ_##c##_T, I_CJ_##c##_F, I_CJ_##c##_T,
#define FUSED_ARITH_ENUM(o) I_LPA_##o, I_LLA_##o, I_LPAS_##o, I_LLAS_##o, I_AS_##o, I_LPAD_##o, I_LLAD_##o, I_AD_##o,
    CMP_LIST(FUSED_CMP_ENUM)
    ARITH_LIST(FUSED_ARITH_ENUM)
#undef FUSED_CMP_ENUM
#undef FUSED_ARITH_ENUM
    I_Count
};
// Naming of the fused kinds:
//   LPCJ_c_F/T  LoadLocal r; Push k; c; JumpIfFalse/JumpIfTrue t (forward)
//   LLCJ_c_F/T  LoadLocal r; LoadLocal q; c; JumpIfFalse/JumpIfTrue t
//   CJ_c_F/T    c; JumpIfFalse/JumpIfTrue t
//   LPA_o       LoadLocal r; Push k; o            LPAS_o  ... ; StoreLocal d
//   LLA_o       LoadLocal r; LoadLocal q; o       LLAS_o  ... ; StoreLocal d
//   AS_o        o; StoreLocal d
//   LPAD_o, LLAD_o, AD_o: as LPAS_o, LLAS_o, AS_o with the statement form
//               Dup; StoreLocal d; Pop in place of StoreLocal d
//   DupStorePop Dup; StoreLocal d; Pop
static_assert(I_End == kOpCount);

}  // namespace

// Internal records of the machine (own namespace: other files of the library
// may use the same short names).
namespace vmi {

struct PInst {
    const void* h;
    union {
        int64_t i;
        uint64_t u;
    } a;
};

// Per-site method cache for GetIndex. Holds the class-name and key cells it
// was filled for (so their identity cannot be reused by other text) and the
// answer: a Function value naming the method, or nil for a negative answer.
struct MethodIC {
    Value cls;
    Value key;
    Value answer;
};

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

struct CodeUnit {
    std::string name;
    Code code;
    LineTable lines;
    std::vector<Value> constants;
    uint32_t params = 0;

    std::vector<PInst> pcode;  // code.size() + 1 entries
    std::vector<MethodIC> ics;
    std::vector<WriteBack> chains;
    uint32_t nregs = 0;        // 1 + highest register the code names
    uint32_t window = 0;       // registers of a call: max(nregs, params)
    size_t headroom = 0;       // stack room one straight run can need
};

// The caller's state saved by a call. The caller's operand stack starts
// right after its registers, at regs + unit->window.
struct CallFrame {
    CodeUnit* unit;
    const PInst* ret;  // caller's instruction after the Call
    size_t regs;       // caller's register base (index)
    size_t slot;       // callee slot: the window to release on Return
};

}  // namespace vmi

using vmi::CallFrame;
using vmi::CodeUnit;
using vmi::MethodIC;
using vmi::PInst;
using vmi::WriteBack;

struct Machine {
    uint64_t serial = next_serial();
    std::unique_ptr<CodeUnit> top;
    std::vector<std::unique_ptr<CodeUnit>> units;
    std::unordered_map<std::string, CodeUnit*> functions;
    std::unordered_map<std::string, std::shared_ptr<NativeBinding>> natives;

    std::vector<Value> globals;
    std::unordered_map<std::string, uint32_t> global_index;
    std::unordered_map<std::string, Value> method_cache;  // "len:class" + member -> answer

    JitState* jit = nullptr;
    VMState state;
    uint64_t executed = 0;
    Abort abort = Abort::None;

    // Operand memory (see the top of this file) and the saved loop state.
    Value* stack = nullptr;
    size_t cap = 0;
    size_t sp = 0;
    size_t regs = 0;
    size_t sbase = 0;
    CodeUnit* cur = nullptr;
    size_t pc = 0;
    // Active calls: a plain array grown by doubling up to the depth limit.
    CallFrame* frames = nullptr;
    size_t nframes = 0;
    size_t frames_cap = 0;

    bool (*check)(void*) = nullptr;
    void* check_ctx = nullptr;
    std::string scratch;  // text buffer reused by Concat
    bool fast_paths = true;

    Value k_class = Value::string("__class__");
    Value k_methods = Value::string("__methods__");
    Value k_parent = Value::string("__parent__");

    ~Machine() {
        for (size_t i = sp; i-- > 0;) stack[i].~Value();
        ::operator delete(stack);
        ::operator delete(frames);
        if (jit) jit_free(jit);
    }

    uint32_t global_slot(const std::string& name) {
        auto it = global_index.find(name);
        if (it != global_index.end()) return it->second;
        uint32_t slot = static_cast<uint32_t>(globals.size());
        globals.emplace_back();
        global_index.emplace(name, slot);
        return slot;
    }

    // Grows the operand memory to hold at least `total` slots. Live values
    // are relocated bitwise (a handle has no self-references).
    void grow(size_t total) {
        size_t n = cap ? cap : kInitialStack;
        while (n < total) n *= 2;
        auto* fresh = static_cast<Value*>(::operator new(n * sizeof(Value)));
        if (sp) std::memcpy(static_cast<void*>(fresh), static_cast<const void*>(stack), sp * sizeof(Value));
        ::operator delete(stack);
        stack = fresh;
        cap = n;
    }

    void grow_frames() {
        size_t n = frames_cap ? std::min(frames_cap * 2, VM::kMaxCallDepth) : 128;
        auto* fresh = static_cast<CallFrame*>(::operator new(n * sizeof(CallFrame)));
        if (nframes) std::memcpy(static_cast<void*>(fresh), static_cast<const void*>(frames), nframes * sizeof(CallFrame));
        ::operator delete(frames);
        frames = fresh;
        frames_cap = n;
    }

    void resolve(const NameCell* n) {
        std::string_view name = n->name->view();
        std::string key(name);
        auto f = functions.find(key);
        n->unit = f == functions.end() ? nullptr : f->second;
        auto b = natives.find(key);
        n->native = b == natives.end() ? nullptr : b->second.get();
        n->builtin = builtin_index(name);
        n->owner = serial;
    }

    void prepare(CodeUnit& u);
    size_t write_back(CodeUnit& u, size_t i);
    bool chain_unique(const Value* sp, const WriteBack& wb, const Value* rg, const CodeUnit& u) const;
    void fuse(CodeUnit& u);
    Value lookup_method(Value obj, const Value& key, MethodIC& ic);
    Result<Value> run(const void* const** table_out);
};

namespace {

// The handler addresses live inside Machine::run; asking it for the table
// does not touch the machine it is called on.
const void* const* label_table(Machine& any) {
    static const void* const* table = [&any] {
        const void* const* out = nullptr;
        (void)any.run(&out);
        return out;
    }();
    return table;
}

}  // namespace

// Recognises `SetIndex (key Swap SetIndex)+ store` after the SetIndex at i
// and records it; returns 1 + its index in u.chains, or 0.
size_t Machine::write_back(CodeUnit& u, size_t i) {
    const Code& c = u.code;
    const size_t n = c.size();
    WriteBack wb;
    size_t j = i + 1;
    while (j + 2 < n && c[j + 1].op == Op::Swap && c[j + 2].op == Op::SetIndex) {
        const Instruction& k = c[j];
        if (k.op == Op::Push)
            wb.keys.push_back({Op::Push, k.imm});
        else if (k.op == Op::LoadConst && k.operand < u.constants.size())
            wb.keys.push_back({Op::LoadConst, static_cast<int64_t>(k.operand)});
        else if (k.op == Op::LoadLocal && k.operand < 256)
            wb.keys.push_back({Op::LoadLocal, static_cast<int64_t>(k.operand)});
        else
            break;
        j += 3;
    }
    if (wb.keys.empty() || j >= n) return 0;
    const Instruction& st = c[j];
    if (st.op == Op::StoreLocal && st.operand < 256) {
        wb.slot = st.operand;
    } else if (st.op == Op::StoreGlobal) {
        uint64_t k = st.operand;
        wb.slot = global_slot(k < u.constants.size() && u.constants[k].is_string()
                                  ? std::string(u.constants[k].as_string())
                                  : "global_" + std::to_string(k));
    } else if (st.op != Op::Pop) {
        return 0;
    }
    wb.store = st.op;
    u.chains.push_back(std::move(wb));
    return u.chains.size();
}

// True when changing the container at sp[-3] in place is invisible: each
// level of the chain is held only by the operand stack and by the element of
// its parent (just below it on the stack) that the write-back will overwrite
// with it, and the root only by the stack and the variable the final store
// overwrites.
bool Machine::chain_unique(const Value* sp, const WriteBack& wb, const Value* rg, const CodeUnit& u) const {
    const Value* child = sp - 3;
    for (size_t j = 0; j < wb.keys.size(); ++j) {
        const Value* parent = sp - 4 - static_cast<ptrdiff_t>(j);
        if (child->share_count() != 2) return false;
        const WriteBack::Key& k = wb.keys[j];
        const Value* elem = nullptr;
        if (parent->is_array()) {
            int64_t i;
            if (k.op == Op::Push) {
                i = k.arg;
            } else {
                const Value& kv = k.op == Op::LoadConst ? u.constants[static_cast<size_t>(k.arg)]
                                                        : rg[static_cast<size_t>(k.arg)];
                if (!kv.is_int()) return false;
                i = kv.as_int();
            }
            int64_t len = static_cast<int64_t>(parent->items().size());
            if (i < 0) i += len;
            if (i < 0 || i >= len) return false;
            elem = &parent->items()[static_cast<size_t>(i)];
        } else if (parent->is_object()) {
            if (k.op == Op::Push) return false;
            const Value& kv = k.op == Op::LoadConst ? u.constants[static_cast<size_t>(k.arg)]
                                                    : rg[static_cast<size_t>(k.arg)];
            if (!kv.is_string()) return false;
            elem = parent->members().find(kv);
        }
        if (!elem || elem->cell() != child->cell()) return false;
        child = parent;
    }
    switch (wb.store) {
        case Op::StoreLocal: return child->share_count() == 2 && rg[wb.slot].cell() == child->cell();
        case Op::StoreGlobal: return child->share_count() == 2 && globals[wb.slot].cell() == child->cell();
        default: return child->share_count() == 1;
    }
}

void Machine::prepare(CodeUnit& u) {
    const void* const* L = label_table(*this);
    const Code& code = u.code;
    size_t n = code.size();
    u.pcode.assign(n + 1, PInst{L[I_End], {0}});
    u.nregs = u.params;
    for (size_t i = 0; i < n; ++i) {
        const Instruction& in = code[i];
        PInst& p = u.pcode[i];
        p.a.u = in.operand;
        int op = static_cast<int>(in.op);
        const Instruction* next = i + 1 < n ? &code[i + 1] : nullptr;
        const Instruction* next2 = i + 2 < n ? &code[i + 2] : nullptr;
        // The store that immediately follows (optionally after a Dup).
        const Instruction* store = next;
        if (next && next->op == Op::Dup) store = next2;
        switch (in.op) {
            case Op::Push: p.a.i = in.imm; break;
            case Op::LoadLocal:
            case Op::StoreLocal:
                if (in.operand >= 256) {
                    op = I_BadReg;
                } else {
                    u.nregs = std::max<uint32_t>(u.nregs, static_cast<uint32_t>(in.operand) + 1);
                    if (in.op == Op::LoadLocal && next && next->op == Op::IterNext && next2 &&
                        next2->op == Op::Swap && i + 3 < n && code[i + 3].op == Op::StoreLocal &&
                        code[i + 3].operand == in.operand)
                        op = I_ForNext;
                }
                break;
            case Op::LoadGlobal:
            case Op::StoreGlobal: {
                uint64_t k = in.operand;
                std::string name;
                if (k < u.constants.size() && u.constants[k].is_string())
                    name = std::string(u.constants[k].as_string());
                else
                    name = "global_" + std::to_string(k);
                p.a.u = global_slot(name);
                break;
            }
            case Op::LoadConst:
                if (in.operand >= u.constants.size()) op = I_BadConst;
                break;
            case Op::Jump:
            case Op::JumpIfFalse:
            case Op::JumpIfTrue:
                if (in.operand > n) p.a.u = n;
                if (in.operand <= i)
                    op = in.op == Op::Jump ? I_JumpBack : in.op == Op::JumpIfFalse ? I_JumpIfFalseBack : I_JumpIfTrueBack;
                break;
            case Op::GetIndex:
                p.a.u = u.ics.size();
                u.ics.emplace_back();
                break;
            case Op::SetIndex:
                if (size_t wb = write_back(u, i); wb != 0) {
                    op = I_SetIndexChain;
                    p.a.u = wb - 1;
                } else if (store && store->op == Op::StoreLocal && store->operand < 256) {
                    op = I_SetIndexLocal;
                    p.a.u = store->operand;
                } else if (store && store->op == Op::StoreGlobal) {
                    op = I_SetIndexGlobal;
                    p.a.u = i + 1;  // patched below, once the store's slot is known
                }
                break;
            case Op::Concat:
                if (store && store->op == Op::StoreLocal && store->operand < 256) {
                    op = I_ConcatLocal;
                    p.a.u = store->operand;
                }
                break;
            default: break;
        }
        if (!fast_paths && op >= I_SetIndexLocal) op = static_cast<int>(in.op);
        p.h = L[op];
    }
    if (fast_paths) fuse(u);
    // SetIndexGlobal takes the slot the following StoreGlobal resolved to.
    for (size_t i = 0; i < n; ++i) {
        if (u.pcode[i].h == L[I_SetIndexGlobal]) {
            size_t s = code[i + 1].op == Op::Dup ? i + 2 : i + 1;
            u.pcode[i].a.u = u.pcode[s].a.u;
        }
    }
    u.headroom = n + 8;
    u.window = std::max(u.nregs, u.params);
}


namespace {
int cmp_index(Op op) {
    switch (op) {
        case Op::Lt: return 0;
        case Op::Le: return 1;
        case Op::Gt: return 2;
        case Op::Ge: return 3;
        case Op::Eq: return 4;
        case Op::Ne: return 5;
        default: return -1;
    }
}
int arith_index(Op op) {
    switch (op) {
        case Op::Add: return 0;
        case Op::Sub: return 1;
        case Op::Mul: return 2;
        case Op::Mod: return 3;
        default: return -1;
    }
}
constexpr int kCmpStride = I_LPCJ_Le_F - I_LPCJ_Lt_F;
constexpr int kArithStride = I_LPA_Sub - I_LPA_Add;
}  // namespace

// Chooses fused handlers for the heads of common sequences. Only the head's
// handler changes: the other instructions keep theirs (a jump may land on
// them), and every fused handler falls back to the head's generic handler
// when its fast path does not apply.
void Machine::fuse(CodeUnit& u) {
    const void* const* L = label_table(*this);
    const Code& c = u.code;
    const size_t n = c.size();
    auto is = [&](size_t j, Op op) { return j < n && c[j].op == op; };
    auto reg = [&](size_t j, Op op) { return is(j, op) && c[j].operand < 256; };
    auto fwd_branch = [&](size_t j) {
        return j < n && (c[j].op == Op::JumpIfFalse || c[j].op == Op::JumpIfTrue) && c[j].operand > j;
    };
    auto konst = [&](size_t j) { return is(j, Op::LoadConst) && c[j].operand < u.constants.size(); };
    auto dup_store_pop = [&](size_t j) { return is(j, Op::Dup) && reg(j + 1, Op::StoreLocal) && is(j + 2, Op::Pop); };
    for (size_t i = 0; i < n; ++i) {
        int op = -1;
        if (reg(i, Op::LoadLocal)) {
            if (is(i + 1, Op::IterNext) && is(i + 2, Op::Swap) && is(i + 3, Op::Dup) &&
                is(i + 4, Op::StoreLocal) && c[i + 4].operand == c[i].operand && konst(i + 5) &&
                u.constants[c[i + 5].operand].is_nil() && is(i + 6, Op::Eq) && is(i + 7, Op::JumpIfTrue) &&
                c[i + 7].operand > i + 7) {
                op = I_ForLoop;
            } else if (is(i + 1, Op::Push) || reg(i + 1, Op::LoadLocal)) {
                bool lp = is(i + 1, Op::Push);
                int ci = i + 2 < n ? cmp_index(c[i + 2].op) : -1;
                int ai = i + 2 < n ? arith_index(c[i + 2].op) : -1;
                if (lp && ai == 3 && c[i + 1].imm == 0) ai = -1;  // Mod by a literal 0 keeps its error path
                if (ci >= 0 && fwd_branch(i + 3)) {
                    op = (lp ? I_LPCJ_Lt_F : I_LLCJ_Lt_F) + ci * kCmpStride + (c[i + 3].op == Op::JumpIfTrue ? 1 : 0);
                } else if (ai >= 0) {
                    if (reg(i + 3, Op::StoreLocal))
                        op = (lp ? I_LPAS_Add : I_LLAS_Add) + ai * kArithStride;
                    else if (dup_store_pop(i + 3))
                        op = (lp ? I_LPAD_Add : I_LLAD_Add) + ai * kArithStride;
                    else
                        op = (lp ? I_LPA_Add : I_LLA_Add) + ai * kArithStride;
                } else if (!lp && is(i + 2, Op::GetIndex)) {
                    op = I_LoadLocalGetLocal;
                }
            } else if (konst(i + 1) && is(i + 2, Op::GetIndex)) {
                op = is(i + 3, Op::Call) && c[i + 3].operand == 0 ? I_MethodCall0 : I_LoadLocalGetConst;
            } else if (is(i + 1, Op::Return)) {
                op = I_LoadLocalReturn;
            }
        } else if (int ci = cmp_index(c[i].op); ci >= 0 && fwd_branch(i + 1)) {
            op = I_CJ_Lt_F + ci * kCmpStride + (c[i + 1].op == Op::JumpIfTrue ? 1 : 0);
        } else if (int ai = arith_index(c[i].op); ai >= 0 && reg(i + 1, Op::StoreLocal)) {
            op = I_AS_Add + ai * kArithStride;
        } else if (ai >= 0 && dup_store_pop(i + 1)) {
            op = I_AD_Add + ai * kArithStride;
        } else if (dup_store_pop(i)) {
            op = I_DupStorePop;
        }
        if (op >= 0) u.pcode[i].h = L[op];
    }
}

namespace {

// Appends the UTF-8 scalar values of `s` as one-character strings.
void split_chars(std::string_view s, std::vector<Value>& out) {
    size_t i = 0;
    while (i < s.size()) {
        auto c = static_cast<unsigned char>(s[i]);
        size_t len = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : (c >> 3) == 0x1E ? 4 : 1;
        if (i + len > s.size()) len = s.size() - i;
        out.push_back(Value::string(s.substr(i, len)));
        i += len;
    }
}

void append_int_text(std::string& out, uint64_t v) { out += std::to_string(v); }

}  // namespace

Value Machine::lookup_method(Value obj, const Value& key, MethodIC& ic) {
    const Value* cls = obj.members().find(k_class);
    if (!cls || !cls->is_string()) return Value();
    const Value* answer = nullptr;
    if (ic.cls.str_cell() == cls->str_cell() && ic.key.str_cell() == key.str_cell() && ic.cls.is_string()) {
        answer = &ic.answer;
    } else {
        std::string_view c = cls->as_string(), m = key.as_string();
        std::string ck = std::to_string(c.size());
        ck += ':';
        ck += c;
        ck += m;
        auto it = method_cache.find(ck);
        if (it == method_cache.end()) {
            // Walk the class chain. A chain longer than the number of globals
            // must revisit a class, and a revisited class can only repeat the
            // same walk, so that bound ends cycles with a negative answer.
            Value found;
            std::string curname(c);
            for (size_t steps = 0; steps <= globals.size(); ++steps) {
                auto g = global_index.find(curname);
                if (g == global_index.end()) break;
                const Value& gv = globals[g->second];
                if (!gv.is_object()) break;
                const Value* meths = gv.members().find(k_methods);
                if (meths && meths->is_object()) {
                    const Value* s = meths->members().find(key);
                    if (s && s->is_string()) {
                        found = Value::function(s->as_string());
                        break;
                    }
                }
                const Value* parent = gv.members().find(k_parent);
                if (!parent || !parent->is_string() || parent->as_string().empty()) break;
                curname = std::string(parent->as_string());
            }
            it = method_cache.emplace(std::move(ck), std::move(found)).first;
        }
        ic.cls = *cls;
        ic.key = key;
        ic.answer = it->second;
        answer = &ic.answer;
    }
    if (answer->is_nil()) return Value();
    return Value::method(std::move(obj), *answer);
}

// The dispatch loop. Handlers leave by computed goto, which runs no
// destructors: a local with a destructor must have gone out of scope (or be
// moved-from, which leaves nothing to release) before NEXT/DISPATCH.
// Hot state lives in locals:
//   ip    current instruction (its handler runs now)
//   base  first instruction of the current unit
//   stk   operand memory; sp the first raw slot; regs the current registers;
//         sbase the bottom of the current operand stack (sp >= sbase).
// stk, sp, regs and sbase are invalidated by grow(): every ENSURE recomputes
// them from their indices. They are written back to the machine only when the
// loop exits (end of code, error, interrupt, allocation failure).
Result<Value> Machine::run(const void* const** table_out) {
    static const void* const kTable[I_Count] = {
#define OP(name, byte, summary) &&L_##name,
#include "common/opcodes.def"
#undef OP
        &&L_End, &&L_BadReg, &&L_BadConst, &&L_JumpBack, &&L_JumpIfFalseBack, &&L_JumpIfTrueBack,
        &&L_SetIndexLocal, &&L_SetIndexGlobal, &&L_ConcatLocal, &&L_SetIndexChain, &&L_ForNext,
        &&L_ForLoop, &&L_LoadLocalGetConst, &&L_LoadLocalGetLocal, &&L_LoadLocalReturn,
        &&L_MethodCall0, &&L_DupStorePop,
#define FUSED_CMP_LABELS(c) &&L_LPCJ_##c##_F, &&L_LPCJ_##c##_T, &&L_LLCJ_##c##_F, &&L_LLCJ_##c##_T, &&L_CJ_##c##_F, &&L_CJ_##c##_T,
#define FUSED_ARITH_LABELS(o) &&L_LPA_##o, &&L_LLA_##o, &&L_LPAS_##o, &&L_LLAS_##o, &&L_AS_##o, \
    &&L_LPAD_##o, &&L_LLAD_##o, &&L_AD_##o,
        CMP_LIST(FUSED_CMP_LABELS)
        ARITH_LIST(FUSED_ARITH_LABELS)
#undef FUSED_CMP_LABELS
#undef FUSED_ARITH_LABELS
    };
    if (table_out) {
        *table_out = kTable;
        return Value();
    }

    CodeUnit* unit = cur;
    const PInst* base = unit->pcode.data();
    const PInst* ip = base + pc;
    Value* stk = stack;
    Value* sp = stk + this->sp;
    Value* rg = stk + regs;
    Value* sb = stk + sbase;
    uint64_t count = 0;
    int budget = kCheckInterval;
    std::string err;
    arith::BinOp binop = arith::BinOp::Add;
    // Operands of a call being entered (shared by Call and the fused method
    // call): callee slot, argument count, resolved name and target.
    Value* callee = nullptr;
    size_t n = 0;
    const NameCell* nc = nullptr;
    CodeUnit* target = nullptr;
    bool with_receiver = false;
    int setindex_variant = 0;
    bool concat_local = false;

#define SYNC()                                      \
    do {                                            \
        this->sp = static_cast<size_t>(sp - stk);   \
        regs = static_cast<size_t>(rg - stk);       \
        sbase = static_cast<size_t>(sb - stk);      \
        cur = unit;                                 \
        executed += count;                          \
        count = 0;                                  \
    } while (0)
#define ENSURE_AT(total)                                        \
    do {                                                        \
        size_t need_ = (total);                                 \
        if (need_ > cap) [[unlikely]] {                         \
            size_t o_sp = static_cast<size_t>(sp - stk);        \
            size_t o_rg = static_cast<size_t>(rg - stk);        \
            size_t o_sb = static_cast<size_t>(sb - stk);        \
            this->sp = o_sp;                                    \
            grow(need_);                                        \
            stk = stack;                                        \
            sp = stk + o_sp;                                    \
            rg = stk + o_rg;                                    \
            sb = stk + o_sb;                                    \
        }                                                       \
    } while (0)
#define DISPATCH() goto *ip->h
#define NEXT()        \
    do {              \
        ++ip;         \
        ++count;      \
        DISPATCH();   \
    } while (0)
#define NEXTN(k)      \
    do {              \
        ip += (k);    \
        count += (k); \
        DISPATCH();   \
    } while (0)
#define FAIL(msg)     \
    do {              \
        err = (msg);  \
        goto L_fail;  \
    } while (0)
#define POP_ALL()                           \
    do {                                    \
        while (sp > sb) (--sp)->~Value();   \
    } while (0)
#define UNDERFLOW()                 \
    do {                            \
        POP_ALL();                  \
        FAIL("Stack underflow");    \
    } while (0)
#define NEED(k)                                         \
    do {                                                \
        if (sp - sb < (k)) [[unlikely]] UNDERFLOW();    \
    } while (0)
#define TAG(v) VA::tag(v)
#define IVAL(v) VA::u(v).i
#define FVAL(v) VA::u(v).f
#define BOTH(a, b, K) (TAG(a) == Kind::K && TAG(b) == Kind::K)
    // Taken loop edges: stack room for the next straight run, the interrupt
    // check, and the JIT hook for jumps strictly backwards.
#define BACKEDGE(target, from)                                                           \
    do {                                                                                 \
        ENSURE_AT(static_cast<size_t>(sp - stk) + unit->headroom);                       \
        if (--budget <= 0) [[unlikely]] {                                                \
            budget = kCheckInterval;                                                     \
            if (check && check(check_ctx)) {                                             \
                goto L_interrupt;                                                        \
            }                                                                            \
        }                                                                                \
        if (jit && (target) < (from)) [[unlikely]]                                       \
            jit_on_backward_jump(*jit, unit->code, (target), (from));                    \
    } while (0)

    try {
        ENSURE_AT(static_cast<size_t>(sp - stk) + unit->headroom);
        DISPATCH();

    L_Push:
        put_int(sp++, ip->a.i);
        NEXT();
    L_Pop:
        NEED(1);
        (--sp)->~Value();
        NEXT();
    L_Dup:
        NEED(1);
        new (sp) Value(sp[-1]);
        ++sp;
        NEXT();
    L_Swap: {
        if (sp - sb < 2) FAIL("Stack underflow on Swap");
        alignas(Value) unsigned char tmp[sizeof(Value)];
        std::memcpy(tmp, static_cast<void*>(sp - 1), sizeof(Value));
        std::memcpy(static_cast<void*>(sp - 1), static_cast<void*>(sp - 2), sizeof(Value));
        std::memcpy(static_cast<void*>(sp - 2), tmp, sizeof(Value));
        NEXT();
    }

#define GENERIC_ARITH(OPNAME, INTEXPR, FLOATEXPR)                          \
    L_##OPNAME : {                                                          \
        NEED(2);                                                            \
        Value& a = sp[-2];                                                  \
        Value& b = sp[-1];                                                  \
        if (BOTH(a, b, Int)) [[likely]] {                                   \
            int64_t x = IVAL(a), y = IVAL(b);                               \
            IVAL(a) = (INTEXPR);                                            \
            --sp;                                                           \
            NEXT();                                                         \
        }                                                                   \
        if (BOTH(a, b, Float)) {                                            \
            double x = FVAL(a), y = FVAL(b);                                \
            FVAL(a) = (FLOATEXPR);                                          \
            --sp;                                                           \
            NEXT();                                                         \
        }                                                                   \
        Value r;                                                            \
        if (!arith::generic(arith::BinOp::OPNAME, a, b, r, err)) {          \
            POP2_AND_FAIL();                                                \
        }                                                                   \
        (--sp)->~Value();                                                   \
        sp[-1] = std::move(r);                                              \
        NEXT();                                                             \
    }
#define POP2_AND_FAIL()       \
    do {                      \
        (--sp)->~Value();     \
        (--sp)->~Value();     \
        goto L_fail;          \
    } while (0)

        GENERIC_ARITH(Add, arith::sat_add(x, y), x + y)
        GENERIC_ARITH(Sub, arith::sat_sub(x, y), x - y)
        GENERIC_ARITH(Mul, arith::sat_mul(x, y), x * y)

    // Handlers that share a body select their variant in a stub: labels
    // with no code between them share one address, so a body cannot tell
    // them apart by ip->h.
    L_Div:
        binop = arith::BinOp::Div;
        goto div_mod_pow;
    L_Mod:
        binop = arith::BinOp::Mod;
        goto div_mod_pow;
    L_Pow:
        binop = arith::BinOp::Pow;
        goto div_mod_pow;
    div_mod_pow: {
        NEED(2);
        Value& a = sp[-2];
        Value& b = sp[-1];
        auto op = binop;
        if (op == arith::BinOp::Mod && BOTH(a, b, Int) && IVAL(b) != 0) {
            IVAL(a) = arith::int_mod(IVAL(a), IVAL(b));
            --sp;
            NEXT();
        }
        Value r;
        if (!arith::generic(op, a, b, r, err)) POP2_AND_FAIL();
        (--sp)->~Value();
        sp[-1] = std::move(r);
        NEXT();
    }
    L_Neg: {
        NEED(1);
        Value& x = sp[-1];
        if (TAG(x) == Kind::Int) {
            IVAL(x) = arith::wrap_neg(IVAL(x));
            NEXT();
        }
        if (TAG(x) == Kind::Float) {
            FVAL(x) = -FVAL(x);
            NEXT();
        }
        (--sp)->~Value();
        FAIL("Type error: unary negation requires a number");
    }

#define SPECIAL(OPNAME, K, EXPR, MSG)      \
    L_##OPNAME : {                          \
        NEED(2);                            \
        Value& a = sp[-2];                  \
        Value& b = sp[-1];                  \
        if (!BOTH(a, b, K)) [[unlikely]] {  \
            err = MSG;                      \
            POP2_AND_FAIL();                \
        }                                   \
        EXPR;                               \
        --sp;                               \
        NEXT();                             \
    }
        SPECIAL(AddInt, Int, IVAL(a) = arith::sat_add(IVAL(a), IVAL(b)), "Type error: expected int")
        SPECIAL(SubInt, Int, IVAL(a) = arith::sat_sub(IVAL(a), IVAL(b)), "Type error: expected int")
        SPECIAL(MulInt, Int, IVAL(a) = arith::sat_mul(IVAL(a), IVAL(b)), "Type error: expected int")
        SPECIAL(AddFloat, Float, FVAL(a) = FVAL(a) + FVAL(b), "Type error: expected float")
        SPECIAL(SubFloat, Float, FVAL(a) = FVAL(a) - FVAL(b), "Type error: expected float")
        SPECIAL(MulFloat, Float, FVAL(a) = FVAL(a) * FVAL(b), "Type error: expected float")
        SPECIAL(EqInt, Int, put_bool(&a, IVAL(a) == IVAL(b)), "Type error: expected int")
        SPECIAL(LtInt, Int, put_bool(&a, IVAL(a) < IVAL(b)), "Type error: expected int")
        SPECIAL(LtFloat, Float, put_bool(&a, FVAL(a) < FVAL(b)), "Type error: expected float")
        SPECIAL(EqFloat, Float,
                {
                    double d = FVAL(a) - FVAL(b);
                    put_bool(&a, (d < 0 ? -d : d) < 2.220446049250313e-16);
                },
                "Type error: expected float")
    L_DivFloat: {
        NEED(2);
        Value& a = sp[-2];
        Value& b = sp[-1];
        if (!BOTH(a, b, Float)) {
            err = "Type error: expected float";
            POP2_AND_FAIL();
        }
        if (FVAL(b) == 0.0) {
            err = "Division by zero";
            POP2_AND_FAIL();
        }
        FVAL(a) = FVAL(a) / FVAL(b);
        --sp;
        NEXT();
    }
    L_ModInt: {
        NEED(2);
        Value& a = sp[-2];
        Value& b = sp[-1];
        if (!BOTH(a, b, Int)) {
            err = "Type error: expected int";
            POP2_AND_FAIL();
        }
        if (IVAL(b) == 0) {
            err = "Modulo by zero";
            POP2_AND_FAIL();
        }
        IVAL(a) = arith::int_mod(IVAL(a), IVAL(b));
        --sp;
        NEXT();
    }
    L_ModFloat: {
        NEED(2);
        Value& a = sp[-2];
        Value& b = sp[-1];
        if (!BOTH(a, b, Float)) {
            err = "Type error: expected float";
            POP2_AND_FAIL();
        }
        if (FVAL(b) == 0.0) {
            err = "Modulo by zero";
            POP2_AND_FAIL();
        }
        FVAL(a) = std::fmod(FVAL(a), FVAL(b));
        --sp;
        NEXT();
    }

#define EQUALITY(OPNAME, NEGATE)                    \
    L_##OPNAME : {                                  \
        NEED(2);                                    \
        Value& a = sp[-2];                          \
        Value& b = sp[-1];                          \
        bool eq;                                    \
        if (BOTH(a, b, Int))                        \
            eq = IVAL(a) == IVAL(b);                \
        else                                        \
            eq = values_equal(a, b);                \
        (--sp)->~Value();                           \
        sp[-1].~Value();                            \
        put_bool(sp - 1, eq != (NEGATE));           \
        NEXT();                                     \
    }
        EQUALITY(Eq, false)
        EQUALITY(Ne, true)

#define ORDERED(OPNAME, WHICH, CMP)                                         \
    L_##OPNAME : {                                                          \
        NEED(2);                                                            \
        Value& a = sp[-2];                                                  \
        Value& b = sp[-1];                                                  \
        bool r;                                                             \
        if (BOTH(a, b, Int)) [[likely]] {                                   \
            double x = static_cast<double>(IVAL(a));                        \
            double y = static_cast<double>(IVAL(b));                        \
            r = x CMP y;                                                    \
        } else if (BOTH(a, b, Float)) {                                     \
            r = FVAL(a) CMP FVAL(b);                                        \
        } else if (!arith::ordered(WHICH, a, b, r, err)) {                  \
            POP2_AND_FAIL();                                                \
        }                                                                   \
        (--sp)->~Value();                                                   \
        sp[-1].~Value();                                                    \
        put_bool(sp - 1, r);                                                \
        NEXT();                                                             \
    }
        ORDERED(Lt, 0, <)
        ORDERED(Le, 1, <=)
        ORDERED(Gt, 2, >)
        ORDERED(Ge, 3, >=)

#define LOGIC(OPNAME, EXPR)                         \
    L_##OPNAME : {                                  \
        NEED(2);                                    \
        bool x = truthy(sp[-2]), y = truthy(sp[-1]); \
        (--sp)->~Value();                           \
        sp[-1].~Value();                            \
        put_bool(sp - 1, EXPR);                     \
        NEXT();                                     \
    }
        LOGIC(And, x && y)
        LOGIC(Or, x || y)
    L_Not: {
        NEED(1);
        bool r = !truthy(sp[-1]);
        sp[-1].~Value();
        put_bool(sp - 1, r);
        NEXT();
    }

    L_Jump:
        ip = base + ip->a.u;
        ++count;
        DISPATCH();
#define COND_JUMP(OPNAME, WHEN)                     \
    L_##OPNAME : {                                  \
        NEED(1);                                    \
        bool t = truthy(sp[-1]);                    \
        (--sp)->~Value();                           \
        if (t == (WHEN)) {                          \
            ip = base + ip->a.u;                    \
            ++count;                                \
            DISPATCH();                             \
        }                                           \
        NEXT();                                     \
    }
        COND_JUMP(JumpIfFalse, false)
        COND_JUMP(JumpIfTrue, true)
    L_JumpBack: {
        size_t from = static_cast<size_t>(ip - base);
        size_t target = ip->a.u;
        ++count;
        ip = base + target;
        BACKEDGE(target, from);
        DISPATCH();
    }
#define COND_JUMP_BACK(OPNAME, WHEN)                \
    L_##OPNAME : {                                  \
        NEED(1);                                    \
        bool t = truthy(sp[-1]);                    \
        (--sp)->~Value();                           \
        if (t == (WHEN)) {                          \
            size_t from = static_cast<size_t>(ip - base); \
            size_t target = ip->a.u;                \
            ++count;                                \
            ip = base + target;                     \
            BACKEDGE(target, from);                 \
            DISPATCH();                             \
        }                                           \
        NEXT();                                     \
    }
        COND_JUMP_BACK(JumpIfFalseBack, false)
        COND_JUMP_BACK(JumpIfTrueBack, true)

    L_Call: {
        n = ip->a.u;
        if (static_cast<size_t>(sp - sb) <= n) UNDERFLOW();
        callee = sp - n - 1;
        if (--budget <= 0) [[unlikely]] {
            budget = kCheckInterval;
            if (check && check(check_ctx)) goto L_interrupt;
        }
        with_receiver = false;
        switch (TAG(*callee)) {
            case Kind::Function:
                nc = VA::u(*callee).name;
                if (nc->owner != serial) [[unlikely]] resolve(nc);
                if (nc->native) goto call_native;
                if (nc->unit) {
                    target = static_cast<CodeUnit*>(const_cast<void*>(nc->unit));
                    goto enter;
                }
                if (nc->builtin >= 0) {
                    Value r = call_builtin(nc->builtin, std::span<const Value>(callee + 1, n));
                    while (sp > callee) (--sp)->~Value();
                    new (sp++) Value(std::move(r));
                    NEXT();
                }
                goto call_nil;
            case Kind::Method:
                nc = VA::u(*callee).meth->fn;
                if (nc->owner != serial) [[unlikely]] resolve(nc);
                if (nc->unit) {
                    target = static_cast<CodeUnit*>(const_cast<void*>(nc->unit));
                    with_receiver = true;
                    goto enter;
                }
                goto call_nil;
            case Kind::Native:
                nc = VA::u(*callee).name;
                if (nc->owner != serial) [[unlikely]] resolve(nc);
                if (nc->native) goto call_native;
                goto call_nil;
            default: goto call_nil;
        }
    call_nil:
        while (sp > callee) (--sp)->~Value();
        put_nil(sp++);
        NEXT();
    call_native: {
        auto* binding = static_cast<NativeBinding*>(const_cast<void*>(nc->native));
        SYNC();
        Result<Value> r = binding->call(std::span<const Value>(callee + 1, n));
        while (sp > callee) (--sp)->~Value();
        if (!r.ok()) FAIL(std::move(r.error()));
        new (sp++) Value(std::move(r.value()));
        NEXT();
    }
    enter: {
        if (nframes == frames_cap) [[unlikely]] {
            if (nframes >= VM::kMaxCallDepth) {
                while (sp > callee) (--sp)->~Value();
                FAIL("Stack overflow: call depth limit exceeded");
            }
            grow_frames();
        }
        size_t slot = static_cast<size_t>(callee - stk);
        size_t wbase = with_receiver ? slot : slot + 1;
        size_t have = with_receiver ? n + 1 : n;  // values already in the window
        size_t P = target->params;
        size_t R = target->window;
        ENSURE_AT(wbase + std::max(R, have) + target->headroom);
        callee = stk + slot;
        frames[nframes++] = CallFrame{unit, ip + 1, static_cast<size_t>(rg - stk), slot};
        if (TAG(*callee) == Kind::Method) {
            Value recv = VA::u(*callee).meth->receiver;
            *callee = std::move(recv);
        }
        Value* w = stk + wbase;
        // Arguments beyond the parameter count are dropped; registers past
        // the arguments start as nil. A receiver always lands in register 0,
        // even for a method that declares no parameter (its code can still
        // read register 0 through a variable whose declaration was skipped).
        if (have > P) [[unlikely]] {
            size_t keep = with_receiver && P == 0 && R > 0 ? 1 : P;
            for (size_t k = keep; k < have; ++k) w[k] = Value();
        }
        for (size_t k = have; k < R; ++k) put_nil(w + k);
        sp = w + R;
        rg = w;
        sb = w + R;
        unit = target;
        base = unit->pcode.data();
        ip = base;
        ++count;
        DISPATCH();
    }
    }

    L_Return: {
        if (nframes == 0) FAIL("Return without matching call");
        const CallFrame f = frames[--nframes];
        Value result;
        if (sp > sb) result = std::move(*--sp);
        Value* slot = stk + f.slot;
        while (sp > slot) (--sp)->~Value();
        new (sp++) Value(std::move(result));
        unit = f.unit;
        base = unit->pcode.data();
        ip = f.ret;
        rg = stk + f.regs;
        sb = rg + unit->window;
        ++count;
        DISPATCH();
    }

    L_StoreLocal:
        NEED(1);
        --sp;
        rg[ip->a.u] = std::move(*sp);
        NEXT();
    L_LoadLocal:
        new (sp++) Value(rg[ip->a.u]);
        NEXT();
    L_StoreGlobal:
        NEED(1);
        --sp;
        globals[ip->a.u] = std::move(*sp);
        NEXT();
    L_LoadGlobal:
        new (sp++) Value(globals[ip->a.u]);
        NEXT();
    L_LoadConst:
        new (sp++) Value(unit->constants[ip->a.u]);
        NEXT();

    L_MakeArray: {
        size_t n = ip->a.u;
        if (static_cast<size_t>(sp - sb) < n) UNDERFLOW();
        Value arr = Value::array();
        std::vector<Value>& items = VA::u(arr).arr->items;
        items.reserve(n);
        Value* first = sp - n;
        for (size_t k = 0; k < n; ++k) items.push_back(std::move(first[k]));
        sp = first;  // the moved-from slots hold nil: nothing to release
        new (sp++) Value(std::move(arr));
        NEXT();
    }
    L_MakeObject: {
        size_t n = ip->a.u;
        if (static_cast<size_t>(sp - sb) / 2 < n) UNDERFLOW();
        Value obj = Value::object();
        ObjMap& map = VA::u(obj).obj->map;
        map.reserve(n);
        Value* first = sp - 2 * n;
        // Pairs are popped top first and a later pop overwrites, so the
        // deepest pair of a repeated key wins: inserting bottom-up with
        // first-wins gives the same members.
        for (size_t k = 0; k < n; ++k) {
            Value& key = first[2 * k];
            if (key.is_string()) map.insert_new(key, std::move(first[2 * k + 1]));
        }
        while (sp > first) (--sp)->~Value();
        new (sp++) Value(std::move(obj));
        NEXT();
    }

    L_GetIndex: {
        NEED(2);
        Value& c = sp[-2];
        Value& k = sp[-1];
        if (TAG(c) == Kind::Array && TAG(k) == Kind::Int) {
            const std::vector<Value>& items = c.items();
            int64_t i = IVAL(k);
            int64_t len = static_cast<int64_t>(items.size());
            if (i < 0) i += len;
            --sp;  // the key is an Int: nothing to release
            if (i >= 0 && i < len) {
                Value e = items[static_cast<size_t>(i)];
                c = std::move(e);
            } else {
                c = Value();
            }
            NEXT();
        }
        if (TAG(c) == Kind::Object && TAG(k) == Kind::String) {
            if (const Value* found = c.members().find(k)) {
                Value e = *found;
                (--sp)->~Value();
                c = std::move(e);
            } else {
                Value m = lookup_method(std::move(c), k, unit->ics[ip->a.u]);
                (--sp)->~Value();
                sp[-1] = std::move(m);
            }
            NEXT();
        }
        (--sp)->~Value();
        (--sp)->~Value();
        FAIL("Invalid index operation");
    }

    L_SetIndex:
        setindex_variant = 0;
        goto set_index;
    L_SetIndexLocal:
        setindex_variant = 1;
        goto set_index;
    L_SetIndexGlobal:
        setindex_variant = 2;
        goto set_index;
    L_SetIndexChain:
        setindex_variant = 3;
        goto set_index;
    set_index: {
        NEED(3);
        Value& c = sp[-3];
        Value& k = sp[-2];
        Value& v = sp[-1];
        // In place when the stack holds the only handle, or when the one
        // other holder is the variable the very next instruction overwrites
        // with this container.
        bool shared_ok = false;
        if (c.share_count() == 2) {
            if (setindex_variant == 1)
                shared_ok = rg[ip->a.u].cell() == c.cell();
            else if (setindex_variant == 2)
                shared_ok = globals[ip->a.u].cell() == c.cell();
            else if (setindex_variant == 3 && sp - sb >= 3 + static_cast<ptrdiff_t>(unit->chains[ip->a.u].keys.size()))
                shared_ok = chain_unique(sp, unit->chains[ip->a.u], rg, *unit);
        }
        if (TAG(c) == Kind::Array) {
            if (TAG(k) == Kind::Int) {
                int64_t i = IVAL(k);
                int64_t len = static_cast<int64_t>(c.items().size());
                if (i < 0) i += len;
                if (i >= 0 && i < len) {
                    std::vector<Value>& items =
                        shared_ok ? VA::u(c).arr->items : c.unique_items();
                    items[static_cast<size_t>(i)] = std::move(v);
                }
            }
        } else if (TAG(c) == Kind::Object) {
            Value key = TAG(k) == Kind::String ? k : Value::string(display_text(k));
            ObjMap& map = shared_ok ? VA::u(c).obj->map : c.unique_members();
            map.set(key, std::move(v));
        }
        (--sp)->~Value();
        (--sp)->~Value();
        NEXT();
    }

    L_Concat:
        concat_local = false;
        goto concat;
    L_ConcatLocal:
        concat_local = true;
        goto concat;
    concat: {
        NEED(2);
        Value& a = sp[-2];
        Value& b = sp[-1];
        bool in_place = false;
        if (TAG(a) == Kind::String) {
            size_t rc = a.share_count();
            in_place = rc == 1 || (rc == 2 && concat_local && rg[ip->a.u].cell() == a.cell());
        }
        if (in_place) {
            std::string tmp;
            std::string_view add;
            if (TAG(b) == Kind::String) {
                add = b.as_string();
            } else {
                append_display(tmp, b);
                add = tmp;
            }
            StrCell* s = a.str_cell();
            if (s->len + add.size() <= s->cap) {
                std::memcpy(s->data() + s->len, add.data(), add.size());
                s->len += add.size();
                s->hash = 0;
            } else {
                size_t want = std::max(s->cap * 2, s->len + add.size());
                Value grown = Value::string_with_capacity(s->view(), want);
                StrCell* g = grown.str_cell();
                std::memcpy(g->data() + g->len, add.data(), add.size());
                g->len += add.size();
                if (a.share_count() == 2) rg[ip->a.u] = grown;  // the variable held the old cell
                a = std::move(grown);
            }
        } else {
            Value r;
            if (TAG(a) == Kind::String && TAG(b) == Kind::String) {
                std::string_view x = a.as_string(), y = b.as_string();
                r = Value::string_with_capacity(x, x.size() + y.size());
                StrCell* c = r.str_cell();
                std::memcpy(c->data() + c->len, y.data(), y.size());
                c->len += y.size();
            } else {
                scratch.clear();
                append_display(scratch, a);
                append_display(scratch, b);
                r = Value::string(scratch);
            }
            a = std::move(r);
        }
        (--sp)->~Value();
        NEXT();
    }

    L_Len: {
        NEED(1);
        Value& x = sp[-1];
        int64_t n;
        switch (TAG(x)) {
            case Kind::String: n = static_cast<int64_t>(x.as_string().size()); break;
            case Kind::Array: n = static_cast<int64_t>(x.items().size()); break;
            case Kind::Object: n = static_cast<int64_t>(x.members().size()); break;
            default:
                (--sp)->~Value();
                FAIL("Type error: len() requires string/array/object");
        }
        x.~Value();
        put_int(sp - 1, n);
        NEXT();
    }

    L_IterInit: {
        NEED(1);
        Value& x = sp[-1];
        Value coll;
        switch (TAG(x)) {
            case Kind::String: {
                coll = Value::array();
                split_chars(x.as_string(), VA::u(coll).arr->items);
                break;
            }
            case Kind::Array: coll = x; break;
            case Kind::Object: {
                const ObjMap& m = x.members();
                coll = Value::array();
                std::vector<Value>& keys = VA::u(coll).arr->items;
                keys.reserve(m.size());
                for (size_t i = 0; i < m.size(); ++i) keys.push_back(m.key_at(i));
                std::sort(keys.begin(), keys.end(),
                          [](const Value& p, const Value& q) { return p.as_string() < q.as_string(); });
                break;
            }
            default:
                (--sp)->~Value();
                FAIL("Type error: cannot iterate over value");
        }
        Value state = Value::array();
        std::vector<Value>& st = VA::u(state).arr->items;
        st.reserve(2);
        st.push_back(std::move(coll));
        st.push_back(Value::integer(0));
        x = std::move(state);
        NEXT();
    }

    L_IterNext: {
        NEED(1);
        Value& s = sp[-1];
        if (TAG(s) != Kind::Array || s.items().size() != 2) {
            (--sp)->~Value();
            FAIL("Invalid iterator state");
        }
        const Value& idx = s.items()[1];
        if (!idx.is_int() || idx.as_int() < 0) {
            (--sp)->~Value();
            FAIL("Invalid iterator: bad index");
        }
        const Value& coll = s.items()[0];
        if (!coll.is_array()) {
            (--sp)->~Value();
            FAIL("Invalid iterator state");
        }
        uint64_t i = static_cast<uint64_t>(idx.as_int());
        if (i < coll.items().size()) {
            Value elem = coll.items()[i];
            if (s.share_count() == 1) {
                put_int(&VA::u(s).arr->items[1], static_cast<int64_t>(i + 1));
            } else {
                Value fresh = Value::array();
                std::vector<Value>& st = VA::u(fresh).arr->items;
                st.reserve(2);
                st.push_back(coll);
                st.push_back(Value::integer(static_cast<int64_t>(i + 1)));
                s = std::move(fresh);
            }
            new (sp++) Value(std::move(elem));
        } else {
            s = Value();
            put_nil(sp++);
        }
        NEXT();
    }

    // LoadLocal h; IterNext; Swap; StoreLocal h. When the register holds the
    // only handle to a well-formed state, advance it in place: the state the
    // generic sequence would build is stored straight back into h.
    L_ForNext: {
        Value& s = rg[ip->a.u];
        if (TAG(s) == Kind::Array && s.share_count() == 1) {
            std::vector<Value>& st = VA::u(s).arr->items;
            if (st.size() == 2 && st[1].is_int() && st[1].as_int() >= 0 && st[0].is_array()) {
                uint64_t i = static_cast<uint64_t>(st[1].as_int());
                const std::vector<Value>& items = st[0].items();
                if (i < items.size()) {
                    new (sp++) Value(items[i]);
                    put_int(&st[1], static_cast<int64_t>(i + 1));
                } else {
                    s = Value();
                    put_nil(sp++);
                }
                NEXTN(4);
            }
        }
        new (sp++) Value(rg[ip->a.u]);
        NEXT();
    }


    // ---- fused sequences (see fuse()) --------------------------------------
    L_ForLoop: {
        Value& s = rg[ip->a.u];
        if (TAG(s) == Kind::Array && s.share_count() == 1) {
            std::vector<Value>& st = VA::u(s).arr->items;
            if (st.size() == 2 && st[1].is_int() && st[1].as_int() >= 0 && st[0].is_array()) {
                uint64_t i = static_cast<uint64_t>(st[1].as_int());
                const std::vector<Value>& items = st[0].items();
                count += 8;
                if (i < items.size()) {
                    new (sp++) Value(items[i]);
                    put_int(&st[1], static_cast<int64_t>(i + 1));
                    ip += 8;
                } else {
                    s = Value();
                    put_nil(sp++);
                    ip = base + ip[7].a.u;
                }
                DISPATCH();
            }
        }
        goto L_LoadLocal;
    }
    L_LoadLocalGetConst: {
        const Value& x = rg[ip->a.u];
        const Value& k = unit->constants[ip[1].a.u];
        if (TAG(x) == Kind::Object && k.is_string()) {
            if (const Value* found = x.members().find(k)) {
                new (sp++) Value(*found);
                NEXTN(3);
            }
            new (sp++) Value(lookup_method(Value(x), k, unit->ics[ip[2].a.u]));
            NEXTN(3);
        }
        goto L_LoadLocal;
    }
    // LoadLocal r; LoadConst k; GetIndex; Call 0 on an object that lacks
    // member k: the bound method is entered directly, without building it.
    L_MethodCall0: {
        const Value& x = rg[ip->a.u];
        const Value& k = unit->constants[ip[1].a.u];
        if (TAG(x) == Kind::Object && k.is_string() && !x.members().find(k)) {
            const Value* cls = x.members().find(k_class);
            MethodIC& ic = unit->ics[ip[2].a.u];
            if (cls && cls->is_string() && ic.cls.str_cell() == cls->str_cell() && ic.cls.is_string() &&
                ic.key.str_cell() == k.str_cell() && ic.answer.is_function()) {
                nc = ic.answer.name_cell();
                if (nc->owner != serial) [[unlikely]] resolve(nc);
                if (nc->unit) {
                    if (--budget <= 0) [[unlikely]] {
                        budget = kCheckInterval;
                        if (check && check(check_ctx)) goto L_interrupt;
                    }
                    target = static_cast<CodeUnit*>(const_cast<void*>(nc->unit));
                    new (sp++) Value(x);  // the receiver takes the callee slot
                    callee = sp - 1;
                    n = 0;
                    with_receiver = true;
                    ip += 3;
                    count += 3;
                    goto enter;
                }
            }
        }
        goto L_LoadLocal;
    }
    L_LoadLocalGetLocal: {
        const Value& x = rg[ip->a.u];
        const Value& k = rg[ip[1].a.u];
        if (TAG(x) == Kind::Array && k.is_int()) {
            const std::vector<Value>& items = x.items();
            int64_t i = k.as_int();
            int64_t len = static_cast<int64_t>(items.size());
            if (i < 0) i += len;
            if (i >= 0 && i < len) {
                new (sp++) Value(items[static_cast<size_t>(i)]);
            } else {
                put_nil(sp++);
            }
            NEXTN(3);
        }
        goto L_LoadLocal;
    }
    // The statement form of an assignment: the value goes to the register and
    // nothing stays on the stack.
    L_DupStorePop:
        NEED(1);
        --sp;
        rg[ip[1].a.u] = std::move(*sp);
        NEXTN(3);
    L_LoadLocalReturn:
        new (sp++) Value(rg[ip->a.u]);
        ++ip;
        ++count;
        goto L_Return;

#define CMPII_Lt(a, b) (static_cast<double>(a) < static_cast<double>(b))
#define CMPII_Le(a, b) (static_cast<double>(a) <= static_cast<double>(b))
#define CMPII_Gt(a, b) (static_cast<double>(a) > static_cast<double>(b))
#define CMPII_Ge(a, b) (static_cast<double>(a) >= static_cast<double>(b))
#define CMPII_Eq(a, b) ((a) == (b))
#define CMPII_Ne(a, b) ((a) != (b))
#define CMPFF_Lt(a, b) ((a) < (b))
#define CMPFF_Le(a, b) ((a) <= (b))
#define CMPFF_Gt(a, b) ((a) > (b))
#define CMPFF_Ge(a, b) ((a) >= (b))
#define CMPFF_Eq(a, b) (std::fabs((a) - (b)) < 2.220446049250313e-16)
#define CMPFF_Ne(a, b) (!(std::fabs((a) - (b)) < 2.220446049250313e-16))
    // Branch on a computed condition: `len` instructions were covered, the
    // jump is the last of them.
#define BRANCH(cond, WHEN, len)                     \
    do {                                            \
        count += (len);                             \
        if ((cond) == (WHEN))                       \
            ip = base + ip[(len) - 1].a.u;          \
        else                                        \
            ip += (len);                            \
        DISPATCH();                                 \
    } while (0)

#define FUSED_CMP(c, SUF, WHEN)                                                  \
    L_LPCJ_##c##_##SUF : {                                                       \
        const Value& x = rg[ip->a.u];                                            \
        if (TAG(x) == Kind::Int) [[likely]]                                      \
            BRANCH(CMPII_##c(IVAL(x), ip[1].a.i), WHEN, 4);                      \
        goto L_LoadLocal;                                                        \
    }                                                                            \
    L_LLCJ_##c##_##SUF : {                                                       \
        const Value& x = rg[ip->a.u];                                            \
        const Value& y = rg[ip[1].a.u];                                          \
        if (BOTH(x, y, Int)) [[likely]]                                          \
            BRANCH(CMPII_##c(IVAL(x), IVAL(y)), WHEN, 4);                        \
        if (BOTH(x, y, Float)) BRANCH(CMPFF_##c(FVAL(x), FVAL(y)), WHEN, 4);     \
        goto L_LoadLocal;                                                        \
    }                                                                            \
    L_CJ_##c##_##SUF : {                                                         \
        if (sp - sb >= 2) [[likely]] {                                           \
            Value& a = sp[-2];                                                   \
            Value& b = sp[-1];                                                   \
            bool r_;                                                             \
            if (BOTH(a, b, Int))                                                 \
                r_ = CMPII_##c(IVAL(a), IVAL(b));                                \
            else if (BOTH(a, b, Float))                                          \
                r_ = CMPFF_##c(FVAL(a), FVAL(b));                                \
            else                                                                 \
                goto L_##c;                                                      \
            sp -= 2;                                                             \
            BRANCH(r_, WHEN, 2);                                                 \
        }                                                                        \
        goto L_##c;                                                              \
    }
#define FUSED_CMP_BOTH(c) FUSED_CMP(c, F, false) FUSED_CMP(c, T, true)
        CMP_LIST(FUSED_CMP_BOTH)

#define ARII_Add(a, b) arith::sat_add(a, b)
#define ARII_Sub(a, b) arith::sat_sub(a, b)
#define ARII_Mul(a, b) arith::sat_mul(a, b)
#define ARII_Mod(a, b) arith::int_mod(a, b)
#define ARFF_Add(a, b) ((a) + (b))
#define ARFF_Sub(a, b) ((a) - (b))
#define ARFF_Mul(a, b) ((a) * (b))
#define ARFF_Mod(a, b) std::fmod(a, b)
    // Int and Float fast paths; Mod needs a non-zero divisor (its zero case
    // and every mixed case go through the generic handler).
#define ARITH_OK_Add(y) true
#define ARITH_OK_Sub(y) true
#define ARITH_OK_Mul(y) true
#define ARITH_OK_Mod(y) ((y) != 0)

#define FUSED_ARITH(o)                                                           \
    L_LPA_##o : {                                                                \
        const Value& x = rg[ip->a.u];                                            \
        if (TAG(x) == Kind::Int) [[likely]] {                                    \
            put_int(sp++, ARII_##o(IVAL(x), ip[1].a.i));                         \
            NEXTN(3);                                                            \
        }                                                                        \
        goto L_LoadLocal;                                                        \
    }                                                                            \
    L_LPAS_##o : {                                                               \
        const Value& x = rg[ip->a.u];                                            \
        if (TAG(x) == Kind::Int) [[likely]] {                                    \
            store_int(rg[ip[3].a.u], ARII_##o(IVAL(x), ip[1].a.i));              \
            NEXTN(4);                                                            \
        }                                                                        \
        goto L_LoadLocal;                                                        \
    }                                                                            \
    L_LLA_##o : {                                                                \
        const Value& x = rg[ip->a.u];                                            \
        const Value& y = rg[ip[1].a.u];                                          \
        if (BOTH(x, y, Int) && ARITH_OK_##o(IVAL(y))) [[likely]] {               \
            put_int(sp++, ARII_##o(IVAL(x), IVAL(y)));                           \
            NEXTN(3);                                                            \
        }                                                                        \
        if (BOTH(x, y, Float) && ARITH_OK_##o(FVAL(y))) {                        \
            put_float(sp++, ARFF_##o(FVAL(x), FVAL(y)));                         \
            NEXTN(3);                                                            \
        }                                                                        \
        goto L_LoadLocal;                                                        \
    }                                                                            \
    L_LLAS_##o : {                                                               \
        const Value& x = rg[ip->a.u];                                            \
        const Value& y = rg[ip[1].a.u];                                          \
        if (BOTH(x, y, Int) && ARITH_OK_##o(IVAL(y))) [[likely]] {               \
            store_int(rg[ip[3].a.u], ARII_##o(IVAL(x), IVAL(y)));                \
            NEXTN(4);                                                            \
        }                                                                        \
        if (BOTH(x, y, Float) && ARITH_OK_##o(FVAL(y))) {                        \
            store_float(rg[ip[3].a.u], ARFF_##o(FVAL(x), FVAL(y)));              \
            NEXTN(4);                                                            \
        }                                                                        \
        goto L_LoadLocal;                                                        \
    }                                                                            \
    L_AS_##o : {                                                                 \
        if (sp - sb >= 2) [[likely]] {                                           \
            Value& a = sp[-2];                                                   \
            Value& b = sp[-1];                                                   \
            if (BOTH(a, b, Int) && ARITH_OK_##o(IVAL(b))) [[likely]] {           \
                int64_t r_ = ARII_##o(IVAL(a), IVAL(b));                         \
                sp -= 2;                                                         \
                store_int(rg[ip[1].a.u], r_);                                    \
                NEXTN(2);                                                        \
            }                                                                    \
            if (BOTH(a, b, Float) && ARITH_OK_##o(FVAL(b))) {                    \
                double r_ = ARFF_##o(FVAL(a), FVAL(b));                          \
                sp -= 2;                                                         \
                store_float(rg[ip[1].a.u], r_);                                  \
                NEXTN(2);                                                        \
            }                                                                    \
        }                                                                        \
        goto L_##o;                                                              \
    }                                                                            \
    L_LPAD_##o : {                                                               \
        const Value& x = rg[ip->a.u];                                            \
        if (TAG(x) == Kind::Int) [[likely]] {                                    \
            store_int(rg[ip[4].a.u], ARII_##o(IVAL(x), ip[1].a.i));              \
            NEXTN(6);                                                            \
        }                                                                        \
        goto L_LoadLocal;                                                        \
    }                                                                            \
    L_LLAD_##o : {                                                               \
        const Value& x = rg[ip->a.u];                                            \
        const Value& y = rg[ip[1].a.u];                                          \
        if (BOTH(x, y, Int) && ARITH_OK_##o(IVAL(y))) [[likely]] {               \
            store_int(rg[ip[4].a.u], ARII_##o(IVAL(x), IVAL(y)));                \
            NEXTN(6);                                                            \
        }                                                                        \
        if (BOTH(x, y, Float) && ARITH_OK_##o(FVAL(y))) {                        \
            store_float(rg[ip[4].a.u], ARFF_##o(FVAL(x), FVAL(y)));              \
            NEXTN(6);                                                            \
        }                                                                        \
        goto L_LoadLocal;                                                        \
    }                                                                            \
    L_AD_##o : {                                                                 \
        if (sp - sb >= 2) [[likely]] {                                           \
            Value& a = sp[-2];                                                   \
            Value& b = sp[-1];                                                   \
            if (BOTH(a, b, Int) && ARITH_OK_##o(IVAL(b))) [[likely]] {           \
                int64_t r_ = ARII_##o(IVAL(a), IVAL(b));                         \
                sp -= 2;                                                         \
                store_int(rg[ip[2].a.u], r_);                                    \
                NEXTN(4);                                                        \
            }                                                                    \
            if (BOTH(a, b, Float) && ARITH_OK_##o(FVAL(b))) {                    \
                double r_ = ARFF_##o(FVAL(a), FVAL(b));                          \
                sp -= 2;                                                         \
                store_float(rg[ip[2].a.u], r_);                                  \
                NEXTN(4);                                                        \
            }                                                                    \
        }                                                                        \
        goto L_##o;                                                              \
    }
        ARITH_LIST(FUSED_ARITH)

    L_Halt:
        state.status = VMStatus::Halted;
        NEXT();
    L_Nop:
        NEXT();

    L_BadReg:
        err = "Register " + std::to_string(unit->code[static_cast<size_t>(ip - base)].operand) + " out of bounds";
        goto L_fail;
    L_BadConst:
        err = "Constant pool index " + std::to_string(unit->code[static_cast<size_t>(ip - base)].operand) +
              " out of bounds";
        goto L_fail;

    L_End: {
        pc = static_cast<size_t>(ip - base);
        SYNC();
        if (state.status == VMStatus::Paused) return Err(std::string("VM paused"));
        if (state.status == VMStatus::Error) return Err(state.message);
        if (this->sp > sbase) {
            Value r = std::move(stack[--this->sp]);
            return r;
        }
        return Value();
    }

    // The host asked to stop. Nothing of the current instruction has been
    // done (a loop edge has completed its jump), so a later run resumes here.
    L_interrupt:
        pc = static_cast<size_t>(ip - base);
        SYNC();
        abort = Abort::Interrupted;
        return Err(std::string("Interrupted"));

    L_fail: {
        size_t idx = static_cast<size_t>(ip - base);
        pc = idx + 1;
        SYNC();
        if (idx < unit->lines.size() && unit->lines[idx] != 0) {
            std::string msg = "Line ";
            append_int_text(msg, unit->lines[idx]);
            msg += ": ";
            msg += err;
            return Err(std::move(msg));
        }
        return Err(std::move(err));
    }
    } catch (const std::bad_alloc&) {
    } catch (const std::length_error&) {
    }
    // Allocation failed inside an instruction: abandon it as failed. Every
    // handler allocates before it changes the stack, or leaves it consistent.
    pc = static_cast<size_t>(ip - base) + 1;
    SYNC();
    abort = Abort::OutOfMemory;
    return Err(std::string("Out of memory"));

#undef SYNC
#undef ENSURE_AT
#undef DISPATCH
#undef NEXT
#undef NEXTN
#undef FAIL
#undef POP_ALL
#undef UNDERFLOW
#undef NEED
#undef GENERIC_ARITH
#undef POP2_AND_FAIL
#undef SPECIAL
#undef ORDERED
#undef COND_JUMP_BACK
#undef COND_JUMP
#undef LOGIC
#undef EQUALITY
#undef BACKEDGE
#undef BRANCH
#undef FUSED_CMP
#undef FUSED_CMP_BOTH
#undef FUSED_ARITH
}

// ---- FunctionTable and VM ------------------------------------------------------------

FunctionTable::FunctionTable(std::vector<FunctionEntry> entries) {
    std::unordered_map<std::string, size_t> at;
    for (auto& e : entries) {
        auto it = at.find(e.name);
        if (it != at.end()) {
            entries_[it->second] = std::move(e);
        } else {
            at.emplace(e.name, entries_.size());
            entries_.push_back(std::move(e));
        }
    }
}

VM::VM(Code code, std::vector<Value> constants, LineTable lines, FunctionTable functions)
    : VM(std::move(code), std::move(constants), std::move(lines), std::move(functions), VMOptions{}) {}

VM::VM(Code code, std::vector<Value> constants, LineTable lines, FunctionTable functions, VMOptions options)
    : m_(std::make_unique<Machine>()) {
    Machine& m = *m_;
    m.fast_paths = options.fast_paths;
    m.grow_frames();
    // Functions first, so the globals of their names exist before the
    // built-ins (a name in both sets is one global).
    for (const FunctionEntry& e : functions.entries()) {
        auto u = std::make_unique<CodeUnit>();
        u->name = e.name;
        u->code = e.code;
        u->lines = e.lines;
        u->constants.reserve(e.constants.size());
        for (const Constant& c : e.constants) u->constants.push_back(value_from_constant(c));
        u->params = static_cast<uint32_t>(std::min<uint64_t>(e.param_count, 256));
        m.functions[e.name] = u.get();
        m.globals[m.global_slot(e.name)] = Value::function(e.name);
        m.units.push_back(std::move(u));
    }
    for (const char* b : kBuiltinNames) {
        uint32_t slot = m.global_slot(b);
        if (m.globals[slot].is_nil()) m.globals[slot] = Value::function(b);
    }
    m.top = std::make_unique<CodeUnit>();
    m.top->name = "<top>";
    m.top->code = std::move(code);
    m.top->lines = std::move(lines);
    m.top->constants = std::move(constants);
    // Equal string constants share one cell, so member lookups with constant
    // keys mostly succeed on identity.
    std::unordered_map<std::string_view, Value> interned;
    auto intern = [&interned](Value& v) {
        if (!v.is_string()) return;
        auto [it, fresh] = interned.emplace(v.as_string(), v);
        if (!fresh) v = it->second;
    };
    intern(m.k_class);
    intern(m.k_methods);
    intern(m.k_parent);
    for (Value& v : m.top->constants) intern(v);
    for (auto& u : m.units)
        for (Value& v : u->constants) intern(v);
    m.prepare(*m.top);
    for (auto& u : m.units) m.prepare(*u);

    m.grow(std::max<size_t>(kInitialStack, m.top->nregs + m.top->headroom));
    for (size_t i = 0; i < m.top->nregs; ++i) put_nil(m.stack + i);
    m.sp = m.top->nregs;
    m.regs = 0;
    m.sbase = m.top->nregs;
    m.cur = m.top.get();
    m.pc = 0;
}

VM::~VM() = default;
VM::VM(VM&&) noexcept = default;
VM& VM::operator=(VM&&) noexcept = default;

Result<Value> VM::execute() {
    Machine& m = *m_;
    m.abort = Abort::None;
    return m.run(nullptr);
}

Abort VM::last_abort() const { return m_->abort; }
const VMState& VM::state() const { return m_->state; }
uint64_t VM::instructions_executed() const { return m_->executed; }
size_t VM::stack_depth() const { return m_->sp - m_->sbase; }
size_t VM::call_depth() const { return m_->nframes; }
uint64_t VM::cache_hits() const { return 0; }
uint64_t VM::cache_misses() const { return 0; }

void VM::enable_jit() {
    JitState* fresh = jit_new();
    if (m_->jit) jit_free(m_->jit);
    m_->jit = fresh;
}
JitState* VM::jit() const { return m_->jit; }

void VM::install_native(const std::string& name, std::shared_ptr<NativeBinding> binding) {
    Machine& m = *m_;
    m.natives[name] = std::move(binding);
    m.globals[m.global_slot(name)] = Value::native(name);
    m.serial = next_serial();  // cached name resolutions are stale now
}

void VM::set_interrupt_check(bool (*check)(void*), void* ctx) {
    m_->check = check;
    m_->check_ctx = ctx;
}

Value VM::global(std::string_view name) const {
    auto it = m_->global_index.find(std::string(name));
    return it == m_->global_index.end() ? Value() : m_->globals[it->second];
}

void VM::set_global(std::string_view name, Value v) {
    Machine& m = *m_;
    m.globals[m.global_slot(std::string(name))] = std::move(v);
}

}  // namespace calvex
