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
#include "pool.h"

namespace calvex {

// Raw access to a handle's parts for the machine's hot paths.
struct ValueAccess {
    static Kind& tag(Value& v) { return v.tag_; }
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
inline void put_nil(Value* s) {
    VA::tag(*s) = Kind::Nil;
    VA::u(*s).i = 0;
}

std::atomic<uint64_t> g_serials{1};
uint64_t next_serial() { return g_serials.fetch_add(1, std::memory_order_relaxed); }

constexpr size_t kInitialStack = 1024;
constexpr int kCheckInterval = 4096;

// Internal instruction kinds: the public ones in their order, then the
// machine's own variants.
enum IOp : uint16_t {
#define OP(name, byte, summary) I_##name,
#include "opcodes.def"
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
    I_ForNext,          // LoadLocal h; IterNext; Swap; StoreLocal h (operand h)
    I_Count
};
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

struct CodeUnit {
    std::string name;
    Code code;
    LineTable lines;
    std::vector<Value> constants;
    uint32_t params = 0;

    std::vector<PInst> pcode;  // code.size() + 1 entries
    std::vector<MethodIC> ics;
    uint32_t nregs = 0;        // 1 + highest register the code names
    size_t headroom = 0;       // stack room one straight run can need
};

struct CallFrame {
    CodeUnit* unit;
    size_t ret;    // caller's position after the Call
    size_t regs;   // caller's register base (index)
    size_t sbase;  // caller's operand stack base (index)
    size_t slot;   // callee slot: the window to release on Return
};

}  // namespace vmi

using vmi::CallFrame;
using vmi::CodeUnit;
using vmi::MethodIC;
using vmi::PInst;

struct Machine {
    uint64_t serial = next_serial();
    std::unique_ptr<CodeUnit> top;
    std::vector<std::unique_ptr<CodeUnit>> units;
    std::unordered_map<std::string, CodeUnit*> functions;
    std::unordered_map<std::string, std::shared_ptr<NativeBinding>> natives;

    std::vector<Value> globals;
    std::unordered_map<std::string, uint32_t> global_index;
    std::unordered_map<std::string, Value> method_cache;  // "len:class" + member -> answer

    ArrayPool arrays;
    MapPool maps;
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
    std::vector<CallFrame> frames;

    bool (*check)(void*) = nullptr;
    void* check_ctx = nullptr;

    Value k_class = Value::string("__class__");
    Value k_methods = Value::string("__methods__");
    Value k_parent = Value::string("__parent__");

    ~Machine() {
        for (size_t i = sp; i-- > 0;) stack[i].~Value();
        ::operator delete(stack);
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
    Value lookup_method(Value&& obj, const Value& key, MethodIC& ic);
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
                if (store && store->op == Op::StoreLocal && store->operand < 256) {
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
        p.h = L[op];
    }
    // SetIndexGlobal takes the slot the following StoreGlobal resolved to.
    for (size_t i = 0; i < n; ++i) {
        if (u.pcode[i].h == L[I_SetIndexGlobal]) {
            size_t s = code[i + 1].op == Op::Dup ? i + 2 : i + 1;
            u.pcode[i].a.u = u.pcode[s].a.u;
        }
    }
    u.headroom = n + 8;
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

Value Machine::lookup_method(Value&& obj, const Value& key, MethodIC& ic) {
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

// The dispatch loop. Hot state lives in locals:
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
#include "opcodes.def"
#undef OP
        &&L_End, &&L_BadReg, &&L_BadConst, &&L_JumpBack, &&L_JumpIfFalseBack, &&L_JumpIfTrueBack,
        &&L_SetIndexLocal, &&L_SetIndexGlobal, &&L_ConcatLocal, &&L_ForNext,
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
    bool interrupted = false;
    arith::BinOp binop = arith::BinOp::Add;
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
                interrupted = true;                                                      \
                FAIL("Interrupted");                                                     \
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
        size_t n = ip->a.u;
        if (static_cast<size_t>(sp - sb) < n + 1) UNDERFLOW();
        Value* callee = sp - n - 1;
        if (--budget <= 0) [[unlikely]] {
            budget = kCheckInterval;
            if (check && check(check_ctx)) {
                interrupted = true;
                FAIL("Interrupted");
            }
        }
        const NameCell* nc;
        CodeUnit* target = nullptr;
        bool with_receiver = false;
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
        if (frames.size() >= VM::kMaxCallDepth) [[unlikely]] {
            while (sp > callee) (--sp)->~Value();
            FAIL("Stack overflow: call depth limit exceeded");
        }
        size_t slot = static_cast<size_t>(callee - stk);
        size_t wbase = with_receiver ? slot : slot + 1;
        size_t have = with_receiver ? n + 1 : n;  // values already in the window
        size_t P = target->params;
        size_t R = std::max<size_t>(target->nregs, P);
        ENSURE_AT(wbase + std::max(R, have) + target->headroom);
        callee = stk + slot;
        frames.push_back(CallFrame{unit, static_cast<size_t>(ip - base) + 1, static_cast<size_t>(rg - stk),
                               static_cast<size_t>(sb - stk), slot});
        if (with_receiver) {
            Value recv = VA::u(*callee).meth->receiver;
            *callee = std::move(recv);
        }
        Value* w = stk + wbase;
        // Arguments beyond the parameter count are dropped; registers past
        // the arguments start as nil.
        for (size_t k = P; k < have; ++k) w[k] = Value();
        for (size_t k = have; k < R; ++k) put_nil(w + k);
        if (have > R) {
            for (size_t k = R; k < have; ++k) w[k].~Value();
        }
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
        if (frames.empty()) FAIL("Return without matching call");
        CallFrame f = frames.back();
        frames.pop_back();
        Value result;
        if (sp > sb) result = std::move(*--sp);
        Value* slot = stk + f.slot;
        while (sp > slot) (--sp)->~Value();
        new (sp++) Value(std::move(result));
        unit = f.unit;
        base = unit->pcode.data();
        ip = base + f.ret;
        rg = stk + f.regs;
        sb = stk + f.sbase;
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
        std::vector<Value> items = arrays.acquire(n);
        Value* first = sp - n;
        for (size_t k = 0; k < n; ++k) items.push_back(std::move(first[k]));
        Value arr = Value::array(std::move(items));
        sp = first;  // the moved-from slots hold nil: nothing to release
        new (sp++) Value(std::move(arr));
        NEXT();
    }
    L_MakeObject: {
        size_t n = ip->a.u;
        if (static_cast<size_t>(sp - sb) / 2 < n) UNDERFLOW();
        ObjMap map = maps.acquire(n);
        Value* first = sp - 2 * n;
        // Pairs are popped top first and a later pop overwrites, so the
        // deepest pair of a repeated key wins: inserting bottom-up with
        // first-wins gives the same members.
        for (size_t k = 0; k < n; ++k) {
            Value& key = first[2 * k];
            if (key.is_string()) map.insert_new(key, std::move(first[2 * k + 1]));
        }
        Value obj = Value::object(std::move(map));
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
            const Value* found = c.members().find(k);
            if (found) {
                Value e = *found;
                (--sp)->~Value();
                c = std::move(e);
                NEXT();
            }
            Value obj = std::move(c);
            Value m = lookup_method(std::move(obj), k, unit->ics[ip->a.u]);
            (--sp)->~Value();
            new (sp - 1) Value(std::move(m));
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
            std::string text;
            append_display(text, a);
            append_display(text, b);
            Value r = Value::string(text);
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
                std::vector<Value> chars = arrays.acquire(x.as_string().size());
                split_chars(x.as_string(), chars);
                coll = Value::array(std::move(chars));
                break;
            }
            case Kind::Array: coll = x; break;
            case Kind::Object: {
                const ObjMap& m = x.members();
                std::vector<Value> keys = arrays.acquire(m.size());
                for (size_t i = 0; i < m.size(); ++i) keys.push_back(m.key_at(i));
                std::sort(keys.begin(), keys.end(),
                          [](const Value& p, const Value& q) { return p.as_string() < q.as_string(); });
                coll = Value::array(std::move(keys));
                break;
            }
            default:
                (--sp)->~Value();
                FAIL("Type error: cannot iterate over value");
        }
        std::vector<Value> st = arrays.acquire(2);
        st.push_back(std::move(coll));
        st.push_back(Value::integer(0));
        Value state = Value::array(std::move(st));
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
                std::vector<Value> st = arrays.acquire(2);
                st.push_back(coll);
                st.push_back(Value::integer(static_cast<int64_t>(i + 1)));
                Value fresh = Value::array(std::move(st));
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

    L_fail: {
        size_t idx = static_cast<size_t>(ip - base);
        pc = idx + 1;
        SYNC();
        if (interrupted) abort = Abort::Interrupted;
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
    : m_(std::make_unique<Machine>()) {
    Machine& m = *m_;
    m.frames.reserve(128);
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
size_t VM::call_depth() const { return m_->frames.size(); }
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
