// The dispatch loop: one body of handlers reached by computed goto, with the
// arithmetic and comparison handlers (arith_handlers.inc) and the fused
// sequences (fused_handlers.inc) kept in their own files.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <new>
#include <stdexcept>
#include <string>

#include "arith.h"
#include "machine.h"

namespace calvex {

using namespace vmi;

namespace {

const int kRangeBuiltin = builtin_index("range");
const int kTypeofBuiltin = builtin_index("typeof");

void append_int_text(std::string& out, uint64_t v) { out += std::to_string(v); }

// One argument of a fused call, computed into the raw slot `o`: false, with
// nothing written, when it takes an operand kind the generic handlers must
// see. The numbers are computed as the generic handlers compute them: Int
// with Int saturating (Mod by a non-zero divisor), a Float with a number as
// doubles (Mod keeps to the generic road). Local and Const are copies,
// made by the callers.
template <SiteArg::Code C>
[[gnu::always_inline]] inline bool site_argument(const SiteArg& g, const Value* rg, Value* o) {
    constexpr bool imm = C == SiteArg::ImmAdd || C == SiteArg::ImmSub || C == SiteArg::ImmMul;
    constexpr bool loc = C == SiteArg::LocAdd || C == SiteArg::LocSub || C == SiteArg::LocMul;
    auto int_op = [](int64_t a, int64_t b) {
        if constexpr (C == SiteArg::ImmAdd || C == SiteArg::LocAdd) return arith::sat_add(a, b);
        else if constexpr (C == SiteArg::ImmSub || C == SiteArg::LocSub) return arith::sat_sub(a, b);
        else return arith::sat_mul(a, b);
    };
    auto float_op = [](double a, double b) {
        if constexpr (C == SiteArg::ImmAdd || C == SiteArg::LocAdd) return a + b;
        else if constexpr (C == SiteArg::ImmSub || C == SiteArg::LocSub) return a - b;
        else return a * b;
    };
    if constexpr (C == SiteArg::Imm) {
        put_int(o, g.k);
    } else if constexpr (imm) {
        const Value& x = rg[g.r];
        if (x.is_int()) [[likely]] {
            put_int(o, int_op(x.as_int(), g.k));
            return true;
        }
        if (!x.is_float()) return false;
        put_float(o, float_op(x.as_float(), static_cast<double>(g.k)));
    } else if constexpr (C == SiteArg::ImmMod) {  // the divisor is not 0 (call_sites() in predecode.cpp)
        const Value& x = rg[g.r];
        if (!x.is_int()) return false;
        put_int(o, arith::int_mod(x.as_int(), g.k));
    } else if constexpr (loc) {
        const Value& x = rg[g.r];
        const Value& y = rg[g.k];
        if (x.is_int() && y.is_int()) [[likely]] {
            put_int(o, int_op(x.as_int(), y.as_int()));
            return true;
        }
        if (!x.is_number() || !y.is_number()) return false;
        put_float(o, float_op(x.is_int() ? static_cast<double>(x.as_int()) : x.as_float(),
                              y.is_int() ? static_cast<double>(y.as_int()) : y.as_float()));
    } else if constexpr (C == SiteArg::LocMod) {
        const Value& x = rg[g.r];
        const Value& y = rg[g.k];
        if (!x.is_int() || !y.is_int() || y.as_int() == 0) return false;
        put_int(o, arith::int_mod(x.as_int(), y.as_int()));
    }
    return true;
}

// All the arguments of a fused call, written into the raw slots from `out`.
// False, with nothing written that needs releasing, when one of them fails
// (see site_argument); the copies of registers and constants are made only
// once nothing can fail.
[[gnu::always_inline]] inline bool site_arguments(const CallSite& s, const Value* rg, const Value* k, Value* out) {
    const uint32_t na = s.nargs;
    for (uint32_t a = 0; a < na; ++a) {
        const SiteArg& g = s.args[a];
        Value* o = out + a;
        bool ok = true;
        switch (g.code) {
            case SiteArg::Local:
            case SiteArg::Const: break;  // copied below
#define SITE_CASE(CODE) \
    case SiteArg::CODE: ok = site_argument<SiteArg::CODE>(g, rg, o); break;
            SITE_CASE(Imm)
            SITE_CASE(ImmAdd)
            SITE_CASE(ImmSub)
            SITE_CASE(ImmMul)
            SITE_CASE(ImmMod)
            SITE_CASE(LocAdd)
            SITE_CASE(LocSub)
            SITE_CASE(LocMul)
            SITE_CASE(LocMod)
#undef SITE_CASE
        }
        if (!ok) return false;
    }
    if (s.copies) {
        for (uint32_t a = 0; a < na; ++a) {
            const SiteArg& g = s.args[a];
            if (g.code == SiteArg::Local)
                new (out + a) Value(rg[g.r]);
            else if (g.code == SiteArg::Const)
                new (out + a) Value(k[g.k]);
        }
    }
    return true;
}

}  // namespace

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

// The dispatch loop. Handlers leave by computed goto, which runs no
// destructors: a local with a destructor must have gone out of scope (or be
// moved-from, which leaves nothing to release) before NEXT/DISPATCH.
// Hot state lives in locals:
//   ip    current instruction (its handler runs now)
//   unit  the running unit (BASE, its first instruction, only for indexes)
//   stk   operand memory; sp the first raw slot; regs the current registers;
//         sbase the bottom of the current operand stack (sp >= sbase).
// stk, sp, regs and sbase are invalidated by grow(): every ENSURE recomputes
// them from their indices. They are written back to the machine only when the
// loop exits (end of code, error, interrupt, allocation failure).
Result<Value> Machine::run(const void* const** table_out) {
    // The handlers, then the argument blocks of the fused calls by their
    // CallSite::entry (fill_site stores a site's block from here).
#define SITE_FORMS(P) \
    &&SF_##P##General, &&SF_##P##None, &&SF_##P##Imm, &&SF_##P##Local, &&SF_##P##Const, &&SF_##P##ImmAdd, \
    &&SF_##P##ImmSub, &&SF_##P##ImmMul, &&SF_##P##ImmMod, &&SF_##P##LocAdd, &&SF_##P##LocSub,          \
    &&SF_##P##LocMul, &&SF_##P##LocMod,
    static const void* const kTable[] = {
#define HANDLER(name) &&L_##name,
#include "machine_ops.def"
#undef HANDLER
        SITE_FORMS() SITE_FORMS(M) SITE_FORMS(T) SITE_FORMS(TM)
    };
#undef SITE_FORMS
    static_assert(std::size(kTable) == I_Count + kSiteBlocks && CallSite::Tidy == 2 * CallSite::Method &&
                  CallSite::Method == CallSite::One + size_t{SiteArg::LocMod} + 1 && SiteArg::Imm == 0);
    if (table_out) {
        *table_out = kTable;
        return Value();
    }

    CodeUnit* unit = cur;
    // The unit's first entry, for the slow paths that need an index.
#define BASE (unit->pcode.data())
    // ip, sp and rg in fixed callee-saved registers (GCC on x86-64): with
    // this many handlers the allocator otherwise may keep them in memory,
    // costing every dispatch loads and stores. Only a placement hint: the
    // values are the same either way.
#if defined(__GNUC__) && !defined(__clang__) && defined(__x86_64__)
    register const PInst* ip asm("rbx") = BASE + pc;
    Value* stk = stack;
    register Value* sp asm("r12") = stk + this->sp;
    register Value* rg asm("r13") = stk + regs;
    // The executed count: every handler adds to it, so in memory it would
    // chain each dispatch to the one before through a store and a load.
    register uint64_t count asm("r15") = 0;
#else
    const PInst* ip = BASE + pc;
    Value* stk = stack;
    Value* sp = stk + this->sp;
    Value* rg = stk + regs;
    uint64_t count = 0;
#endif
    Value* sb = stk + sbase;
    // The next free frame and the end of the frame array (nframes and
    // frames_cap as pointers).
    CallFrame* fp = frames + nframes;
    CallFrame* fend = frames + frames_cap;
    Value* stk_end = stack_end;  // the end of the operand memory
    int budget = check_every;
    std::string err;
    WalkCheckScope walk_check(check, check_ctx);  // long walks over values ask it too
    arith::BinOp binop = arith::BinOp::Add;
    // Operands of a call being entered (shared by Call and the fused method
    // call): callee slot, argument count, resolved name and target.
    Value* callee = nullptr;
    size_t n = 0;
    const NameCell* nc = nullptr;
    CodeUnit* target = nullptr;
    bool with_receiver = false;
    // Fused calls (CallGlobal, MethodCall): the call site.
    CallSite* site = nullptr;
    int setindex_variant = 0;
    bool concat_local = false;

#define SYNC()                                      \
    do {                                            \
        this->sp = static_cast<size_t>(sp - stk);   \
        regs = static_cast<size_t>(rg - stk);       \
        sbase = static_cast<size_t>(sb - stk);      \
        cur = unit;                                 \
        nframes = static_cast<size_t>(fp - frames); \
        executed += count;                          \
        count = 0;                                  \
    } while (0)
    // After code that may have run more of this machine (VM::call from a
    // native binding or from the host's check), which can move the operand
    // memory and the frame array: the loop's pointers from what SYNC left.
#define RELOAD()                         \
    do {                                 \
        stk = stack;                     \
        sp = stk + this->sp;             \
        rg = stk + regs;                 \
        sb = stk + sbase;                \
        fp = frames + nframes;           \
        fend = frames + frames_cap;      \
        stk_end = stack_end;             \
    } while (0)
#define ENSURE_AT(total)                                        \
    do {                                                        \
        size_t need_ = (total);                                 \
        if (need_ > cap) [[unlikely]] {                         \
            __asm__("" : "+r"(sp));  /* recomputed here, not kept from the test */ \
            size_t o_sp = static_cast<size_t>(sp - stk);        \
            size_t o_rg = static_cast<size_t>(rg - stk);        \
            size_t o_sb = static_cast<size_t>(sb - stk);        \
            this->sp = o_sp;                                    \
            grow(need_);                                        \
            stk = stack;                                        \
            sp = stk + o_sp;                                    \
            rg = stk + o_rg;                                    \
            sb = stk + o_sb;                                    \
            stk_end = stack_end;                                \
        }                                                       \
    } while (0)
    // The distance in bytes from register base `from` up to `to` (a frame's
    // CallFrame::down: the Return then needs no scaling).
#define BYTES_UP(from, to) static_cast<size_t>(reinterpret_cast<char*>(to) - reinterpret_cast<char*>(from))
#define AT_BYTES(p, b) reinterpret_cast<Value*>(reinterpret_cast<char*>(p) + (b))
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
    // Both operands of kind K. (A macro: as an inline function it changes
    // how the compiler allocates the loop's registers, for the worse.)
#define BOTH(a, b, K) ((a).kind() == Kind::K && (b).kind() == Kind::K)
    // Truthiness with the Bool and Int cases inline.
#define TRUTHY(v) \
    ((v).kind() == Kind::Bool ? (v).as_bool() : (v).kind() == Kind::Int ? (v).as_int() != 0 : truthy(v))
    // The host's periodic check, every kCheckInterval loop edges and calls.
    // The machine's state is brought up to date first, so the check can
    // enforce an instruction budget, see the call depth, and call into the
    // machine (a signal handler of the host may: its call runs above the
    // stack top). (check_every is at least 1: the budget reaches 0 exactly.)
    // Pointers into the operand memory are not kept across it.
#define POLL()                                              \
    do {                                                    \
        if (--budget == 0) [[unlikely]] {                   \
            budget = check_every;                           \
            if (check) {                                    \
                SYNC();                                     \
                if (check(check_ctx)) goto L_interrupt;     \
                RELOAD();                                   \
            }                                               \
        }                                                   \
    } while (0)
    // Taken loop edges, ip already at the target of the jump at `at`: stack
    // room for the next straight run (unless the unit's stack depths agree
    // on every path, CodeUnit::balanced), the interrupt check, and the JIT
    // hook for jumps strictly backwards (the positions computed only for it).
#define BACKEDGE(at)                                                                     \
    do {                                                                                 \
        if (unit->edge_checks) [[unlikely]] {                                            \
            if (!unit->balanced && static_cast<size_t>(stk_end - sp) < unit->headroom)   \
                ENSURE_AT(static_cast<size_t>(sp - stk) + unit->headroom);               \
            POLL();                                                                      \
            if (jit && ip < (at))                                                        \
                jit_on_backward_jump(*jit, unit->code, static_cast<size_t>(ip - BASE),  \
                                     static_cast<size_t>((at) - BASE));                  \
        } else {                                                                         \
            POLL();                                                                      \
        }                                                                                \
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

#include "arith_handlers.inc"

    L_Jump:
        ip = ip->target();
        ++count;
        DISPATCH();
#define COND_JUMP(OPNAME, WHEN)                     \
    L_##OPNAME : {                                  \
        NEED(1);                                    \
        bool t = TRUTHY(sp[-1]);                    \
        (--sp)->~Value();                           \
        if (t == (WHEN)) {                          \
            ip = ip->target();                      \
            ++count;                                \
            DISPATCH();                             \
        }                                           \
        NEXT();                                     \
    }
        COND_JUMP(JumpIfFalse, false)
        COND_JUMP(JumpIfTrue, true)
    L_JumpBack: {
        const PInst* at = ip;
        ++count;
        ip = ip->target();
        BACKEDGE(at);
        DISPATCH();
    }
#define COND_JUMP_BACK(OPNAME, WHEN)                \
    L_##OPNAME : {                                  \
        NEED(1);                                    \
        bool t = TRUTHY(sp[-1]);                    \
        (--sp)->~Value();                           \
        if (t == (WHEN)) {                          \
            const PInst* at = ip;                   \
            ++count;                                \
            ip = ip->target();                      \
            BACKEDGE(at);                           \
            DISPATCH();                             \
        }                                           \
        NEXT();                                     \
    }
        COND_JUMP_BACK(JumpIfFalseBack, false)
        COND_JUMP_BACK(JumpIfTrueBack, true)

    L_Call:
        n = ip->a.u;
        goto call;
    L_CallSite:
        n = static_cast<uint32_t>(ip->a.u);
        goto call;
    call: {
        if (static_cast<size_t>(sp - sb) <= n) UNDERFLOW();
        POLL();
        callee = sp - n - 1;
        with_receiver = false;
        switch (callee->kind()) {
            case Kind::Function:
                nc = callee->plain_name_cell();
                if (nc->owner != serial) [[unlikely]] resolve(nc);
                if (nc->native) goto call_native;
                if (nc->unit) {
                    target = static_cast<CodeUnit*>(const_cast<void*>(nc->unit));
                    goto enter;
                }
                if (nc->builtin == kTypeofBuiltin) {
                    // The machine's text of that kind (made at load): no new string.
                    const Value& t = kind_texts[static_cast<int>(n ? callee[1].kind() : Kind::Nil)];
                    if (t.is_string()) {
                        while (sp > callee) (--sp)->~Value();
                        new (sp++) Value(t);
                        NEXT();
                    }
                }
                if (nc->builtin >= 0) {
                    {
                        Value r = call_builtin(nc->builtin, std::span<const Value>(callee + 1, n));
                        while (sp > callee) (--sp)->~Value();
                        new (sp++) Value(std::move(r));
                    }
                    NEXT();
                }
                goto call_nil;
            case Kind::Method:
                nc = callee->method_name_cell();
                if (nc->owner != serial) [[unlikely]] resolve(nc);
                if (nc->unit) {
                    target = static_cast<CodeUnit*>(const_cast<void*>(nc->unit));
                    with_receiver = true;
                    goto enter;
                }
                goto call_nil;
            case Kind::Native:
                nc = callee->plain_name_cell();
                if (nc->owner != serial) [[unlikely]] resolve(nc);
                if (nc->native) goto call_native;
                goto call_nil;
            default: goto call_nil;
        }
    call_nil:
        if (strict) [[unlikely]] {
            err = "Cannot call ";
            err += kind_name(callee->kind());
            while (sp > callee) (--sp)->~Value();
            goto L_fail;
        }
        while (sp > callee) (--sp)->~Value();
        put_nil(sp++);
        NEXT();
    call_native: {
        auto* binding = static_cast<NativeBinding*>(const_cast<void*>(nc->native));
        SYNC();
        size_t slot = static_cast<size_t>(callee - stk);
        {
            Result<Value> r = binding->call(std::span<const Value>(callee + 1, n));
            RELOAD();
            callee = stk + slot;
            while (sp > callee) (--sp)->~Value();
            if (!r.ok()) FAIL(std::move(r.error()));
            new (sp++) Value(std::move(r.value()));
        }
        NEXT();
    }
    enter: {
        if (fp == fend) [[unlikely]] {
            nframes = static_cast<size_t>(fp - frames);
            if (nframes >= max_depth) {
                while (sp > callee) (--sp)->~Value();
                FAIL("Stack overflow: call depth limit exceeded");
            }
            grow_frames();
            fp = frames + nframes;
            fend = frames + frames_cap;
        }
        size_t slot = static_cast<size_t>(callee - stk);
        size_t wbase = slot + 1;
        size_t have = with_receiver ? n + 1 : n;  // values already in the window
        size_t P = target->params;
        size_t R = target->window;
        ENSURE_AT(wbase + std::max(R, have) + target->headroom);
        callee = stk + slot;
        *fp++ = CallFrame{unit, ip + 1, BYTES_UP(rg, stk + wbase)};
        // `x = f(x, ...)`: the caller's variable is overwritten by the result
        // before anything can read it again (the call comes back only to the
        // store, which always has the result to store), so its handle goes
        // now and the callee may find its argument unshared. A CallSite has
        // the register from the predecoder (call_sites() in predecode.cpp),
        // which makes this same test once.
        if (ip->h == &&L_CallSite) {
            if (ip->a.u >> 32) rg[(ip->a.u >> 32) - 1] = Value();
        } else if (ip[1].h == &&L_StoreLocal) {
            rg[ip[1].a.u] = Value();
        } else if ((ip[1].h == &&L_Dup || ip[1].h == &&L_DupStorePop) && ip[2].h == &&L_StoreLocal) {
            rg[ip[2].a.u] = Value();
        }
        // A method's receiver takes its place, and moves up with the
        // arguments: the registers start right above the callee slot.
        // Either way the callee slot holds nil from here on, as after a fused
        // entry: Return moves the result over it without releasing it.
        if (with_receiver) {
            callee->unbind(spare_method);
            std::memmove(static_cast<void*>(callee + 1), static_cast<const void*>(callee), have * sizeof(Value));
        } else {
            callee->~Value();
        }
        put_nil(callee);
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
        ip = unit->pcode.data();
        ++count;
        DISPATCH();
    }
    }

    // LoadGlobal g; arguments; Call n, when the global holds a user
    // function (the guard: it is read again on every call, so a global
    // assigned another value takes the generic road). The site keeps the
    // function it entered last (CallSite::fn): the same cell needs no new
    // decision. The callee slot gets nil instead of a handle on the
    // function: nothing reads it. The head's operand is its call site.
    L_CallGlobal: {
        site = reinterpret_cast<CallSite*>(ip->a.u);
        const Value& fv = *site->slot;
        if (fv.kind() != Kind::Function) [[unlikely]]
            goto site_fallback;
        if (fv.plain_name_cell() != site->fn.plain_name_cell()) [[unlikely]]
            if (!fill_site(*site, fv)) goto site_fallback;
        put_nil(sp);
        goto site_call;
    }
    // LoadLocal r; LoadConst k; GetIndex; arguments; Call n on an object
    // that lacks member k, when its class answers k with a user function:
    // the receiver goes above the callee slot (it is the callee's register
    // 0), as the generic Call moves it after unbinding the method.
    L_MethodCall: {
        const Value& x = rg[ip->a.u];
        MethodIC& ic = unit->ics[ip[2].a.u];
        site = &unit->calls[ic.site];
        if (x.kind() == Kind::Object) {
            const ObjMap& m = x.members();
            // The site's own memory: an object with the key set last seen
            // here (so it lacks member k and has its class member where that
            // one had it) and the same class cell has the same answer.
            if (m.key_set() == site->shape && site->shape != 0) [[likely]] {
                const Value& cv = m.value_at(site->cls_slot);
                if (cv.is_string() && cv.str_cell() == site->cls.str_cell()) [[likely]] {
                    put_nil(sp);
                    new (sp + 1) Value(x);
                    goto site_call;
                }
            }
            const Value& k = unit->constants[static_cast<uint32_t>(ip[1].a.u)];
            if (k.is_string() &&
                ((m.key_set() == ic.absent_in && ic.absent_in != 0) || !find_member(m, k, unit->slots[ip - BASE]))) {
                ic.absent_in = m.key_set_id();
                const Value* cls = find_member(m, k_class, unit->slots[ip - BASE + 1]);
                if (method_ic_hit(ic, cls, k) && ic.answer.is_function()) [[likely]] {
                    if (ic.answer.plain_name_cell() == site->fn.plain_name_cell() || fill_site(*site, ic.answer)) {
                        site->shape = ic.absent_in;
                        site->cls_slot = static_cast<uint32_t>(cls - &m.value_at(0));
                        site->cls = *cls;
                        put_nil(sp);
                        new (sp + 1) Value(x);
                        goto site_call;
                    }
                }
            }
        }
        goto L_LoadLocal;  // the head's own steps, one by one
    }

    // The fused calls, their callee slot (sp) filled: first everything that
    // could make the generic sequence stop or fail before the callee runs
    // (the interrupt poll, the depth limit, the room of the operand memory;
    // the callee's arity was checked when the site's cache was filled), then
    // the arguments, written above the callee slot by the site's form.
    site_call:
        if (budget > 1 && fp < fend && BYTES_UP(sp, stk_end) >= site->reach) [[likely]]
            goto *site->block;
    site_fail:  // nothing written but the callee slot (and the receiver): the head's own steps
        if (site->method) {
            sp[1].~Value();
            goto L_LoadLocal;
        }
    site_fallback: {  // LoadGlobal or LoadGlobalStrict of the site's global
        const uint32_t k = site->global;
        const Value& g = globals[k];
        if (site->strict && g.is_nil() && !assigned[k]) [[unlikely]]
            FAIL("Undefined variable '" + global_names[k] + "'");
        new (sp++) Value(g);
        NEXT();
    }

    // The blocks of the sites whose entry has registers to clear (Tidy)
    // end in site_enter_tidy, the others in site_enter.
#define SITE_FORMS(P, OUT, ENTER)                                                       \
    SF_##P##General:                                                                    \
        if (!site_arguments(*site, rg, unit->constants.data(), OUT)) goto site_fail;    \
        goto ENTER;                                                                     \
    SF_##P##None:                                                                       \
        goto ENTER;                                                                     \
    SF_##P##Local:                                                                      \
        new (OUT) Value(rg[site->args[0].r]);                                           \
        goto ENTER;                                                                     \
    SF_##P##Const:                                                                      \
        new (OUT) Value(unit->constants[static_cast<size_t>(site->args[0].k)]);         \
        goto ENTER;                                                                     \
    SITE_FORM(P, OUT, ENTER, Imm)                                                       \
    SITE_FORM(P, OUT, ENTER, ImmAdd)                                                    \
    SITE_FORM(P, OUT, ENTER, ImmSub)                                                    \
    SITE_FORM(P, OUT, ENTER, ImmMul)                                                    \
    SITE_FORM(P, OUT, ENTER, ImmMod)                                                    \
    SITE_FORM(P, OUT, ENTER, LocAdd)                                                    \
    SITE_FORM(P, OUT, ENTER, LocSub)                                                    \
    SITE_FORM(P, OUT, ENTER, LocMul)                                                    \
    SITE_FORM(P, OUT, ENTER, LocMod)
#define SITE_FORM(P, OUT, ENTER, CODE)                                                  \
    SF_##P##CODE:                                                                       \
        if (!site_argument<SiteArg::CODE>(site->args[0], rg, OUT)) goto site_fail;      \
        goto ENTER;
    SITE_FORMS(, sp + 1, site_enter)
    SITE_FORMS(M, sp + 2, site_enter)
    SITE_FORMS(T, sp + 1, site_enter_tidy)
    SITE_FORMS(TM, sp + 2, site_enter_tidy)
#undef SITE_FORM
#undef SITE_FORMS

    // The caller's variable the result will overwrite goes now (see
    // `enter`), and the callee's registers past its arguments start as nil.
    site_enter_tidy:
        if (site->drop >= 0) {
            Value& d = rg[site->drop];
            if (d.is_heap()) [[unlikely]]
                d = Value();
            else
                put_nil(&d);
        }
        for (size_t k = site->nils; k > 0; --k) put_nil(AT_BYTES(sp, site->top) - k);
    // The entry: sp is the callee slot, the arguments above it; ip is the
    // head.
    site_enter: {
        --budget;  // the Call's poll, which cannot fire (budget > 1)
        const CallSite& s = *site;
        const uint32_t len = s.len;
        CallFrame* f = fp;
        f->unit = unit;
        f->ret = s.ret;
        f->down = BYTES_UP(rg, sp + 1);
        fp = f + 1;
        rg = sp + 1;
        sp = AT_BYTES(sp, s.top);
        sb = sp;
        unit = s.target;
        ip = unit->pcode.data();
        count += len;
        DISPATCH();
    }

    // The result (the top of the callee's operand stack, or nil) moves
    // bitwise into the callee slot, which holds nil (see `enter`); the rest
    // of the window is released.
    L_Return:
        if (!fp[-1].unit) FAIL("Return without matching call");
        if (sp == sb) [[unlikely]] {
            while (sp > rg - 1) (--sp)->~Value();
            put_nil(sp++);
            --fp;
            goto return_to;
        }
    return_top:  // a call is active and the result is on the stack
        --fp;
        {
            Value* r = sp - 1;  // stays in place while the values below it go
            for (Value* v = r; v != rg;) (--v)->~Value();
            Value::relocate(rg - 1, r);
            sp = rg;
        }
    return_to: {  // sp is the caller's top, fp the frame just left
        const CallFrame* f = fp;  // read in place: nothing below pushes a frame
        unit = f->unit;
        ip = f->ret;
        rg = reinterpret_cast<Value*>(reinterpret_cast<char*>(rg) - f->down);
        sb = rg + unit->window;
        ++count;
        DISPATCH();
    }

    // Add; Return: two Ints inside a call give the result in place; anything
    // else takes the Add's own step. (Only in units whose stack depths agree:
    // the operands are there.)
    L_AddReturn:
        if (BOTH(sp[-2], sp[-1], Int) && fp[-1].unit) [[likely]] {
            sp[-2].int_payload() = arith::sat_add(sp[-2].as_int(), sp[-1].as_int());
            --sp;
            ++count;
            goto return_top;
        }
        goto L_Add;

    L_StoreLocal:
        NEED(1);
        --sp;
        move_into(rg[ip->a.u], *sp);
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
    L_StoreGlobalStrict:
        assigned[ip->a.u] = 1;
        goto L_StoreGlobal;
    L_LoadGlobalStrict: {
        const uint64_t k = ip->a.u;
        const Value& g = globals[k];
        if (g.is_nil() && !assigned[k]) [[unlikely]]
            FAIL("Undefined variable '" + global_names[k] + "'");
        new (sp++) Value(g);
        NEXT();
    }
    // The low half of the operand: after a LoadLocalGetConst head the high
    // half holds that site's member cache (member_site_slot in machine.h).
    L_LoadConst:
        new (sp++) Value(unit->constants[static_cast<uint32_t>(ip->a.u)]);
        NEXT();

    // The new array goes to the stack, or with the StoreLocal that follows
    // straight to its variable.
#define MAKE_ARRAY(OPNAME, PLACE, STEPS)                                                   \
    L_##OPNAME : {                                                                      \
        size_t n = ip->a.u;                                                             \
        if (static_cast<size_t>(sp - sb) < n) UNDERFLOW();                              \
        {                                                                               \
            Value arr = Value::array();                                                 \
            std::vector<Value>& items = arr.items_in_place();                           \
            items.reserve(n);                                                           \
            Value* first = sp - n;                                                      \
            for (size_t k = 0; k < n; ++k) items.push_back(std::move(first[k]));        \
            sp = first; /* the moved-from slots hold nil: nothing to release */         \
            PLACE;                                                                      \
        }                                                                               \
        NEXTN(STEPS);                                                                   \
    }
        MAKE_ARRAY(MakeArray, new (sp++) Value(std::move(arr)), 1)
        MAKE_ARRAY(MakeArrayStore, move_into(rg[ip[1].a.u], arr), 2)
#undef MAKE_ARRAY
    L_MakeObject: {
        size_t n = ip->a.u;
        if (static_cast<size_t>(sp - sb) / 2 < n) UNDERFLOW();
        {  // no live Value across the dispatch (see div_mod_pow)
            Value obj = Value::object();
            ObjMap& map = obj.members_in_place();
            Value* first = sp - 2 * n;
            uint32_t& site = unit->slots[ip - BASE];
            if (site != 0 && same_keys(*unit->layouts[site - 1].get(), first, n)) {
                map.assign_layout(unit->layouts[site - 1].get(), first + 1, 2);
            } else {
                map.reserve(n);
                // Pairs are popped top first and a later pop overwrites, so the
                // deepest pair of a repeated key wins: inserting bottom-up with
                // first-wins gives the same members.
                for (size_t k = 0; k < n; ++k) {
                    Value& key = first[2 * k];
                    if (key.is_string()) map.insert_new(key, std::move(first[2 * k + 1]));
                }
                // The next object built here likely has the same keys: keep
                // the layout for it when every key was a distinct string.
                if (map.size() == n && n != 0) {
                    if (site == 0) {
                        unit->layouts.emplace_back();
                        site = static_cast<uint32_t>(unit->layouts.size());
                    }
                    unit->layouts[site - 1].reset(map.shape());
                }
            }
            while (sp > first) (--sp)->~Value();
            new (sp++) Value(std::move(obj));
        }
        NEXT();
    }

    L_GetIndex: {
        NEED(2);
        Value& c = sp[-2];
        Value& k = sp[-1];
        if (c.kind() == Kind::Array && k.kind() == Kind::Int) {
            const std::vector<Value>& items = c.items();
            int64_t i = k.as_int();
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
        if (c.kind() == Kind::Object && k.kind() == Kind::String) {
            if (const Value* found = find_member(c.members(), k, unit->slots[ip - BASE])) {
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
    L_SetIndexStore: {
        // `o.k = v` on an existing member k of an object variable o, when o
        // and the stack hold the object's only handles: written in place,
        // and the store that follows finds o already holding it. The key is
        // held elsewhere too (a constant or a variable), so neither handle
        // dropped here is the last. Everything else takes the general road.
        if (sp - sb >= 3) [[likely]] {
            Value& c = sp[-3];
            const Value& k = sp[-2];
            if (c.kind() == Kind::Object && k.is_string() && k.share_count() > 1 && c.share_count() == 2 &&
                c.cell() == rg[ip->a.u].cell()) {
                ObjMap& m = c.members_in_place();
                const uint32_t at = unit->slots[ip - BASE];
                if (member_at(m, k, at)) [[likely]] {
                    move_into(m.value_at(at), sp[-1]);
                    sp[-2].drop_shared();
                    c.drop_shared();
                    sp -= 3;
                    NEXTN(2);
                }
                goto set_member_search;
            }
            // a[i] = v the same way, for an Int index in range.
            if (c.kind() == Kind::Array && k.kind() == Kind::Int && c.share_count() == 2 &&
                c.cell() == rg[ip->a.u].cell()) {
                std::vector<Value>& items = c.items_in_place();
                const uint64_t i = static_cast<uint64_t>(k.as_int());
                if (i < items.size()) [[likely]] {
                    move_into(items[i], sp[-1]);
                    c.drop_shared();
                    sp -= 3;  // the key is an Int: nothing to release
                    NEXTN(2);
                }
            }
        }
        setindex_variant = 4;
        goto set_index;
    }
    // The member is elsewhere than the site found it last time (or
    // missing): searched for, with the same conditions as above.
    set_member_search: {
        __asm__("" : "+r"(ip));  // read again, not kept from the fast path
        Value& c = sp[-3];
        if (Value* slot = find_member(c.members_in_place(), sp[-2], unit->slots[ip - BASE])) {
            move_into(*slot, sp[-1]);
            sp[-2].drop_shared();
            c.drop_shared();
            sp -= 3;
            NEXTN(2);
        }
        setindex_variant = 4;
        goto set_index;
    }
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
            if (setindex_variant == 1 || setindex_variant == 4)
                shared_ok = rg[ip->a.u].cell() == c.cell();
            else if (setindex_variant == 2)
                shared_ok = globals[ip->a.u].cell() == c.cell();
            else if (setindex_variant == 3 && sp - sb >= 3 + static_cast<ptrdiff_t>(unit->chains[ip->a.u].keys.size()))
                shared_ok = chain_unique(sp, unit->chains[ip->a.u], rg, *unit);
        }
        if (c.kind() == Kind::Array) {
            if (k.kind() == Kind::Int) {
                int64_t i = k.as_int();
                int64_t len = static_cast<int64_t>(c.items().size());
                if (i < 0) i += len;
                if (i >= 0 && i < len) {
                    std::vector<Value>& items =
                        shared_ok ? c.items_in_place() : c.unique_items();
                    move_into(items[static_cast<size_t>(i)], v);
                }
            }
        } else if (c.kind() == Kind::Object) {
            if (k.kind() == Kind::String) {
                ObjMap& map = shared_ok ? c.members_in_place() : c.unique_members();
                if (Value* slot = find_member(map, k, unit->slots[ip - BASE]))
                    move_into(*slot, v);
                else
                    map.insert_new(k, std::move(v));
            } else {
                Value key = Value::string(display_text(k));
                ObjMap& map = shared_ok ? c.members_in_place() : c.unique_members();
                map.set(key, std::move(v));
            }
        }
        (--sp)->~Value();
        (--sp)->~Value();
        if (setindex_variant == 4) {
            --sp;
            Value& r = rg[ip->a.u];
            if (sp->is_heap() && sp->cell() == r.cell())
                sp->~Value();  // the variable already holds this container
            else
                move_into(r, *sp);
            NEXTN(2);
        }
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
        if (a.kind() == Kind::String) {
            size_t rc = a.share_count();
            in_place = rc == 1 || (rc == 2 && concat_local && rg[ip->a.u].cell() == a.cell());
        }
        if (in_place) {
            std::string tmp;
            std::string_view add;
            if (b.kind() == Kind::String) {
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
            if (a.kind() == Kind::String && b.kind() == Kind::String) {
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
        switch (x.kind()) {
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
        {
            Value coll;
            switch (x.kind()) {
                case Kind::String: {
                    coll = Value::array();
                    std::vector<Value>& chars = coll.items_in_place();
                    std::string_view text = x.as_string();
                    for (size_t at = 0, len = 0; at < text.size(); at += len) chars.push_back(char_at(text, at, len));
                    break;
                }
                case Kind::Array: coll = x; break;
                case Kind::Object: {
                    const ObjMap& m = x.members();
                    coll = Value::array();
                    std::vector<Value>& keys = coll.items_in_place();
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
            std::vector<Value>& st = state.items_in_place();
            st.reserve(2);
            st.push_back(std::move(coll));
            st.push_back(Value::integer(0));
            x = std::move(state);
        }
        NEXT();
    }

    L_IterNext: {
        NEED(1);
        Value& s = sp[-1];
        if (s.kind() != Kind::Array || s.items().size() != 2) {
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
                put_int(&s.items_in_place()[1], static_cast<int64_t>(i + 1));
            } else {
                Value fresh = Value::array();
                std::vector<Value>& st = fresh.items_in_place();
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
        if (s.kind() == Kind::Array && s.share_count() == 1) {
            std::vector<Value>& st = s.items_in_place();
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


#include "fused_handlers.inc"
#include "loop_handlers.inc"

    L_Halt:
        state.status = VMStatus::Halted;
        NEXT();
    L_Nop:
        NEXT();

    L_BadReg:
        err = "Register " + std::to_string(unit->code[static_cast<size_t>(ip - BASE)].operand) + " out of bounds";
        goto L_fail;
    L_BadConst:
        err = "Constant pool index " + std::to_string(unit->code[static_cast<size_t>(ip - BASE)].operand) +
              " out of bounds";
        goto L_fail;

    L_End: {
        pc = static_cast<size_t>(ip - BASE);
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
        pc = static_cast<size_t>(ip - BASE);
        SYNC();
        abort = Abort::Interrupted;
        return Err(std::string("Interrupted"));

    L_fail: {
        size_t idx = static_cast<size_t>(ip - BASE);
        pc = idx + 1;
        SYNC();
        if (tracebacks) record_trace(unit, idx);
        if (idx < unit->lines.size() && unit->lines[idx] != 0) {
            std::string msg = "Line ";
            append_int_text(msg, unit->lines[idx]);
            msg += ": ";
            msg += err;
            return Err(std::move(msg));
        }
        return Err(std::move(err));
    }
    } catch (const WalkStopped&) {
        // A walk over a value was interrupted; the walks run before their
        // instruction changes anything, so a later run repeats it.
        pc = static_cast<size_t>(ip - BASE);
        SYNC();
        abort = Abort::Interrupted;
        return Err(std::string("Interrupted"));
    } catch (const std::bad_alloc&) {
    } catch (const std::length_error&) {
    }
    // Allocation failed inside an instruction: abandon it as failed. Every
    // handler allocates before it changes the stack, or leaves it consistent.
    pc = static_cast<size_t>(ip - BASE) + 1;
    SYNC();
    abort = Abort::OutOfMemory;
    return Err(std::string("Out of memory"));

#undef BASE
#undef SYNC
#undef RELOAD
#undef ENSURE_AT
#undef DISPATCH
#undef BYTES_UP
#undef AT_BYTES
#undef NEXT
#undef NEXTN
#undef FAIL
#undef POP_ALL
#undef UNDERFLOW
#undef NEED
#undef BOTH
#undef TRUTHY
#undef GENERIC_ARITH
#undef POP2_AND_FAIL
#undef SPECIAL
#undef ORDERED
#undef COND_JUMP_BACK
#undef COND_JUMP
#undef LOGIC
#undef EQUALITY
#undef BACKEDGE
#undef POLL
#undef BRANCH
#undef FUSED_CMP
#undef FUSED_CMP_BOTH
#undef FUSED_CMP_CONST
#undef FLOAT_OPERAND
#undef RELOAD_KINDS
#undef FUSED_ARITH
}

}  // namespace calvex
