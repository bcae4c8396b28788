// LLVM IR text for a named instruction sequence: one module, one function,
// every value an i64 word (48-bit payload, 16-bit tag).
//
// The emitter walks the instructions once over a symbolic operand stack of
// register numbers. Control flow is a straight chain of blocks: `entry`, then
// one fall-through block per conditional branch, labelled with the number the
// next register would take. Branch targets name instruction indexes as
// "L<index>"; a target that no chain block defines gets a stub block after the
// body that returns the nil word (the code is never run, it only has to be
// valid).
//
// Trap: target labels and fall-through labels share the "L<number>" space. A
// conditional branch whose target number equals the label of a *later*
// fall-through block jumps into the chain past the blocks in between; when
// a register defined in one of those is used at or after the landing block,
// its definition no longer dominates the use and the verifier rejects the
// module. Exactly such a branch targets "T<index>" instead, a stub of its
// own; every other line keeps its text. Targets that meet an earlier or
// their own fall-through label are back edges or a branch with both arms
// equal, which are valid as they are.
#include "ir.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <initializer_list>
#include <cstdint>
#include <utility>
#include <vector>

namespace calvex {

namespace {

constexpr std::string_view kMask = "281474976710655";
constexpr std::string_view kFloatTag = "281474976710656";
constexpr std::string_view kBoolTag = "562949953421312";
constexpr std::string_view kNil = "844424930131968";
constexpr uint64_t kPayload = 281474976710655ull;

constexpr std::string_view kHelperDecls =
    "declare i64 @__calvex_pow(i64, i64)\n"
    "declare void @__calvex_store_reg(i64, i64)\n"
    "declare i64 @__calvex_load_reg(i64)\n"
    "declare i64 @__calvex_load_global(i64)\n"
    "declare void @__calvex_store_global(i64, i64)\n"
    "declare i64 @__calvex_collection_op(i64)\n"
    "declare i64 @__calvex_call(i64, i64)\n";
constexpr std::string_view kLoadConstDecl = "declare i64 @__calvex_load_const(i64)\n";

class IrEmitter {
public:
    void lower(const Instruction& ins);
    bool terminated() const { return terminated_; }
    void finish();
    std::string module(std::string_view name) const;

private:
    // One operand of a line: a register, a number, or fixed text.
    struct Arg {
        enum Kind { Reg, U64, I64, Text } kind;
        uint64_t u = 0;
        int64_t i = 0;
        std::string_view text = {};
    };
    static Arg reg(uint64_t r) { return {Arg::Reg, r}; }
    static Arg u64(uint64_t v) { return {Arg::U64, v}; }
    static Arg i64(int64_t v) { return {Arg::I64, 0, v}; }
    static Arg text(std::string_view t) { return {Arg::Text, 0, 0, t}; }

    struct BranchRef {
        size_t offset;  // position of the 'L' of the target label in body_
        uint64_t target;
        size_t block;   // chain block holding the branch
    };

    std::vector<uint64_t> stack_;  // register numbers
    std::string body_;
    std::string stubs_;
    uint64_t next_ = 0;
    bool terminated_ = false;
    bool helpers_ = false;
    bool load_const_ = false;
    // Chain blocks: 0 is entry, block b > 0 is labelled fallthrough_[b - 1].
    size_t block_ = 0;
    std::vector<uint64_t> fallthrough_;  // strictly increasing
    std::vector<size_t> def_block_;      // per register: the block defining it
    std::vector<size_t> last_use_ = {0};  // per block: last block using one of its registers
    std::vector<BranchRef> branches_;

    uint64_t fresh() {
        def_block_.push_back(block_);
        return next_++;
    }
    // Range maximum over last_use_, built only when some branch needs it.
    std::vector<std::vector<size_t>> sparse_;
    // True when a branch from block `from` into the later block `to` would
    // skip a definition that block `to` or a later one uses.
    bool skips_used_definition(size_t from, size_t to);
    bool pop(uint64_t& r) {
        if (stack_.empty()) return false;
        r = stack_.back();
        stack_.pop_back();
        return true;
    }
    // Pops up to `count` names; true when all were there.
    bool pop_operands(size_t count) {
        const bool enough = stack_.size() >= count;
        stack_.resize(enough ? stack_.size() - count : 0);
        return enough;
    }
    uint64_t nth_from_top(size_t k) const { return stack_[stack_.size() - 1 - k]; }

    void put(Arg a);
    // Writes one body line: `tmpl` with each "{}" replaced by the next arg.
    void line(std::string_view tmpl, std::initializer_list<Arg> args);

    void int_binary(std::string_view op);
    void division();
    void comparison(std::string_view pred);
    void logical(std::string_view op);
    void conditional_branch(std::string_view test, uint64_t target);
    void helper_call(std::string_view tmpl_with_result, uint64_t operand);
    void store(std::string_view tmpl, uint64_t operand);
    void ret(std::string_view suffix);
};

void IrEmitter::put(Arg a) {
    char buf[24];
    switch (a.kind) {
        case Arg::Reg: {
            size_t& last = last_use_[def_block_[a.u]];
            last = std::max(last, block_);
            body_ += "%v";
            [[fallthrough]];
        }
        case Arg::U64: {
            auto r = std::to_chars(buf, buf + sizeof buf, a.u);
            body_.append(buf, r.ptr);
            break;
        }
        case Arg::I64: {
            auto r = std::to_chars(buf, buf + sizeof buf, a.i);
            body_.append(buf, r.ptr);
            break;
        }
        case Arg::Text: body_ += a.text; break;
    }
}

void IrEmitter::line(std::string_view tmpl, std::initializer_list<Arg> args) {
    body_ += "  ";
    auto it = args.begin();
    size_t pos = 0;
    for (size_t hole; (hole = tmpl.find("{}", pos)) != std::string_view::npos; pos = hole + 2) {
        body_ += tmpl.substr(pos, hole - pos);
        put(*it++);
    }
    body_ += tmpl.substr(pos);
    body_ += '\n';
}

void IrEmitter::int_binary(std::string_view op) {
    if (stack_.size() < 2) { pop_operands(2); return; }
    const uint64_t b = nth_from_top(0), a = nth_from_top(1);
    pop_operands(2);
    const uint64_t r1 = fresh();
    line("{} = and i64 {}, 281474976710655  ; 0xFFFFFFFFFFFF", {reg(r1), reg(a)});
    const uint64_t r2 = fresh();
    line("{} = and i64 {}, {}", {reg(r2), reg(b), text(kMask)});
    const uint64_t r3 = fresh();
    line("{} = trunc i64 {} to i32", {reg(r3), reg(r1)});
    const uint64_t r4 = fresh();
    line("{} = trunc i64 {} to i32", {reg(r4), reg(r2)});
    const uint64_t r5 = fresh();
    line("{} = {} i32 {}, {}", {reg(r5), text(op), reg(r3), reg(r4)});
    const uint64_t r6 = fresh();
    line("{} = zext i32 {} to i64", {reg(r6), reg(r5)});
    stack_.push_back(r6);
}

void IrEmitter::division() {
    if (stack_.size() < 2) { pop_operands(2); return; }
    const uint64_t b = nth_from_top(0), a = nth_from_top(1);
    pop_operands(2);
    const uint64_t r1 = fresh();
    line("{} = and i64 {}, {}", {reg(r1), reg(a), text(kMask)});
    const uint64_t r2 = fresh();
    line("{} = and i64 {}, {}", {reg(r2), reg(b), text(kMask)});
    const uint64_t r3 = fresh();
    line("{} = sitofp i64 {} to double", {reg(r3), reg(r1)});
    const uint64_t r4 = fresh();
    line("{} = sitofp i64 {} to double", {reg(r4), reg(r2)});
    const uint64_t r5 = fresh();
    line("{} = fdiv double {}, {}", {reg(r5), reg(r3), reg(r4)});
    const uint64_t r6 = fresh();
    line("{} = bitcast double {} to i64", {reg(r6), reg(r5)});
    const uint64_t r7 = fresh();
    line("{} = or i64 {}, {}", {reg(r7), reg(r6), text(kFloatTag)});
    stack_.push_back(r7);
}

void IrEmitter::comparison(std::string_view pred) {
    if (stack_.size() < 2) { pop_operands(2); return; }
    const uint64_t b = nth_from_top(0), a = nth_from_top(1);
    pop_operands(2);
    const uint64_t r1 = fresh();
    line("{} = and i64 {}, {}", {reg(r1), reg(a), text(kMask)});
    const uint64_t r2 = fresh();
    line("{} = and i64 {}, {}", {reg(r2), reg(b), text(kMask)});
    const uint64_t r3 = fresh();
    line("{} = icmp {} i64 {}, {}", {reg(r3), text(pred), reg(r1), reg(r2)});
    const uint64_t r4 = fresh();
    line("{} = zext i1 {} to i64", {reg(r4), reg(r3)});
    const uint64_t r5 = fresh();
    line("{} = or i64 {}, {}", {reg(r5), reg(r4), text(kBoolTag)});
    stack_.push_back(r5);
}

void IrEmitter::logical(std::string_view op) {
    if (stack_.size() < 2) { pop_operands(2); return; }
    const uint64_t b = nth_from_top(0), a = nth_from_top(1);
    pop_operands(2);
    const uint64_t r1 = fresh();
    line("{} = and i64 {}, {}", {reg(r1), reg(a), text(kMask)});
    const uint64_t r2 = fresh();
    line("{} = and i64 {}, {}", {reg(r2), reg(b), text(kMask)});
    const uint64_t r3 = fresh();
    line("{} = icmp ne i64 {}, 0", {reg(r3), reg(r1)});
    const uint64_t r4 = fresh();
    line("{} = icmp ne i64 {}, 0", {reg(r4), reg(r2)});
    const uint64_t r5 = fresh();
    line("{} = {} i1 {}, {}", {reg(r5), text(op), reg(r3), reg(r4)});
    const uint64_t r6 = fresh();
    line("{} = zext i1 {} to i64", {reg(r6), reg(r5)});
    const uint64_t r7 = fresh();
    line("{} = or i64 {}, {}", {reg(r7), reg(r6), text(kBoolTag)});
    stack_.push_back(r7);
}

void IrEmitter::conditional_branch(std::string_view test, uint64_t target) {
    uint64_t c;
    if (!pop(c)) return;
    const uint64_t r1 = fresh();
    line("{} = and i64 {}, {}", {reg(r1), reg(c), text(kMask)});
    const uint64_t r2 = fresh();
    line(test, {reg(r2), reg(r1)});
    const uint64_t k = next_;  // the fall-through label shares the next register's number
    body_ += "  br i1 ";
    put(reg(r2));
    body_ += ", label %";
    branches_.push_back({body_.size(), target, block_});
    body_ += 'L';
    put(u64(target));
    body_ += ", label %L";
    put(u64(k));
    body_ += "\nL";
    put(u64(k));
    body_ += ":\n";
    fallthrough_.push_back(k);
    last_use_.push_back(++block_);
}

void IrEmitter::helper_call(std::string_view tmpl, uint64_t operand) {
    helpers_ = true;
    const uint64_t r = fresh();
    line(tmpl, {reg(r), u64(operand)});
    stack_.push_back(r);
}

void IrEmitter::store(std::string_view tmpl, uint64_t operand) {
    helpers_ = true;
    uint64_t v;
    if (pop(v)) line(tmpl, {u64(operand), reg(v)});
}

void IrEmitter::ret(std::string_view suffix) {
    uint64_t v;
    body_ += "  ret i64 ";
    if (pop(v)) put(reg(v));
    else body_ += kNil;
    body_ += suffix;
    body_ += '\n';
    terminated_ = true;
}

void IrEmitter::lower(const Instruction& ins) {
    const uint64_t n = ins.operand;
    switch (ins.op) {
        case Op::Push: {
            const uint64_t r = fresh();
            const uint64_t word = static_cast<uint64_t>(static_cast<int64_t>(ins.imm)) & kPayload;
            line("{} = add i64 0, {}  ; Push({})", {reg(r), u64(word), i64(ins.imm)});
            stack_.push_back(r);
            break;
        }
        case Op::Pop: pop_operands(1); break;
        case Op::Dup: if (!stack_.empty()) stack_.push_back(stack_.back()); break;
        case Op::Swap:
            if (stack_.size() >= 2) std::swap(stack_[stack_.size() - 1], stack_[stack_.size() - 2]);
            break;
        case Op::Add: case Op::AddInt: case Op::AddFloat: int_binary("add nsw"); break;
        case Op::Sub: case Op::SubInt: case Op::SubFloat: int_binary("sub nsw"); break;
        case Op::Mul: case Op::MulInt: case Op::MulFloat: int_binary("mul nsw"); break;
        case Op::Mod: case Op::ModInt: case Op::ModFloat: int_binary("srem"); break;
        case Op::Div: case Op::DivFloat: division(); break;
        case Op::Pow: {
            helpers_ = true;
            if (stack_.size() < 2) { pop_operands(2); break; }
            const uint64_t b = nth_from_top(0), a = nth_from_top(1);
            pop_operands(2);
            const uint64_t r = fresh();
            line("{} = call i64 @__calvex_pow(i64 {}, i64 {})", {reg(r), reg(a), reg(b)});
            stack_.push_back(r);
            break;
        }
        case Op::Neg: {
            uint64_t a;
            if (!pop(a)) break;
            const uint64_t r1 = fresh();
            line("{} = and i64 {}, {}", {reg(r1), reg(a), text(kMask)});
            const uint64_t r2 = fresh();
            line("{} = sub i64 0, {}", {reg(r2), reg(r1)});
            stack_.push_back(r2);
            break;
        }
        case Op::Eq: case Op::EqInt: case Op::EqFloat: comparison("eq"); break;
        case Op::Ne: comparison("ne"); break;
        case Op::Lt: case Op::LtInt: case Op::LtFloat: comparison("slt"); break;
        case Op::Le: comparison("sle"); break;
        case Op::Gt: comparison("sgt"); break;
        case Op::Ge: comparison("sge"); break;
        case Op::And: logical("and"); break;
        case Op::Or: logical("or"); break;
        case Op::Not: {
            uint64_t a;
            if (!pop(a)) break;
            const uint64_t r1 = fresh();
            line("{} = and i64 {}, {}", {reg(r1), reg(a), text(kMask)});
            const uint64_t r2 = fresh();
            line("{} = icmp eq i64 {}, 0", {reg(r2), reg(r1)});
            const uint64_t r3 = fresh();
            line("{} = zext i1 {} to i64", {reg(r3), reg(r2)});
            const uint64_t r4 = fresh();
            line("{} = or i64 {}, {}", {reg(r4), reg(r3), text(kBoolTag)});
            stack_.push_back(r4);
            break;
        }
        case Op::Jump:
            body_ += "  br label %";
            branches_.push_back({body_.size(), n, block_});
            body_ += 'L';
            put(u64(n));
            body_ += '\n';
            terminated_ = true;
            break;
        case Op::JumpIfFalse: conditional_branch("{} = icmp eq i64 {}, 0", n); break;
        case Op::JumpIfTrue: conditional_branch("{} = icmp ne i64 {}, 0", n); break;
        case Op::LoadLocal: helper_call("{} = call i64 @__calvex_load_reg(i64 {})", n); break;
        case Op::StoreLocal: store("call void @__calvex_store_reg(i64 {}, i64 {})", n); break;
        case Op::LoadGlobal: helper_call("{} = call i64 @__calvex_load_global(i64 {})", n); break;
        case Op::StoreGlobal: store("call void @__calvex_store_global(i64 {}, i64 {})", n); break;
        case Op::LoadConst: {
            helpers_ = true;
            load_const_ = true;
            const uint64_t r = fresh();
            line("{} = call i64 @__calvex_load_const(i64 {})  ; LoadConst({})", {reg(r), u64(n), u64(n)});
            stack_.push_back(r);
            break;
        }
        case Op::Call: {
            helpers_ = true;
            pop_operands(n < stack_.size() ? static_cast<size_t>(n) : stack_.size());
            uint64_t f;
            const bool have_callee = pop(f);
            const uint64_t r = fresh();
            line("{} = call i64 @__calvex_call(i64 {}, i64 {})",
                 {reg(r), have_callee ? reg(f) : text("0"), u64(n)});
            stack_.push_back(r);
            break;
        }
        case Op::MakeArray: case Op::MakeObject: case Op::GetIndex: case Op::SetIndex:
        case Op::Concat: case Op::Len: case Op::IterInit: case Op::IterNext: {
            helpers_ = true;
            const uint64_t r = fresh();
            line("{} = call i64 @__calvex_collection_op(i64 {})", {reg(r), u64(r + 1)});
            stack_.push_back(r);
            break;
        }
        case Op::Return: ret(""); break;
        case Op::Halt: ret("  ; Halt"); break;
        case Op::Nop: break;
    }
}

bool IrEmitter::skips_used_definition(size_t from, size_t to) {
    if (to <= from + 1) return false;
    if (sparse_.empty()) {
        sparse_.push_back(last_use_);
        for (size_t w = 1; 2 * w <= last_use_.size(); w *= 2) {
            const auto& prev = sparse_.back();
            std::vector<size_t> next(prev.size() - w);
            for (size_t k = 0; k < next.size(); ++k) next[k] = std::max(prev[k], prev[k + w]);
            sparse_.push_back(std::move(next));
        }
    }
    const size_t lo = from + 1, len = to - lo;
    const size_t level = static_cast<size_t>(std::bit_width(len) - 1);
    const size_t w = size_t{1} << level;
    return std::max(sparse_[level][lo], sparse_[level][to - w]) >= to;
}

// Closes the body and defines the block of every branch target that the
// chain itself does not define.
void IrEmitter::finish() {
    if (!terminated_) ret("");
    std::vector<std::pair<char, uint64_t>> stubbed;
    for (const BranchRef& b : branches_) {
        const auto hit = std::lower_bound(fallthrough_.begin(), fallthrough_.end(), b.target);
        char letter = 'L';
        if (hit != fallthrough_.end() && *hit == b.target) {
            const size_t landing = static_cast<size_t>(hit - fallthrough_.begin()) + 1;
            if (landing <= b.block + 1 || !skips_used_definition(b.block, landing)) continue;
            letter = 'T';
            body_[b.offset] = 'T';
        }
        if (std::find(stubbed.begin(), stubbed.end(), std::pair{letter, b.target}) != stubbed.end()) continue;
        stubbed.emplace_back(letter, b.target);
        char buf[24];
        auto r = std::to_chars(buf, buf + sizeof buf, b.target);
        stubs_ += letter;
        stubs_.append(buf, r.ptr);
        stubs_ += ":\n  ret i64 ";
        stubs_ += kNil;
        stubs_ += '\n';
    }
}

std::string IrEmitter::module(std::string_view name) const {
    std::string out;
    out.reserve(512 + name.size() * 2 + body_.size() + stubs_.size());
    out += "; Calvex v3.9.1 \u2014 Generated LLVM IR\n";
    out += "; Trace: ";
    out += name;
    out += "\n; DO NOT EDIT \u2014 auto-generated by ir\n\n";
    out += "target triple = \"x86_64-unknown-linux-gnu\"\n";
    out += "target datalayout = \"e-m:e-p270:32:32-p271:32:32-p272:64:64-i64:64-f80:128-n8:16:32:64-S128\"\n\n";
    if (helpers_) {
        out += kHelperDecls;
        if (load_const_) out += kLoadConstDecl;
        out += '\n';
    }
    out += "define i64 @";
    out += name;
    out += "() noinline {\nentry:\n";
    out += body_;
    out += stubs_;
    out += "}\n";
    return out;
}

}  // namespace

std::string generate_ir(std::string_view name, std::span<const Instruction> code) {
    IrEmitter e;
    for (const Instruction& ins : code) {
        if (e.terminated()) break;
        e.lower(ins);
    }
    e.finish();
    return e.module(name);
}

}  // namespace calvex
