// Predecoding: each unit (top level or function) is turned once into a
// parallel array of {handler address, operand} with the same indices as its
// code (plus an end sentinel), so positions, line numbers and the JIT hook see
// the original indices. Global names, register bounds and constant bounds are
// resolved here; a few instruction pairs get specialised handlers, and the
// heads of common sequences fused ones, that fall back to the generic handler
// whenever their fast path does not apply.
#include <algorithm>
#include <bit>
#include <bitset>
#include <string>
#include <unordered_map>

#include "machine.h"

namespace calvex {

namespace vmi {

const void* const* label_table(Machine& any) {
    static const void* const* table = [&any] {
        const void* const* out = nullptr;
        (void)any.run(&out);
        return out;
    }();
    return table;
}

}  // namespace vmi

using namespace vmi;

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

namespace {
// True when every instruction reachable from the first is reached with one
// stack depth on every path, and no path pops below the bottom. Halt goes on
// to the next instruction, as it does when run. Every depth is then that of
// a path through distinct instructions, so at most the unit's headroom (the
// growth of all its instructions together), and a run only ever stands at
// the depth it started from plus the difference of two such depths. With
// the headroom ensured whenever a run starts or resumes (after a failure or
// an interrupt, from wherever they left the stack), no loop can outgrow it.
bool stack_depths_agree(const Code& code) {
    const size_t n = code.size();
    constexpr uint64_t kUnseen = UINT64_MAX;
    std::vector<uint64_t> depth(n + 1, kUnseen);
    std::vector<size_t> todo;
    auto reach = [&](size_t at, uint64_t d) {
        at = std::min(at, n);
        if (depth[at] == kUnseen) {
            depth[at] = d;
            todo.push_back(at);
            return true;
        }
        return depth[at] == d;
    };
    if (!reach(0, 0)) return false;
    while (!todo.empty()) {
        const size_t i = todo.back();
        todo.pop_back();
        if (i == n) continue;  // the end of the code: the run stops there
        const Instruction& in = code[i];
        const uint64_t pops = op_pops(in.op, in.operand), d = depth[i];
        if (pops > d) return false;
        const uint64_t after = d - pops + op_pushes(in.op);
        const Flow flow = op_flow(in.op);
        if (flow == Flow::Jump || flow == Flow::Branch)
            if (!reach(in.operand, after)) return false;
        if (flow == Flow::Jump || in.op == Op::Return) continue;
        if (!reach(i + 1, after)) return false;
    }
    return true;
}
}  // namespace

void Machine::prepare(CodeUnit& u) {
    const void* const* L = label_table(*this);
    const Code& code = u.code;
    size_t n = code.size();
    u.pcode.assign(n + 1, PInst{L[I_End], {0}});
    u.slots.assign(n, 0);
    u.layouts.clear();
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
                if (strict) op = in.op == Op::LoadGlobal ? I_LoadGlobalStrict : I_StoreGlobalStrict;
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
                    op = store == next ? I_SetIndexStore : I_SetIndexLocal;
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
    u.balanced = stack_depths_agree(code);
    if (fast_paths) {
        fuse(u);
        lazy_loops(u);
        loop_edges(u);
        call_sites(u);
        member_updates(u);
    }
    // SetIndexGlobal takes the slot the following StoreGlobal resolved to.
    for (size_t i = 0; i < n; ++i) {
        if (u.pcode[i].h == L[I_SetIndexGlobal]) {
            size_t s = code[i + 1].op == Op::Dup ? i + 2 : i + 1;
            u.pcode[i].a.u = u.pcode[s].a.u;
        }
    }
    // Each instruction grows the stack by at most its pushes less its pops;
    // a straight run (no backward jump or call) covers each at most once.
    size_t growth = 0;
    for (const Instruction& in : code) {
        uint64_t pops = op_pops(in.op, in.operand), pushes = op_pushes(in.op);
        if (pushes > pops) growth += pushes - pops;
    }
    u.headroom = growth + 8;
    u.edge_checks = !u.balanced || jit != nullptr;
    u.window = std::max(u.nregs, u.params);
    u.reach = u.window + u.headroom;
    // Last, every jump's operand becomes the address of its target entry,
    // so that a taken jump is one load (the passes above read indexes).
    for (size_t i = 0; i < n; ++i) {
        const Op op = code[i].op;
        if (op == Op::Jump || op == Op::JumpIfFalse || op == Op::JumpIfTrue)
            u.pcode[i].a.u = reinterpret_cast<uintptr_t>(&u.pcode[u.pcode[i].a.u]);
    }
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
        case Op::Div: return 3;
        case Op::Mod: return 4;
        default: return -1;
    }
}
// Div and Mod by a zero constant keep their error path: the fused forms
// with a constant divisor do not test it. (Nor do they test for Mod by an
// immediate -1, whose hardware division would trap.)
bool divides_by_zero(int ai, double k) { return (ai == 3 || ai == 4) && k == 0.0; }
bool bad_divisor(int ai, int64_t k) { return divides_by_zero(ai, static_cast<double>(k)) || (ai == 4 && k == -1); }
// True when every path from `start` writes element j of the array in
// register a back (LoadLocal a; LoadLocal j; v; [Dup; StoreLocal t;] SetIndex;
// StoreLocal a, with v a Push, a LoadConst or a LoadLocal other than a, and t
// not a), stores into a, or leaves the function, before it reads a or stores
// into j. A run resumed after a failed instruction goes on with the next one,
// and an interrupted instruction runs again, so those take the same paths.
//
// Other elements may be read (LoadLocal a; LoadLocal r; GetIndex) and
// written (LoadLocal a; LoadLocal r; v; SetIndex; StoreLocal a) on the way
// when r is known to be above j there: r was last set by LoadLocal j;
// Push k; Add; [Dup;] StoreLocal r with k >= 1, or the same from a q itself
// above j with k >= 0. That holds because the lend happens only for an Int j in
// [0, len): j + k is then an Int that does not saturate, and adding k >= 0
// to an Int above j keeps it above. `targets` marks the instructions a jump
// may land on; a store whose value a jump may have replaced proves nothing.
bool element_written_back(const Code& c, size_t nconst, size_t start, uint64_t a, uint64_t j, bool function,
                          const std::vector<bool>& targets) {
    const size_t n = c.size();
    auto load = [&](size_t p, uint64_t r) { return p < n && c[p].op == Op::LoadLocal && c[p].operand == r; };
    auto value = [&](size_t p) {
        if (p >= n) return false;
        const Instruction& in = c[p];
        return in.op == Op::Push || (in.op == Op::LoadConst && in.operand < nconst) ||
               (in.op == Op::LoadLocal && in.operand < 256 && in.operand != a);
    };
    using Above = std::bitset<256>;
    auto index_above = [&](size_t p, const Above& above) {
        return p < n && c[p].op == Op::LoadLocal && c[p].operand < 256 && above[c[p].operand];
    };
    // The registers above j after StoreLocal r at p.
    auto after_store = [&](size_t p, Above above) {
        const uint64_t r = c[p].operand;
        if (r >= 256) return above;
        size_t q = p;  // the Add is at q - 1
        if (q >= 1 && c[q - 1].op == Op::Dup && !targets[q]) --q;
        const bool up = q >= 3 && !targets[q] && !targets[q - 1] && !targets[q - 2] && c[q - 1].op == Op::Add &&
                        c[q - 2].op == Op::Push && c[q - 3].op == Op::LoadLocal &&
                        ((c[q - 3].operand == j && c[q - 2].imm >= 1) ||
                         (c[q - 3].operand < 256 && above[c[q - 3].operand] && c[q - 2].imm >= 0));
        above.set(r, up);
        return above;
    };
    // The set known at each instruction reached so far; a path goes on
    // from an instruction seen before only when it knows less there.
    std::unordered_map<size_t, Above> seen;
    std::vector<std::pair<size_t, Above>> todo{{start, Above()}};
    while (!todo.empty()) {
        auto [p, above] = todo.back();
        todo.pop_back();
        for (;;) {
            if (p >= n) return false;
            if (auto it = seen.find(p); it == seen.end()) {
                seen.emplace(p, above);
            } else {
                const Above meet = it->second & above;
                if (meet == it->second) break;
                it->second = above = meet;
            }
            const Instruction& in = c[p];
            if (in.op == Op::LoadLocal && in.operand == a) {
                size_t q = p + 3;  // the SetIndex
                if (q + 1 < n && c[p + 3].op == Op::Dup && c[p + 4].op == Op::StoreLocal && c[p + 4].operand != a)
                    q = p + 5;
                if (load(p + 1, j) && value(p + 2) && q + 1 < n && c[q].op == Op::SetIndex &&
                    c[q + 1].op == Op::StoreLocal && c[q + 1].operand == a)
                    break;
                if (index_above(p + 1, above) && p + 2 < n && c[p + 2].op == Op::GetIndex) {
                    p += 3;
                    continue;
                }
                if (index_above(p + 1, above) && value(p + 2) && p + 4 < n && c[p + 3].op == Op::SetIndex &&
                    c[p + 4].op == Op::StoreLocal && c[p + 4].operand == a) {
                    p += 5;
                    continue;
                }
                return false;
            }
            if (in.op == Op::StoreLocal && in.operand == a) break;
            if (in.op == Op::StoreLocal && in.operand == j) return false;
            if (in.op == Op::StoreLocal) above = after_store(p, above);
            if (in.op == Op::Return) {
                if (function) break;
                return false;
            }
            if (in.op == Op::Halt) return false;
            if (in.op == Op::Jump) {
                p = in.operand;
                continue;
            }
            if (in.op == Op::JumpIfFalse || in.op == Op::JumpIfTrue) todo.emplace_back(in.operand, above);
            ++p;
        }
    }
    return true;
}

constexpr int kCmpStride = I_LPCJ_Le_F - I_LPCJ_Lt_F;
constexpr int kArithStride = I_LPA_Sub - I_LPA_Add;
constexpr int kCmpConstStride = I_TKCJ_Le_F - I_TKCJ_Lt_F;
constexpr int kArithConstStride = I_TLA_Sub - I_TLA_Add;
}  // namespace

// The K forms (LoadConst k; o, LoadLocal r; LoadConst k; o and LoadConst k;
// LoadLocal r; o, o an operator or a comparison, k a Float) find the bits of
// k in the operator's own entry: its instruction kind has no operand, so
// neither its plain nor its fused handler reads the entry's operand, and the
// fast path reads the constant without going through the pool.
static void float_operands(CodeUnit& u) {
    const Code& c = u.code;
    auto float_const = [&](size_t j) {
        return c[j].op == Op::LoadConst && c[j].operand < u.constants.size() && u.constants[c[j].operand].is_float();
    };
    for (size_t j = 1; j < c.size(); ++j) {
        if (arith_index(c[j].op) < 0 && cmp_index(c[j].op) < 0) continue;
        size_t k = j - 1;
        if (!float_const(k)) {
            if (j < 2 || c[k].op != Op::LoadLocal || !float_const(j - 2)) continue;
            k = j - 2;
        }
        u.pcode[j].a.u = std::bit_cast<uint64_t>(u.constants[c[k].operand].as_float());
    }
}

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
        return j < n && op_flow(c[j].op) == Flow::Branch && c[j].operand > j;
    };
    auto konst = [&](size_t j) { return is(j, Op::LoadConst) && c[j].operand < u.constants.size(); };
    auto dup_store_pop = [&](size_t j) { return is(j, Op::Dup) && reg(j + 1, Op::StoreLocal) && is(j + 2, Op::Pop); };
    // A Float constant (the K forms), and the comparison or operator at j
    // when one is there (-1 when not).
    auto float_const = [&](size_t j) { return konst(j) && u.constants[c[j].operand].is_float(); };
    auto fk = [&](size_t j) { return u.constants[c[j].operand].as_float(); };
    auto cmp_jump = [&](size_t j) {
        return j < n && is(j + 1, Op::JumpIfFalse) && fwd_branch(j + 1) ? cmp_index(c[j].op) : -1;
    };
    auto arith_at = [&](size_t j) { return j < n ? arith_index(c[j].op) : -1; };
    std::vector<bool> jump_targets;
    auto targets = [&]() -> const std::vector<bool>& {
        if (jump_targets.empty()) {
            jump_targets.assign(n + 1, false);
            for (const Instruction& in : c)
                if (is_jump(in.op) && in.operand < n) jump_targets[in.operand] = true;
        }
        return jump_targets;
    };
    float_operands(u);
    for (size_t i = 0; i < n; ++i) {
        int op = -1;
        auto simple = [&](size_t j) { return is(j, Op::Push) || konst(j) || reg(j, Op::LoadLocal); };
        if (reg(i, Op::LoadLocal) && simple(i + 1) && simple(i + 2) && is(i + 3, Op::SetIndex) &&
            is(i + 4, Op::StoreLocal) && c[i + 4].operand == c[i].operand &&
            !(is(i + 2, Op::LoadLocal) && c[i + 2].operand == c[i].operand)) {
            op = I_SetElemLocal;
        } else if (reg(i, Op::LoadLocal)) {
            if (is(i + 1, Op::IterNext) && is(i + 2, Op::Swap) && is(i + 3, Op::Dup) &&
                is(i + 4, Op::StoreLocal) && c[i + 4].operand == c[i].operand && konst(i + 5) &&
                u.constants[c[i + 5].operand].is_nil() && is(i + 6, Op::Eq) && is(i + 7, Op::JumpIfTrue) &&
                c[i + 7].operand > i + 7) {
                op = I_ForLoop;
            } else if (is(i + 1, Op::Push) || reg(i + 1, Op::LoadLocal)) {
                bool lp = is(i + 1, Op::Push);
                int ci = i + 2 < n ? cmp_index(c[i + 2].op) : -1;
                int ai = i + 2 < n ? arith_index(c[i + 2].op) : -1;
                if (lp && bad_divisor(ai, c[i + 1].imm)) ai = -1;
                if (ci >= 0 && fwd_branch(i + 3)) {
                    op = (lp ? I_LPCJ_Lt_F : I_LLCJ_Lt_F) + ci * kCmpStride + (c[i + 3].op == Op::JumpIfTrue ? 1 : 0);
                } else if (ai >= 0) {
                    const bool in_place = reg(i + 3, Op::StoreLocal) && c[i + 3].operand == c[i].operand;
                    if (in_place && lp && ai <= 1)
                        op = ai == 0 ? I_LPAI_Add : I_LPAI_Sub;
                    else if (in_place && !lp && ai == 0)
                        op = I_LLAI_Add;
                    else if (reg(i + 3, Op::StoreLocal))
                        op = (lp ? I_LPAS_Add : I_LLAS_Add) + ai * kArithStride;
                    else if (!lp && ai == 2 && (is(i + 3, Op::Add) || is(i + 3, Op::Sub)))
                        op = is(i + 3, Op::Add) ? I_LLMA_Add : I_LLMA_Sub;
                    else if (dup_store_pop(i + 3))
                        op = (lp ? I_LPAD_Add : I_LLAD_Add) + ai * kArithStride;
                    else
                        op = (lp ? I_LPA_Add : I_LLA_Add) + ai * kArithStride;
                } else if (!lp && is(i + 2, Op::Push) && (is(i + 3, Op::Add) || is(i + 3, Op::Sub)) &&
                           is(i + 4, Op::Mul)) {
                    op = is(i + 3, Op::Add) ? I_LLPM_Add : I_LLPM_Sub;
                } else if (lp && is(i + 2, Op::GetIndex)) {
                    op = I_LoadLocalGetPush;
                } else if (!lp && is(i + 2, Op::GetIndex) && reg(i + 3, Op::LoadLocal) && is(i + 4, Op::GetIndex)) {
                    op = I_NestedGet;
                } else if (!lp && is(i + 2, Op::GetIndex)) {
                    const uint64_t a = c[i].operand, j = c[i + 1].operand;
                    const uint64_t o = reg(i + 3, Op::StoreLocal) ? c[i + 3].operand : a;
                    if (o != a && o != j && a != j &&
                        element_written_back(c, u.constants.size(), i + 4, a, j, u.function, targets()))
                        op = I_LendElem;
                    else
                        op = I_LoadLocalGetLocal;
                }
            } else if (konst(i + 1) && u.constants[c[i + 1].operand].is_string() && is(i + 2, Op::GetIndex) &&
                       c[i + 1].operand <= UINT32_MAX) {
                op = I_LoadLocalGetConst;
            } else if (float_const(i + 1) && cmp_jump(i + 2) >= 0) {
                op = I_LKCJ_Lt_F + cmp_jump(i + 2) * kCmpConstStride;
            } else if (konst(i + 1) && c[i + 1].operand <= UINT32_MAX && cmp_jump(i + 2) >= 4 &&
                       (u.constants[c[i + 1].operand].is_nil() || u.constants[c[i + 1].operand].is_string())) {
                op = cmp_jump(i + 2) == 4 ? I_LXCJ_Eq_F : I_LXCJ_Ne_F;
            } else if (int ai = arith_at(i + 2); float_const(i + 1) && ai >= 0 && !divides_by_zero(ai, fk(i + 1))) {
                op = (reg(i + 3, Op::StoreLocal) ? I_LKAS_Add : I_LKA_Add) + ai * kArithConstStride;
            } else if (cmp_jump(i + 1) >= 0) {
                op = I_TLCJ_Lt_F + cmp_jump(i + 1) * kCmpConstStride;
            } else if (int ai = arith_at(i + 1);
                       ai == 2 && (is(i + 2, Op::Add) || is(i + 2, Op::Sub)) && !reg(i + 3, Op::StoreLocal)) {
                op = is(i + 2, Op::Add) ? I_TLMA_Add : I_TLMA_Sub;
            } else if (ai >= 0) {
                op = (reg(i + 2, Op::StoreLocal) ? I_TLAS_Add : I_TLA_Add) + ai * kArithConstStride;
            } else if (is(i + 1, Op::Return)) {
                op = I_LoadLocalReturn;
            } else if (reg(i + 1, Op::StoreLocal) && c[i + 1].operand != c[i].operand) {
                op = I_LoadLocalStore;
            } else if (is(i + 1, Op::Dup) && reg(i + 2, Op::LoadLocal) && is(i + 3, Op::Dup) &&
                       reg(i + 4, Op::StoreLocal) && is(i + 5, Op::GetIndex) && reg(i + 6, Op::LoadLocal)) {
                op = I_NestedSetHead;
            }
        } else if (is(i, Op::Push) && reg(i + 1, Op::StoreLocal)) {
            op = I_PushStore;
        } else if (konst(i) && reg(i + 1, Op::StoreLocal)) {
            op = I_LoadConstStore;
        } else if (is(i, Op::Push) && cmp_jump(i + 1) >= 0) {
            op = I_TPCJ_Lt_F + cmp_jump(i + 1) * kCmpConstStride;
        } else if (int ai = arith_at(i + 1); is(i, Op::Push) && ai >= 0 && !bad_divisor(ai, c[i].imm)) {
            op = (reg(i + 2, Op::StoreLocal) ? I_TPAS_Add : I_TPA_Add) + ai * kArithConstStride;
        } else if (float_const(i) && cmp_jump(i + 1) >= 0) {
            op = I_TKCJ_Lt_F + cmp_jump(i + 1) * kCmpConstStride;
        } else if (int ai = arith_at(i + 1); float_const(i) && ai >= 0 && !divides_by_zero(ai, fk(i))) {
            op = (reg(i + 2, Op::StoreLocal) ? I_TKAS_Add : I_TKA_Add) + ai * kArithConstStride;
        } else if (int ai = arith_at(i + 2); float_const(i) && reg(i + 1, Op::LoadLocal) && ai >= 0) {
            op = (reg(i + 3, Op::StoreLocal) ? I_KLAS_Add : I_KLA_Add) + ai * kArithConstStride;
        } else if (int ci = cmp_index(c[i].op); ci >= 0 && fwd_branch(i + 1)) {
            op = I_CJ_Lt_F + ci * kCmpStride + (c[i + 1].op == Op::JumpIfTrue ? 1 : 0);
        } else if (is(i, Op::Mul) && (is(i + 1, Op::Add) || is(i + 1, Op::Sub)) && reg(i + 2, Op::StoreLocal)) {
            op = is(i + 1, Op::Add) ? I_MAS_Add : I_MAS_Sub;
        } else if (is(i, Op::Div) && (is(i + 1, Op::Add) || is(i + 1, Op::Sub)) && reg(i + 2, Op::StoreLocal)) {
            op = is(i + 1, Op::Add) ? I_DAS_Add : I_DAS_Sub;
        } else if (is(i, Op::Mul) && (is(i + 1, Op::Add) || is(i + 1, Op::Sub))) {
            op = is(i + 1, Op::Add) ? I_MA_Add : I_MA_Sub;
        } else if (int ai = arith_index(c[i].op); ai >= 0 && reg(i + 1, Op::StoreLocal)) {
            op = I_AS_Add + ai * kArithStride;
        } else if (ai >= 0 && dup_store_pop(i + 1)) {
            op = I_AD_Add + ai * kArithStride;
        } else if (dup_store_pop(i)) {
            op = I_DupStorePop;
        } else if (is(i, Op::MakeArray) && reg(i + 1, Op::StoreLocal)) {
            op = I_MakeArrayStore;
        } else if (is(i, Op::SetIndex) && u.pcode[i].h == L[I_SetIndexChain] && reg(i + 1, Op::LoadLocal) &&
                   reg(i + 4, Op::StoreLocal)) {
            const WriteBack& wb = u.chains[u.pcode[i].a.u];
            if (wb.keys.size() == 1 && wb.keys[0].op == Op::LoadLocal && wb.store == Op::StoreLocal)
                op = I_NestedSetTail;
        }
        if (op == I_SetElemLocal) {
            auto form = [&](size_t j) -> uint64_t { return is(j, Op::Push) ? 0 : is(j, Op::LoadConst) ? 1 : 2; };
            u.pcode[i].a.u = c[i].operand | form(i + 1) << 8 | form(i + 2) << 10;
            if (form(i + 1) == 2 && form(i + 2) == 0) op = I_SetElemLocalLP;
            if (form(i + 1) == 2 && form(i + 2) == 2) op = I_SetElemLocalLL;
        }
        if (op >= 0) u.pcode[i].h = L[op];
    }
}

namespace {

// True when some path from `start` reads register h before writing it.
bool read_before_write(const Code& c, size_t start, uint64_t h) {
    const size_t n = c.size();
    std::vector<bool> seen(n, false);
    std::vector<size_t> todo{start};
    while (!todo.empty()) {
        size_t p = todo.back();
        todo.pop_back();
        while (p < n && !seen[p]) {
            seen[p] = true;
            const Instruction& in = c[p];
            if (in.op == Op::LoadLocal && in.operand == h) return true;
            if ((in.op == Op::StoreLocal && in.operand == h) || in.op == Op::Return) break;
            if (in.op == Op::Jump) {
                p = in.operand;
                continue;
            }
            if (in.op == Op::JumpIfFalse || in.op == Op::JumpIfTrue) todo.push_back(in.operand);
            ++p;
        }
    }
    return false;
}

}  // namespace

// Loops `e IterInit StoreLocal h; <ForLoop on h> StoreLocal t ...` whose state
// cannot be observed: the loop is entered only through its IterInit, h is
// named inside the loop only by the ForLoop sequence, no jump lands inside
// the fused instructions, and h is written before it is read again on every
// way out but the normal end (which leaves nil in h, as the plain loop). Such a loop keeps a string or a range in h and its position in a
// register of its own (x) instead of building the array of elements: the
// state the plain machine would hold is never looked at, and every element,
// count and stack effect stays the same.
void Machine::lazy_loops(CodeUnit& u) {
    const void* const* L = label_table(*this);
    const Code& c = u.code;
    const size_t n = c.size();
    std::vector<bool> target(n + 1, false);
    for (const Instruction& in : c)
        if (is_jump(in.op)) target[std::min<uint64_t>(in.operand, n)] = true;
    const uint32_t first_own = u.nregs;
    std::vector<std::pair<uint64_t, uint32_t>> own;  // h -> x
    for (size_t i = 0; i + 10 < n; ++i) {
        if (c[i].op != Op::IterInit || c[i + 1].op != Op::StoreLocal || u.pcode[i + 2].h != L[I_ForLoop]) continue;
        const uint64_t h = c[i + 1].operand;
        const size_t head = i + 2, done = c[i + 9].operand;
        if (h >= 256 || c[head].operand != h || c[i + 6].operand != h || c[i + 10].op != Op::StoreLocal ||
            c[i + 10].operand >= 256 || c[i + 10].operand == h || done > n || done <= i + 10)
            continue;
        bool ok = !target[i + 1];
        for (size_t j = i + 3; ok && j <= i + 9; ++j) ok = !target[j];
        for (size_t j = 0; ok && j < n; ++j) {
            const Instruction& in = c[j];
            const bool inside = j >= head && j < done;
            if (inside && j != head && j != i + 6 && (in.op == Op::LoadLocal || in.op == Op::StoreLocal) &&
                in.operand == h)
                ok = false;
            if (!ok || !is_jump(in.op)) continue;
            const bool lands_inside = in.operand >= head && in.operand < done;
            if (!inside && lands_inside) ok = false;
            if (inside && !lands_inside && read_before_write(c, in.operand, h)) ok = false;
        }
        if (!ok) continue;
        uint32_t x = 0;
        for (auto& [r, xr] : own)
            if (r == h) x = xr;
        if (x == 0) {
            x = first_own + static_cast<uint32_t>(own.size());
            own.emplace_back(h, x);
        }
        u.pcode[i].h = L[I_IterInitLazy];
        u.pcode[i].a.u = x;
        if (i > 0 && c[i - 1].op == Op::Call && c[i - 1].operand == 2 && u.pcode[i - 1].h == L[I_Call])
            u.pcode[i - 1].h = L[I_CallRangeIter];
        u.pcode[head].h = L[I_ForLoopLazy];
        u.pcode[i + 3].a.u = x;  // IterNext ignores its operand
    }
    u.nregs = first_own + static_cast<uint32_t>(own.size());
}

// The last choices, once every fused head is known: two plain pushes in a
// row (or a push and an element read by a variable key) become one step,
// and backward jumps to a loop test (a fused compare-and-branch head, or the
// step of a lazy range loop) also run that test, saving one dispatch per
// iteration; the jump itself still counts, reports and polls as before.
void Machine::loop_edges(CodeUnit& u) {
    const void* const* L = label_table(*this);
    const size_t n = u.code.size();
    // Pairs of pushes, where the second one heads nothing longer (or is an
    // element read by a variable key).
    for (size_t i = 0; i + 1 < n; ++i) {
        if (u.pcode[i].h != L[I_LoadLocal]) continue;
        const void* next = u.pcode[i + 1].h;
        int op = next == L[I_LoadLocal] ? I_LoadLocal2 : next == L[I_LoadConst] ? I_LoadLocalConst
                     : next == L[I_Push]      ? I_LoadLocalPush
                     : next == L[I_LoadLocalGetLocal] ? I_LoadLocalGetLocal2 : -1;
        if (op < 0) continue;
        // s = s + a[k]: the sum stored back in the same step.
        if (op == I_LoadLocalGetLocal2 && i + 5 < n && u.code[i + 4].op == Op::Add &&
            u.code[i + 5].op == Op::StoreLocal && u.code[i + 5].operand == u.code[i].operand)
            op = I_AddElemStore;
        u.pcode[i].h = L[op];
        ++i;
    }
    for (size_t i = 0; i < n; ++i) {
        PInst& p = u.pcode[i];
        if (p.h != L[I_JumpBack] || p.a.u >= n) continue;
        const void* head = u.pcode[p.a.u].h;
        if (head == L[I_ForLoopLazy]) {
            p.h = L[I_JumpBackForLazy];
            continue;
        }
        for (int ci = 0; ci < 6; ++ci) {
            if (head == L[I_LPCJ_Lt_F + ci * kCmpStride]) p.h = L[I_JB_LPCJ_Lt + 2 * ci];
            if (head == L[I_LLCJ_Lt_F + ci * kCmpStride]) p.h = L[I_JB_LLCJ_Lt + 2 * ci];
        }
    }
    // A step of the tested variable right before such an edge.
    constexpr int kEdgeStride = I_SE_PL_Le - I_SE_PL_Lt;
    for (size_t i = 0; i + 4 < n; ++i) {
        const void* h = u.pcode[i].h;
        const int s = h == L[I_LPAI_Add] ? 0 : h == L[I_LPAI_Sub] ? 1 : h == L[I_LLAI_Add] ? 2 : -1;
        const PInst& edge = u.pcode[i + 4];
        if (s < 0 || edge.a.u >= n ||
            u.pcode[edge.a.u].a.u != u.code[i].operand)
            continue;
        for (int ci = 0; ci < 6; ++ci) {
            if (edge.h == L[I_JB_LLCJ_Lt + 2 * ci]) u.pcode[i].h = L[I_SE_PL_Lt + ci * kEdgeStride + s];
            if (edge.h == L[I_JB_LPCJ_Lt + 2 * ci]) u.pcode[i].h = L[I_SE_PP_Lt + ci * kEdgeStride + s];
        }
    }
}

// `o.k = o.k ...`: the object and key pushed for the write and the
// member read that follows are one step (LoadLocalConstGet), once the call
// sites have taken the member reads that head method calls.
void Machine::member_updates(CodeUnit& u) {
    const void* const* L = label_table(*this);
    const Code& c = u.code;
    const size_t n = c.size();
    for (size_t i = 0; i + 2 < n; ++i)
        if (u.pcode[i].h == L[I_LoadLocalConst] && u.pcode[i + 2].h == L[I_LoadLocalGetConst])
            u.pcode[i].h = L[I_LoadLocalConstGet];
    // o.k = o.k ± e [* f]: LoadLocal o; LoadConst k; LoadLocal o; LoadConst k;
    // GetIndex; e; [f; Mul;] Add/Sub; SetIndex; StoreLocal o.
    u.updates.clear();
    auto is = [&](size_t j, Op op) { return j < n && c[j].op == op; };
    auto reg = [&](size_t j, Op op) { return is(j, op) && c[j].operand < 256; };
    auto string_const = [&](size_t j) {
        return is(j, Op::LoadConst) && c[j].operand < u.constants.size() && c[j].operand <= UINT32_MAX &&
               u.constants[c[j].operand].is_string();
    };
    // The term at j, and the instructions it takes (0 when it is none).
    auto term = [&](size_t j, UpdateTerm& t) -> size_t {
        if (reg(j, Op::LoadLocal) && string_const(j + 1) && is(j + 2, Op::GetIndex)) {
            t.kind = UpdateTerm::Member;
            t.reg = static_cast<uint8_t>(c[j].operand);
            t.cache = static_cast<uint32_t>(j + 1);
            return 3;
        }
        if (reg(j, Op::LoadLocal)) {
            t.kind = UpdateTerm::Local;
            t.reg = static_cast<uint8_t>(c[j].operand);
            return 1;
        }
        if (is(j, Op::Push)) {
            t.kind = UpdateTerm::Fixed;
            t.fixed = Value::integer(c[j].imm);
            return 1;
        }
        if (is(j, Op::LoadConst) && c[j].operand < u.constants.size()) {
            const Value& k = u.constants[c[j].operand];
            if (!k.is_int() && !k.is_float()) return 0;
            t.kind = UpdateTerm::Fixed;
            t.fixed = k;
            return 1;
        }
        return 0;
    };
    // d = o.k op p.j and d = o.k op q: LoadLocal o; LoadConst k; GetIndex;
    // then LoadLocal p; LoadConst j; GetIndex or LoadLocal q; then op (not
    // Mod); then StoreLocal d, or the value left on the stack.
    for (size_t i = 0; i + 2 < n; ++i) {
        // (Not a read that the head of `o.k = o.k ...` takes with it.)
        if (u.pcode[i].h != L[I_LoadLocalGetConst] || (i >= 2 && u.pcode[i - 2].h == L[I_LoadLocalConstGet]))
            continue;
        UpdateTerm e, f;
        if (term(i, e) != 3) continue;
        // Compared with a Float constant or an immediate, then the jump.
        if (const int ci = i + 4 < n ? cmp_index(c[i + 4].op) : -1;
            ci >= 0 && is(i + 5, Op::JumpIfFalse) && c[i + 5].operand > i + 5 &&
            (is(i + 3, Op::Push) || (is(i + 3, Op::LoadConst) && c[i + 3].operand < u.constants.size() &&
                                     u.constants[c[i + 3].operand].is_float()))) {
            const int base_op = is(i + 3, Op::Push) ? I_MPCJ_Lt_F : I_MKCJ_Lt_F;
            u.pcode[i].h = L[base_op + ci * (I_MKCJ_Le_F - I_MKCJ_Lt_F)];
            continue;
        }
        const size_t more = term(i + 3, f);
        if (more == 0 || f.kind == UpdateTerm::Fixed) continue;
        const size_t j = i + 3 + more;
        const int ai = j < n ? arith_index(c[j].op) : -1;
        if (ai < 0 || ai > 3) continue;
        const bool store = reg(j + 1, Op::StoreLocal), member = f.kind == UpdateTerm::Member;
        const int form = store ? (member ? I_MMS_Add : I_MLS_Add) : (member ? I_MMA_Add : I_MLA_Add);
        u.pcode[i].h = L[form + ai * (I_MMS_Sub - I_MMS_Add)];
    }
    for (size_t i = 0; i + 4 < n; ++i) {
        if (u.pcode[i].h != L[I_LoadLocalConstGet] || !reg(i, Op::LoadLocal) || !string_const(i + 1) ||
            !reg(i + 2, Op::LoadLocal) || c[i + 2].operand != c[i].operand || !string_const(i + 3) ||
            u.constants[c[i + 3].operand].as_string() != u.constants[c[i + 1].operand].as_string() ||
            !is(i + 4, Op::GetIndex))
            continue;
        MemberUpdate mu;
        size_t j = i + 5;
        size_t len = term(j, mu.t[0]);
        if (len == 0) continue;
        j += len;
        if (size_t more = term(j, mu.t[1]); more > 0 && is(j + more, Op::Mul)) {
            mu.product = true;
            j += more + 1;
        }
        if (!(is(j, Op::Add) || is(j, Op::Sub)) || !is(j + 1, Op::SetIndex) || !reg(j + 2, Op::StoreLocal) ||
            c[j + 2].operand != c[i].operand || j + 3 - i > 255 || u.updates.size() >= UINT32_MAX)
            continue;
        mu.sub = c[j].op == Op::Sub;
        mu.obj = static_cast<uint8_t>(c[i].operand);
        mu.key = static_cast<uint32_t>(c[i + 3].operand);  // the read's key, whose position is kept
        mu.len = static_cast<uint8_t>(j + 3 - i);
        set_member_site_slot(u.pcode[i + 1], static_cast<uint32_t>(u.updates.size()));
        u.updates.push_back(std::move(mu));
        u.pcode[i].h = L[I_MemberUpdate];
    }
}

// Call sites, once every other handler is chosen. A Call learns here whether
// the instruction after it stores the result into a variable (the caller's
// handle on that variable goes when the callee is entered, see `enter` in
// interpreter.cpp), and a call of a global function or of a method whose
// arguments are simple pushes gets a fused head that enters the callee in
// one step.
void Machine::call_sites(CodeUnit& u) {
    const void* const* L = label_table(*this);
    const Code& c = u.code;
    const size_t n = c.size();
    u.calls.clear();
    auto is = [&](size_t j, Op op) { return j < n && c[j].op == op; };
    auto reg = [&](size_t j, Op op) { return is(j, op) && c[j].operand < 256; };
    // The test the generic Call makes on every call, on the handlers chosen
    // (pcode ends with a sentinel, so j + 1 is always an entry).
    auto drop_of = [&](size_t j) -> int64_t {
        const void* next = u.pcode[j + 1].h;
        if (next == L[I_StoreLocal]) return static_cast<int64_t>(u.pcode[j + 1].a.u);
        if ((next == L[I_Dup] || next == L[I_DupStorePop]) && j + 2 <= n && u.pcode[j + 2].h == L[I_StoreLocal])
            return static_cast<int64_t>(u.pcode[j + 2].a.u);
        return -1;
    };
    for (size_t j = 0; j < n; ++j) {
        if (u.pcode[j].h != L[I_Call] || c[j].operand > UINT32_MAX) continue;
        u.pcode[j].h = L[I_CallSite];
        u.pcode[j].a.u = c[j].operand | static_cast<uint64_t>(drop_of(j) + 1) << 32;
    }
    // The arguments from p up to a Call that takes exactly them.
    auto arguments = [&](size_t p, size_t head, CallSite& s) {
        for (;;) {
            if (p >= n) return false;  // the code ends before any Call
            if (is(p, Op::Call))
                break;
            if (s.nargs == kSiteArgs) return false;
            SiteArg& a = s.args[s.nargs];
            // Add, Sub, Mul, Mod: 0..3, in the order of SiteArg's codes.
            const int ai = p + 2 >= n ? -1
                         : c[p + 2].op == Op::Add ? 0
                         : c[p + 2].op == Op::Sub ? 1
                         : c[p + 2].op == Op::Mul ? 2
                         : c[p + 2].op == Op::Mod ? 3
                                                   : -1;
            const auto r = static_cast<uint16_t>(c[p].operand);
            if (reg(p, Op::LoadLocal) && ai >= 0 && is(p + 1, Op::Push) && !(ai == 3 && c[p + 1].imm == 0)) {
                a = {static_cast<SiteArg::Code>(SiteArg::ImmAdd + ai), r, c[p + 1].imm};
                p += 3;
            } else if (reg(p, Op::LoadLocal) && ai >= 0 && reg(p + 1, Op::LoadLocal)) {
                a = {static_cast<SiteArg::Code>(SiteArg::LocAdd + ai), r, static_cast<int64_t>(c[p + 1].operand)};
                p += 3;
            } else if (is(p, Op::Push)) {
                a = {SiteArg::Imm, 0, c[p].imm};
                p += 1;
            } else if (reg(p, Op::LoadLocal)) {
                a = {SiteArg::Local, r, 0};
                p += 1;
            } else if (is(p, Op::LoadConst) && c[p].operand < u.constants.size()) {
                a = {SiteArg::Const, 0, static_cast<int64_t>(c[p].operand)};
                p += 1;
            } else {
                return false;
            }
            s.copies |= a.code == SiteArg::Local || a.code == SiteArg::Const;
            ++s.nargs;
        }
        if (u.pcode[p].h != L[I_CallSite] || c[p].operand != s.nargs) return false;
        s.len = static_cast<uint32_t>(p - head + 1);
        s.ret = &u.pcode[p + 1];
        s.drop = drop_of(p);
        return true;
    };
    for (size_t i = 0; i < n; ++i) {
        const void* h = u.pcode[i].h;
        CallSite s;
        if (h == L[I_LoadGlobal] || h == L[I_LoadGlobalStrict]) {
            // Only names of user functions: a call of a built-in would take
            // the fused head's fallback every time.
            if (!functions.contains(global_names[static_cast<uint32_t>(u.pcode[i].a.u)]) || !arguments(i + 1, i, s))
                continue;
            s.strict = h == L[I_LoadGlobalStrict];
            s.global = static_cast<uint32_t>(u.pcode[i].a.u);
            s.slot = &globals[s.global];
            u.pcode[i].h = L[I_CallGlobal];
            u.pcode[i].a.u = u.calls.size();  // the site's address once every site is made
        } else if (h == L[I_LoadLocalGetConst]) {
            if (!arguments(i + 3, i, s)) continue;
            s.method = true;
            u.pcode[i].h = L[I_MethodCall];
            u.ics[u.pcode[i + 2].a.u].site = static_cast<uint32_t>(u.calls.size());
        } else {
            continue;
        }
        s.form = s.nargs == 0   ? uint8_t{CallSite::None}
                 : s.nargs == 1 ? static_cast<uint8_t>(int{CallSite::One} + int{s.args[0].code})
                                : uint8_t{CallSite::General};
        if (s.method) s.form = static_cast<uint8_t>(s.form + CallSite::Method);
        u.calls.push_back(s);
    }
    for (size_t i = 0; i < n; ++i)
        if (u.pcode[i].h == L[I_CallGlobal]) u.pcode[i].a.u = reinterpret_cast<uintptr_t>(&u.calls[u.pcode[i].a.u]);
    // `return a + b` in a function whose stack depths agree, so that the Add
    // always has its two operands (pcode ends with a sentinel: i + 1 is an
    // entry).
    if (u.function && u.balanced)
        for (size_t i = 0; i < n; ++i)
            if (u.pcode[i].h == L[I_Add] && u.pcode[i + 1].h == L[I_Return]) u.pcode[i].h = L[I_AddReturn];
}

// The generic Call's decisions for this callee, which stay the same as long
// as the machine's tables do: a user function's unit (for a plain call only
// when no native binding has its name, which the generic Call would prefer),
// taking at least the site's arguments (a method: the receiver too).
bool Machine::fill_site(CallSite& s, const Value& fv) {
    const NameCell* nc = fv.plain_name_cell();
    if (nc->owner != serial) resolve(nc);
    if (!nc->unit || (!s.method && nc->native)) return false;
    auto* t = static_cast<CodeUnit*>(const_cast<void*>(nc->unit));
    const size_t have = s.nargs + (s.method ? 1 : 0);
    if (have > t->params) return false;
    s.fn = fv;
    s.target = t;
    s.nils = t->window - have;
    s.top = (1 + t->window) * sizeof(Value);
    s.reach = (1 + t->reach) * sizeof(Value);
    s.entry = static_cast<uint8_t>(s.form + (s.drop >= 0 || s.nils ? CallSite::Tidy : 0));
    s.block = label_table(*this)[I_Count + s.entry];
    return true;
}

std::string VM::handler_listing(std::string_view function) const {
    static constexpr const char* kNames[I_Count] = {
#define HANDLER(name) #name,
#include "machine_ops.def"
#undef HANDLER
    };
    const CodeUnit* u = m_->top.get();
    if (!function.empty()) {
        auto it = m_->functions.find(std::string(function));
        if (it == m_->functions.end()) return {};
        u = it->second;
    }
    const void* const* L = label_table(*m_);
    std::string out;
    for (size_t i = 0; i + 1 < u->pcode.size(); ++i) {
        if (!out.empty()) out += "; ";
        size_t k = 0;
        while (k < I_Count && L[k] != u->pcode[i].h) ++k;
        out += k < I_Count ? kNames[k] : "?";
    }
    return out;
}

}  // namespace calvex
